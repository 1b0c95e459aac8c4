# shellcheck shell=sh
# The batch scenario: vaklabel-library's inventory and labelling runs on a
# real kernel with tgt's changer (library-guest.sh) and on the virtual
# library (library.sh), after the library and first-read scenarios left the
# library holding: slot 1 labelled as its barcode, slot 2 data in 1024-byte
# blocks, slots 3, 4 and 5 blank, slot 6 a first block of 20480 bytes, slot 7
# labelled as its barcode, slot 8 a tape mark and end of data, slots 9 and 10
# empty. Both drives work at once.
# POSIX sh: the host runs it with dash, the guest with bash.

# shellcheck source=library-steps.sh
. "$(dirname "$0")/library-steps.sh"

cp "$TEMPLATES/standard.lbl" . || exit 1

echo "== a serial label for slot 3, so that one tape is labelled otherwise than its barcode"
library_run label --template standard.lbl --serial OLD001 3

echo "== inventory"
library_run inventory

echo "== the plan, then the labelling run, then the same run again"
library_run --dry-run label --template standard.lbl
library_run label --template standard.lbl
library_run label --template standard.lbl

echo "== relabelling the tape labelled otherwise keeps its old set"
library_run label --template standard.lbl --relabel 3
step ls labels
library_run inventory 1-5

echo "== another program exchanges two cartridges between the inventory and the loads: neither is touched"
# mtx itself plays the other program, right after the run's inventory.
mkdir xbin
printf '#!/bin/sh\n%s "$@" || exit\n[ "${*##* }" = status ] && [ ! -e exchanged ] || exit 0\n: >exchanged\n%s transfer 4 9 >/dev/null && %s transfer 5 4 >/dev/null && %s transfer 9 5 >/dev/null\n' \
  "$(command -v mtx)" "$(command -v mtx)" "$(command -v mtx)" "$(command -v mtx)" >xbin/mtx
chmod +x xbin/mtx
(PATH=$PWD/xbin:$PATH && library_run label --template standard.lbl 4-5) | sed 's/drive [01] holds/drive N holds/; s/in drive [01] went back/in drive N went back/'
step mtx transfer 4 9
step mtx transfer 5 4
step mtx transfer 9 5
