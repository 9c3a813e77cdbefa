#!/usr/bin/env bash
# Installs what the tests need, builds every preset and runs every test set:
# Linux, Linux under ASan+UBSan, the Windows build under Wine, and the page in Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

step() { echo; echo "==== $*"; }

step "linux: build and test"
cmake --preset linux
cmake --build --preset linux
ctest --preset linux

step "linux-asan: build and test"
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan

step "windows: cross build and test under Wine"
cmake --preset windows
cmake --build --preset windows
ctest --preset windows

if [ -x tests/page/run.sh ]; then
    step "page: Chromium"
    bash tests/page/run.sh
fi
step "all test sets passed"
