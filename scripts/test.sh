#!/usr/bin/env bash
# Installs what is missing, builds the panel, the simulator and the tests, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "$(nproc)"

# A desktop with a system tray for the tests that need one (the others run offscreen).
source scripts/test-desktop.sh
start_test_desktop

ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"
