#!/usr/bin/env bash
# The main job on a virtual tape: label a blank tape from the standard
# template, then relabel it with a backup, showing the label before and after.
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
  cmake --build "$root/build" -j "$(nproc)" --target vaklabel vtape vtape_preload >/dev/null
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
