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
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo true)
# A program started while the previous one's wineserver is going away can lose its connection
# before it runs a line ("wine client error: ... Connection reset by peer"): that start, and only
# that one, is made again once the old server is gone.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2; do
    set +e
    { "$wine" "$exe" "$@" 2>&1 1>&3 | tee "$errors" >&2; } 3>&1
    status=${PIPESTATUS[0]}
    set -e
    if [ "$status" -ne 0 ] && [ "$attempt" = 1 ] && grep -q '^wine client error' "$errors"; then
        "$wineserver" -w 2>/dev/null || true
        continue
    fi
    exit "$status"
done
