#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end suites on the plain
# build, again under AddressSanitizer and UndefinedBehaviorSanitizer, the unit
# tests that start threads and the concurrency-heavy end-to-end tests under
# ThreadSanitizer, and the fuzz targets for a bounded time; cross-builds the
# Windows executable and runs its control-channel tests under Wine.
#
# End-to-end tests marked `daily` run for minutes what a seeded simulation
# already checks in milliseconds (diagnosis ramps and steps, a router withholding
# answers, loss over a four-minute hop sweep, ten bandwidth sweeps, a slow
# router); one short test of each behaviour stays in every run. CI runs them
# once a day, and anyone may on request:
#   TARNVALE_DAILY=1 .ci/run      (or TARNVALE_DAILY=1 scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# The run is bound by compiling on two cores, so each thing is compiled once
# where it is needed: the plain build makes what the end-to-end tests run; the
# unit tests are compiled and run under the sanitizers, and the benchmarks are
# compiled with the AddressSanitizer build.
scripts/build.sh build -- tarnvale_probe tarnvale_link_delayer

if [[ ${TARNVALE_DAILY:-0} == 1 ]]; then
  plain_selection=()
else
  plain_selection=(-m "not daily")
fi
# Under the sanitizers the minutes-long scenarios add nothing the short ones miss.
sanitized_selection=(-m "not slow and not daily")

# Each suite runs in the background with its output in its own log, printed
# whole when it has ended: the suites mostly wait on timers and sockets, so they
# overlap one another and the builds, which this shell compiles one after the
# other (each would take both cores).
logs=$(mktemp -d)
declare -A running
status=0

start() {
  local name=$1
  shift
  "$@" >"$logs/$name.log" 2>&1 &
  running[$name]=$!
}

finish() {
  local name=$1 failed=0
  wait "${running[$name]}" || failed=1
  echo "===== $name"
  cat "$logs/$name.log"
  if ((failed)); then
    echo "$name failed" >&2
    status=1
  fi
}

# Builds quietly; a failed build prints its log and fails the run.
build() {
  local build_dir=$1
  if ! scripts/build.sh "$@" >"$logs/$build_dir.log" 2>&1; then
    cat "$logs/$build_dir.log"
    echo "$build_dir failed to build" >&2
    status=1
    return 1
  fi
}

# End-to-end tests run several at once, each module's test network made per
# worker; a module whose fixture is costly (a whole Debian root) keeps its tests
# on one worker with an xdist group. Each suite's status is collected, so that a
# failing unit suite fails the run too.
end_to_end_suite() {
  local build_dir=$1
  shift
  echo "== end-to-end tests ($build_dir)"
  TARNVALE_PROBE="$PWD/$build_dir/tarnvale_probe" /usr/bin/python3 -m pytest -p no:cacheprovider -q -n 4 \
    --dist loadgroup --durations=20 "$@"
}

unit_suite() {
  local build_dir=$1
  echo "== unit tests ($build_dir)"
  # Two at a time: under the sanitizers the seeded simulations take a minute each.
  ctest --test-dir "$build_dir" --output-on-failure --parallel 2
}

run_suites() {
  local failed=0
  unit_suite "$1" || failed=1
  end_to_end_suite "$@" || failed=1
  return $failed
}

# Under the sanitizers memory figures are the sanitizer's own (freed blocks are
# held back in quarantine), so the tests skip what they say about resident memory.
sanitized() {
  TARNVALE_SANITIZED=1 "$@"
}

sanitized_suites() {
  sanitized run_suites "$@"
}

# ThreadSanitizer writes its reports to files, so that a report in a probe whose
# standard error a test does not read still fails the run.
race_checked_suites() {
  local race_reports failed=0
  race_reports=$(mktemp -d)
  TSAN_OPTIONS="log_path=$race_reports/race second_deadlock_stack=1" sanitized_suites "$@" || failed=1
  if compgen -G "$race_reports/race*" >/dev/null; then
    cat "$race_reports"/race*
    echo "ThreadSanitizer reported races" >&2
    failed=1
  fi
  return $failed
}

windows_suites() {
  TARNVALE_PROBE="$PWD/build/tarnvale_probe" TARNVALE_WINDOWS_PROBE="$PWD/build-windows/tarnvale_probe.exe" \
    /usr/bin/python3 -m pytest -p no:cacheprovider -q -k windows \
    tests/e2e/test_control_channel.py tests/e2e/test_windows_build.py
}

# Runs a command once the process `pid` has ended.
after() {
  local pid=$1
  shift
  while kill -0 "$pid" 2>/dev/null; do
    sleep 2
  done
  "$@"
}

start plain end_to_end_suite build "${plain_selection[@]}" tests/e2e tests/client
# The two broad end-to-end suites do not overlap: each counts traffic at tens of
# megabits a second, which two cores shared by both and a compiler count short.
# The sanitized unit suite runs beside the plain end-to-end one, as the builds do.
if build build-asan -DTARNVALE_SANITIZE=ON; then
  start asan-unit sanitized unit_suite build-asan
  start asan after "${running[plain]}" sanitized end_to_end_suite build-asan "${sanitized_selection[@]}" tests/e2e
fi
if build build-tsan -DTARNVALE_THREAD_SANITIZE=ON -DTARNVALE_BENCH=OFF; then
  start tsan race_checked_suites build-tsan "${sanitized_selection[@]}" tests/e2e/test_control_channel.py \
    tests/e2e/test_engine_framework.py tests/e2e/test_faults.py
fi
# Without debug information the cross build takes two thirds of the time.
if build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release; then
  start windows windows_suites
fi
# Three fuzz targets at once on two cores: 45 s gives each the 30 s of a core it had alone.
start fuzz scripts/fuzz.sh 45

for name in plain asan-unit asan tsan windows fuzz; do
  if [[ -v "running[$name]" ]]; then
    finish "$name"
  fi
done
exit $status
