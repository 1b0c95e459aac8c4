# shellcheck shell=sh
# The batch scenario: vaklabel-library's inventory and labelling runs on a
# real kernel with tgt's changer (library-guest.sh) and on the virtual
# library (library.sh), after the library and first-read scenarios left the
# library holding: slot 1 labelled as its barcode, slot 2 data in 1024-byte
# blocks, slots 3, 4 and 5 blank, slot 6 a first block of 20480 bytes, slot 7
# labelled as its barcode, slot 8 a tape mark and end of data, slots 9 and 10
# empty. Both drives work at once; the progress lines come in the order the
# tapes finish, so they are sorted, and the report comes in slot order.
# POSIX sh: the host runs it with dash, the guest with bash.

step() {
  echo "\$ $*"
  "$@" 2>&1
  echo "-> $?"
}

# A run whose progress lines are sorted by slot, behind its report.
batch() {
  echo "\$ vaklabel-library $*"
  vaklabel-library --lock "$PWD/lock" "$@" >report 2>progress
  status=$?
  sed 's/^\[[0-9]*\//[n\//' progress | sort -t' ' -k3,3n
  cat report
  echo "-> $status"
}

cp "$TEMPLATES/standard.lbl" . || exit 1

echo "== a serial label for slot 3, so that one tape is labelled otherwise than its barcode"
batch label --template standard.lbl --serial OLD001 3

echo "== inventory"
batch inventory

echo "== the plan, then the labelling run, then the same run again"
batch --dry-run label --template standard.lbl
batch label --template standard.lbl
batch label --template standard.lbl

echo "== relabelling the tape labelled otherwise keeps its old set"
batch label --template standard.lbl --relabel 3
step ls labels
batch inventory 1-5
