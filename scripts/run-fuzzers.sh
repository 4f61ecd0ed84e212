#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs each one for a while.
#
#   scripts/run-fuzzers.sh [seconds-per-target]     (default 60)
#
# First every saved regression input under fuzz/regressions/<target>/ is
# replayed; then each target fuzzes a fresh copy of its seed corpus
# (fuzz/corpus/<target>/) in build/fuzz/fuzz-runs/<target>/, as many at once
# as there are cores, so new inputs never land in the repository. Prints the executions each target made and
# exits non-zero if any target found anything; the crashing input is left in
# the run folder (crash-*, leak-*, timeout-*, oom-*).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(fuzz_address fuzz_read_reply fuzz_value_text fuzz_request fuzz_settings_file fuzz_unit_file)
bin=build/fuzz/fuzz
runs=build/fuzz/fuzz-runs

cmake --preset fuzz >/dev/null || { echo "configure failed"; exit 2; }
cmake --build --preset fuzz || { echo "build failed"; exit 2; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

mkdir -p "$runs"
failed=0
for target in "${targets[@]}"; do
  regressions=fuzz/regressions/$target
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    if "$bin/$target" "$regressions"/* >"$runs/$target-regressions.log" 2>&1; then
      echo "$target: $(ls "$regressions" | wc -l) regression inputs pass"
    else
      echo "$target: REGRESSION FAILED (log: $runs/$target-regressions.log)"
      tail -30 "$runs/$target-regressions.log"
      failed=1
    fi
  fi
done

# One target's run; its verdict goes to $runs/$target.verdict, its status
# is the exit status.
fuzz_one() {
  local target=$1 work=$runs/$1
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  local log=$work/fuzz.log
  "$bin/$target" "$work/corpus" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -artifact_prefix="$work/" >"$log" 2>&1
  local status=$?
  local executed findings
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  findings=$(ls "$work" | grep -cE '^(crash|leak|timeout|oom|slow-unit)-')
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    { echo "$target: FINDING after ${executed:-?} executions (exit $status, log: $log)"
      grep -E "FUZZ FAILURE|ERROR: |SUMMARY|runtime error|Test unit written" "$log" | head -10
    } >"$runs/$target.verdict"
    return 1
  fi
  echo "$target: ${executed:-?} executions in ${seconds} s, no finding" >"$runs/$target.verdict"
}

# As many targets at once as the machine has cores: each fuzzes on one.
jobs=$(nproc 2>/dev/null || echo 1)
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  fuzz_one "$target" &
done
wait
for target in "${targets[@]}"; do
  cat "$runs/$target.verdict" 2>/dev/null || echo "$target: no verdict"
  grep -q "no finding" "$runs/$target.verdict" 2>/dev/null || failed=1
done
exit $failed
