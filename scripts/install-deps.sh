#!/usr/bin/env bash
# Installs every package the panel needs to build, run and be tested, when missing.
# Idempotent; runs as root (or through sudo) on Debian 12 without standard input.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config libbenchmark-dev
  clang-14 libclang-rt-14-dev
  qt6-base-dev qt6-serialport-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins
  libqt6sql6-sqlite
  dbus dbus-daemon python3-gi gir1.2-glib-2.0
  libgl-dev
  xvfb xauth icewm xdotool imagemagick x11-utils
  util-linux procps
  python3 desktop-file-utils appstream dpkg-dev binutils
)

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
