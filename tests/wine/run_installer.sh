#!/usr/bin/env bash
# KeldmoorAshvowSetup-TESTKEY.exe under Wine, in a Wine prefix of its own: a signed installer
# made from a release folder with a signed Launcher.exe, a silent install (files, shortcuts,
# uninstall entry), the installed launcher starting with the test-only WebView2 loader, an
# upgrade over the player's files, a silent uninstall that keeps the game data, a purge, and
# nothing outside the installation folder touched; and each attack on the player's files:
# deleting through linked folders, adopting or purging a foreign folder, a test-key installer
# passing for a release, a downgrade, and other local users' rights on a new folder.
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
    timeout --kill-after=10 180 "$wine" "$@" </dev/null >>"$work/wine-output.txt" 2>&1
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
# The windows preset's key: RFC 8032's test key, whose private half is published.
test_key=d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a
build_setup() {  # build_setup <version> <output> [manifest key]
    cmake -DBUILD_DIR="$build_dir" -DSTAGE="$work/stage" -DOUT="$2" -DVERSION="$1" \
        -DPUBLISHER="Test Publisher" -DMAKENSIS="$(command -v makensis)" -DFROM="$release" \
        -DMANIFEST_PUBLIC_KEY="${3:-$test_key}" -DLAUNCHER_INI="$work/operator.ini" \
        -P "$make_installer" >/dev/null 2>&1 && sign "$2"
}
fails() { ! "$@"; }
setup=$work/KeldmoorAshvowSetup-TESTKEY.exe
check "the installer is built and signed" build_setup 2.4.6 "$setup"
check "the installer's signature verifies" verifies "$setup"
# Attack "test-key installer passing for a release": none is made under the plain name.
while IFS='|' read -r what build_key; do
    check "test-key installer passing for a release: refused ($what)" \
        fails build_setup 2.4.6 "$work/KeldmoorAshvowSetup.exe" "$build_key"
done <<EOF
the build's key in capitals|${test_key^^}
another build key, but the packed Launcher.exe trusts the test key|3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c
EOF

drive_c=$WINEPREFIX/drive_c
programs=$(echo "$drive_c"/users/*/AppData/Local)/Programs
install=$programs/Keldmoor\ Ashvow
# Around the installation folder: a sibling whose name it begins with, a file beside it, and a
# folder outside that a link from the game data leads to.
mkdir -p "$programs/Keldmoor Ashvow Old" "$work/outside"
echo keep >"$programs/Keldmoor Ashvow Old/keep.txt"
echo keep >"$programs/keep.txt"
echo keep >"$work/outside/precious.txt"
# Folders elsewhere that the installation's cache, updates and web will be links to.
for folder in cache updates web; do
    mkdir -p "$work/outside/$folder" && echo keep >"$work/outside/$folder/precious.txt"
done
# Folders that are not ours (folder|its files): the installer must refuse each, whatever it holds.
foreign_folders='foreign|notes.txt
OtherGame|Launcher.exe Uninstall.exe saves/slot1.sav
Leftover|launcher_verify_cache.txt saves/slot1.sav
Forged|launcher_installation.txt saves/slot1.sav'
while IFS='|' read -r folder files; do
    for file in $files; do
        mkdir -p "$(dirname "$drive_c/$folder/$file")" && echo "$folder's own" >"$drive_c/$folder/$file"
    done
done <<<"$foreign_folders"
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
DisplayName|REG_SZ Keldmoor Ashvow (TESTKEY)
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

# A launcher holds its folder before it has a window (here at its runtime prompt, the loader
# moved aside): the installer stays out, as it does for a launcher's window.
mv "$install/WebView2Loader.dll" "$work/loader-aside.dll"
rm -f "$install/launcher.lock"
(cd "$install" && timeout --kill-after=10 120 xvfb-run -a "$wine" "$install/Launcher.exe" \
    >>"$work/wine-output.txt" 2>&1) &
for _ in $(seq 150); do [ -s "$install/launcher.lock" ] && break; sleep 0.2; done
cp "$install/Launcher.exe" "$work/held.exe"
timeout 120 "$wine" "$setup" /S </dev/null >>"$work/wine-output.txt" 2>&1
check "a launcher holding the folder without a window: the installer refuses (exit $?)" test $? = 4
check "a launcher holding the folder without a window: Launcher.exe untouched" \
    cmp -s "$work/held.exe" "$install/Launcher.exe"
"$(dirname "$wine")/wineserver" -k
wait
mv "$work/loader-aside.dll" "$install/WebView2Loader.dll"

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
# As an installer without a marker left it: the uninstall entry alone names the folder.
rm "$install/launcher_installation.txt"
upgrade=$work/upgrade-TESTKEY.exe
check "the upgrade installer is built and signed" build_setup 2.4.7 "$upgrade"
check "silent upgrade with /D= exits 0" run "$upgrade" /S "/D=$where"
check "the upgrade marked the folder as ours" test "$(cat "$install/launcher_installation.txt")" = KeldmoorAshvow
for file in "${player_files[@]}"; do
    check "the upgrade kept $file" cmp -s "$work/player-copy/$file" "$install/$file"
done
check "the upgrade replaced Launcher.exe" cmp -s "$release/Launcher.exe" "$install/Launcher.exe"
check "the upgrade dropped the stale self-update" test ! -e "$install/Launcher.exe.update"
check "the uninstall entry shows the new version" test "$(reg_value DisplayVersion)" = "REG_SZ 2.4.7"

# Attack "downgrade by an older installer": older than the uninstall entry, or than a launcher a
# self-update made newer (its file version raised in place), refused silently with exit code 5
# and nothing changed; an equal version reinstalls.
set_file_version() {  # set_file_version <exe> <major> <minor>: VS_FIXEDFILEINFO's FILEVERSION
    python3 - "$@" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.index(struct.pack("<I", 0xFEEF04BD))
struct.pack_into("<II", data, at + 8, int(sys.argv[2]) << 16 | int(sys.argv[3]), 0)
open(sys.argv[1], "wb").write(data)
PY
}
while IFS='|' read -r what installer launcher_version expected; do
    cp "$release/Launcher.exe" "$install/Launcher.exe"
    set_file_version "$install/Launcher.exe" ${launcher_version/./ }
    cp "$install/Launcher.exe" "$work/installed.exe"
    run "$installer" /S
    check "downgrade by an older installer: $what (exit $?)" test $? = "$expected"
    [ "$expected" = 0 ] && continue
    check "downgrade by an older installer: $what leaves Launcher.exe" cmp -s "$work/installed.exe" "$install/Launcher.exe"
    check "downgrade by an older installer: $what leaves the uninstall entry" test "$(reg_value DisplayVersion)" = "REG_SZ 2.4.7"
done <<EOF
2.4.6 under the entry's 2.4.7|$setup|1.0|5
same release, launcher self-updated to 1.1|$upgrade|1.1|5
same release, same launcher|$upgrade|1.0|0
EOF
check "the equal reinstall put the release's Launcher.exe back" cmp -s "$release/Launcher.exe" "$install/Launcher.exe"

# Attack "adopting a foreign folder": another game's Launcher.exe, a stray verify cache or a
# marker naming something else makes no folder ours. Each is refused (exit code 3) and left as
# it was; so is a purge there by our uninstaller (`_?=` names its folder; exit code 2).
while IFS='|' read -r folder files; do
    run "$setup" /S "/D=C:\\$folder"
    check "adopting a foreign folder: $folder refused (exit $?)" test $? = 3
    check "adopting a foreign folder: $folder untouched" \
        test "$(cd "$drive_c/$folder" && find . -type f | sort | tr '\n' ' ')" = "$(printf './%s\n' $files | sort | tr '\n' ' ')"
done <<<"$foreign_folders"
run "$install/Uninstall.exe" /S /PURGE '_?=C:\OtherGame'
check "purging a foreign folder: refused (exit $?)" test $? = 2
check "purging a foreign folder: its saves stay" test -f "$drive_c/OtherGame/saves/slot1.sav"
check "the uninstall entry still names the installation" test "$(reg_value InstallLocation)" = "REG_SZ $where"

# Silent uninstall: the launcher goes, the player's game files stay. Attack "uninstall through a
# linked folder": cache and updates are links to folders elsewhere (Wine shows a Unix symbolic
# link to a folder as a reparse point, as Windows shows a junction); what they lead to stays.
ln -s "$work/outside" "$install/data/linked"
for folder in cache updates; do
    rm -rf "$install/$folder" && ln -s "$work/outside/$folder" "$install/$folder"
done
check "silent uninstall exits 0" run "$install/Uninstall.exe" /S
for file in Launcher.exe WebView2Loader.dll MicrosoftEdgeWebView2Setup.exe web launcher.ini \
    launcher.lock Uninstall.exe; do
    check "the uninstall removed $file" test ! -e "$install/$file"
done
for folder in cache updates; do
    check "uninstall through a linked folder: $folder's target keeps its files" test -f "$work/outside/$folder/precious.txt"
done
for file in settings.ini launcher_verify_cache.txt Game_x64_win.exe data/maps/arena.map; do
    check "the uninstall kept $file" cmp -s "$work/player-copy/$file" "$install/$file"
done
check "the shortcuts are gone" test ! -e "$start_menu/Keldmoor Ashvow.lnk" -a ! -e "$desktop/Keldmoor Ashvow.lnk"
check "the uninstall entry is gone" test -z "$(reg_value DisplayName)"

# Installing again over the kept game files, then a purge: the whole folder goes, the link's
# target stays.
check "installing over the kept game files exits 0" run "$setup" /S
rm -f "$install/cache" "$install/updates"
rm -rf "$install/web" && ln -s "$work/outside/web" "$install/web"
check "the purge exits 0" run "$install/Uninstall.exe" /S /PURGE
# Wine 8 does not remove a symbolic link to a folder with RemoveDirectoryW (Windows removes a
# junction or directory link that way); everything else must be gone.
check "the purge removed the installation folder, links included where Wine can" \
    test "$(cd "$install" 2>/dev/null && find . | sort | tr '\n' ' ')" = ". ./data ./data/linked ./web " -o ! -e "$install"
check "uninstall through a linked folder: web's target keeps its files" test -f "$work/outside/web/precious.txt"
check "nothing outside the installation folder changed" diff "$work/before.txt" <(snapshot)

# Attack "other local users replacing the launcher": a folder the installer makes (C:\Games too)
# gets a protected list of the player, SYSTEM and Administrators; one that exists keeps its list.
# Wine keeps no access list, but turns one into Unix mode bits: with no ACE for Everyone, none
# for "other".
games=$drive_c/Games
closed_to_others() { local mode; mode=$(stat -c %a "$1") && [ $((8#$mode & 7)) = 0 ]; }
# /D= only counts unquoted, and Wine quotes an argument with blanks: these names have none.
check "installing into a new C:\\Games\\Ashvow exits 0" run "$setup" /S '/D=C:\Games\Ashvow'
check "other local users replacing the launcher: a new folder is closed to them" \
    closed_to_others "$games/Ashvow"
mkdir -p "$games/Shared" && chmod 777 "$games/Shared"
check "installing into an existing empty folder exits 0" run "$setup" /S '/D=C:\Games\Shared'
check "other local users replacing the launcher: an existing folder keeps its rights" \
    test "$(stat -c %a "$games/Shared")" = 777
# Attack "uninstall through a linked folder", the installation folder itself a link: a purge
# there removes the link, never what it leads to.
echo "player's settings" >"$games/Ashvow/settings.ini"
ln -s "$games/Ashvow" "$games/Linked"
check "the purge through a linked installation folder exits 0" \
    run "$games/Ashvow/Uninstall.exe" /S /PURGE '_?=C:\Games\Linked'
check "uninstall through a linked folder: the installation folder's target keeps its files" \
    test -f "$games/Ashvow/settings.ini" -a -f "$games/Ashvow/launcher_installation.txt"

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed; files are in $work"
    exit 1
fi
echo "all checks passed"
