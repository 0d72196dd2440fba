#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from
# the seed corpus in tests/fuzz/corpus; fails on any crash, leak or sanitizer
# report. Usage: scripts/fuzz.sh [seconds, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
# One target per seed corpus, each named after its folder.
targets=()
for corpus in tests/fuzz/corpus/*/; do
  targets+=("fuzz_$(basename "$corpus")")
done
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNVALE_FUZZ=ON \
  -DTARNVALE_WERROR=ON -DTARNVALE_BENCH=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The targets fuzz at once, each on one thread, so that the machine's cores share them.
declare -A fuzzing
for corpus in tests/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  mkdir -p "$work/$target"
  echo "== fuzzing $target for $seconds s"
  # New inputs go to the scratch folder; the seeds in the repository stay as they are.
  build-fuzz/tests/fuzz/fuzz_"$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "$work/$target" "$corpus" 2>"$work/$target.log" &
  fuzzing[$target]=$!
done
status=0
for target in "${!fuzzing[@]}"; do
  if wait "${fuzzing[$target]}"; then
    echo "$target: $(grep -E "^stat::number_of_executed_units" "$work/$target.log")"
  else
    tail -n 60 "$work/$target.log"
    echo "fuzz target $target failed" >&2
    status=1
  fi
done
exit $status
