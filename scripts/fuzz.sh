#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ in their own build folder and runs each one, one after
# the other on one core, printing the executions, the coverage and the findings of every target.
#
#   scripts/fuzz.sh                     60 s for each target
#   scripts/fuzz.sh 10                  a smoke run
#   scripts/fuzz.sh 300 receive         one target, longer
#   scripts/fuzz.sh long                a campaign: 1,000,000 executions of each target, then the
#                                       grown corpus merged, minimised, into fuzz/corpus/<target>
#   scripts/fuzz.sh long 5000000 receive    more executions, one target
#
# The corpus grown by a run stays in <build>/corpus/<target>; the checked-in corpus in
# fuzz/corpus/<target> is only read, except by the long mode, which adds to it what the campaign
# found that covers something new (libFuzzer's -merge=1: only inputs that add coverage, the
# smallest first). Findings land in <build>/findings/<target>/, and a finding is replayed with:
# <build>/fuzz_<target> <build>/findings/<target>/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

mode=time
if [ "${1:-}" = long ]; then
    mode=long
    shift
    runs=${1:-1000000}
    shift || true
else
    seconds=${1:-60}
    shift || true
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(receive settings_load ini_value frame_decoder logo_line telnet_codec)
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --parallel 2 >/dev/null

# The coverage a corpus reaches: edges and features as libFuzzer counts them on loading it.
coverage() {
    "$build/fuzz_$1" -runs=0 "$2" 2>&1 | awk '/INITED/ { for (i = 1; i <= NF; i++) { if ($i == "cov:") c = $(i + 1); if ($i == "ft:") f = $(i + 1) } } END { print (c ? c : "?") " " (f ? f : "?") }'
}

printf '%-15s %10s %12s %10s %8s %8s %9s %9s\n' target seconds executions "execs/s" edges features corpus findings
failed=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    log="$build/logs/$target.log"
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    if [ "$mode" = long ]; then
        limit=(-runs="$runs")
    else
        limit=(-max_total_time="$seconds")
    fi
    status=0
    start=$(date +%s)
    "$build/fuzz_$target" "${limit[@]}" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    elapsed=$(($(date +%s) - start))
    execs=$(awk '/stat::number_of_executed_units/ { print $2 }' "$log")
    rate=$(awk '/stat::average_exec_per_sec/ { print $2 }' "$log")
    found=$(find "$findings" -type f | wc -l)
    if [ "$mode" = long ] && [ "$status" -eq 0 ] && [ "$found" -eq 0 ]; then
        # Keep what the campaign grew, minimised, beside the checked-in corpus.
        "$build/fuzz_$target" -merge=1 "fuzz/corpus/$target" "$corpus" >"$build/logs/$target.merge.log" 2>&1
        kept="fuzz/corpus/$target"
    else
        kept="$corpus"
    fi
    read -r edges features < <(coverage "$target" "$kept")
    printf '%-15s %10s %12s %10s %8s %8s %9s %9s\n' "$target" "$elapsed" "${execs:-?}" "${rate:-?}" \
        "$edges" "$features" "$(find "$kept" -type f | wc -l)" "$found"
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=1
        echo "  $target: exit status $status, see $log" >&2
        grep -m3 -E 'invariant broken|ERROR: |runtime error' "$log" | sed 's/^/  /' >&2 || true
    fi
done
exit "$failed"
