#!/usr/bin/env bash
# Checks a few answers of the real st driver, the ones the virtual drive is
# measured against, in one boot of the guest:
#   smoke.sh CACHE TAPEIO
# Exits 77 when the guest cannot be prepared.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=$1
tapeio=$(realpath "$2")
bash "$here/prepare.sh" "$cache"

expected="== three blocks and two filemarks, read back with 80, then 100 bytes
open=rw 0
setblk=0 0
write=80 80
write=80 80
write=80 80
weof=2 0
rew 0
readall=80 80 80 80 0 0 0 EIO
close 0
open=r 0
rew 0
readall=100 80 80 80 0 0 0 EIO
close 0
data intact
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
open=r 0
read=80 EIO
read=80 EIO
close 0
Input/output error
== a 100-byte block read with 80 bytes
Cannot allocate memory
0
== write-protected tape
open=rw EROFS
open=w EROFS
open=r 0
rew 0
read=80 ENOMEM
close 0
Read-only file system
open=rw 0
close 0"

xchg=$(mktemp -d)
trap 'rm -rf "$xchg"' EXIT
status=0
actual=$(bash "$here/run.sh" -e TAPEIO="$tapeio" "$cache" "$here/smoke-guest.sh" "$xchg") || status=$?
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
