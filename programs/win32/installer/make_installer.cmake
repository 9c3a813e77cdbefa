# Stages the installer's payload and runs makensis on installer.nsi:
#   cmake -DBUILD_DIR=... -DSTAGE=... -DOUT=... -DVERSION=... -DPUBLISHER=... -DMAKENSIS=...
#         -DMANIFEST_PUBLIC_KEY=<the build's KM_MANIFEST_PUBLIC_KEY> [-DFROM=<release folder>] [-DLOADER=<dll>] [-DRUNTIME_SETUP=<exe>] [-DLAUNCHER_INI=<file>]
#         -P make_installer.cmake
#
# The payload is the launcher's part of an installation and nothing else: Launcher.exe, web/,
# and where given WebView2Loader.dll, MicrosoftEdgeWebView2Setup.exe and launcher.ini. It comes
# from FROM when set (the release folder, whose Launcher.exe was signed before km-publish listed
# it, so installed and published executables are the same bytes), otherwise from this build's
# `cmake --install`. LOADER and RUNTIME_SETUP name the Microsoft files when they are not in FROM.
foreach(var BUILD_DIR STAGE OUT VERSION PUBLISHER MAKENSIS MANIFEST_PUBLIC_KEY)
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
# RFC 8032's first test key: its private half is published, so a launcher that trusts it installs
# whatever anyone signs. Such an installer is for development and says so in its file name and
# in "Apps & features". The packed Launcher.exe is checked as well as the build's key: FROM may
# come from another build, and what players would run is that file.
set(test_key d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a)
string(TOLOWER "${MANIFEST_PUBLIC_KEY}" key)
file(READ ${STAGE}/Launcher.exe launcher_hex HEX)
string(FIND "${launcher_hex}" ${test_key} key_in_launcher)
set(testkey_define "")
if(key STREQUAL test_key OR NOT key_in_launcher EQUAL -1)
    if(NOT OUT MATCHES "-TESTKEY\\.exe$")
        message(FATAL_ERROR "${OUT}: this installer's launcher trusts RFC 8032's public test "
                            "key, so its name must end in -TESTKEY.exe (never give it to players)")
    endif()
    set(testkey_define -DTESTKEY)
endif()

get_filename_component(out_dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
execute_process(
    COMMAND ${MAKENSIS} -V2 -NOCD
            -DPAYLOAD=${STAGE} -DOUTFILE=${OUT} -DVERSION=${VERSION} -DPUBLISHER=${PUBLISHER}
            -DICON=${here}/../resources/launcher.ico ${testkey_define}
            ${here}/installer.nsi
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "makensis failed")
endif()
message(STATUS "installer: ${OUT}")
