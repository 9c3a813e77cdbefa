#!/usr/bin/env bash
# KeldmoorAshvowSetup.exe under Wine, in a Wine prefix of its own: a signed installer made from
# a release folder with a signed Launcher.exe, a silent install (files, shortcuts, uninstall
# entry), the installed launcher starting with the test-only WebView2 loader, an upgrade over
# the player's files, a refused foreign folder, a silent uninstall that keeps the game data, a
# purge, and nothing outside the installation folder touched.
#   run_installer.sh --build-dir D --game G --loader W --make-installer SCRIPT --km-sign TOOL
# Exit code 77 (skipped) when Wine, Xvfb, makensis or osslsigncode is missing.
set -uo pipefail

while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build_dir=$2 ;;
        --game) game=$2 ;;
        --loader) loader=$2 ;;
        --make-installer) make_installer=$2 ;;
        --km-sign) km_sign=$2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine) || { echo "SKIP: no Wine"; exit 77; }
for tool in xvfb-run makensis osslsigncode openssl; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

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

work=$build_dir/tests/wine/installer
rm -rf "$work"
mkdir -p "$work/home"
# Wine links the prefix's Desktop and Documents to $HOME and mirrors shortcuts into the desktop's
# menus: keep all of that inside the test folder.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
run() {  # run <exe> [args...]: a Windows program, waiting for every process it started
    timeout --kill-after=10 180 "$wine" "$@" >>"$work/wine-output.txt" 2>&1
    local rc=$?
    timeout 60 "$(dirname "$wine")/wineserver" -w
    return $rc
}
timeout 300 "$wine" wineboot -i >/dev/null 2>&1
"$(dirname "$wine")/wineserver" -w

# The release folder as docs/deploy.md has an operator make it, with test stand-ins for the two
# Microsoft files, and a throw-away code-signing certificate.
release=$work/release
cmake --install "$build_dir" --prefix "$release" >/dev/null
cp "$loader" "$release/WebView2Loader.dll"
cp "$game" "$release/MicrosoftEdgeWebView2Setup.exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Keldmoor Test Signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
sign() { "$km_sign" --key "$work/key.pem" --cert "$work/cert.pem" "$@" >/dev/null; }
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }
sign "$release/Launcher.exe"
printf 'host=127.0.0.1\r\nport=9\r\n' >"$work/operator.ini"
build_setup() {  # build_setup <version> <output>
    cmake -DBUILD_DIR="$build_dir" -DSTAGE="$work/stage" -DOUT="$2" -DVERSION="$1" \
        -DPUBLISHER="Test Publisher" -DMAKENSIS="$(command -v makensis)" -DFROM="$release" \
        -DLAUNCHER_INI="$work/operator.ini" -P "$make_installer" >/dev/null && sign "$2"
}
setup=$work/KeldmoorAshvowSetup.exe
check "the installer is built and signed" build_setup 2.4.6 "$setup"
check "the installer's signature verifies" verifies "$setup"

drive_c=$WINEPREFIX/drive_c
programs=$(echo "$drive_c"/users/*/AppData/Local)/Programs
install=$programs/Keldmoor\ Ashvow
# Around the installation folder: a sibling whose name it begins with, a file beside it, and a
# folder outside that a link from the game data leads to.
mkdir -p "$programs/Keldmoor Ashvow Old" "$work/outside" "$drive_c/foreign"
echo keep >"$programs/Keldmoor Ashvow Old/keep.txt"
echo keep >"$programs/keep.txt"
echo keep >"$work/outside/precious.txt"
echo notes >"$drive_c/foreign/notes.txt"
# Everything outside the installation folder, except what Wine itself writes (temporary files,
# its registry files, the uninstaller's temporary copy).
snapshot() {
    (cd "$work" && find prefix home outside -path 'prefix/drive_c/users/*/AppData/Local/Programs/Keldmoor Ashvow' -prune \
        -o -path '*/Temp' -prune -o -name '*.reg' -o -printf '%p %s %y\n' | sort)
}
snapshot >"$work/before.txt"

check "silent install exits 0" run "$setup" /S
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KeldmoorAshvow'
reg_value() {  # reg_value <name>: the value's type and data
    "$wine" reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$1 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p"
}
where=$(reg_value InstallLocation | sed 's/^REG_SZ //')
check "installed into %LOCALAPPDATA%\\Programs\\Keldmoor Ashvow ($where)" \
    test -f "$install/Launcher.exe" -a "${where##*\\AppData\\Local\\}" = 'Programs\Keldmoor Ashvow'
while IFS='|' read -r name expected; do
    check "uninstall entry $name is $expected" test "$(reg_value "$name")" = "$expected"
done <<EOF
DisplayName|REG_SZ Keldmoor Ashvow
DisplayIcon|REG_SZ $where\\Launcher.exe,0
Publisher|REG_SZ Test Publisher
DisplayVersion|REG_SZ 2.4.6
UninstallString|REG_SZ "$where\\Uninstall.exe"
QuietUninstallString|REG_SZ "$where\\Uninstall.exe" /S
InstallLocation|REG_SZ $where
NoModify|REG_DWORD 0x1
NoRepair|REG_DWORD 0x1
EOF
check "uninstall entry EstimatedSize is a size in KiB" \
    test "$(($(reg_value EstimatedSize | sed 's/^REG_DWORD //')))" -gt 500
for file in Launcher.exe WebView2Loader.dll MicrosoftEdgeWebView2Setup.exe web/index.html; do
    check "$file installed as in the release folder" cmp -s "$release/$file" "$install/$file"
done
check "the operator's launcher.ini installed" cmp -s "$work/operator.ini" "$install/launcher.ini"
check "the installed Launcher.exe carries its signature" verifies "$install/Launcher.exe"
# A shell link to Launcher.exe whose icon is Launcher.exe's (LinkFlags: HasIconLocation).
shortcut_ok() {
    python3 - "$1" "$where\\Launcher.exe" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
flags = struct.unpack_from("<I", data, 0x14)[0]
sys.exit(0 if flags & 0x40 and sys.argv[2].encode("utf-16-le") in data else 1)
PY
}
user_dir=${programs%/AppData/Local/Programs}
start_menu="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
desktop=$user_dir/Desktop
check "Start-menu shortcut to Launcher.exe with its icon" shortcut_ok "$start_menu/Keldmoor Ashvow.lnk"
check "desktop shortcut to Launcher.exe with its icon" shortcut_ok "$desktop/Keldmoor Ashvow.lnk"

# The installed launcher starts (with the test-only loader in place of WebView2Loader.dll),
# answers the page's ready and closes when the page asks.
printf 'send {"cmd":"ready"}\nwait {"event":"version"\nsend {"cmd":"close"}\n' \
    >"$install/webview_scenario.txt"
(cd "$install" && timeout --kill-after=10 180 xvfb-run -a "$wine" "$install/Launcher.exe" \
    >>"$work/wine-output.txt" 2>&1)
check "the installed Launcher.exe ran and closed with exit code 0" test $? = 0
check "the page got the launcher's version" grep -qF '{"event":"version"' "$install/webview_posted.txt"
check "the launcher kept the operator's launcher.ini" grep -q '^host=127.0.0.1' "$install/launcher.ini"

# The player's files, a stale self-update and an older executable: an upgrade (with /D=) keeps
# the first, drops the second and replaces the third.
printf 'host=127.0.0.1\r\nport=8\r\n' >"$install/launcher.ini"
mkdir -p "$install/cache/banners" "$install/data/maps"
player_files=(launcher.ini settings.ini launcher_verify_cache.txt cache/banners/top.png
    Game_x64_win.exe data/maps/arena.map)
for file in "${player_files[@]:1}"; do echo "player's $file" >"$install/$file"; done
cp -r "$install" "$work/player-copy"
echo stale >"$install/Launcher.exe.update"
echo older >>"$install/Launcher.exe"
check "the upgrade installer is built and signed" build_setup 2.4.7 "$work/upgrade.exe"
check "silent upgrade with /D= exits 0" run "$work/upgrade.exe" /S "/D=$where"
for file in "${player_files[@]}"; do
    check "the upgrade kept $file" cmp -s "$work/player-copy/$file" "$install/$file"
done
check "the upgrade replaced Launcher.exe" cmp -s "$release/Launcher.exe" "$install/Launcher.exe"
check "the upgrade dropped the stale self-update" test ! -e "$install/Launcher.exe.update"
check "the uninstall entry shows the new version" test "$(reg_value DisplayVersion)" = "REG_SZ 2.4.7"

# A folder holding someone else's files is refused, and left as it was.
run "$setup" /S '/D=C:\foreign'
check "installing into a foreign folder fails (exit $?)" test $? != 0
check "the foreign folder is untouched" test "$(ls "$drive_c/foreign")" = notes.txt
check "the uninstall entry still names the installation" test "$(reg_value InstallLocation)" = "REG_SZ $where"

# Silent uninstall: the launcher goes, the player's game files stay.
ln -s "$work/outside" "$install/data/linked"
check "silent uninstall exits 0" run "$install/Uninstall.exe" /S
for file in Launcher.exe WebView2Loader.dll MicrosoftEdgeWebView2Setup.exe web launcher.ini cache \
    Uninstall.exe; do
    check "the uninstall removed $file" test ! -e "$install/$file"
done
for file in settings.ini launcher_verify_cache.txt Game_x64_win.exe data/maps/arena.map; do
    check "the uninstall kept $file" cmp -s "$work/player-copy/$file" "$install/$file"
done
check "the shortcuts are gone" test ! -e "$start_menu/Keldmoor Ashvow.lnk" -a ! -e "$desktop/Keldmoor Ashvow.lnk"
check "the uninstall entry is gone" test -z "$(reg_value DisplayName)"

# Installing again over the kept game files, then a purge: the whole folder goes, the link's
# target stays.
check "installing over the kept game files exits 0" run "$setup" /S
check "the purge exits 0" run "$install/Uninstall.exe" /S /PURGE
# Wine 8 answers success to RemoveDirectoryW on a symbolic link but keeps the link (Windows
# removes a junction or directory link that way); everything else must be gone.
check "the purge removed the installation folder, link included where Wine can" \
    test "$(cd "$install" 2>/dev/null && find . | sort | tr '\n' ' ')" = ". ./data ./data/linked " -o ! -e "$install"
check "nothing outside the installation folder changed" diff "$work/before.txt" <(snapshot)

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed; files are in $work"
    exit 1
fi
echo "all checks passed"
