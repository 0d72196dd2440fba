#!/usr/bin/env bash
# Configures and builds the project, with warnings as errors (a later
# -DTARNVALE_WERROR=OFF among the options turns that off).
# Usage: scripts/build.sh [BUILD_DIR] [CMAKE_OPTION...] [-- TARGET...]
# Without targets it builds everything.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
options=()
while (($#)) && [[ $1 != -- ]]; do
  options+=("$1")
  shift
done
shift || true
cmake -S . -B "$build_dir" -G Ninja -DTARNVALE_WERROR=ON "${options[@]}" >/dev/null
cmake --build "$build_dir" ${1:+--target "$@"}
