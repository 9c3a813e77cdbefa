#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a Debian 12 machine.
set -euo pipefail
packages=(
    build-essential cmake pkg-config git ca-certificates python3
    nlohmann-json3-dev libssl-dev zlib1g-dev libbrotli-dev
    libgtest-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev clang-tidy
    libgtk-3-dev libwebkit2gtk-4.1-dev
    g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev nsis osslsigncode
    iproute2 xvfb xauth x11-utils imagemagick librsvg2-bin nginx-light curl openssl time
    nodejs npm chromium
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Node.js may come from elsewhere than Debian (a machine image's own); keep it when present.
if command -v node >/dev/null && command -v npm >/dev/null; then
    missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
