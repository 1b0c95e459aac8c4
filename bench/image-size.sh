#!/usr/bin/env bash
# How the virtual drive's cost grows with the tape: instructions of an open
# with a saved position, MTIOCGET, MTIOCPOS, vaklabel's read run after the
# tape was left at end of data and its write run at BOT on a fresh copy, on
# images of 10 to 1,000,000 blocks (bench/image_size.py says how). Writes the
# figures into their section of docs/performance.md. Run by hand:
#   bench/image-size.sh   # BENCH_SIZES, BENCH_BUILD to change;
#                         # BENCH_DRIVE=PATH/libvtape.so BENCH_NAME=NAME
#                         # BENCH_COMMIT=TEXT to measure another library
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
sizes=${BENCH_SIZES:-10 1000 100000 1000000}
name=${BENCH_NAME:-after}

. "$root/bench/prepare.sh"
bench_packages valgrind python3
bench_build "$root" "$build"
bench_clear_faults

if [ -n "${BENCH_DRIVE:-}" ]; then
  drive=$BENCH_DRIVE
  commit=${BENCH_COMMIT:-unknown}
else
  drive=$build/vtape/libvtape.so
  commit=$(git -C "$root" log -1 --format='%h %s')
  [ -z "$(git -C "$root" status --porcelain -- vtape)" ] || commit="$commit (with uncommitted changes in vtape/)"
fi
python3 "$root/bench/image_size.py" --root "$root" --build "$build" --drive "$drive" --name "$name" \
  --sizes "$sizes" --commit "$commit"
echo "bench: figures in $root/docs/performance.md, raw results in $build/results-size"
