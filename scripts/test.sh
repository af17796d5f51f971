#!/usr/bin/env bash
# Installs what is missing, builds the panel, the simulator and the tests, and runs the whole suite;
# then builds the same suite with AddressSanitizer and UndefinedBehaviorSanitizer and runs it again,
# with a short run of every fuzzing harness in between. The last line counts what passed and failed
# over all three runs; the exit status is 0 only when nothing failed.
#
#   JOBS=n              build and test with n jobs (default: all processors)
#   SANITIZE=0          leave out the sanitizer build and its run
#   FUZZ_SECONDS=n      seconds for each of the fuzz targets (default 12; 0 leaves them out)
#   PANEL_FLOOD_SECONDS how long tst_ui_flood floods the window (60 s in the plain run, 10 s under
#                       the sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test

jobs=${JOBS:-$(nproc)}
build=${BUILD_DIR:-build}
asan_build=${ASAN_BUILD_DIR:-build-asan}
fuzz_build=${FUZZ_BUILD_DIR:-build-fuzz}
fuzz_seconds=${FUZZ_SECONDS:-12}
sanitize=${SANITIZE:-1}
logs=$(mktemp -d)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "$jobs"

# A desktop with a system tray for the tests that need one (the others run offscreen).
source scripts/test-desktop.sh
start_test_desktop

passed=0
failed=0
results=()

# Runs ctest in build folder $2 and adds its counts under the name $1; the rest are VAR=value
# settings for the run.
run_suite() {
    local name=$1 dir=$2
    shift 2
    local log="$logs/$name.log"
    env "$@" ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" 2>&1 | tee "$log" || true
    local total failures
    total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    failures=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
    if [ -z "$total" ]; then # ctest found no tests or did not finish
        total=1
        failures=1
    fi
    passed=$((passed + total - failures))
    failed=$((failed + failures))
    results+=("$name: $((total - failures)) of $total tests passed")
}

run_suite suite "$build" PANEL_FLOOD_SECONDS="${PANEL_FLOOD_SECONDS:-60}"

if [ "$sanitize" != 0 ]; then
    cmake -S . -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPANEL_SANITIZE=ON -DPANEL_BENCH=OFF
    cmake --build "$asan_build" --parallel "$jobs"
fi

if [ "$fuzz_seconds" != 0 ]; then
    # The fuzz build asks for clang++; Debian's clang-14 alone installs it as clang++-14.
    if ! command -v clang++ >/dev/null && command -v clang++-14 >/dev/null; then
        mkdir -p "$logs/bin"
        ln -s "$(command -v clang++-14)" "$logs/bin/clang++"
        export PATH="$logs/bin:$PATH"
    fi
    fuzz_status=0
    FUZZ_BUILD_DIR="$fuzz_build" bash scripts/fuzz.sh "$fuzz_seconds" 2>&1 | tee "$logs/fuzz.log" || fuzz_status=$?
    targets=$(grep -cE '^[a-z_]+ +[0-9]+ +[0-9?]+ ' "$logs/fuzz.log" || true)
    bad=$(grep -cE '^  [a-z_]+: exit status' "$logs/fuzz.log" || true)
    if [ "$fuzz_status" -ne 0 ] && [ "$bad" -eq 0 ]; then
        bad=1 # the build failed, or the script stopped before its table
    fi
    clean=$((targets > bad ? targets - bad : 0))
    passed=$((passed + clean))
    failed=$((failed + bad))
    results+=("fuzz smoke: $clean of $targets targets ran clean for $fuzz_seconds s each")
fi

if [ "$sanitize" != 0 ]; then
    # Leaks are checked; the ones Qt and the libraries under it leave at exit on purpose are listed
    # in tests/lsan.supp. Any undefined behaviour stops the test that hit it.
    run_suite sanitizers "$asan_build" \
        ASAN_OPTIONS="detect_leaks=1" \
        LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        PANEL_FLOOD_SECONDS="${PANEL_FLOOD_SECONDS:-10}"
fi

rm -rf "$logs"
printf '%s\n' "${results[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
