#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60), as many at a time as there are cores. Exit 0 when every target ran
# clean; the inputs each ran are printed. The seed corpus in fuzz/corpus is
# copied, never written.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
. scripts/ensure-packages.sh
ensure_packages cmake make clang libclang-rt-14-dev nlohmann-json3-dev
cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" >/dev/null

mkdir -p build-fuzz/artifacts
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
targets=(read16 read32 write request probe mbap profile)
run_target() {
    local target=$1
    mkdir -p "$work/$target"
    cp fuzz/corpus/"$target"/* "$work/$target"/
    # Inputs up to and past the link's 300-byte buffers; a whole profile file.
    local longest=400
    [ "$target" = profile ] && longest=8192
    # A failing input is kept in build-fuzz/artifacts for the run that mends it.
    build-fuzz/fuzz_"$target" "$work/$target" -max_total_time="$seconds" -max_len="$longest" \
        -artifact_prefix=build-fuzz/artifacts/"$target"- -print_final_stats=1 >"$work/$target.log" 2>&1
    echo $? >"$work/$target.status"
}
for target in "${targets[@]}"; do
    # No more targets at a time than there are cores.
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do
        wait -n || true
    done
    run_target "$target" &
done
wait
status=0
for target in "${targets[@]}"; do
    if [ "$(cat "$work/$target.status")" = 0 ]; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
        printf '%-8s clean: %s inputs in %s s\n' "$target" "$runs" "$seconds"
    else
        printf '%-8s FAILED\n' "$target"
        tail -n 40 "$work/$target.log"
        status=1
    fi
done
exit $status
