#!/usr/bin/env bash
# Browser tests of the launcher page (web/) in Debian's Chromium, driven by
# playwright-core under node's test runner.
#
#   tests/page/run.sh                 run the tests
#   tests/page/run.sh --screenshots   also refresh docs/screenshots/
#
# Installs what it needs: Debian's chromium when running as root, and the npm
# packages of package-lock.json. Exits non-zero when a test fails.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here"
chromium="${CHROMIUM:-/usr/bin/chromium}"

if [ "${1:-}" = "--screenshots" ]; then
  export PAGE_SCREENSHOTS=1
fi

# Another apt or dpkg run may hold the lock for a while; wait for it.
apt_install() {
  local attempt
  for attempt in 1 2 3 4 5; do
    if apt-get -o DPkg::Lock::Timeout=300 update -qq &&
       DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$@"; then
      return 0
    fi
    echo "page tests: apt-get failed (attempt $attempt), retrying" >&2
    sleep 10
  done
  return 1
}

if [ ! -x "$chromium" ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "page tests: installing Debian's chromium"
    apt_install chromium
  fi
  if [ ! -x "$chromium" ]; then
    echo "page tests: $chromium is missing and could not be installed (needs root and apt-get)" >&2
    exit 1
  fi
fi

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "page tests: node and npm are required" >&2
  exit 1
fi

if [ ! -d node_modules/playwright-core ] ||
   [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi

exec node --test --test-concurrency=1 --test-timeout=600000 ./*.test.js
