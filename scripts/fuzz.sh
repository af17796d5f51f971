#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ in their own build folder and runs each one for a bounded
# time, printing the executions and the findings of every target.
#
#   scripts/fuzz.sh                 60 s for each target
#   scripts/fuzz.sh 10              a smoke run
#   scripts/fuzz.sh 300 receive     one target, longer
#
# The corpus grown by a run stays in <build>/corpus/<target> (the checked-in seeds in
# fuzz/corpus/<target> are only read); findings land in <build>/findings/<target>/, and a finding
# is replayed with: <build>/fuzz_<target> <build>/findings/<target>/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(receive settings_load ini_value frame_decoder logo_line)
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --parallel 2 >/dev/null

printf '%-15s %8s %12s %10s %9s %9s\n' target seconds executions "execs/s" corpus findings
failed=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    log="$build/logs/$target.log"
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    status=0
    store_parent=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}" )/panel-fuzz-run.XXXXXX")
    FUZZ_STORE_PARENT="$store_parent" "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    rm -rf "$store_parent"
    execs=$(awk '/stat::number_of_executed_units/ { print $2 }' "$log")
    rate=$(awk '/stat::average_exec_per_sec/ { print $2 }' "$log")
    size=$(find "$corpus" -type f | wc -l)
    found=$(find "$findings" -type f | wc -l)
    printf '%-15s %8s %12s %10s %9s %9s\n' "$target" "$seconds" "${execs:-?}" "${rate:-?}" "$size" "$found"
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=1
        echo "  $target: exit status $status, see $log" >&2
        grep -m3 -E 'invariant broken|ERROR: |runtime error' "$log" | sed 's/^/  /' >&2 || true
    fi
done
exit "$failed"
