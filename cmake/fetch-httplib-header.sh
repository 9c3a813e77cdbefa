#!/usr/bin/env bash
# Both builds compile cpp-httplib's single header from Debian 13's source package, with Debian's
# patches applied (they fix CVE-2025-46728, -52887 and -53629; Debian 12's 0.11.4 has none of
# them). The package comes through a private apt configuration: its own sources list, lists and
# cache under a cache folder outside the source tree. The machine's apt sources stay as they are
# and no Debian 13 binary package is ever installed. Usage: fetch-httplib-header.sh OUT_DIR
set -euo pipefail
out=$1
version=0.18.7-1+deb13u1
upstream=0.18.7
if [ -f "$out/httplib.h" ] && grep -q "CPPHTTPLIB_VERSION \"$upstream\"" "$out/httplib.h"; then
    exit 0
fi
command -v dpkg-source >/dev/null || { echo "dpkg-source is missing (package dpkg-dev)" >&2; exit 1; }
cache=${KM_APT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/km-apt}
mkdir -p "$cache/lists/partial" "$cache/archives/partial"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$cache/sources.list" <<SOURCES
deb-src [signed-by=$keyring] http://deb.debian.org/debian trixie main
deb-src [signed-by=$keyring] http://deb.debian.org/debian trixie-updates main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security trixie-security main
SOURCES
apt_opts=(-o "Dir::Etc::SourceList=$cache/sources.list" -o "Dir::Etc::SourceParts=$cache/none"
    -o "Dir::State::Lists=$cache/lists" -o "Dir::Cache=$cache" -o "Dir::Cache::archives=$cache/archives"
    -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1")
apt-get "${apt_opts[@]}" update -qq
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get "${apt_opts[@]}" source --download-only -qq "cpp-httplib=$version" >/dev/null)
# Unpacking applies Debian's patch series to the upstream source.
(cd "$work" && dpkg-source --no-check -x cpp-httplib_*.dsc src >/dev/null)
grep -q "CPPHTTPLIB_VERSION \"$upstream\"" "$work/src/httplib.h"
# CVE-2025-52887: the header count limit must be in the patched header.
grep -q "CPPHTTPLIB_HEADER_MAX_COUNT" "$work/src/httplib.h"
mkdir -p "$out"
cp "$work/src/httplib.h" "$out/httplib.h.tmp" && mv "$out/httplib.h.tmp" "$out/httplib.h"
echo "httplib.h $version (Debian patches applied) -> $out"
