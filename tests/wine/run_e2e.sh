#!/usr/bin/env bash
# Whole-program runs of Launcher.exe under Wine and Xvfb, each in a fresh installation folder
# made by `cmake --install`, with the test-only WebView2Loader.dll standing in for the runtime.
#   run_e2e.sh update_and_launch|self_update|two_at_once|runtime_refuses|runtime_missing --build-dir D --launcher L --game G --loader W
#              --answerer A --web DIR --wine-run SCRIPT
# Exit code 77 (skipped) when Xvfb or Wine is not available.
set -uo pipefail

scenario=$1
shift
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build_dir=$2 ;;
        --launcher) launcher=$2 ;;
        --game) game=$2 ;;
        --loader) loader=$2 ;;
        --answerer) answerer=$2 ;;
        --web) web=$2 ;;
        --wine-run) wine_run=$2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done

command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run is not installed"; exit 77; }
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || command -v wine >/dev/null ||
    { echo "SKIP: Wine is not installed"; exit 77; }

failures=0
check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@"; then
        echo "ok   - $what"
    else
        echo "FAIL - $what"
        failures=$((failures + 1))
    fi
}
contains() { grep -qF -- "$2" "$1" 2>/dev/null; }
lacks() { ! grep -qF -- "$2" "$1" 2>/dev/null; }
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

work=$build_dir/tests/wine/e2e-$scenario
rm -rf "$work"
mkdir -p "$work"

# A fresh installation folder: Launcher.exe and web/ exactly as a release lays them out.
install_launcher() {  # install_launcher <folder>
    cmake --install "$build_dir" --prefix "$1" >/dev/null || return 1
    [ -f "$1/Launcher.exe" ] && [ -f "$1/web/index.html" ]
}

# Runs one Windows program under Wine on its own virtual display, bounded in time.
run_windows() {  # run_windows <seconds> <exe> [args...]
    local seconds=$1
    shift
    timeout --kill-after=10 "$seconds" xvfb-run -a -s "-screen 0 ${screen:-1280x800}x24" \
        "$wine_run" "$@" >"$work/wine-output.txt" 2>&1
}

# The release server: a signed manifest over the files under $server/launcher_files, served on
# an ephemeral loopback port ($port).
server=$work/server
entry() {  # entry <path> <executable> [platform]
    local file=$server/launcher_files/$1
    printf '{"path":"%s","sha256":"%s","size":%d,"executable":%s%s}' "$1" \
        "$(sha256sum "$file" | cut -d' ' -f1)" "$(stat -c %s "$file")" "$2" \
        "${3:+,\"platform\":\"$3\"}"
}
serve_release() {  # serve_release <entry JSON>...
    local IFS=,
    printf '{"version":{"major":2,"minor":4,"patch":6},"files":[%s]}' "$*" \
        >"$server/update.manifest.json"
    unset IFS
    if [ "$(cache_value KM_MANIFEST_PUBLIC_KEY)" != d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a ]; then
        echo "SKIP: this build trusts a deployment key; the test signs with the development key"
        exit 77
    fi
    # RFC 8032's first test key, the development key this build trusts.
    printf '302e020100300506032b657004220420%s' \
        9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60 \
        | python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.stdin.read()))' \
        | openssl pkey -inform DER -out "$work/signing.pem"
    openssl pkeyutl -sign -rawin -inkey "$work/signing.pem" -in "$server/update.manifest.json" \
        -out "$server/update.manifest.json.sig"
    check "the signature is 64 raw bytes" test "$(stat -c %s "$server/update.manifest.json.sig")" = 64

    python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$server" >"$work/server.log" 2>&1 &
    server_pid=$!
    trap 'kill $server_pid 2>/dev/null' EXIT
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's/.*port \([0-9][0-9]*\).*/\1/p' "$work/server.log" | head -1)
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || { echo "FAIL - the release server did not start"; exit 1; }
}

if [ "$scenario" = update_and_launch ]; then
    launch_token=$(cache_value KM_LAUNCH_TOKEN)
    # Blanks and non-ASCII letters in the folder: the UTF-8 code page of the manifest must make
    # the narrow paths, the page URL and the profile folder agree.
    install="$work/Juegos Ñandú/install"
    check "cmake --install lays out Launcher.exe and web/" install_launcher "$install"
    cp "$loader" "$install/WebView2Loader.dll"

    # The release: the game client as a pending-replacement executable, a data file with
    # non-ASCII text, a page file (which makes the launcher reload the page), and a Linux-only
    # file that a Windows launcher must skip.
    mkdir -p "$server/launcher_files/data" "$server/launcher_files/web"
    cp "$game" "$server/launcher_files/Game_x64_win.exe"
    printf 'Crónicas de Keldmoor\r\n' >"$server/launcher_files/data/notes.txt"
    printf 'page extra\n' >"$server/launcher_files/web/extra.txt"
    printf 'not for Windows\n' >"$server/launcher_files/linux_only.bin"
    serve_release "$(entry Game_x64_win.exe true windows)" "$(entry data/notes.txt false)" \
        "$(entry web/extra.txt false)" "$(entry linux_only.bin false linux)"

    printf 'host=127.0.0.1\r\nport=%s\r\n' "$port" >"$install/launcher.ini"
    cat >"$install/webview_scenario.txt" <<'SCENARIO'
# A UI-event message without its text is ignored, not dereferenced.
null_event
sleep 100
# The page loads and asks for its state; the server probe finds the server and updates.
send {"cmd":"ready"}
wait {"event":"updateComplete"
wait {"event":"updating","isUpdating":false}
sleep 1000
# The drag strip: the top 36 rows, except the last 92 columns; nothing above or left of the
# client area.
hittest 10 35
hittest 10 36
hittest 1007 0
hittest 1008 0
hittest 500 -5
hittest -3 10
# The page minimises the window; restoring it must refit the view.
send {"cmd":"minimize"}
sleep 300
restore
sleep 300
# The player presses play: another check (nothing to download), then the game starts.
send {"cmd":"launch","betaMode":false}
SCENARIO

    # A screen smaller than the window: the centred position is negative, and the hit test must
    # read negative screen coordinates.
    screen=1024x600 run_windows 240 "$install/Launcher.exe"
    rc=$?
    log=$install/webview_log.txt
    posted=$install/webview_posted.txt
    check "Launcher.exe exits with code 0 after starting the game (got $rc)" test $rc = 0
    check "the game client was installed from its pending replacement" \
        cmp -s "$game" "$install/Game_x64_win.exe"
    check "no pending replacement is left" test ! -e "$install/Game_x64_win.exe.update"
    check "the data file arrived byte for byte" \
        cmp -s "$server/launcher_files/data/notes.txt" "$install/data/notes.txt"
    check "the page file arrived" test -f "$install/web/extra.txt"
    check "the Linux-only file was skipped" test ! -e "$install/linux_only.bin"
    record=$install/start_record.txt
    # The launcher ends as soon as the game has been started; the game writes on its own time.
    for _ in $(seq 200); do
        grep -q '^KMASH_LAUNCH=' "$record" 2>/dev/null && break
        sleep 0.1
    done
    check "the game was started once" test "$(grep -c '^command_line=' "$record" 2>/dev/null)" = 1
    check "the game's command line names it" contains "$record" "Game_x64_win.exe"
    check "the game runs in the installation folder" \
        contains "$record" "working_directory=$(windows_path "$install")"
    check "the game inherited KMASH_LAUNCH" contains "$record" "KMASH_LAUNCH=$launch_token"

    check "options: the autoplay switch" \
        contains "$log" "option AdditionalBrowserArguments --autoplay-policy=no-user-gesture-required"
    check "options: the target browser version" \
        contains "$log" "option TargetCompatibleBrowserVersion 129.0.2792.45"
    check "options: language left unset" contains "$log" "option Language (null)"
    check "options: single sign-on left off" \
        contains "$log" "option AllowSingleSignOnUsingOSPrimaryAccount FALSE"
    check "the profile lives in cache\\webview" \
        contains "$log" "user_data $(windows_path "$install")\\cache\\webview"
    # x = (1024 - 1100) / 2 shows the signed formula; Wine sometimes moves a window whose top is
    # off the screen down into its work area when it maps it, so y is -60 or that top.
    check "the window is centred by the signed formula on a 1024x600 screen" \
        grep -qE "parent window rect -38 (-60 1062 660|([0-9]+) 1062 [0-9]+)$" "$log"
    check "the controller is created in the launcher's window" \
        contains "$log" "CreateCoreWebView2Controller parent class KMAshvowLauncher"
    check "the settings lock the page down, in order" test "$(grep '^put_' "$log" | grep -v Bounds \
        | tr '\n' ';')" = "put_AreDefaultContextMenusEnabled FALSE;put_AreDevToolsEnabled FALSE;put_IsStatusBarEnabled FALSE;put_IsZoomControlEnabled FALSE;"
    page_url="file:///$(windows_path "$install" | tr '\\' '/')/web/index.html"
    # Compared after percent-decoding: how much of the URL is escaped is the URL builder's choice.
    navigated() {
        python3 -c '
import sys, urllib.parse
urls = [l.split(" ", 1)[1] for l in open(sys.argv[1], encoding="utf-8").read().splitlines()
        if l.startswith("Navigate ")]
sys.exit(0 if urls and urllib.parse.unquote(urls[0]) == sys.argv[2] else 1)' "$log" "$1"
    }
    check "the page is navigated to $page_url" navigated "$page_url"
    check "the view fills the 1100x720 client area" contains "$log" "put_Bounds 0 0 1100 720"
    check "both completion handlers answered S_OK" \
        test "$(grep -c 'handler answered 0$' "$log")" = 2
    check "the drag strip answers HTCAPTION and HTCLIENT where it should" test \
        "$(grep '^hittest' "$log" | tr '\n' ';')" = "hittest 10 35 -> 2;hittest 10 36 -> 1;hittest 1007 0 -> 2;hittest 1008 0 -> 1;hittest 500 -5 -> 1;hittest -3 10 -> 1;"
    check "the page's minimize command minimised the window" \
        contains "$log" "window minimized before restore: yes"
    check "restoring the window refitted the view" \
        test "$(sed -n '/window minimized before restore/,$p' "$log" | grep -c 'put_Bounds 0 0 1100 720')" -ge 1
    check "the changed page file made the view reload" contains "$log" "Reload"
    check "every web view call came on the window's thread" lacks "$log" "WRONG THREAD"
    check "the host made no call the fake does not expect" lacks "$log" "unexpected call"
    check "the scenario ran to its end" lacks "$log" "FAIL"
    check "ready answered with the version" contains "$posted" '{"event":"version"'
    check "the server was seen online" contains "$posted" '"online":true'
    check "the first check downloaded the three files" \
        contains "$posted" '{"event":"updateComplete","downloaded":3,"restartNeeded":false}'
    check "every posted text is one valid JSON object" python3 -c '
import json, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
assert lines and all(isinstance(json.loads(l), dict) for l in lines)' "$posted"
elif [ "$scenario" = self_update ]; then
    # A new Launcher.exe in the release: staged beside the running one, the page is asked to
    # restart, restartNow starts a second launcher which puts the new executable in place and
    # starts itself again (the third launcher), which removes the old copy and opens its window.
    install=$work/install
    check "cmake --install lays out Launcher.exe and web/" install_launcher "$install"
    cp "$loader" "$install/WebView2Loader.dll"
    mkdir -p "$server/launcher_files"
    cp "$install/Launcher.exe" "$server/launcher_files/Launcher.exe"
    printf 'next version' >>"$server/launcher_files/Launcher.exe"  # same program, new bytes
    serve_release "$(entry Launcher.exe true)"
    printf 'host=127.0.0.1\r\nport=%s\r\n' "$port" >"$install/launcher.ini"
    cat >"$install/webview_scenario.txt" <<'SCENARIO'
send {"cmd":"ready"}
wait {"event":"restartPrompt"}
send {"cmd":"restartNow"}
SCENARIO
    run_windows 240 "$answerer" "$(windows_path "$work/record.txt")" \
        "$(windows_path "$install/Launcher.exe")" --expect-second
    record=$work/record.txt
    posted=$install/webview_posted.txt
    check "the first launcher asked for a restart" \
        contains "$posted" '{"event":"updateComplete","downloaded":1,"restartNeeded":true}'
    check "the first launcher exits 0 after restartNow" contains "$record" "exit 0"
    check "a later launcher opened its window" \
        contains "$record" "second launcher window Keldmoor Ashvow"
    check "that launcher closes with exit code 0" contains "$record" "second exit 0"
    check "the new Launcher.exe is in place" \
        cmp -s "$server/launcher_files/Launcher.exe" "$install/Launcher.exe"
    check "no pending replacement is left" test ! -e "$install/Launcher.exe.update"
    check "the old copy was removed" test ! -e "$install/Launcher.exe.old"
    check "no message box was shown" lacks "$record" "box "
    check "the scenario ran to its end" lacks "$install/webview_log.txt" "FAIL"
elif [ "$scenario" = two_at_once ]; then
    # Two starts of one folder at once: one launcher, one update check, the other start ends
    # with 0. A third start while the window is minimised restores it and gives it the focus.
    install=$work/install
    check "cmake --install lays out Launcher.exe and web/" install_launcher "$install"
    cp "$loader" "$install/WebView2Loader.dll"
    mkdir -p "$server/launcher_files/data"
    printf 'one\n' >"$server/launcher_files/data/one.txt"
    serve_release "$(entry data/one.txt false)"
    printf 'host=127.0.0.1\r\nport=%s\r\n' "$port" >"$install/launcher.ini"
    cat >"$install/webview_scenario.txt" <<'SCENARIO'
send {"cmd":"ready"}
wait {"event":"updateComplete"
SCENARIO
    run_windows 240 "$answerer" "$(windows_path "$work/record.txt")" \
        "$(windows_path "$install/Launcher.exe")" --two-at-once
    record=$work/record.txt
    requests() { grep -c "\"GET $1 HTTP" "$work/server.log"; }
    check "the start that found the folder taken ended with 0" contains "$record" "a start ended 0"
    check "no other launcher window" contains "$record" "other launcher windows none"
    check "one update check (one signature, the probe's and the check's manifest)" \
        test "$(requests /update.manifest.json.sig) $(requests /update.manifest.json)" = "1 2"
    check "the check installed the release" \
        cmp -s "$server/launcher_files/data/one.txt" "$install/data/one.txt"
    check "the window was minimised, another in the foreground" \
        contains "$record" "minimised yes, foreground another window"
    check "the third start ended with 0" contains "$record" "third start ended 0"
    check "the third start restored the window" contains "$record" "minimised after no"
    check "the launcher's window is in the foreground" contains "$record" "foreground the launcher"
    check "the launcher closes with exit code 0" contains "$record" "survivor exit 0"
elif [ "$scenario" = runtime_refuses ]; then
    # The loader is there but the runtime cannot create its environment: one error box owned by
    # the window, which stays open and dark until the player closes it.
    install=$work/install
    check "cmake --install lays out Launcher.exe and web/" install_launcher "$install"
    cp "$loader" "$install/WebView2Loader.dll"
    touch "$install/webview_refuse_environment"
    run_windows 180 "$answerer" "$(windows_path "$work/record.txt")" \
        "$(windows_path "$install/Launcher.exe")" ok --close-window
    record=$work/record.txt
    check "one box: the environment failure text" diff <(grep '^box ' "$record") \
        <(echo "box Launcher|WebView2 runtime not available. Install the Evergreen runtime from Microsoft.")
    check "the box is owned by the launcher's window" contains "$record" "owner KMAshvowLauncher"
    check "the window stayed open after the box" contains "$record" "close window Keldmoor Ashvow"
    check "closing the window ends the launcher with code 0" contains "$record" "exit 0"
    check "the failure went back to the runtime" \
        contains "$install/webview_log.txt" "environment handler answered -2147024894 to a refusal"
    check "no controller was asked for" lacks "$install/webview_log.txt" "CreateCoreWebView2Controller"
elif [ "$scenario" = runtime_missing ]; then
    download_url=$(cache_value KM_WEBVIEW2_DOWNLOAD_URL)
    consent='box Keldmoor Ashvow Launcher|Para abrir el Launcher necesitas instalar Microsoft WebView2 (componente requerido por Windows).\n\nSe descargara automaticamente (~2 MB) e instalara en silencio.\nEl proceso tarda ~1 minuto y no requiere reiniciar Windows.\n\nPresiona Aceptar para instalarlo ahora.'
    play() {  # play <case> <answers...>: runs the launcher with the box answerer
        local case_dir=$work/$1
        shift
        run_windows 180 "$answerer" "$(windows_path "$case_dir/boxes.txt")" \
            "$(windows_path "$case_dir/install/Launcher.exe")" "$@"
    }
    boxes_are() {  # boxes_are <case> <expected lines...>
        local file=$work/$1/boxes.txt
        shift
        diff <(grep '^box ' "$file") <(printf '%s\n' "$@") >/dev/null
    }
    prepare() {  # prepare <case>: an installation without the loader DLL
        install_launcher "$work/$1/install"
    }

    prepare declined
    play declined cancel
    check "declined: exit code 1" contains "$work/declined/boxes.txt" "exit 1"
    check "declined: only the consent box" boxes_are declined "$consent"
    check "declined: the box has no owner window" contains "$work/declined/boxes.txt" "owner none"
    check "declined: no launcher.ini was created" test ! -e "$work/declined/install/launcher.ini"

    prepare no_installer
    play no_installer ok ok
    check "installer missing: exit code 1" contains "$work/no_installer/boxes.txt" "exit 1"
    check "installer missing: consent, then the missing-installer box" boxes_are no_installer \
        "$consent" "box Launcher|No se encontro el instalador (MicrosoftEdgeWebView2Setup.exe).\nReinstala el Launcher o descarga WebView2 manualmente desde:\n$download_url"

    prepare broken_installer
    printf 'not a program' >"$work/broken_installer/install/MicrosoftEdgeWebView2Setup.exe"
    play broken_installer ok ok
    check "installer cannot start: exit code 1" contains "$work/broken_installer/boxes.txt" "exit 1"
    check "installer cannot start: the failed-start box, accent intact" boxes_are broken_installer \
        "$consent" "box Launcher|No se pudo iniciar el instalador de WebView2.\nProbá ejecutar el Launcher como administrador."

    prepare still_missing
    cp "$game" "$work/still_missing/install/MicrosoftEdgeWebView2Setup.exe"
    play still_missing ok ok
    check "runtime still missing: exit code 1" contains "$work/still_missing/boxes.txt" "exit 1"
    check "runtime still missing: the still-missing box" boxes_are still_missing "$consent" \
        "box Launcher|La instalacion de WebView2 no se completo.\nDescargalo manualmente desde:\n$download_url\ny volve a abrir el Launcher."
    check "the installer ran silently" \
        contains "$work/still_missing/install/start_record.txt" '" /silent /install'

    prepare installed
    cp "$game" "$work/installed/install/MicrosoftEdgeWebView2Setup.exe"
    cp "$loader" "$work/installed/install/installer_payload.dll"
    play installed ok --expect-second
    check "installed: the first launcher exits 0" contains "$work/installed/boxes.txt" "exit 0"
    check "installed: only the consent box" boxes_are installed "$consent"
    check "installed: a second launcher opened its window" \
        contains "$work/installed/boxes.txt" "second launcher window Keldmoor Ashvow"
    check "installed: the second launcher closes with exit code 0" \
        contains "$work/installed/boxes.txt" "second exit 0"
    check "installed: the second launcher created launcher.ini" \
        test -f "$work/installed/install/launcher.ini"
else
    echo "unknown scenario $scenario" >&2
    exit 2
fi

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed; files are in $work"
    exit 1
fi
echo "all checks passed"
