#!/usr/bin/env bash
# Builds a Release tree of its own and runs every performance measurement of the panel: the receive
# path and settings store benchmarks, then the running window against the simulator, offscreen and
# on a virtual X desktop with a window manager. Prints one table of figures against their targets
# and keeps the raw outputs in the results folder.
#
#   BENCH_BUILD_DIR   build folder (build-bench)
#   BENCH_OUT         results folder (<build>/bench-results)
#   BENCH_JOBS        parallel build jobs (2)
#   BENCH_QUICK=1     fewer repetitions and a 10 s idle window, for a quick look
#   PANEL_BENCH_DIR   where the benchmarks' private stores go (the system's temporary folder)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test

build=${BENCH_BUILD_DIR:-build-bench}
out=${BENCH_OUT:-$build/bench-results}
jobs=${BENCH_JOBS:-2}
reps=500 idle=60 runs=10
if [ "${BENCH_QUICK:-0}" = 1 ]; then reps=100 idle=10 runs=3; fi

have_benchmark=1
if [ ! -f /usr/include/benchmark/benchmark.h ]; then
  have_benchmark=0
  echo "Google Benchmark (libbenchmark-dev) is not installed: the micro benchmarks are skipped." >&2
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPANEL_BENCH=ON >/dev/null
targets=(valtrona-panel valtrona-sim)
[ "$have_benchmark" = 1 ] && targets+=(bench_receive bench_settings bench_history bench_notify panel_measure panel_probe bare_window)
cmake --build "$build" --parallel "$jobs" --target "${targets[@]}"
mkdir -p "$out"

echo "Load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
table="$out/results.md"
{
  echo "| What | Figure | Target | Met |"
  echo "| --- | --- | --- | --- |"
} >"$table"

# Rows from Google Benchmark's CSV: name, iterations, real_time, cpu_time, time_unit,
# bytes_per_second, items_per_second, label, error_occurred, error_message, counters...
receive_rows() {
  awk -F, '
    NR == 1 { next }
    { gsub(/"/, "", $1) }
    $1 ~ /^BM_(ReceivePath|MonitorReceive)\/burst:/ {
      split($1, p, ":"); burst = p[2]
      what = ($1 ~ /^BM_Receive/) ? "collector + parser + alarms" : "StatusMonitor::receive"
      mcs = $6 / 1e6
      printf "| Receive path, %s, bursts of %s bytes | %.1f M chars/s (%.0f times 9600 baud) | >= 10 M chars/s | %s |\n",
             what, burst, mcs, $6 / 960, (mcs >= 10 ? "yes" : "NO")
    }
    $1 == "BM_CompleteReport" {
      us = $4 / 1000; bytes = $6 / $7
      printf "| One complete report collected, parsed and applied | %.2f us (its %.0f bytes take %.0f ms on the wire) | < 20 us | %s |\n",
             us, bytes, bytes / 0.96, (us < 20 ? "yes" : "NO")
    }'
}

settings_rows() {
  local fs=$1
  awk -F, -v fs="$fs" '
    NR == 1 { next }
    { gsub(/"/, "", $1) }
    $1 ~ /_median$/ { split($1, p, "/"); median[p[1]] = $3 }
    $1 ~ /_p99$/    { split($1, p, "/"); p99[p[1]] = $3 }
    $1 ~ /^BM_StoreLook\// { look[$1] = $4 }
    END {
      m = median["BM_SaveSettings"]
      printf "| SaveSettings, 265 keys, durable, store on %s | median %.2f ms, p99 %.2f ms | median < 5 ms | %s |\n",
             fs, m, p99["BM_SaveSettings"], (m < 5 ? "yes" : "NO")
      printf "| The same bytes through the durable writer alone, on %s | median %.2f ms, p99 %.2f ms | (share of the save) | - |\n",
             fs, median["BM_DurableReplace"], p99["BM_DurableReplace"]
      printf "| The disk floor: write, fsync, rename, fsync folder in plain calls, on %s | median %.2f ms, p99 %.2f ms | (what the disk allows) | - |\n",
             fs, median["BM_DiskFloor"], p99["BM_DiskFloor"]
      printf "| The same without the folder fsync (one flush; the last save may be lost to a power cut), on %s | median %.2f ms, p99 %.2f ms | (for comparison) | - |\n",
             fs, median["BM_DiskFloorOneFlush"], p99["BM_DiskFloorOneFlush"]
      m = median["BM_LoadSettings"]
      printf "| LoadSettings, store on %s | median %.2f ms, p99 %.2f ms | < 5 ms | %s |\n",
             fs, m, p99["BM_LoadSettings"], (m < 5 ? "yes" : "NO")
      printf "| One look at the unchanged store (a port check, a setup list entry), on %s | %.2f us CPU (%.2f us while its last change is under 2 s old; %.2f us read and parsed, as before the parse was kept) | (no target) | - |\n",
             fs, look["BM_StoreLook/settled"], look["BM_StoreLook/recent"], look["BM_StoreLook/read_and_parse"]
    }'
}

status=0
if [ "$have_benchmark" = 1 ]; then
  echo "== Receive path"
  min_time=()
  [ "${BENCH_QUICK:-0}" = 1 ] && min_time=(--benchmark_min_time=0.1)
  "$build/bench/bench_receive" "${min_time[@]}" \
    --benchmark_out="$out/receive.json" --benchmark_out_format=json \
    --benchmark_format=csv >"$out/receive.csv" 2>"$out/receive.err"
  receive_rows <"$out/receive.csv" >>"$table"

  echo "== Settings store"
  # The temporary folder first (a real disk here), then tmpfs for comparison when there is one.
  dirs=("${PANEL_BENCH_DIR:-${TMPDIR:-/tmp}}")
  [ -d /dev/shm ] && [ -w /dev/shm ] && dirs+=(/dev/shm)
  i=0
  for dir in "${dirs[@]}"; do
    i=$((i + 1))
    # Interleaved repetitions: a change in the machine's load touches every figure alike.
    PANEL_BENCH_DIR="$dir" PANEL_BENCH_REPS=$reps "$build/bench/bench_settings" \
      --benchmark_enable_random_interleaving=true \
      --benchmark_out="$out/settings-$i.json" --benchmark_out_format=json \
      --benchmark_format=csv >"$out/settings-$i.csv" 2>"$out/settings-$i.err"
    fs=$(sed -n 's/^store_fs: //p' "$out/settings-$i.err")
    settings_rows "$fs ($dir)" <"$out/settings-$i.csv" >>"$table"
  done

  echo "== Event log"
  # Raw figures only (history.csv): one append, the watch per report, --events, opening the file.
  PANEL_BENCH_REPS=$reps "$build/bench/bench_history" "${min_time[@]}" \
    --benchmark_out="$out/history.json" --benchmark_out_format=json \
    --benchmark_format=csv >"$out/history.csv" 2>"$out/history.err" || status=$?

  echo "== Report to notification"
  bash scripts/bench-notify.sh "$build" 400 >"$out/notify.txt" 2>"$out/notify.err" || status=$?
  cat "$out/notify.txt"

  # The start-ups alternate with those of a bare Qt window started the same way. The first run of a
  # desktop starts the panel on a fresh store (its first start); the second on the store and
  # history file an earlier run left (its everyday start), start-ups only.
  echo "== Running window, offscreen"
  measure=("$build/bench/panel_measure" --startup-runs "$runs" --idle-seconds "$idle")
  QT_QPA_PLATFORM=offscreen "${measure[@]}" --platform offscreen \
    --markdown "$out/window-offscreen.md" >/dev/null 2>"$out/window-offscreen.err" || status=$?
  tail -n +3 "$out/window-offscreen.md" >>"$table" 2>/dev/null || true
  QT_QPA_PLATFORM=offscreen "${measure[@]}" --platform offscreen --startup-only --prior-run \
    --label "offscreen, everyday start" --markdown "$out/window-offscreen-everyday.md" \
    >/dev/null 2>"$out/window-offscreen-everyday.err" || status=$?
  tail -n +3 "$out/window-offscreen-everyday.md" >>"$table" 2>/dev/null || true

  echo "== Running window, Xvfb with icewm"
  xvfb_pid="" wm_pid=""
  stop_desktop() {
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  }
  trap stop_desktop EXIT
  : >"$out/display"
  # -displayfd picks a free display number, so this never collides with another desktop.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$out/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.05; done
  if [ -s "$out/display" ]; then
    display=":$(head -1 "$out/display")"
    DISPLAY="$display" icewm >/dev/null 2>&1 &
    wm_pid=$!
    sleep 1
    DISPLAY="$display" QT_QPA_PLATFORM=xcb "${measure[@]}" --platform xcb --label "Xvfb + icewm" \
      --markdown "$out/window-xvfb.md" >/dev/null 2>"$out/window-xvfb.err" || status=$?
    tail -n +3 "$out/window-xvfb.md" >>"$table" 2>/dev/null || true
    DISPLAY="$display" QT_QPA_PLATFORM=xcb "${measure[@]}" --platform xcb --startup-only --prior-run \
      --label "Xvfb + icewm, everyday start" --markdown "$out/window-xvfb-everyday.md" \
      >/dev/null 2>"$out/window-xvfb-everyday.err" || status=$?
    tail -n +3 "$out/window-xvfb-everyday.md" >>"$table" 2>/dev/null || true
  else
    echo "Xvfb did not start: the desktop figures are missing." >&2
    status=1
  fi
  stop_desktop
  trap - EXIT
fi

echo
cat "$table"
for f in "$out"/window-*.err; do
  [ -s "$f" ] && { echo; echo "Notes from $(basename "$f" .err):"; cat "$f"; }
done
echo
echo "Raw outputs in $out"
if grep -q '| NO |\|not measured' "$table"; then exit 3; fi
exit "$status"
