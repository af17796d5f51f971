#!/usr/bin/env bash
# From a report's "$" to the Notify call: bench_notify on a private session bus of its own, with the
# test suite's recording notification service answering the calls.
#   scripts/bench-notify.sh BUILD_DIR [ROUNDS]
set -euo pipefail
build=${1:?build folder}
rounds=${2:-400}
here=$(cd "$(dirname "$0")/.." && pwd)
exec dbus-run-session -- bash -c '
  record=$(mktemp)
  /usr/bin/python3 "$1/tests/tools/notification_recorder.py" "$record" > "$record.out" &
  recorder=$!
  for _ in $(seq 100); do grep -q ready "$record.out" 2>/dev/null && break; sleep 0.05; done
  "$2/bench/bench_notify" "$3"
  kill $recorder; wait $recorder 2>/dev/null || true
  echo "calls recorded: $(wc -l < "$record")"
  rm -f "$record" "$record.out"
' _ "$here" "$build" "$rounds"
