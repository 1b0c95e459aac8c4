#!/bin/bash
# Guest half of the differential test: runs every scenario that
# realdrive_differential --generate laid out in the exchange folder, in the
# order of its list, reads every tape back with the steps in read-back, and
# leaves each scenario's results in SCENARIO/result.
# Needs VAKLABEL and TAPEPROBE.
set -u
tape=/dev/nst0

# lay_tape DIR: writes the records listed in DIR/tape ("blocks FILE SIZE":
# FILE, relative to DIR, cut into blocks of SIZE bytes; or "mark") from the
# start of a blank tape, through one descriptor per run of
# blocks. Closing after a write adds the first mark after the blocks; a tape
# that ends in blocks is left without one by a failing read at end of data
# before the close.
lay_tape() {
  local kind file size open=0
  while read -r kind file size; do
    case $kind in
    blocks)
      if ((!open)); then
        exec 3<>"$tape" && open=1 || return 1
      fi
      dd if="$1/$file" bs="$size" status=none >&3 || { exec 3>&-; return 1; }
      ;;
    mark)
      if ((open)); then
        exec 3>&-
        open=0
      else
        mt -f "$tape" weof 1 || return 1
      fi
      ;;
    esac
  done <"$1/tape"
  if ((open)); then
    dd bs=80 count=1 status=none <&3 >/dev/null 2>&1 && open=2
    exec 3>&-
    ((open == 1)) || return 1
  fi
  mt -f "$tape" rewind
}

# load SCENARIO: a fresh tape with the scenario's records, write-protected
# if the scenario asks for it.
load() {
  blank_tape && lay_tape "$1" || return 1
  if [ "$protected" = protected ]; then write_protect on; fi
}

mapfile -t read_back_steps <read-back
read_back() {
  "$TAPEPROBE" "$tape" "${read_back_steps[@]}"
}

run_scenario() {
  local dir=$1 mode device protected=""
  local -a probe command
  read -r mode protected <"$dir/mode"
  read -r device <"$dir/device"
  mapfile -t probe <"$dir/steps"
  mapfile -t command <"$dir/command"
  load "$dir" || return 1
  (cd "$dir/probe" && "$TAPEPROBE" "$device" "${probe[@]}") >"$dir/result/probe" 2>&1
  # The probe's writes change the tape, so vaklabel gets a fresh copy.
  if [ "$mode" = write ]; then
    read_back >"$dir/result/probe-tape"
    load "$dir" || return 1
  fi
  (cd "$dir/run" && "$VAKLABEL" "${command[@]}") >"$dir/result/stdout" 2>"$dir/result/stderr"
  echo $? >"$dir/result/status"
  read_back >"$dir/result/tape"
  if [ "$protected" = protected ]; then write_protect off; fi
}

mt -f "$tape" setblk 0 || exit 1
failed=0
while read -r name; do
  if ! run_scenario "$PWD/$name"; then
    echo "cannot lay down the tape of $name"
    failed=1
  fi
done <scenarios
exit "$failed"
