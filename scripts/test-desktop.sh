# Starts Xvfb with the icewm window manager (which has a system tray) for the tests that need a
# real desktop, and exports PANEL_TEST_DISPLAY for them. Stopped when the calling shell exits.
#
# Xvfb picks a free display number itself (-displayfd), so the tests never land on a server that
# happens to answer on a fixed number; the display is used only once that Xvfb is seen running
# and answering there. Otherwise the function says why and fails, exporting nothing.
start_test_desktop() {
  local number_file xvfb number="" wm
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
  xvfb=$!
  # The number is written, with a line end, once the server accepts clients.
  for _ in $(seq 100); do
    if grep -q '^[0-9][0-9]*$' "$number_file" 2>/dev/null && [ "$(tail -c 1 "$number_file" | od -An -tx1)" = " 0a" ]; then
      number=$(head -n 1 "$number_file")
      break
    fi
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$number_file"
  if [ -z "$number" ] || ! kill -0 "$xvfb" 2>/dev/null; then
    kill "$xvfb" 2>/dev/null || true
    echo "start_test_desktop: Xvfb did not start" >&2
    return 1
  fi
  # The number is one Xvfb found free and took; it must answer there.
  if ! DISPLAY=":$number" xdpyinfo >/dev/null 2>&1; then
    kill "$xvfb" 2>/dev/null || true
    echo "start_test_desktop: display :$number does not answer as the Xvfb just started" >&2
    return 1
  fi
  DISPLAY=":$number" icewm >/dev/null 2>&1 &
  wm=$!
  trap "kill $wm $xvfb 2>/dev/null || true" EXIT
  sleep 1
  if ! kill -0 "$xvfb" 2>/dev/null || ! kill -0 "$wm" 2>/dev/null; then
    echo "start_test_desktop: Xvfb or icewm ended at start" >&2
    return 1
  fi
  export PANEL_TEST_DISPLAY=":$number"
}
