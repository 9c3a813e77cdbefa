#!/usr/bin/env bash
# The demo: installs what it needs, builds the launcher, publishes a signed demo release, serves
# it with nginx on loopback, and runs the launcher on a fresh installation folder that points
# there. On a machine without a display the launcher runs under Xvfb and closes after
# DEMO_TIMEOUT seconds (default 90). A screenshot is saved once the page has settled: the update
# check started by its last load found nothing to download, and the window shows a steady picture.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${KM_BUILD_DIR:-build/linux}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
DEMO=$ROOT/build/demo
# RFC 8032, section 7.1, TEST 1: the development key whose public half the build trusts.
DEV_SEED=9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60

say() { printf '\n==== %s\n' "$*"; }

say "installing packages"
bash scripts/install-deps.sh

say "building ($BUILD)"
if [ "$BUILD" = "$ROOT/build/linux" ]; then cmake --preset linux >/dev/null
else cmake --preset linux -B "$BUILD" >/dev/null; fi
cmake --build "$BUILD" -j2 --target Launcher km-keygen km-publish km-demo-game km-demo-beta-server

say "making the demo release"
rm -rf "$DEMO"
mkdir -p "$DEMO/release" "$DEMO/content" "$DEMO/nginx/logs" "$DEMO/nginx/tmp"
cp -a demo/release/. "$DEMO/release/"
cp -a web "$DEMO/release/web"
cp "$BUILD/Launcher" "$DEMO/release/Launcher"
cp "$BUILD/demo/Game_x64_win.exe" "$DEMO/release/Game_x64_win.exe"
"$BUILD/km-keygen" --from-seed "$DEV_SEED" "$DEMO/key.pem"
# The development key: the demo launcher trusts the test key, which only development releases may.
"$BUILD/km-publish" --key "$DEMO/key.pem" --version 1.0.0 --from "$DEMO/release" --to "$DEMO/content" \
    --allow-test-key
cp -a demo/server/. "$DEMO/content/"

PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "serving it with nginx"
NGINX_USER=; [ "$(id -u)" = 0 ] && NGINX_USER="user root;"
PORT=
for attempt in $(seq 1 20); do
    candidate=$(( 20000 + (RANDOM % 20000) ))
    cat > "$DEMO/nginx/nginx.conf" <<CONF
$NGINX_USER
worker_processes 1;
pid $DEMO/nginx/nginx.pid;
error_log $DEMO/nginx/logs/error.log;
events { worker_connections 64; }
http {
    log_format timed '\$msec \$request_uri \$status';
    access_log $DEMO/nginx/logs/access.log timed;
    client_body_temp_path $DEMO/nginx/tmp/body;
    proxy_temp_path $DEMO/nginx/tmp/proxy;
    fastcgi_temp_path $DEMO/nginx/tmp/fastcgi;
    uwsgi_temp_path $DEMO/nginx/tmp/uwsgi;
    scgi_temp_path $DEMO/nginx/tmp/scgi;
    types { application/json json; image/png png; text/html html; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$candidate;
        root $DEMO/content;
    }
}
CONF
    nginx -p "$DEMO/nginx" -c "$DEMO/nginx/nginx.conf" -g 'daemon off;' 2>>"$DEMO/nginx/logs/start.log" &
    pid=$!
    for _ in $(seq 1 50); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then PORT=$candidate; break; fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -n "$PORT" ]; then PIDS+=("$pid"); break; fi
    kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true
done
[ -n "$PORT" ] || { echo "nginx did not start; see $DEMO/nginx/logs" >&2; exit 1; }
echo "update server: http://127.0.0.1:$PORT/"

say "writing the installation folder"
cmake --install "$BUILD" --prefix "$DEMO/install" --component Unspecified >/dev/null
cat > "$DEMO/install/launcher.ini" <<INI
# Keldmoor Ashvow Launcher config
host=127.0.0.1
port=$PORT
manifest=/update.manifest.json
banners=/banners.json
game_exe=Game_x64_win.exe
game_args=--windowed
title=Keldmoor Ashvow
version=1.0.0
INI
echo "installation: $DEMO/install"

say "starting the beta server double"
BETA_HOST=$(sed -n 's/^inline constexpr char beta_host\[\] = "\(.*\)";/\1/p' "$BUILD/generated/km/build_config.h")
"$BUILD/demo/km-demo-beta-server" "$BETA_HOST" 8080 > "$DEMO/beta.log" 2>&1 &
PIDS+=($!)
sleep 0.3
if kill -0 "${PIDS[-1]}" 2>/dev/null; then cat "$DEMO/beta.log"
else echo "beta server double did not start (port 8080 on $BETA_HOST taken?)"; cat "$DEMO/beta.log"; fi

HEADLESS=
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    say "no display: starting Xvfb"
    HEADLESS=1
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >"$DEMO/xvfb.log" 2>&1 &
        xpid=$!
        for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xpid" 2>/dev/null; then
            PIDS+=("$xpid"); export DISPLAY=":$n"; break
        fi
        kill "$xpid" 2>/dev/null || true
    done
    [ -n "${DISPLAY:-}" ] || { echo "Xvfb did not start" >&2; exit 1; }
    # The demo client shows its window for a few seconds, then ends by itself.
    export KM_DEMO_GAME_SECONDS=${KM_DEMO_GAME_SECONDS:-5}
fi

say "starting the launcher"
(cd "$DEMO/install" && exec ./Launcher) &
LAUNCHER=$!
PIDS=("$LAUNCHER" "${PIDS[@]}")

# The screenshot waits for the state it shows. Every load of the page (a reload after an update
# of web/ included) fetches banners.json; the check that load starts fetches the manifest's
# signature, rewrites the verify cache once it has compared every file, and removes the staging
# folder when its downloads are installed. The page has settled when that check is over without
# installing page files (which would reload the page) and two pictures of the window a moment
# apart are the same and not a blank area.
page_settled() {
    local log=$DEMO/nginx/logs/access.log cache=$DEMO/install/launcher_verify_cache.txt
    [ -f "$cache" ] && [ -f "$DEMO/install/Game_x64_win.exe" ] || return 1
    local loaded sig
    loaded=$(awk '$2 == "/banners.json" { t = $1 } END { print t }' "$log")
    [ -n "$loaded" ] || return 1
    sig=$(awk -v after="$loaded" '$1 >= after && $2 ~ /\.sig$/ { print $1; exit }' "$log")
    [ -n "$sig" ] || return 1
    awk -v after="$sig" '$1 >= after && $2 ~ /^\/launcher_files\/web\// { found = 1 } END { exit found }' "$log" || return 1
    [ ! -e "$DEMO/install/updates" ] || return 1
    awk -v a="$(stat -c %.3Y "$cache")" -v b="$sig" 'BEGIN { exit !(a >= b) }'
}
(
    for _ in $(seq 1 600); do
        kill -0 "$LAUNCHER" 2>/dev/null || exit 0
        if page_settled; then
            window=$(xwininfo -name "Keldmoor Ashvow" 2>/dev/null | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
            if [ -n "$HEADLESS" ] || [ -z "$window" ]; then window=root; fi
            if import -window "$window" "$DEMO/shot-a.png" 2>/dev/null && sleep 0.5 &&
               import -window "$window" "$DEMO/shot-b.png" 2>/dev/null &&
               [ "$(identify -format %k "$DEMO/shot-b.png")" -gt 64 ] &&
               [ "$(compare -metric AE "$DEMO/shot-a.png" "$DEMO/shot-b.png" null: 2>&1)" = 0 ]; then
                mv "$DEMO/shot-b.png" "$DEMO/screenshot.png"
                rm -f "$DEMO/shot-a.png"
                echo "screenshot of the settled page: $DEMO/screenshot.png"
                exit 0
            fi
        fi
        sleep 0.2
    done
    echo "no screenshot: the page did not settle" >&2
) &
PIDS+=($!)

if [ -n "$HEADLESS" ]; then
    timeout=${DEMO_TIMEOUT:-90}
    echo "headless: the launcher runs for at most ${timeout}s"
    ( sleep "$timeout"; kill "$LAUNCHER" 2>/dev/null ) &
    PIDS+=($!)
fi

set +e
wait "$LAUNCHER"
code=$?
set -e
echo "the launcher ended with exit code $code"
if [ -f "$DEMO/install/game_started.txt" ]; then
    echo "the demo game client was started with:"
    sed 's/^/    /' "$DEMO/install/game_started.txt"
fi
