# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads flavour, which
# std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KM_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests built here run under Wine; ctest prefixes them with this.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
