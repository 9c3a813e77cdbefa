#!/usr/bin/env bash
# Installs what the tests need, builds every preset and runs every test set: clang-tidy, Linux (unit,
# OpenSSL oracle, release tools, nginx integration, faults, whole-program under Xvfb), the long
# fault tests as their own bounded step, Linux under ASan+UBSan, the Windows build under Wine
# (unit and whole-program), the Windows installer under Wine, the page in Chromium, and a replay
# of the fuzzing corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

step() { echo; echo "==== $*"; }
started=$SECONDS

step "linux: build"
cmake --preset linux
cmake --build --preset linux
step "linux: clang-tidy"
bash scripts/tidy.sh build/linux
step "linux: tests"
ctest --preset linux -LE long
step "linux: long fault tests (bounded)"
ctest --preset linux -L long --timeout 300

step "linux-asan: build"
cmake --preset linux-asan
cmake --build --preset linux-asan
step "linux-asan: tests"
# The whole-program tests run the real GTK/WebKit launcher, whose libraries are not built for
# the sanitizers; every test of our own code runs here.
ctest --preset linux-asan -LE 'long|e2e'

step "windows: cross build (Launcher.exe, KeldmoorAshvowSetup-TESTKEY.exe, tests)"
cmake --preset windows
cmake --build --preset windows
# Wine binds only addresses configured on an interface. The beta server's loopback address
# (127.0.0.2) answers on Linux without configuration, but Wine's tests of it need it on lo.
with_beta_address() {
    local added=0 status=0
    if [ "$(id -u)" = 0 ] && command -v ip >/dev/null && ! ip -4 addr show dev lo | grep -q ' 127\.0\.0\.2/'; then
        ip addr add 127.0.0.2/8 dev lo && added=1
    fi
    "$@" || status=$?
    [ "$added" = 1 ] && ip addr del 127.0.0.2/8 dev lo
    return $status
}
step "windows: tests under Wine"
with_beta_address ctest --preset windows -LE wine-installer
step "windows: the installer under Wine"
with_beta_address ctest --preset windows -L wine-installer

step "page: Chromium"
bash tests/page/run.sh

step "fuzz: corpus replay"
bash tests/fuzz/run.sh

step "all test sets passed in $((SECONDS - started)) s"
