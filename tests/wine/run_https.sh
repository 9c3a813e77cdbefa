#!/usr/bin/env bash
# The HTTPS tests of the Windows build under Wine: WinHTTP against nginx on loopback presenting
# certificates of a test CA made for this run (tests/support/make_test_certs.sh), each front
# passing what it decrypts to the test program's recording server; and a CONNECT proxy for the
# proxy case. The test CA is trusted only inside a Wine prefix of this run's own (the test
# program adds it to that prefix's root store); the machine's trust store is checked unchanged
# afterwards. Exit 77 (skipped) when nginx, python3 or openssl is missing.
#
# Usage: run_https.sh --build-dir DIR --test km_https_tests.exe --certs make_test_certs.sh
#                     --wine-run wine-run.sh [gtest options...]
set -euo pipefail
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift 2 ;;
        --test) test_exe=$2; shift 2 ;;
        --certs) make_certs=$2; shift 2 ;;
        --wine-run) wine_run=$2; shift 2 ;;
        *) break ;;
    esac
done
for tool in nginx python3 openssl; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
here=$(cd "$(dirname "$0")" && pwd)
work=$(cd "$build" && pwd)/https-run
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo true)
# The previous run's prefix may still have its server, which writes into it until it goes.
[ ! -d "$work/wineprefix" ] || WINEPREFIX=$work/wineprefix "$wineserver" -w 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work/logs" "$work/tmp"
bash "$make_certs" "$work/certs"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
backend=$(free_port)
kinds=(trusted unknown_issuer wrong_name expired self_signed)
declare -A port
servers=
for kind in "${kinds[@]}"; do
    port[$kind]=$(free_port)
    servers+="
    server {
        listen 127.0.0.1:${port[$kind]} ssl;
        ssl_certificate $work/certs/$kind.pem;
        ssl_certificate_key $work/certs/$kind.key;
        location / {
            proxy_pass http://127.0.0.1:$backend;
            proxy_http_version 1.1;
            proxy_buffering off;
            proxy_request_buffering off;
        }
    }"
done
user=; [ "$(id -u)" = 0 ] && user="user root;"
cat >"$work/nginx.conf" <<CONF
$user
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log info;
events { worker_connections 64; }
http {
    access_log $work/logs/access.log;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
$servers
}
CONF
nginx -p "$work" -c "$work/nginx.conf" -g 'daemon off;' 2>>"$work/logs/start.log" &
pids+=($!)
# The proxy on another loopback address than the servers: Wine's WinHTTP, seeing the server's own
# host name as the proxy's, would skip the CONNECT and start TLS with the proxy.
python3 "$here/connect_proxy.py" "$work/proxy.port" "$work/proxy.log" 127.0.0.2 &
pids+=($!)
for _ in $(seq 1 100); do
    [ -f "$work/proxy.port" ] && (exec 3<>"/dev/tcp/127.0.0.1/${port[trusted]}") 2>/dev/null && break
    sleep 0.1
done
[ -f "$work/proxy.port" ] || { echo "the CONNECT proxy did not start" >&2; exit 1; }
(exec 3<>"/dev/tcp/127.0.0.1/${port[trusted]}") 2>/dev/null ||
    { echo "nginx did not start; see $work/logs" >&2; cat "$work/logs/start.log" >&2; exit 1; }

export KM_TLS_CA="Z:$work/certs/ca.pem" KM_TLS_BACKEND_PORT=$backend
export KM_TLS_PROXY_PORT=$(cat "$work/proxy.port") KM_TLS_PROXY_LOG="Z:$work/proxy.log"
for kind in "${kinds[@]}"; do export "KM_TLS_PORT_$kind=${port[$kind]}"; done
# A prefix of this run's own: the test CA and the proxy setting go nowhere else.
export WINEPREFIX=$work/wineprefix

store_sum() { find /etc/ssl/certs /usr/share/ca-certificates -type f -o -type l 2>/dev/null | sort | xargs -r cat 2>/dev/null | sha256sum; }
before=$(store_sum)
status=0
bash "$wine_run" "$test_exe" --gtest_brief=1 "$@" || status=$?
"$wineserver" -w 2>/dev/null || true
[ "$(store_sum)" = "$before" ] || { echo "the machine's trust store changed" >&2; status=1; }
exit $status
