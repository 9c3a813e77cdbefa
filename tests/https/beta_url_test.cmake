# What a configure makes of KM_BETA_URL: each address taken apart, or refused with a message
# that names it; the plain-HTTP warning outside Debug builds only.
# cmake -DBETA_URL_SCRIPT=cmake/beta_url.cmake -P beta_url_test.cmake
cmake_minimum_required(VERSION 3.25)
set(cases
    "http://127.0.0.2:8080/api/launcher_login|Release|false 127.0.0.2 8080 /api/launcher_login|warn"
    "https://beta.example.com/api/login|Release|true beta.example.com 443 /api/login|"
    "https://beta-1.example.com:08443/|RelWithDebInfo|true beta-1.example.com 8443 /|"
    "http://127.0.0.5/x|Debug|false 127.0.0.5 80 /x|"
    "https://beta.example.com|Release|refused|"
    "ftp://beta.example.com/x|Release|refused|"
    "https://user:pw@beta.example.com/x|Release|refused|"
    "https://beta.example.com/x?next=1|Release|refused|"
    "https://beta.example.com:0/x|Release|refused|"
    "https://beta.example.com:65536/x|Release|refused|"
    "https://beta.example.com:123456789012/x|Release|refused|"
    "https://[::1]/x|Release|refused|"
    "https://beta.example.com/a\"b|Release|refused|"
    "https://-beta.example.com/x|Release|refused|")
set(failed 0)
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" parts "${case}")
    list(GET parts 0 url)
    list(GET parts 1 build_type)
    list(GET parts 2 expected)
    list(LENGTH parts n)
    set(warn "")
    if(n GREATER 3)
        list(GET parts 3 warn)
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -Wno-dev -DURL=${url} -DBUILD_TYPE=${build_type}
                            -P ${BETA_URL_SCRIPT}
                    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(STRIP "${err}" err)
    if(expected STREQUAL "refused")
        set(ok FALSE)
        if(NOT result EQUAL 0 AND err MATCHES "KM_BETA_URL")
            set(ok TRUE)
        endif()
    else()
        string(REGEX MATCH "[^\n]*$" last "${err}")
        set(ok FALSE)
        if(result EQUAL 0 AND last STREQUAL expected)
            set(ok TRUE)
        endif()
        if(ok AND (warn STREQUAL "warn") AND NOT err MATCHES "CMake Warning at.*KM_BETA_URL")
            set(ok FALSE)
        endif()
        if(ok AND NOT (warn STREQUAL "warn") AND err MATCHES "CMake Warning")
            set(ok FALSE)
        endif()
    endif()
    if(NOT ok)
        message("FAIL ${url} (${build_type}): expected ${expected} ${warn}, got ${result}: ${err}")
        math(EXPR failed "${failed} + 1")
    endif()
endforeach()
if(failed GREATER 0)
    message(FATAL_ERROR "${failed} case(s) failed")
endif()
