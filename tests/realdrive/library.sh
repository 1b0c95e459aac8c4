#!/usr/bin/env bash
# The library test: runs library-scenario.sh and first-read-scenario.sh in
# one boot of the guest, on the kernel's st and sg drivers with tgt's medium
# changer, and compares each transcript with the one recorded beside it
# (SCENARIO.expected):
#   library.sh CACHE
# VAKLABEL, TAPEPROBE and TEMPLATES name the programs and the template
# directory. Exits 77 when the guest cannot be prepared.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=$1
bash "$here/prepare.sh" "$cache"

# Only what belongs to the machine, not to the drives, is normalised: the
# changer's device name, the descriptor number vaklabel reports, and the
# creation date a write puts into HDR1 columns 42-47, as vaklabel's dump
# shows it (record 1, row 5) and as the tape holds it in EBCDIC.
normalise() {
  sed -e "s#^  Storage Changer $2:#  Storage Changer \$CHANGER:#" \
    -e 's/open; handle [0-9]*$/open; handle N/' \
    -e 's/^\(\[1\]\[5\]: [0-9A-F][0-9A-F]\)\( [0-9A-F][0-9A-F]\)\{6\}/\1 dd dd dd dd dd dd/' \
    -e 's/\( 80 c8c4d9f1[0-9a-f]\{74\}\)[0-9a-f]\{12\}/\1dddddddddddd/' "$1"
}

xchg=$(mktemp -d)
trap 'rm -rf "$xchg"' EXIT
started=$SECONDS
status=0
said=$(bash "$here/run.sh" -t 900 -e SCENARIOS="$here" -e TEMPLATES="$TEMPLATES" \
  -e TOOLS="$(dirname "$VAKLABEL"):$(dirname "$TAPEPROBE")" \
  "$cache" "$here/library-guest.sh" "$xchg") || status=$?
echo "$said"
echo "the guest ran in $((SECONDS - started)) s"
if [ "$status" -ne 0 ]; then
  echo "the guest script exited with $status"
  exit 1
fi
failed=0
for scenario in library first-read; do
  if ! diff -u "$here/$scenario.expected" <(normalise "$xchg/$scenario.out" "$(cat "$xchg/changer")"); then
    echo "$scenario: the real kernel answered otherwise than recorded (- recorded, + now)"
    failed=1
  fi
done
exit "$failed"
