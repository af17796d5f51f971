#!/usr/bin/env bash
# Installs what building and running the panel need when it is missing (not the test tools),
# builds, and starts the panel connected to the bundled transmitter simulator. The panel gets a settings store of its own in a temporary folder, so trying it never
# changes your real settings. Extra arguments are passed to the simulator (try --noise 0.01).
# VALTRONA_RUN_SECONDS=N ends the panel after N seconds (for tests and demonstrations).
set -euo pipefail
cd "$(dirname "$0")/.."

# ---- No display: the place of the headless monitor ------------------------------------------
# With no desktop to show the window on, run.sh is to start the panel's headless monitor against
# the simulator (after the simulator has started below), print its events and end with Ctrl+C.
# Until the panel has that monitor, it says how to get a display and stops before installing or
# building anything.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<'EOF_MESSAGE'
run.sh shows the panel's window, and this session has no display (neither DISPLAY nor
WAYLAND_DISPLAY is set). To get one:
  - run it in a terminal of a graphical desktop session;
  - from another computer with a desktop, log in with X forwarding (ssh -X) and run it there;
  - or run it on a virtual X display, where the window is drawn but not seen (this checks that
    it starts): sudo apt-get install xvfb, then xvfb-run -a ./scripts/run.sh
EOF_MESSAGE
  exit 1
fi
# ----------------------------------------------------------------------------------------------

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

# The simulator stands behind a stable name; "COM 1" of the panel's store points at it.
link="$work/ttyVALTRONA"
"$build/sim/valtrona-sim" --link "$link" "$@" >"$work/sim.out" 2>"$work/sim.err" </dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
if [ ! -e "$link" ]; then
  echo "The simulator did not start:" >&2; cat "$work/sim.err" >&2; exit 1
fi

export XDG_CONFIG_HOME="$work/config"
store="$XDG_CONFIG_HOME/ZTK Electronics/ValtronaAmp+.ini"
mkdir -p "$(dirname "$store")"
# Start with the window on screen rather than in the tray, so there is something to see.
printf '[Ports]\nCOM1=%s\n\n[ValtronaAmp%%2B]\nTrayAtStart=False\n' "$link" >"$store"

# ---- Headless monitor: with no display, it is to start here (see "No display" above) ----------

echo "Simulator on $(head -1 "$work/sim.out" 2>/dev/null), settings in $store"
if [ -n "${VALTRONA_RUN_SECONDS:-}" ]; then
  status=0
  timeout "$VALTRONA_RUN_SECONDS" "$build/ui/valtrona-panel" || status=$?
  # 124: the time ran out with the panel still running, which is what was asked for.
  [ "$status" -eq 124 ] || exit "$status"
else
  "$build/ui/valtrona-panel"
fi
