#!/usr/bin/env bash
# Installs the Debian 12 packages the panel needs, when missing, in two parts:
#
#   run    building the panel and the simulator and running them (what scripts/run.sh needs)
#   test   all of run, and what the test suite, the fuzzers and the benchmarks need on top
#          (what scripts/test.sh, fuzz.sh and bench.sh need); the default
#
#   install-deps.sh [run|test]           install what is missing of that part
#   install-deps.sh --list [run|test]    print the part's packages, one a line, and install nothing
#
# Idempotent; runs as root (or through sudo) without standard input.
set -euo pipefail

# Compilers, build tools and the Qt 6 modules the panel is built with (Qt Charts' CMake package
# needs Qt OpenGL's); the Qt platform plugins (xcb for an X or XWayland desktop) and the SQLite
# driver of Qt SQL are what running it loads, and SQLite's own header what the history file uses of
# it beside Qt SQL.
run_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev qt6-svg-dev libqt6svg6 qt6-charts-dev libqt6opengl6-dev
  qt6-qpa-plugins libqt6sql6-sqlite libsqlite3-dev
  libgl-dev
)

# On top for the tests: the fuzzing and sanitizer runtime, the micro benchmarks, a virtual X
# desktop with a tray and the tools that drive and photograph it, the accessibility bus and its
# Python client, a private session bus, the metrics exporter the monitoring tests scrape, the
# serial device server the network link's tests run in front of the simulator and the tool that
# makes their certificates, the manual page tools, and the checkers of the desktop metadata, the package, its copyright file and
# its systemd unit.
test_packages=(
  clang-14 libclang-rt-14-dev libbenchmark-dev
  xvfb xauth icewm xdotool imagemagick x11-utils
  dbus dbus-daemon at-spi2-core python3 python3-gi gir1.2-glib-2.0 python3-pyatspi
  prometheus-node-exporter
  ser2net openssl
  man-db groff-base
  util-linux procps
  desktop-file-utils appstream dpkg-dev binutils python3-debian systemd
)

usage() {
  echo "usage: $0 [--list] [run|test]" >&2
  exit 2
}

list=0
if [ "${1:-}" = --list ]; then
  list=1
  shift
fi
part=${1:-test}
[ $# -le 1 ] || usage
case "$part" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) usage ;;
esac

if [ "$list" = 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq </dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
