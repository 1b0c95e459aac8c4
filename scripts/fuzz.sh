#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 30), starting from the seed corpus in fuzz/corpus. New inputs go to
# build-fuzz/corpus/, never into the repository; a crash leaves its input in
# build-fuzz/ and makes this script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
bash scripts/setup.sh test
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
for target in template_loader command_line show; do
  work=build-fuzz/corpus/$target
  mkdir -p "$work"
  echo "=== fuzz_$target for ${seconds}s ==="
  status=0
  (cd build-fuzz && "fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      "corpus/$target" "../fuzz/corpus/$target") >"build-fuzz/fuzz_$target.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|SUMMARY)' "build-fuzz/fuzz_$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "build-fuzz/fuzz_$target.log"
    echo "fuzz_$target failed (status $status); log: build-fuzz/fuzz_$target.log"
    exit 1
  fi
done
