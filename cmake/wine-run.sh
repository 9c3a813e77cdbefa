#!/usr/bin/env bash
# Runs one Windows test program under Wine with a prefix private to the build folder, so a
# test run never touches the user's own Wine setup and never waits on Mono/Gecko dialogs.
set -euo pipefail
exe=$1
shift
build_dir=${KM_WINE_BUILD_DIR:-$(cd "$(dirname "$exe")" && pwd)}
while [ ! -f "$build_dir/CMakeCache.txt" ] && [ "$build_dir" != / ]; do build_dir=$(dirname "$build_dir"); done
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    (flock 9; [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1 || true) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$exe" "$@"
