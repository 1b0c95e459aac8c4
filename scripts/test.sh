#!/usr/bin/env bash
# Checks every shell script, then builds everything twice, plain and with the
# sanitizers, and runs the whole test suite in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

echo "=== shellcheck ==="
# Every file that starts with a shell's #! line, and the bash completions.
mapfile -t scripts < <(find . \( -name 'build*' -o -name .git \) -prune -o -type f -exec \
  awk 'FNR == 1 && /^#! ?\/(usr\/)?bin\/(env )?(ba)?sh/ { print FILENAME } { nextfile }' {} + | sort)
shellcheck "${scripts[@]}"
shellcheck --shell=bash completions/*

jobs=$(nproc)
for preset in default sanitize; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
