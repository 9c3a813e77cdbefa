#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and either replays the committed corpus
# (default, what CI runs) or fuzzes each target for a number of seconds:
#   tests/fuzz/run.sh          replay tests/fuzz/corpus/<target>/* once each
#   tests/fuzz/run.sh 60       fuzz every target for 60 s (new inputs go to build/fuzz/corpus)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KM_FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${1:-}
targets=(page_command launcher_config game_settings verify_cache manifest signature realm_status banner_names)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKM_FUZZ=ON -DKM_ALLOW_TEST_KEY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" --target km_fuzz_targets -j2

status=0
for target in "${targets[@]}"; do
    exe="$build/tests/fuzz/fuzz_$target"
    corpus="$root/tests/fuzz/corpus/$target"
    if [[ -z "$seconds" ]]; then
        seeds=()
        [[ -d "$corpus" ]] && mapfile -t seeds < <(find "$corpus" -type f | sort)
        if ((${#seeds[@]})); then
            echo "== replaying $target (${#seeds[@]} inputs)"
            "$exe" "${seeds[@]}" >"$build/replay_$target.log" 2>&1 || { cat "$build/replay_$target.log"; status=1; }
        else
            # No committed corpus yet: a short run with a fixed seed keeps CI reproducible.
            echo "== $target has no corpus: 2000 generated inputs"
            "$exe" -seed=1 -runs=2000 -max_len=4096 >"$build/replay_$target.log" 2>&1 || { cat "$build/replay_$target.log"; status=1; }
        fi
    else
        echo "== fuzzing $target for $seconds s"
        work="$build/corpus/$target"
        mkdir -p "$work"
        "$exe" -max_total_time="$seconds" -max_len=65536 -artifact_prefix="$build/crash_$target-" \
            "$work" "$corpus" || status=1
    fi
done
exit $status
