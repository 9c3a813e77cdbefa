#!/usr/bin/env bash
# Debian's libcpp-httplib-dev ships only declarations (the implementation is a Linux shared
# library). The Windows build needs the whole single header, so take it from Debian's source
# package of the same version. Usage: fetch-httplib-header.sh OUT_DIR
set -euo pipefail
out=$1
[ -f "$out/httplib.h" ] && exit 0
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
[ -n "$version" ] || { echo "libcpp-httplib-dev is not installed" >&2; exit 1; }
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    [ "$(id -u)" = 0 ] || { echo "need a deb-src entry for Debian (run as root once)" >&2; exit 1; }
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        > /etc/apt/sources.list.d/km-deb-src.sources
    apt-get update -qq
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source --download-only -qq "cpp-httplib=$version" >/dev/null)
tarball=$(ls "$work"/cpp-httplib_*.orig.tar.* | head -n 1)
mkdir -p "$work/src" "$out"
tar -xf "$tarball" -C "$work/src"
header=$(find "$work/src" -maxdepth 2 -name httplib.h | head -n 1)
grep -q 'inline' "$header"
cp "$header" "$out/httplib.h.tmp" && mv "$out/httplib.h.tmp" "$out/httplib.h"
echo "httplib.h $version -> $out"
