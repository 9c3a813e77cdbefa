#!/usr/bin/env bash
# Renders the launcher's icon artwork (resources/icon/launcher-icon.svg, shared with the Linux
# window icon) at the ten sizes the launcher's icon group carries and packs them
# into launcher.ico (32-bit images; the 256-pixel one PNG-compressed, as Windows expects).
# Needs rsvg-convert (librsvg2-bin) and ImageMagick. Run after changing the artwork; the .ico is
# committed so that builds do not need either tool.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
artwork=$here/../../../resources/icon/launcher-icon.svg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images=()
for size in 16 20 24 32 40 48 64 96 128 256; do
    rsvg-convert -w "$size" -h "$size" "$artwork" -o "$work/$size.png"
    images+=("PNG32:$work/$size.png")
done
convert "${images[@]}" "$here/launcher.ico"
identify "$here/launcher.ico"
