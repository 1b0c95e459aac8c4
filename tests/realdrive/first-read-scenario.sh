# shellcheck shell=sh
# What a labelling run sees after the first read of a freshly loaded tape:
# blank, a backup's 20,480-byte first block, a label set, and a tape mark
# alone (end of data right after it). For each it prints vaklabel's own
# account of its calls, mt status, where spacing to the end of data leads,
# then the same first reads made one by one with the drive's status after
# each.
# Expects the library of library-scenario.sh (same tools on PATH) with blank
# tapes FR0005L8 to FR0008L8 in slots 5 to 8; it lays them down through
# drive 0 first, then loads each fresh and probes it. POSIX sh.

step() {
  echo "\$ $*"
  "$@" 2>&1
  echo "-> $?"
}

cp "$TEMPLATES/standard.lbl" . || exit 1
head -c 40960 /dev/zero >backup || exit 1

# Lays down the tape of slot $1 with the commands that follow.
lay() {
  slot=$1
  shift
  mtx load "$slot" 0 >/dev/null && "$@" 2>/dev/null && mtx unload "$slot" 0 >/dev/null ||
    echo "cannot lay down the tape of slot $slot"
}
lay 5 true
lay 6 dd if=backup of=/dev/nst0 bs=20480 status=none
lay 7 vaklabel -q -c . -t standard.lbl -f /dev/nst0 -w FR0007L8
lay 8 mt -f /dev/nst0 weof 1

for slot in 5 6 7 8; do
  case $slot in
  5) echo "== blank: nothing ever written" ;;
  6) echo "== foreign data: a first block of 20480 bytes" ;;
  7) echo "== a label set" ;;
  8) echo "== a tape mark, then end of data" ;;
  esac
  step mtx load $slot 0
  step vaklabel -f /dev/nst0
  step mt -f /dev/nst0 status
  step mt -f /dev/nst0 eod
  step mt -f /dev/nst0 status
  step tapeprobe /dev/nst0 open:ro rew status read:80 status read:80 status close
  step mtx unload $slot 0
done
