# KM_BETA_URL taken apart at configure time, so that a typing error fails the build rather than
# every player's sign-in: http:// or https://, a host name or dotted address, an optional port,
# a path from "/"; no user name, query or fragment (and nothing that would need quoting in C++).
# Sets KM_BETA_URL_HTTPS (true/false), KM_BETA_URL_HOST, KM_BETA_URL_PORT (the scheme's own when
# none is given) and KM_BETA_URL_PATH in the caller's scope. A plain-HTTP address outside Debug
# builds warns: the password would cross the network in clear text.
#
# As a script (the tests): cmake -DURL=... -DBUILD_TYPE=... -P beta_url.cmake prints
# "HTTPS HOST PORT PATH", or fails with the message a configure would.
function(km_parse_beta_url url build_type)
    if(NOT url MATCHES "^(https?)://([A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)(:([0-9]+))?(/[A-Za-z0-9._~!$&'()*+,;=:@%/-]*)$")
        message(FATAL_ERROR
            "KM_BETA_URL must be http://host[:port]/path or https://host[:port]/path (host name or "
            "dotted address, path from /, no user name, query or fragment), got \"${url}\"")
    endif()
    set(scheme "${CMAKE_MATCH_1}")
    set(host "${CMAKE_MATCH_2}")
    set(port "${CMAKE_MATCH_5}")
    set(path "${CMAKE_MATCH_6}")
    if(port STREQUAL "")
        if(scheme STREQUAL "https")
            set(port 443)
        else()
            set(port 80)
        endif()
    endif()
    string(LENGTH "${port}" digits)
    if(digits LESS_EQUAL 5)
        math(EXPR port "${port}")  # "08080" is 8080
    endif()
    if(digits GREATER 5 OR port LESS 1 OR port GREATER 65535)
        message(FATAL_ERROR "KM_BETA_URL's port must be 1 to 65535, got ${port} in \"${url}\"")
    endif()
    if(scheme STREQUAL "https")
        set(KM_BETA_URL_HTTPS true PARENT_SCOPE)
    else()
        set(KM_BETA_URL_HTTPS false PARENT_SCOPE)
        if(NOT build_type STREQUAL "Debug")
            message(WARNING
                "KM_BETA_URL is ${url}: beta testers' passwords would cross the network in "
                "clear text. Give a release build an https:// KM_BETA_URL (see docs/deploy.md); "
                "a plain beta server only suits a network you trust, such as a LAN event.")
        endif()
    endif()
    set(KM_BETA_URL_HOST "${host}" PARENT_SCOPE)
    set(KM_BETA_URL_PORT "${port}" PARENT_SCOPE)
    set(KM_BETA_URL_PATH "${path}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    km_parse_beta_url("${URL}" "${BUILD_TYPE}")
    message("${KM_BETA_URL_HTTPS} ${KM_BETA_URL_HOST} ${KM_BETA_URL_PORT} ${KM_BETA_URL_PATH}")
endif()
