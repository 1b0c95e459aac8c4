#!/usr/bin/env bash
# Checks a few answers of the real st driver, the ones the virtual drive is
# measured against, in one boot of the guest:
#   smoke.sh CACHE TAPEPROBE
# Exits 77 when the guest cannot be prepared.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=$1
tapeprobe=$(realpath "$2")
bash "$here/prepare.sh" "$cache"

hex() {
  printf "$1%.0s" $(seq "$2")
}
# What eight reads of $1 bytes give on a tape of three blocks (bytes 31, 32,
# 33) and two filemarks.
reads_of_three_blocks() {
  local b
  for b in 31 32 33; do echo "read:$1 -> 80 $(hex $b 80)"; done
  printf "read:$1 -> %s\n" 0 0 0 "-1 EIO" "-1 EIO"
}

expected="== three blocks and two filemarks, read back with 80, then 100 bytes
open:rw -> ok
setblk:0 -> 0
write:80:31 -> 80
write:80:32 -> 80
write:80:33 -> 80
weof:2 -> 0
rew -> 0
$(reads_of_three_blocks 80)
close -> 0
open:ro -> ok
rew -> 0
$(reads_of_three_blocks 100)
close -> 0
== the same tape read by dd through one descriptor
80
80
80
0
0
0
Input/output error
Input/output error
== blank tape
open:ro -> ok
read:80 -> -1 EIO
read:80 -> -1 EIO
close -> 0
Input/output error
== a 100-byte block read with 80 bytes
Cannot allocate memory
0
== write-protected tape
open:rw -> -1 EROFS
open:wo -> -1 EROFS
open:ro -> ok
rew -> 0
read:80 -> -1 ENOMEM
close -> 0
Read-only file system
open:rw -> ok
close -> 0"

xchg=$(mktemp -d)
trap 'rm -rf "$xchg"' EXIT
status=0
actual=$(bash "$here/run.sh" -e TAPEPROBE="$tapeprobe" "$cache" "$here/smoke-guest.sh" "$xchg") || status=$?
if [ "$status" -ne 0 ]; then
  echo "the guest script exited with $status; it printed:"
  echo "$actual"
  exit 1
fi
if ! diff -u <(echo "$expected") <(echo "$actual"); then
  echo "the real driver answered otherwise than expected (- expected, + actual)"
  exit 1
fi
echo "the real driver answered as expected"
