#!/usr/bin/env bash
# clang-tidy over every translation unit of ours in the Linux build (.clang-tidy says which
# checks and why some are off); any finding fails. Needs a configured build/linux.
set -euo pipefail
cd "$(dirname "$0")/.."
db=${1:-build/linux}
[ -f "$db/compile_commands.json" ] || { echo "tidy.sh: no $db/compile_commands.json (configure first)" >&2; exit 2; }
python3 - "$db/compile_commands.json" > "$db/tidy-files.txt" <<'PY'
import json, os, sys
root = os.getcwd() + "/"
files = sorted({e["file"] for e in json.load(open(sys.argv[1]))
                if e["file"].startswith(root) and "/build/" not in e["file"][len(root) - 1:]})
print("\n".join(files))
PY
echo "clang-tidy: $(wc -l < "$db/tidy-files.txt") files"
xargs -a "$db/tidy-files.txt" -P "$(nproc)" -n 4 clang-tidy -p "$db" --quiet 2>/dev/null
