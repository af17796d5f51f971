#!/usr/bin/env bash
# Builds the Debian package of the panel and the simulator: configures a Release tree when there is
# none yet, builds it and runs CPack. Prints the path of the .deb last.
#
#   BUILD_DIR   build folder (build); an existing tree keeps its own configuration
#   DEB_DIR     where the .deb goes (<build>/packages)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
out=${DEB_DIR:-$build/packages}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --parallel "${BUILD_JOBS:-2}"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >&2
ls -t "$out"/*.deb | head -1
