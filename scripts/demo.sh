#!/usr/bin/env bash
# The main job on a virtual tape: label a blank tape from the standard
# template, then relabel it with a backup, showing the label before and after.
# Then a whole virtual library: an inventory, a labelling run and its report,
# and one tape decoded with vaklabel-show.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# DEMO_BUILD names a tree that is already built (the test of this script).
bin=${DEMO_BUILD:-}
if [ -z "$bin" ]; then
  bash "$root/scripts/setup.sh" build
  # The tools alone need no test libraries; a tree that is already configured
  # (by scripts/test.sh, with the tests) is only brought up to date.
  if [ ! -f "$root/build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset default -DVAKLABEL_TESTS=OFF >/dev/null)
  fi
  cmake --build "$root/build" -j "$(nproc)" --target vaklabel vaklabel-show vaklabel-library vtape vtape_preload \
    >/dev/null
  bin=$root/build
fi
vaklabel=$bin/src/vaklabel
vtape=$bin/vtape/vtape
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tape=$work/tape.aws

run() { echo "\$ $*"; "$@"; }

run "$vtape" create "$tape"
echo "(the tape is blank, so the \"read: Input/output error\" below is the expected answer to the first read)"
run "$vtape" run "$tape" -- "$vaklabel" -q -c "$root/templates" -t standard.lbl -f /dev/nst0 -w XYZ789
echo "label before:"
run "$vtape" run "$tape" -- "$vaklabel" -q -f /dev/nst0
run "$vtape" run "$tape" -- "$vaklabel" -q -b -p "$work/labels" -f /dev/nst0 -w ABCD1234
echo "label after:"
run "$vtape" run "$tape" -- "$vaklabel" -q -f /dev/nst0
echo "backup of the old label set:"
run ls "$work/labels"
run "$vtape" list "$tape"
test "$("$vtape" run "$tape" -- "$vaklabel" -q -f /dev/nst0)" = ABCD1234

echo
echo "== a library of 4 slots and 2 drives: ABC001L8 labelled with its barcode, ABC002L8 labelled"
echo "== XYZ789 by someone else, ABC003L8 blank, CLN001L1 a cleaning cartridge"
PATH=$bin/src:$bin/show:$bin/library:$PATH
for label in ABC001L8 XYZ789; do
  "$vtape" create "$work/$label.aws"
  "$vtape" run "$work/$label.aws" -- "$vaklabel" -q -c "$root/templates" -t standard.lbl -f /dev/nst0 -w "$label" \
    2>/dev/null
done
lib=$work/lib
run "$vtape" create "$lib" --slots 4 --drives 2 --barcodes ABC001L8,ABC002L8,ABC003L8,CLN001L1 \
  --copy "$work/ABC001L8.aws" --copy "$work/XYZ789.aws"
library() { run "$vtape" run "$lib" -- vaklabel-library --lock "$work/lock" --labels-dir "$work/sets" "$@"; }
library inventory
echo "(the labelling refuses the tape labelled XYZ789: --relabel would replace it after a backup)"
library label || echo "exit status $?: not every cartridge was labelled"
run vaklabel-show "$lib/ABC003L8.aws"
test "$("$vtape" run "$lib/ABC003L8.aws" -- "$vaklabel" -q -f /dev/nst0)" = ABC003L8
