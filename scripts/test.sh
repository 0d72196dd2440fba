#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end suites, on the plain
# build and again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh build

# The sanitizer build compiles while the plain suites run: those mostly wait on
# timers and sockets.
asan_log=$(mktemp)
scripts/build.sh build-asan -DTARNVALE_SANITIZE=ON -DTARNVALE_BENCH=OFF >"$asan_log" 2>&1 &
asan_build=$!

run_suites() {
  local build_dir=$1
  echo "== unit tests ($build_dir)"
  ctest --test-dir "$build_dir" --output-on-failure
  echo "== end-to-end tests ($build_dir)"
  TARNVALE_PROBE="$PWD/$build_dir/tarnvale_probe" /usr/bin/python3 -m pytest -p no:cacheprovider -q tests/e2e
}

status=0
run_suites build || status=1
if ! wait "$asan_build"; then
  cat "$asan_log"
  echo "sanitizer build failed" >&2
  exit 1
fi
run_suites build-asan || status=1
exit $status
