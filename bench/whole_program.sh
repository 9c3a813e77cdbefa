#!/usr/bin/env bash
# Whole-program figures of the update check, each side by side with a baseline on the same data
# in the same run, and the hot paths of km-bench beside them:
#   1. sha256_file of one big file against OpenSSL (km-bench);
#   2. a no-op update check of a large installation whose verify-cache records all match, served
#      by nginx on loopback, against a stat-only pass over the same files (find -printf); and
#      the same check writing its log line (km-check --log) against it without;
#   3. a first install from nginx on loopback against curl fetching the same files in one
#      process plus `openssl dgst -sha256` of them;
#   4. peak resident memory of the update check of item 3 (/usr/bin/time -v);
#   5. verify_manifest_signature against OpenSSL's Ed25519 verify (km-bench);
#   6. a check whose server drops the connection at 90% of one large file, then the next check:
#      the bytes nginx sends it (its access log's $body_bytes_sent) against the file's size.
# Every timed figure is the best of KM_PERF_RUNS runs (the machine may be shared); contenders
# run alternately so that both see the same load.
#
# Sizes (defaults are the goals' sizes; small values give a quick run):
#   KM_PERF_HASH_MB       size of the hashed file of item 1          (1024)
#   KM_PERF_NOOP_FILES    files of the installation of item 2        (20000)
#   KM_PERF_NOOP_MB       total size of that installation            (2048)
#   KM_PERF_INSTALL_FILES files of the first install of items 3, 4   (200)
#   KM_PERF_INSTALL_MB    total size of that release                 (1024)
#   KM_PERF_RESUME_MB     size of the file cut at 90% in item 6      (1024)
#   KM_PERF_RUNS          runs per contender                         (3)
#   KM_PERF_PARTS         which measurements: any of 1 2 3 6         ("1 2 3 6"; 1 also gives 5,
#                                                                     3 also gives 4)
# Places:
#   KM_BUILD_DIR          build folder with km-bench, km-check, km-keygen, km-publish (build/linux)
#   KM_PERF_DIR           scratch folder for the data (build/perf-data); removed at the end
#                         unless KM_PERF_KEEP=1
#   KM_PERF_NO_BUILD=1    use the binaries as they are
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${KM_BUILD_DIR:-build/linux}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
WORK=${KM_PERF_DIR:-$ROOT/build/perf-data}
case "$WORK" in /*) ;; *) WORK=$ROOT/$WORK ;; esac
HASH_MB=${KM_PERF_HASH_MB:-1024}
NOOP_FILES=${KM_PERF_NOOP_FILES:-20000}
NOOP_MB=${KM_PERF_NOOP_MB:-2048}
INSTALL_FILES=${KM_PERF_INSTALL_FILES:-200}
INSTALL_MB=${KM_PERF_INSTALL_MB:-1024}
RESUME_MB=${KM_PERF_RESUME_MB:-1024}
RUNS=${KM_PERF_RUNS:-3}
PARTS=" ${KM_PERF_PARTS:-1 2 3 6} "
# RFC 8032, section 7.1, TEST 1: the development key whose public half the default build trusts.
DEV_SEED=9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60
MIB=1048576

say() { printf '\n==== %s\n' "$*"; }
die() { echo "whole_program.sh: $*" >&2; exit 1; }

for tool in nginx curl openssl find /usr/bin/time awk split; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done

NGINX_PID=
cleanup() {
    stop_nginx
    if [ "${KM_PERF_KEEP:-0}" != 1 ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "${KM_PERF_NO_BUILD:-0}" != 1 ]; then
    say "building ($BUILD)"
    [ -f "$BUILD/CMakeCache.txt" ] || cmake --preset linux -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j2 --target km-bench km-check km-keygen km-publish >/dev/null
fi

rm -rf "$WORK"
mkdir -p "$WORK"

# ---- helpers ----------------------------------------------------------------------------------

# Serves $1 with nginx on 127.0.0.1 at a free port (PORT); stop_nginx ends it. Extra directives
# for the server block may follow ($2); with KM_NGINX_LOG set, every answer is logged there as
# "method uri status body-bytes".
start_nginx() {
    local root=$1 extra=${2:-} conf_dir=$WORK/nginx candidate pid user= log="access_log off;"
    [ -n "${KM_NGINX_LOG:-}" ] &&
        log="log_format sent '\$request_method \$request_uri \$status \$body_bytes_sent'; access_log $KM_NGINX_LOG sent;"
    mkdir -p "$conf_dir/logs" "$conf_dir/tmp"
    [ "$(id -u)" = 0 ] && user="user root;"
    PORT=
    for _ in $(seq 1 20); do
        candidate=$(( 20000 + (RANDOM % 20000) ))
        cat > "$conf_dir/nginx.conf" <<CONF
$user
worker_processes 1;
pid $conf_dir/nginx.pid;
error_log $conf_dir/logs/error.log;
events { worker_connections 256; }
http {
    $log
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $conf_dir/tmp/body;
    proxy_temp_path $conf_dir/tmp/proxy;
    fastcgi_temp_path $conf_dir/tmp/fastcgi;
    uwsgi_temp_path $conf_dir/tmp/uwsgi;
    scgi_temp_path $conf_dir/tmp/scgi;
    types { application/json json; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$candidate;
        root $root;
        autoindex off;
        gzip off;
        $extra
    }
}
CONF
        nginx -p "$conf_dir" -c "$conf_dir/nginx.conf" -g 'daemon off;' 2>>"$conf_dir/logs/start.log" &
        pid=$!
        for _ in $(seq 1 50); do
            if (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then PORT=$candidate; break; fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if [ -n "$PORT" ]; then NGINX_PID=$pid; return 0; fi
        kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true
    done
    die "nginx did not start; see $conf_dir/logs"
}

stop_nginx() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    fi
}

# Fills folder $1 with $2 files of random bytes, $3 bytes in all, 500 to a subfolder, named
# $1/dNNN/fNNN.dat (the layout of a game's data folders).
make_files() {
    local dir=$1 count=$2 total=$3 size per_dir=500 d=0 left
    size=$(( total / count ))
    [ "$size" -gt 0 ] || size=1
    left=$count
    while [ "$left" -gt 0 ]; do
        local n=$(( left < per_dir ? left : per_dir )) sub
        sub=$(printf '%s/d%03d' "$dir" "$d")
        mkdir -p "$sub"
        head -c $(( n * size )) /dev/urandom | split -b "$size" -a 3 -d --additional-suffix=.dat - "$sub/f"
        left=$(( left - n )); d=$(( d + 1 ))
    done
}

# Runs "$@" once; sets WALL_MS (wall clock), CPU_MS (user + system, children included) and
# RSS_KB (peak resident set size) from /usr/bin/time -v. Output of the command goes to $OUT.
timed() {
    local t0 t1 tv=$WORK/time.txt
    t0=$(date +%s%N)
    /usr/bin/time -v -o "$tv" "$@" >"$OUT" 2>&1 || { cat "$OUT" >&2; cat "$tv" >&2; die "failed: $*"; }
    t1=$(date +%s%N)
    WALL_MS=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", (b - a) / 1e6 }')
    CPU_MS=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 }
                         END { printf "%.0f", (u + s) * 1000 }' "$tv")
    RSS_KB=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$tv")
}

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
check_says() {  # the km-check output in $OUT must report $1 and a status starting with $2
    grep -q "^result $1\$" "$OUT" && grep -q "^status $2" "$OUT" ||
        { cat "$OUT" >&2; die "km-check did not end with result $1 and status \"$2...\""; }
}

OUT=$WORK/out.txt
ROWS=()
row() { ROWS+=("$(printf '%-44s | %-16s | %-16s | %-7s | %-7s | %s' "$@")"); }
met() { awk -v r="$1" -v g="$2" -v op="$3" 'BEGIN { ok = op == ">=" ? r >= g : r <= g; print ok ? "yes" : "NO" }'; }

# ---- the machine -------------------------------------------------------------------------------

say "machine"
echo "processors:  $(nproc) x $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "memory:      $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
echo "disk:        $(df -h --output=source,fstype,size,avail "$WORK" | tail -1 | tr -s ' ')"
echo "load:        $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
echo "runs:        best of $RUNS for every timed figure"

# ---- 1 and 5: km-bench -------------------------------------------------------------------------

SIG_ROW=
part_bench() {
say "1, 5: km-bench (sha256_file of $HASH_MB MiB, verify_manifest_signature)"
KM_BENCH_DIR=$WORK/bench "$BUILD/km-bench" --file-mb="$HASH_MB" --files=1 \
    --benchmark_filter='^(sha256_file|verify)_' | tee "$WORK/bench.txt"
read -r SHA_OURS SHA_SSL SHA_RATIO < <(awk '/ours .* MB\/s .* OpenSSL EVP SHA-256/ {
    print $2, $8, $12 }' "$WORK/bench.txt") || true
read -r SIG_OURS SIG_SSL SIG_RATIO < <(awk '/ours .* us\/call .* OpenSSL Ed25519/ {
    print $2, $8, $12 }' "$WORK/bench.txt") || true
[ -n "${SHA_RATIO:-}" ] && [ -n "${SIG_RATIO:-}" ] || die "km-bench printed no summary"
rm -rf "$WORK/bench"
row "1 sha256_file, $HASH_MB MiB (CPU time)" "$SHA_OURS MB/s" "$SHA_SSL MB/s" "$SHA_RATIO" ">= 0.9" \
    "$(met "$SHA_RATIO" 0.9 '>=')"
SIG_ROW=1
}

# ---- 2: no-op update check ---------------------------------------------------------------------

part_noop() {
say "2: no-op update check of $NOOP_FILES files ($NOOP_MB MiB) against find -printf"
NOOP=$WORK/noop
mkdir -p "$NOOP/install/data"
make_files "$NOOP/install/data" "$NOOP_FILES" $(( NOOP_MB * MIB ))
"$BUILD/km-publish" --key "$WORK/key.pem" --allow-test-key --version 1.0.0 --from "$NOOP/install" \
    --to "$NOOP/content" >/dev/null
# A no-op check downloads nothing; the published copies only take room.
rm -rf "$NOOP/content/launcher_files"
echo "manifest: $(stat -c %s "$NOOP/content/update.manifest.json") bytes"
start_nginx "$NOOP/content"
# The first check hashes every file and writes the verify cache; the measured ones find it whole.
timed "$BUILD/km-check" --dir "$NOOP/install" --host 127.0.0.1 --port "$PORT"
check_says ok "All files up to date"
echo "first check (hashes every file): ${WALL_MS} ms"
CHECK_BEST= FIND_BEST= CHECK_CPU= FIND_CPU= LOG_BEST= LOG_CPU=
for run in $(seq 1 "$RUNS"); do
    timed "$BUILD/km-check" --dir "$NOOP/install" --host 127.0.0.1 --port "$PORT"
    check_says ok "All files up to date"
    CHECK_BEST=$(min "$CHECK_BEST" "$WALL_MS"); CHECK_CPU=$(min "$CHECK_CPU" "$CPU_MS")
    echo "run $run: km-check ${WALL_MS} ms (cpu ${CPU_MS} ms, $(awk '/^events/ { print $2 }' "$OUT") events)"
    timed "$BUILD/km-check" --dir "$NOOP/install" --host 127.0.0.1 --port "$PORT" --log
    check_says ok "All files up to date"
    grep -q '^logged yes$' "$OUT" || { cat "$OUT" >&2; die "km-check --log did not write its line"; }
    LOG_BEST=$(min "$LOG_BEST" "$WALL_MS"); LOG_CPU=$(min "$LOG_CPU" "$CPU_MS")
    echo "run $run: km-check --log ${WALL_MS} ms (cpu ${CPU_MS} ms)"
    OUT=/dev/null timed find "$NOOP/install" -type f -printf '%s %T@\n'
    FIND_BEST=$(min "$FIND_BEST" "$WALL_MS"); FIND_CPU=$(min "$FIND_CPU" "$CPU_MS")
    echo "run $run: find     ${WALL_MS} ms (cpu ${CPU_MS} ms)"
done
stop_nginx
echo "last log line: $(tail -n 1 "$NOOP/install/cache/launcher.log")"
rm -rf "$NOOP"
NOOP_RATIO=$(ratio "$CHECK_BEST" "$FIND_BEST")
row "2 no-op check, $NOOP_FILES files (wall)" "$CHECK_BEST ms" "$FIND_BEST ms" "$NOOP_RATIO" "<= 2" \
    "$(met "$NOOP_RATIO" 2 '<=')"
LOG_RATIO=$(ratio "$LOG_BEST" "$CHECK_BEST")
row "2b the same check with its log (wall)" "$LOG_BEST ms" "$CHECK_BEST ms" "$LOG_RATIO" "<= 1.05" \
    "$(met "$LOG_RATIO" 1.05 '<=')"
echo "processor time, best: km-check $CHECK_CPU ms, with the log $LOG_CPU ms, find $FIND_CPU ms"
}

# ---- 3 and 4: first install --------------------------------------------------------------------

part_install() {
say "3, 4: first install of $INSTALL_FILES files ($INSTALL_MB MiB) against curl + openssl dgst"
INST=$WORK/install
mkdir -p "$INST/release/data"
make_files "$INST/release/data" "$INSTALL_FILES" $(( INSTALL_MB * MIB ))
"$BUILD/km-publish" --key "$WORK/key.pem" --allow-test-key --version 1.0.0 --from "$INST/release" \
    --to "$INST/content" >/dev/null
rm -rf "$INST/release"
start_nginx "$INST/content"
URLS=()
(cd "$INST/content/launcher_files" && find data -type f | sort) > "$WORK/paths.txt"
while read -r rel; do
    URLS+=("http://127.0.0.1:$PORT/launcher_files/$rel" -o "$INST/curl/${rel//\//_}")
done < "$WORK/paths.txt"
INSTALL_BEST= CURL_BEST= RSS_BEST= RSS_WORST= INSTALL_CPU= CURL_CPU=
for run in $(seq 1 "$RUNS"); do
    rm -rf "$INST/target" "$INST/curl"; mkdir -p "$INST/target" "$INST/curl"; sync
    timed "$BUILD/km-check" --dir "$INST/target" --host 127.0.0.1 --port "$PORT"
    check_says ok "Updated to v1.0.0"
    INSTALL_BEST=$(min "$INSTALL_BEST" "$WALL_MS"); INSTALL_CPU=$(min "$INSTALL_CPU" "$CPU_MS")
    RSS_BEST=$(min "$RSS_BEST" "$RSS_KB")
    RSS_WORST=$(awk -v a="${RSS_WORST:-0}" -v b="$RSS_KB" 'BEGIN { print (b + 0 > a + 0) ? b : a }')
    echo "run $run: km-check ${WALL_MS} ms (cpu ${CPU_MS} ms, peak RSS ${RSS_KB} KiB," \
        "$(awk '/^events/ { print $2 }' "$OUT") events)"
    rm -rf "$INST/target"; sync
    timed bash -c 'curl -sS --fail "$@" && openssl dgst -sha256 "$0"/* > /dev/null' \
        "$INST/curl" "${URLS[@]}"
    CURL_BEST=$(min "$CURL_BEST" "$WALL_MS"); CURL_CPU=$(min "$CURL_CPU" "$CPU_MS")
    echo "run $run: curl + openssl dgst ${WALL_MS} ms (cpu ${CPU_MS} ms)"
done
[ "$(ls "$INST/curl" | wc -l)" = "$INSTALL_FILES" ] || die "curl did not fetch every file"
stop_nginx
rm -rf "$INST"
INSTALL_RATIO=$(ratio "$INSTALL_BEST" "$CURL_BEST")
row "3 first install, $INSTALL_FILES files, $INSTALL_MB MiB (wall)" "$INSTALL_BEST ms" "$CURL_BEST ms" \
    "$INSTALL_RATIO" "<= 1.0" "$(met "$INSTALL_RATIO" 1.0 '<=')"
RSS_MIB=$(awk -v k="$RSS_WORST" 'BEGIN { printf "%.1f", k / 1024 }')
row "4 peak RSS of the check in 3 (worst run)" "$RSS_MIB MiB" "16 MiB (limit)" \
    "$(ratio "$RSS_MIB" 16)" "<= 1" "$(met "$RSS_MIB" 16 '<=')"
echo "processor time, best: km-check $INSTALL_CPU ms, curl + openssl $CURL_CPU ms"
}

# ---- 6: resume inside a file ------------------------------------------------------------------

part_resume() {
say "6: a drop at 90% of one $RESUME_MB MiB file, then the next check"
RES=$WORK/resume
mkdir -p "$RES/release/data" "$RES/target"
head -c $(( RESUME_MB * MIB )) /dev/urandom > "$RES/release/data/big.dat"
"$BUILD/km-publish" --key "$WORK/key.pem" --version 1.0.0 --from "$RES/release" \
    --to "$RES/content" >/dev/null
rm -rf "$RES/release"
local size=$(( RESUME_MB * MIB )) staged=$RES/target/updates/data/big.dat have=0
# The first server sends at 100 MB/s and is stopped once 90% of the file has come: the
# connection drops as a server's would.
start_nginx "$RES/content" "limit_rate 100m;"
"$BUILD/km-check" --dir "$RES/target" --host 127.0.0.1 --port "$PORT" >"$OUT" 2>&1 &
local check=$!
while kill -0 "$check" 2>/dev/null; do
    have=$(stat -c %s "$staged" 2>/dev/null || echo 0)
    [ "$have" -ge $(( size / 10 * 9 )) ] && break
    sleep 0.02
done
stop_nginx
wait "$check" && die "the first check finished before the cut"
check_says failed "Download failed"
echo "cut after $have of $size bytes ($(awk -v a="$have" -v b="$size" 'BEGIN { printf "%.1f", 100 * a / b }')%)"
KM_NGINX_LOG=$RES/access.log start_nginx "$RES/content"
timed "$BUILD/km-check" --dir "$RES/target" --host 127.0.0.1 --port "$PORT"
check_says ok "Updated to v1.0.0"
stop_nginx
local sent
sent=$(awk '$1 == "GET" && $2 ~ /^\/launcher_files\// { s += $4 } END { print s + 0 }' "$RES/access.log")
echo "next check: nginx sent $sent bytes ($(awk '$1 == "GET" && $2 ~ /^\/launcher_files\// { print $3 }' "$RES/access.log")), ${WALL_MS} ms"
rm -rf "$RES"
local share
share=$(awk -v a="$sent" -v b="$size" 'BEGIN { printf "%.3f", a / b }')
row "6 resume after a drop at 90%, $RESUME_MB MiB" "$sent B" "$size B (file)" "$share" "<= 0.12" \
    "$(met "$share" 0.12 '<=')"
}

"$BUILD/km-keygen" --from-seed "$DEV_SEED" "$WORK/key.pem" >/dev/null
case "$PARTS" in *" 1 "*) part_bench ;; esac
case "$PARTS" in *" 2 "*) part_noop ;; esac
case "$PARTS" in *" 3 "*) part_install ;; esac
case "$PARTS" in *" 6 "*) part_resume ;; esac
if [ -n "$SIG_ROW" ]; then
    row "5 verify_manifest_signature (CPU time)" "$SIG_OURS us" "$SIG_SSL us" "$SIG_RATIO" "report" "-"
fi

# ---- the table ---------------------------------------------------------------------------------

say "figures (ratio: 1 and 5 baseline time / ours, above 1 is faster; 2-4 ours / baseline; 6 the share of the file sent again)"
printf '%-44s | %-16s | %-16s | %-7s | %-7s | %s\n' figure ours baseline ratio goal met
printf '%s\n' "${ROWS[@]}"
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
