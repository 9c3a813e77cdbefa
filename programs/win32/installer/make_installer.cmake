# Stages the installer's payload and runs makensis on installer.nsi:
#   cmake -DBUILD_DIR=... -DSTAGE=... -DOUT=... -DVERSION=... -DPUBLISHER=... -DMAKENSIS=...
#         [-DFROM=<release folder>] [-DLOADER=<dll>] [-DRUNTIME_SETUP=<exe>] [-DLAUNCHER_INI=<file>]
#         -P make_installer.cmake
#
# The payload is the launcher's part of an installation and nothing else: Launcher.exe, web/,
# and where given WebView2Loader.dll, MicrosoftEdgeWebView2Setup.exe and launcher.ini. It comes
# from FROM when set (the release folder, whose Launcher.exe was signed before km-publish listed
# it, so installed and published executables are the same bytes), otherwise from this build's
# `cmake --install`. LOADER and RUNTIME_SETUP name the Microsoft files when they are not in FROM.
foreach(var BUILD_DIR STAGE OUT VERSION PUBLISHER MAKENSIS)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "make_installer.cmake: ${var} is not set")
    endif()
endforeach()

set(here ${CMAKE_CURRENT_LIST_DIR})
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})

if(FROM)
    foreach(required Launcher.exe web/index.html)
        if(NOT EXISTS ${FROM}/${required})
            message(FATAL_ERROR "${FROM} has no ${required}: not a release folder")
        endif()
    endforeach()
    file(COPY ${FROM}/Launcher.exe ${FROM}/web DESTINATION ${STAGE})
    foreach(optional WebView2Loader.dll MicrosoftEdgeWebView2Setup.exe)
        if(EXISTS ${FROM}/${optional})
            file(COPY ${FROM}/${optional} DESTINATION ${STAGE})
        endif()
    endforeach()
else()
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE}
                    OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "cmake --install ${BUILD_DIR} failed")
    endif()
endif()

# Explicit files win over what FROM holds.
foreach(pair "LOADER;WebView2Loader.dll" "RUNTIME_SETUP;MicrosoftEdgeWebView2Setup.exe"
             "LAUNCHER_INI;launcher.ini")
    list(GET pair 0 var)
    list(GET pair 1 name)
    if(${var})
        if(NOT EXISTS ${${var}})
            message(FATAL_ERROR "${var}: ${${var}} does not exist")
        endif()
        file(COPY_FILE ${${var}} ${STAGE}/${name})
    endif()
endforeach()

if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "VERSION ${VERSION}: expected three numbers such as 1.4.2")
endif()
get_filename_component(out_dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
execute_process(
    COMMAND ${MAKENSIS} -V2 -NOCD
            -DPAYLOAD=${STAGE} -DOUTFILE=${OUT} -DVERSION=${VERSION} -DPUBLISHER=${PUBLISHER}
            -DICON=${here}/../resources/launcher.ico
            ${here}/installer.nsi
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "makensis failed")
endif()
message(STATUS "installer: ${OUT}")
