#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end suites, on the plain
# build and again under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh build

# The sanitizer build compiles while the plain suites run: those mostly wait on
# timers and sockets.
asan_log=$(mktemp)
scripts/build.sh build-asan -DTARNVALE_SANITIZE=ON -DTARNVALE_BENCH=OFF >"$asan_log" 2>&1 &
asan_build=$!

# End-to-end tests mostly wait on timers and the network, so several run at once,
# each module's test network made per worker.
run_suites() {
  local build_dir=$1
  shift
  echo "== unit tests ($build_dir)"
  ctest --test-dir "$build_dir" --output-on-failure
  echo "== end-to-end tests ($build_dir)"
  TARNVALE_PROBE="$PWD/$build_dir/tarnvale_probe" /usr/bin/python3 -m pytest -p no:cacheprovider -q -n 4 \
    --dist load "$@" tests/e2e
}

status=0
run_suites build || status=1
if ! wait "$asan_build"; then
  cat "$asan_log"
  echo "sanitizer build failed" >&2
  exit 1
fi
# The fuzz targets build and run while the sanitized suites, which mostly wait,
# take their turn.
fuzz_log=$(mktemp)
scripts/fuzz.sh 30 >"$fuzz_log" 2>&1 &
fuzzing=$!
# The minutes-long scenarios add nothing under the sanitizers that the short ones miss.
# Their memory figures are the sanitizer's own (freed blocks are held back in
# quarantine), so the tests skip what they say about resident memory.
TARNVALE_SANITIZED=1 run_suites build-asan -m "not slow" || status=1
if ! wait "$fuzzing"; then
  status=1
fi
cat "$fuzz_log"
exit $status
