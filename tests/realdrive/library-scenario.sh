# shellcheck shell=sh
# The library scenario: the same mtx, mt, dd and vaklabel calls on a real
# kernel with tgt's changer (library-guest.sh) and on the virtual library
# (library.sh). It prints each command, what it said and its exit status.
# Expects a library of 10 slots and 2 empty drives, /dev/nst0 and /dev/nst1,
# with blank tapes LIB001L8 to LIB004L8 in slots 1 to 4 and slots 9 and 10
# empty; mtx finds the changer in CHANGER, and vaklabel, tapeprobe, mtx and
# mt are on PATH. It runs in an empty folder and leaves every tape at home.
# POSIX sh: the host runs it with dash, the guest with bash.

step() {
  echo "\$ $*"
  "$@" 2>&1
  echo "-> $?"
}

# Every block of the tape in drive $1 from its start, as tapeprobe reads it.
dump() {
  step tapeprobe "/dev/nst$1" open:ro rew read:65536 read:65536 read:65536 read:65536 \
    read:65536 read:65536 read:65536 read:65536 status close
}

cp "$TEMPLATES/standard.lbl" . || exit 1
yes 'library data block' | head -c 3072 >data || exit 1

echo "== the library as it starts"
step mtx status
step mtx inventory
step mt -f /dev/nst1 status

echo "== load, label, read back, unload"
step mtx load 1 0
step mt -f /dev/nst0 status
step vaklabel -q -c . -t standard.lbl -f /dev/nst0 -w LIB001L8
step vaklabel -q -f /dev/nst0
dump 0
step mtx status
step mtx unload 1 0

echo "== the element status read three ways with a drive loaded from slot 2"
step mtx load 2 0
step mtx nobarcode status
step mtx altres status

echo "== data written in drive 0 reads back in drive 1"
step dd if=data of=/dev/nst0 bs=1024 status=none
step mt -f /dev/nst0 status
step mtx unload 2 0
step mtx load 2 1
step mt -f /dev/nst1 status
dump 1
step mtx unload 2 1

echo "== a swap starts the new tape at BOT, file 0"
step mtx load 1 0
step mt -f /dev/nst0 fsf 1
step mt -f /dev/nst0 status
step mtx unload 1 0
step mtx load 3 0
step mt -f /dev/nst0 status

echo "== refused moves"
step mtx load 9 1
step mtx load 4 0
step mtx unload 4 0
step mtx unload 3 1
step mtx transfer 1 2
step mtx transfer 9 10
step mtx load 11 0
step mtx load 4 2
step mtx transfer 1 11

echo "== unloading a tape held open, and a locked one"
exec 3</dev/nst0
step mtx unload 3 0
exec 3<&-
step mtx load 3 0
step mt -f /dev/nst0 lock
step mtx unload 3 0
step mt -f /dev/nst0 unlock
step mtx unload 3 0

echo "== a lock outlasts its close and the next open; offline lets it go"
step mtx load 3 0
step tapeprobe /dev/nst0 open:ro lock close open:ro status close
step mtx unload 3 0
step mt -f /dev/nst0 status
step mtx unload 3 0
step mt -f /dev/nst0 unlock
step mtx unload 3 0
step mtx load 3 0
step mt -f /dev/nst0 lock
step mt -f /dev/nst0 offline
step mtx unload 3 0
# Home again whichever way that went, for the sections after.
step tapeprobe /dev/nst0 open:ro:nonblock unlock close
mtx unload 3 0 >/dev/null 2>&1

echo "== transfer, first and next"
step mtx transfer 4 9
step mtx transfer 9 4
step mtx first 1
step mtx next 1
step mtx next 1
step mtx status
step mtx unload 3 1

echo "== every tape, read back"
for slot in 1 2 3 4; do
  step mtx load $slot 0
  dump 0
  step mtx unload $slot 0
done
step mtx status

echo "== the changer's door: PREVENT MEDIUM REMOVAL, then ALLOW"
step sg_raw "$CHANGER" 1e 00 00 00 01 00
step sg_raw "$CHANGER" 1e 00 00 00 00 00
