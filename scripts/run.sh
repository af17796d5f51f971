#!/usr/bin/env bash
# Installs what building and running the panel need when it is missing (not the test tools),
# builds, and starts the panel connected to the bundled transmitter simulator. The panel gets a
# settings store of its own in a temporary folder, so trying it never changes your real settings.
# Extra arguments are passed to the simulator (try --noise 0.01).
# With no display (neither DISPLAY nor WAYLAND_DISPLAY, and no Qt platform chosen in
# QT_QPA_PLATFORM) the panel runs as its headless monitor instead of its window: it reads the
# simulator once a second and prints each event; Ctrl+C ends it and the simulator.
# VALTRONA_RUN_SECONDS=N ends the panel after N seconds (for tests and demonstrations).
set -euo pipefail
cd "$(dirname "$0")/.."

headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  headless=1
fi

bash scripts/install-deps.sh run

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)"

work=$(mktemp -d "${TMPDIR:-/tmp}/valtrona-try.XXXXXX")
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The simulator stands behind a stable name; "COM 1" of the panel's store points at it. It runs in
# a session of its own, so that Ctrl+C reaches only the panel: the panel lets go of the line first,
# and the simulator is ended on the way out.
link="$work/ttyVALTRONA"
setsid "$build/sim/valtrona-sim" --link "$link" "$@" >"$work/sim.out" 2>"$work/sim.err" </dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
if [ ! -e "$link" ]; then
  echo "The simulator did not start:" >&2; cat "$work/sim.err" >&2; exit 1
fi

# A store and a history of the trial's own: the simulator's readings never reach the operator's
# real history, nor its port map.
export XDG_CONFIG_HOME="$work/config"
export XDG_DATA_HOME="$work/data"
store="$XDG_CONFIG_HOME/ZTK Electronics/ValtronaAmp+.ini"
mkdir -p "$(dirname "$store")"
# Start with the window on screen rather than in the tray, so there is something to see.
printf '[Ports]\nCOM1=%s\n\n[ValtronaAmp%%2B]\nTrayAtStart=False\n' "$link" >"$store"

echo "Simulator on $(head -1 "$work/sim.out" 2>/dev/null), settings in $store"
panel=("$build/ui/valtrona-panel")
if [ "$headless" = 1 ]; then
  cat >&2 <<'EOF_MESSAGE'
No display (neither DISPLAY nor WAYLAND_DISPLAY is set): the panel runs as its headless monitor,
valtrona-panel --headless, reading the simulator once a second. Its events follow, one a line.
Ctrl+C ends it. To see the window, run this in a terminal of a desktop session, log in with
ssh -X, or use a virtual display: xvfb-run -a ./scripts/run.sh
EOF_MESSAGE
  panel+=(--headless)
fi
# Ctrl+C ends the panel cleanly, with status 0, and the script goes on to its cleanup.
if [ -n "${VALTRONA_RUN_SECONDS:-}" ]; then
  status=0
  timeout "$VALTRONA_RUN_SECONDS" "${panel[@]}" || status=$?
  # 124: the time ran out with the panel still running, which is what was asked for.
  [ "$status" -eq 124 ] || exit "$status"
else
  "${panel[@]}"
fi
