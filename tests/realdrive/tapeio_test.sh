#!/usr/bin/env bash
# Checks tapeio on things that are not tapes, where the answers are known
# without a guest:
#   tapeio_test.sh TAPEIO
set -uo pipefail

tapeio=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
printf 'abcdefgh' >data
: >file
: >blocks
failures=0

# check "ARGS" STATUS EXPECTED: runs tapeio with ARGS (split on blanks) and
# compares its exit status and its output.
check() {
  local actual status
  # shellcheck disable=SC2086
  actual=$("$tapeio" $1 2>/dev/null)
  status=$?
  if [ "$status" != "$2" ] || [ "$actual" != "$3" ]; then
    printf 'FAIL: tapeio %s\n  expected status %s and:\n%s\n  got status %s and:\n%s\n' "$1" "$2" "$3" "$status" "$actual"
    failures=$((failures + 1))
  fi
}

check "/dev/null open=rw rew setblk=0 weof=2 write=80 read=80 close" 0 "open=rw 0
rew ENOTTY
setblk=0 ENOTTY
weof=2 ENOTTY
write=80 80
read=80 0
close 0"
check "-d data file open=w write=3 write=2 write=0 close" 0 "open=w 0
write=3 3
write=2 2
write=0 0
close 0"
check "-o back file open=r read=4 read=4 read=4 close" 0 "open=r 0
read=4 4
read=4 1
read=4 0
close 0"
[ "$(cat back)" = abcde ] || { echo "FAIL: read back '$(cat back)', not abcde"; failures=$((failures + 1)); }
check "blocks open=w write=2 write=1 close" 0 "open=w 0
write=2 2
write=1 1
close 0"
[ "$(cat blocks)" = AAB ] || { echo "FAIL: filler '$(cat blocks)', not AAB"; failures=$((failures + 1)); }
check "file open=w read=1 open=r write=1" 0 "open=w 0
read=1 EBADF
open=r 0
write=1 EBADF"
check "missing open=r" 0 "open=r ENOENT"
for bad in "/dev/null" "/dev/null open=x" "/dev/null read=" "/dev/null read=-1" "/dev/null write=2000000" \
  "/dev/null weof" "/dev/null frob" "-x /dev/null close"; do
  check "$bad" 1 ""
done

echo "$failures failed"
[ "$failures" -eq 0 ]
