#!/usr/bin/env bash
# vtape list's peak memory and time on a 4 GiB image (16,384 blocks of
# 256 KiB), listed whole and through `head -3`, measured with
# /usr/bin/time -v. The image is made in a scratch folder and removed.
# Run by hand:
#   bench/list-memory.sh   # BENCH_BUILD for another build, BENCH_BLOCKS to change the size
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build}
blocks=${BENCH_BLOCKS:-16384}
vtape=$build/vtape/vtape
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$vtape" create "$scratch/big.aws"
head -c $((blocks * 262144)) /dev/zero |
  "$vtape" run "$scratch/big.aws" -- dd of=/dev/nst0 bs=256k iflag=fullblock status=none
echo "image: $(stat -c %s "$scratch/big.aws") bytes, $blocks blocks of 256 KiB"
measure() {
  /usr/bin/time -v sh -c "$1" 2>&1 >/dev/null |
    sed -n 's/^\tMaximum resident set size (kbytes): /  peak KiB: /p; s/^\tElapsed (wall clock) time (h:mm:ss or m:ss): /  elapsed: /p'
}
echo "vtape list > /dev/null"
measure "'$vtape' list '$scratch/big.aws' > /dev/null"
echo "vtape list | head -3"
measure "'$vtape' list '$scratch/big.aws' | head -3 > /dev/null"
