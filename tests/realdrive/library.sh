#!/usr/bin/env bash
# The library test: runs library-scenario.sh, first-read-scenario.sh and
# batch-scenario.sh in one boot of the guest, on the kernel's st and sg drivers with tgt's medium
# changer, and on the same library under vtape, and compares them: the
# real kernel with the transcripts recorded beside the scenarios
# (SCENARIO.expected), the virtual library with the real kernel.
#   library.sh CACHE
# VAKLABEL, VAKLABEL_LIBRARY, VAKLABEL_SHOW, TAPEPROBE, VTAPE and TEMPLATES
# name the programs and the template
# directory. Where the guest cannot be prepared, the virtual library is
# compared with the recorded transcripts, and the test exits 77 if they
# agree.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=$1
slots=10
drives=2
barcodes=(LIB001L8 LIB002L8 LIB003L8 LIB004L8 FR0005L8 FR0006L8 FR0007L8 FR0008L8)
scenarios=(library first-read batch)
tools=$(dirname "$VAKLABEL"):$(dirname "$TAPEPROBE"):$(dirname "$VAKLABEL_LIBRARY"):$(dirname "$VAKLABEL_SHOW")

# Only what belongs to the machine, not to the drives, is normalised: the
# changer's device name, the descriptor number vaklabel reports, and the
# creation date a write puts into HDR1 columns 42-47, as vaklabel's dump
# shows it (record 1, row 5), as the tape holds it in EBCDIC and as
# vaklabel-library's report shows it.
normalise() {
  sed -e "s#^  Storage Changer $2:#  Storage Changer \$CHANGER:#" \
    -e 's/open; handle [0-9]*$/open; handle N/' \
    -e 's/^\(\[1\]\[5\]: [0-9A-F][0-9A-F]\)\( [0-9A-F][0-9A-F]\)\{6\}/\1 dd dd dd dd dd dd/' \
    -e 's/\( 80 c8c4d9f1[0-9a-f]\{74\}\)[0-9a-f]\{12\}/\1dddddddddddd/' \
    -e 's/[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]/yyyy-mm-dd/g' "$1"
}

xchg=$(mktemp -d)
trap 'rm -rf "$xchg"' EXIT

# Leaves each scenario's normalised transcript on the virtual library in
# $xchg/virtual.
run_virtual() {
  local dir=$xchg/virtual library=$xchg/virtual-library scenario
  mkdir -p "$dir"
  "$VTAPE" create "$library" --slots "$slots" --drives "$drives" \
    --barcodes "$(IFS=,; echo "${barcodes[*]}")" >/dev/null
  for scenario in "${scenarios[@]}"; do
    mkdir "$dir/work-$scenario"
    (cd "$dir/work-$scenario" && PATH=$tools:$PATH "$VTAPE" run "$library" -- \
      sh "$here/$scenario-scenario.sh") >"$dir/$scenario.raw" 2>&1 || true
    normalise "$dir/$scenario.raw" /dev/sch0 >"$dir/$scenario"
  done
}

# compare WHAT FIRST SECOND FIRST-NAME SECOND-NAME: diffs each scenario's
# transcript in folder FIRST with the one in SECOND.
compare() {
  local what=$1 scenario failed=0
  for scenario in "${scenarios[@]}"; do
    diff -u "$2/$scenario" "$3/$scenario" >"$xchg/diff" && continue
    cat "$xchg/diff"
    echo "$scenario: $what (- $4, + $5)"
    failed=1
  done
  return "$failed"
}

recorded=$xchg/recorded
mkdir -p "$recorded"
for scenario in "${scenarios[@]}"; do
  cp "$here/$scenario.expected" "$recorded/$scenario"
done

prepared=0
bash "$here/prepare.sh" "$cache" || prepared=$?
if [ "$prepared" -ne 0 ]; then
  [ "$prepared" -eq 77 ] || exit "$prepared"
  run_virtual
  compare "the virtual library answered otherwise than the real kernel did when recorded" \
    "$recorded" "$xchg/virtual" recorded "virtual library" || exit 1
  echo "the virtual library agrees with the recorded transcripts; the real kernel was not run"
  exit 77
fi

started=$SECONDS
status=0
bash "$here/run.sh" -t 900 -e SLOTS="$slots" -e DRIVES="$drives" -e BARCODES="${barcodes[*]}" \
  -e SCENARIOS="$here" -e TEMPLATES="$TEMPLATES" -e TOOLS="$tools" \
  "$cache" "$here/library-guest.sh" "$xchg" || status=$?
echo "the guest ran in $((SECONDS - started)) s"
if [ "$status" -ne 0 ]; then
  echo "the guest script exited with $status"
  exit 1
fi
real=$xchg/real
mkdir -p "$real"
for scenario in "${scenarios[@]}"; do
  normalise "$xchg/$scenario.out" "$(cat "$xchg/changer")" >"$real/$scenario"
done
started=$SECONDS
run_virtual
echo "the virtual library ran in $((SECONDS - started)) s"

failed=0
compare "the real kernel answered otherwise than recorded" "$recorded" "$real" recorded "real kernel now" || failed=1
compare "the virtual library answered otherwise than the real kernel" "$real" "$xchg/virtual" \
  "real kernel" "virtual library" || failed=1
exit "$failed"
