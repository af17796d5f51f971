#!/usr/bin/env bash
# A long flood of the real panel, run by hand: the simulator floods the line for SECONDS (1800 by
# default) with KIND (mixed: noise of every byte value with whole reports between), while the panel
# runs offscreen with auto-read on. Every INTERVAL seconds (60) it prints the bytes the simulator
# has sent, the rate since the last line, the status requests that reached the simulator, and the
# panel's resident size; at the end the resident size at the start and the end, and whether the
# flood sent until its end and the panel still runs.
#
#   scripts/long-flood.sh [SECONDS] [KIND]          BUILD_DIR=build, INTERVAL=60
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-1800}
kind=${2:-mixed}
build=${BUILD_DIR:-build}
interval=${INTERVAL:-60}

work=$(mktemp -d "${TMPDIR:-/tmp}/valtrona-flood.XXXXXX")
sim=""
panel=""
cleanup() {
  [ -n "$panel" ] && kill "$panel" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  exec 3>&- || true
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator reads its commands from a pipe this script holds open.
mkfifo "$work/sim.in"
"$build/sim/valtrona-sim" --link "$work/ttyVALTRONA" <"$work/sim.in" >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
exec 3>"$work/sim.in"
for _ in $(seq 100); do [ -e "$work/ttyVALTRONA" ] && break; sleep 0.05; done
[ -e "$work/ttyVALTRONA" ] || { echo "the simulator did not start" >&2; cat "$work/sim.err" >&2; exit 1; }

export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/ZTK Electronics"
printf '[Ports]\nCOM1=%s\n\n[ValtronaAmp%%2B]\nCOMSelected=1\nAutoRead=True\nTrayAtStart=False\n' \
  "$work/ttyVALTRONA" >"$XDG_CONFIG_HOME/ZTK Electronics/ValtronaAmp+.ini"
QT_QPA_PLATFORM=offscreen "$build/ui/valtrona-panel" >"$work/panel.out" 2>&1 &
panel=$!

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$panel/status" 2>/dev/null || echo 0; }
# The simulator's state: flood bytes, whether it is on, status requests (frames) so far.
state() {
  local before
  before=$(grep -c '^state ' "$work/sim.out" || true)
  echo state >&3
  for _ in $(seq 200); do
    [ "$(grep -c '^state ' "$work/sim.out" || true)" -gt "$before" ] && break
    sleep 0.05
  done
  grep '^state ' "$work/sim.out" | tail -n 1 | cut -c7- | python3 -c '
import json, sys
s = json.load(sys.stdin)
print(int(s["flood"]["bytes"]), "on" if s["flood"]["active"] else "off", s["frames"])'
}

# Warm up: the panel opens the line and asks a few times before the flood starts.
sleep 5
kill -0 "$panel" 2>/dev/null || { echo "the panel did not start" >&2; cat "$work/panel.out" >&2; exit 1; }
start_rss=$(rss)
read -r _ _ start_frames < <(state)
echo "flood $seconds $kind" >&3
echo "flood of $kind for $seconds s; the panel's resident size at the start: $start_rss KiB"
printf '%8s %14s %10s %10s %14s\n' seconds "bytes sent" "MB/s" requests "VmRSS (KiB)"

peak=$start_rss
last_bytes=0
elapsed=0
stalled=0
while [ "$elapsed" -lt "$seconds" ]; do
  step=$((seconds - elapsed < interval ? seconds - elapsed : interval))
  sleep "$step"
  elapsed=$((elapsed + step))
  read -r bytes active frames < <(state)
  now=$(rss)
  [ "$now" -gt "$peak" ] && peak=$now
  rate=$(awk -v b="$bytes" -v l="$last_bytes" -v s="$step" 'BEGIN { printf "%.2f", (b - l) / s / 1e6 }')
  # The last line may come after the flood's end; before it, a line without new bytes is a stall.
  if [ "$elapsed" -lt "$seconds" ] && [ "$bytes" -le "$last_bytes" ]; then stalled=$((stalled + 1)); fi
  printf '%8s %14s %10s %10s %14s %s\n' "$elapsed" "$bytes" "$rate" "$((frames - start_frames))" "$now" "$active"
  last_bytes=$bytes
  kill -0 "$panel" 2>/dev/null || { echo "the panel ended during the flood" >&2; exit 1; }
done
sleep 3
read -r bytes active frames < <(state)
end_rss=$(rss)
echo "resident size: $start_rss KiB at the start, $end_rss KiB at the end, $peak KiB at the highest sample"
echo "flood $active after its time; $bytes bytes sent; $((frames - start_frames)) status requests reached the simulator"
[ "$stalled" -eq 0 ] || { echo "the flood sent nothing for $stalled intervals" >&2; exit 1; }
kill -0 "$panel" 2>/dev/null && echo "the panel still runs"
