# Starts Xvfb with the icewm window manager (which has a system tray) for the tests that need a
# real desktop, and exports PANEL_TEST_DISPLAY for them. Stopped when the calling shell exits.
start_test_desktop() {
  local display=":${PANEL_TEST_DISPLAY_NUMBER:-93}"
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  local xvfb=$!
  for _ in $(seq 50); do
    DISPLAY="$display" xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  DISPLAY="$display" icewm >/dev/null 2>&1 &
  local wm=$!
  trap "kill $wm $xvfb 2>/dev/null || true" EXIT
  sleep 1
  export PANEL_TEST_DISPLAY="$display"
}
