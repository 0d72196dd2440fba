#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end suites on the plain
# build, again under AddressSanitizer and UndefinedBehaviorSanitizer, the unit
# suite and the concurrency-heavy end-to-end tests under ThreadSanitizer, and
# the fuzz targets for a bounded time; cross-builds the Windows executable and
# runs its control-channel tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh build

# The sanitizer builds compile, one after the other, while the plain suites run:
# those mostly wait on timers and sockets.
sanitizer_log=$(mktemp)
{
  scripts/build.sh build-asan -DTARNVALE_SANITIZE=ON -DTARNVALE_BENCH=OFF &&
    scripts/build.sh build-tsan -DTARNVALE_THREAD_SANITIZE=ON -DTARNVALE_BENCH=OFF &&
    scripts/build.sh build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
} >"$sanitizer_log" 2>&1 &
sanitizer_builds=$!

# End-to-end tests mostly wait on timers and the network, so several run at once,
# each module's test network made per worker; a module whose fixture is costly
# (a whole Debian root) keeps its tests on one worker with an xdist group.
# Called as `run_suites … || status=1`, where `set -e` does not apply: each
# suite's status is collected, so that a failing unit suite fails the run too.
run_suites() {
  local build_dir=$1 failed=0
  shift
  echo "== unit tests ($build_dir)"
  ctest --test-dir "$build_dir" --output-on-failure || failed=1
  echo "== end-to-end tests ($build_dir)"
  TARNVALE_PROBE="$PWD/$build_dir/tarnvale_probe" /usr/bin/python3 -m pytest -p no:cacheprovider -q -n 4 \
    --dist loadgroup "$@" || failed=1
  return $failed
}

status=0
run_suites build tests/e2e tests/client || status=1
if ! wait "$sanitizer_builds"; then
  cat "$sanitizer_log"
  echo "sanitizer or Windows build failed" >&2
  exit 1
fi

echo "== Windows executable under Wine: the control-channel suite and the Windows tests"
TARNVALE_PROBE="$PWD/build/tarnvale_probe" TARNVALE_WINDOWS_PROBE="$PWD/build-windows/tarnvale_probe.exe" \
  /usr/bin/python3 -m pytest -p no:cacheprovider -q -k windows \
  tests/e2e/test_control_channel.py tests/e2e/test_windows_build.py || status=1

# The fuzz targets build and run while the sanitized suites, which mostly wait,
# take their turn.
fuzz_log=$(mktemp)
scripts/fuzz.sh 30 >"$fuzz_log" 2>&1 &
fuzzing=$!

# Under the sanitizers memory figures are the sanitizer's own (freed blocks are
# held back in quarantine), so the tests skip what they say about resident
# memory; the minutes-long scenarios add nothing the short ones miss.
export TARNVALE_SANITIZED=1
run_suites build-asan -m "not slow" tests/e2e || status=1

# ThreadSanitizer writes its reports to files, so that a report in a probe whose
# standard error a test does not read still fails the run.
race_reports=$(mktemp -d)
TSAN_OPTIONS="log_path=$race_reports/race second_deadlock_stack=1" \
  run_suites build-tsan -m "not slow" tests/e2e/test_control_channel.py tests/e2e/test_engine_framework.py \
  tests/e2e/test_faults.py || status=1
if compgen -G "$race_reports/race*" >/dev/null; then
  cat "$race_reports"/race*
  echo "ThreadSanitizer reported races" >&2
  status=1
fi

if ! wait "$fuzzing"; then
  status=1
fi
cat "$fuzz_log"
exit $status
