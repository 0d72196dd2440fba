#!/usr/bin/env bash
# Configures and builds the project, with warnings as errors (a later
# -DTARNVALE_WERROR=OFF among the options turns that off).
# Usage: scripts/build.sh [BUILD_DIR] [CMAKE_OPTION...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -G Ninja -DTARNVALE_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir"
