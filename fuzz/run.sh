#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for SECONDS (default 60), starting from the corpus kept in fuzz/corpus. New inputs go
# to a scratch folder, not into the repository.
#   fuzz/run.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
cmake --preset fuzz -S "$root" >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in locate header_bytes journal package; do
  mkdir -p "$work/$target"
  echo "== fuzzing $target for $seconds s"
  set +e
  "$root/build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "$work/$target" "$root/fuzz/corpus/$target" >"$work/log" 2>&1
  status=$?
  set -e
  grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done)' "$work/log" || true
  if [ $status -ne 0 ]; then
    tail -40 "$work/log"
    echo "fuzzer $target failed (status $status); the input that failed:" "$work/$target"-*
    od -A d -t x1 "$work/$target"-* | head -20
    # The whole input, to reproduce the failure with: base64 -d >input && TARGET_fuzz input
    echo "base64:"
    base64 "$work/$target"-*
    exit 1
  fi
done
