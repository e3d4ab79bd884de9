#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets (preset "fuzz") and runs each for about a minute on a
# copy of the committed corpus (fuzz/corpus). Any crash, sanitizer report, leak, timeout or
# out-of-memory fails the step; its input is left under the printed folder.
#   SONOLIFT_FUZZ_BUILD  build folder (default build/fuzz)
#   SONOLIFT_FUZZ_TIME   seconds per target (default 60)
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${SONOLIFT_FUZZ_BUILD:-build/fuzz}
seconds=${SONOLIFT_FUZZ_TIME:-60}
targets=(fuzz_process_file fuzz_process_file_small_window fuzz_loudness)

cmake --preset fuzz -B "$build"
cmake --build "$build" -j2 --target "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/sonolift-fuzz-ci-XXXXXX")
status=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts" "$work/$target/tmp"
  case $target in fuzz_loudness) seeds=loud ;; *) seeds=process ;; esac
  cp fuzz/corpus/$seeds/* "$work/$target/corpus/"
  echo "== $target: ${seconds}s on $(ls "$work/$target/corpus" | wc -l) inputs"
  # the targets' scratch folders go under the work folder
  if ! TMPDIR="$work/$target/tmp" "$build/bin/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
      -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
      "$work/$target/corpus" 2>"$work/$target/log"; then
    status=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|#[0-9]+ *DONE)' "$work/$target/log" || true
  if [ -n "$(ls -A "$work/$target/artifacts")" ]; then
    status=1
  fi
  if [ $status -ne 0 ]; then
    tail -n 60 "$work/$target/log"
    echo "fuzzing found a problem in $target; inputs kept in $work/$target/artifacts" >&2
    exit 1
  fi
done
rm -rf "$work"
echo "fuzzing: no findings"
