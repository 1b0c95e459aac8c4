#!/usr/bin/env bash
# The library tests: runs a set of scenarios in one boot of the guest, on the
# kernel's st and sg drivers with tgt's medium changer, and on the same
# library under vtape, and compares them: the real kernel with the
# transcripts recorded beside the scenarios (SCENARIO.expected), the virtual
# library with the real kernel.
#   library.sh CACHE SET      the kernel, then (where SET says so) vtape
#   library.sh --virtual SET  only vtape, against the recorded transcripts
# The sets:
#   library   mtx, mt and vaklabel (library-scenario.sh), the first read of
#             each kind of tape (first-read-scenario.sh) and vaklabel-library
#             (batch-scenario.sh), on 10 slots and 2 drives
#   clients   dd, tar, mt, mbuffer, cpio, dump and restore, tapeinfo and
#             sg_inq (clients-scenario.sh) on 7 slots and 1 drive; vtape is
#             compared in the ordinary build (--virtual), which needs no guest
#   map       vaklabel-show --map on a tape of three labelled data sets and
#             on one of two unlabelled files (map-scenario.sh), 2 slots
#   pairing   vaklabel-library finding which device is which drive
#             (pairing-scenario.sh) on 4 slots and 2 drives, drive 0 being
#             the host's /dev/nst1
# VAKLABEL, VAKLABEL_LIBRARY, VAKLABEL_SHOW, TAPEPROBE, VTAPE and TEMPLATES
# name the programs and the template directory. Where the guest cannot be
# prepared, the virtual library is compared with the recorded transcripts,
# and the test exits 77 if they agree.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
virtual_only=0
if [ "${1-}" = --virtual ]; then
  virtual_only=1
  cache=
else
  cache=$1
fi
set_name=$2

# Per set: the library (slots, drives, the LUN each drive element serves,
# cartridges as BARCODE[:MB]), its scenarios, whether the guest test also
# runs vtape, and the options that make the virtual library the same one
# (for vtape create and vtape run).
drive_order=
virtual_create=()
virtual_run=()
case $set_name in
library)
  slots=10 drives=2 virtual_in_guest_test=1
  cartridges=(LIB001L8 LIB002L8 LIB003L8 LIB004L8 FR0005L8 FR0006L8 FR0007L8 FR0008L8)
  scenarios=(library first-read batch)
  ;;
clients)
  # tgt's drive: tapes of 2 MB, block limits 4 to 1 MiB.
  slots=7 drives=1 virtual_in_guest_test=0
  cartridges=(CLI001L8:2 CLI002L8:2 CLI003L8:2 CLI004L8:2 CLI005L8:2 CLI006L8:2 CLI007L8:2)
  virtual_create=(--size 2M)
  virtual_run=(--block-limits 4:1048576)
  scenarios=(clients)
  ;;
pairing)
  # Drive element 0 serves LUN 2, which the host sees as /dev/nst1.
  slots=4 drives=2 drive_order=2,1 virtual_in_guest_test=1
  cartridges=(PAR001L8 PAR002L8 PAR003L8)
  virtual_create=(--drive-devices "1,0")
  scenarios=(pairing)
  ;;
map)
  slots=2 drives=1 virtual_in_guest_test=1
  cartridges=(MAP001L8 MAP002L8)
  scenarios=(map)
  ;;
*)
  echo "library.sh: unknown set $set_name" >&2
  exit 2
  ;;
esac

# Workflows of a set's scenarios in which vtape does not answer as
# the kernel does, each with the reason. Their sections ("== TITLE" up to
# the next) are left out of the comparison with vtape and named in its
# output; the kernel is still held to all of its transcript.
declare -A known_differences=()
# Called by the set's name further down, which shellcheck cannot follow.
# shellcheck disable=SC2317
known_differences_library() {
  known_differences["the changer's door: PREVENT MEDIUM REMOVAL, then ALLOW"]="tgt's changer does not know the command; the virtual library holds its door as a library does"
}
# shellcheck disable=SC2317
known_differences_clients() {
  known_differences=()
  if [ "$(id -u)" -ne 0 ]; then
    known_differences["dump and restore of a small ext4 file system"]="dump needs a loop device, which only root may set up"
  fi
}

tools=$(dirname "$VAKLABEL"):$(dirname "$TAPEPROBE"):$(dirname "$VAKLABEL_LIBRARY"):$(dirname "$VAKLABEL_SHOW")

# Only what belongs to the machine, not to the drives, is normalised: the
# changer's device name, the descriptor number vaklabel reports, and the
# creation date a write puts into HDR1 columns 42-47, as vaklabel's dump
# shows it (record 1, row 5), as the tape holds it in EBCDIC and as
# vaklabel-library's report shows it; and for the clients, timings, dates,
# the loop device and the host's name (dump prints how long a volume took
# only when it took a second or more), and the drives' unit serial numbers
# (vtape's VT and 8 digits, tgt's beaf and its target and LUN) and SCSI
# addresses, which are the target's, as sg_inq, tapeinfo and
# vaklabel-library show them (tapeinfo prints tgt's serial, padded to 36
# bytes, with bytes from beyond it that change from run to run), and whether
# the door could be held shut (tgt's changer refuses PREVENT MEDIUM REMOVAL,
# the virtual one holds it; README.md). NUL bytes become \0, so that diff
# compares lines.
normalise() {
  sed -E -e "s#^  Storage Changer $2:#  Storage Changer \$CHANGER:#" \
    -e 's/open; handle [0-9]*$/open; handle N/' \
    -e 's/^(\[1\]\[5\]: [0-9A-F][0-9A-F])( [0-9A-F][0-9A-F]){6}/\1 dd dd dd dd dd dd/' \
    -e 's/( 80 c8c4d9f1[0-9a-f]{74})[0-9a-f]{12}/\1dddddddddddd/' \
    -e 's/[0-9]{4}-[0-9][0-9]-[0-9][0-9]/yyyy-mm-dd/g' \
    -e 's/( copied), [0-9.e+-]+ s, [0-9.,]+ [kMG]?B\/s$/\1, T s, R B\/s/' -e 's/\x00/\\0/g' \
    -e 's/(summary: .* in) +[0-9.]+ ?[a-z]+ - average of +[0-9.]+ [kMG]?i?B\/s/\1 T - average of R/' \
    -e 's/[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}/DATE/g' \
    -e 's/finished in .*/finished in T/' -e 's/transfer rate: [0-9]+ kB\/s/transfer rate: R kB\/s/' \
    -e '/DUMP: Volume [0-9]+ (took|transfer rate)/d' -e "s/^SerialNumber: '.*'$/SerialNumber: 'S'/" \
    -e 's/^(  Unit serial number:) .*/\1 S/' -e 's/\b(VT[0-9A-F]{6}[0-9]{2}|beaf[0-9]+)\b/S/g' \
    -e 's/^SCSI (ID|LUN): [0-9]+$/SCSI \1: N/' \
    -e "s/^the library's door is .*/the library's door is as its changer allows/" \
    -e 's#/dev/loop[0-9]+#/dev/loopN#g' -e 's/ on [^ :]+:\/dev\/loopN/ on HOST:\/dev\/loopN/' "$1"
}

xchg=$(mktemp -d)
trap 'rm -rf "$xchg"' EXIT

# The virtual library of the set, in folder $1.
create_virtual() {
  local barcodes
  barcodes=$(IFS=,; echo "${cartridges[*]%%:*}")
  "$VTAPE" create "$1" --slots "$slots" --drives "$drives" --barcodes "$barcodes" "${virtual_create[@]}" >/dev/null
}

# Leaves each scenario's normalised transcript on the virtual library in
# $xchg/virtual.
run_virtual() {
  local dir=$xchg/virtual library=$xchg/virtual-library scenario
  mkdir -p "$dir"
  create_virtual "$library"
  for scenario in "${scenarios[@]}"; do
    mkdir "$dir/work-$scenario"
    (cd "$dir/work-$scenario" && PATH=$tools:$PATH TEMPLATES=$TEMPLATES "$VTAPE" run "$library" "${virtual_run[@]}" -- \
      sh "$here/$scenario-scenario.sh") >"$dir/$scenario.raw" 2>&1 || true
    normalise "$dir/$scenario.raw" /dev/sch0 >"$dir/$scenario"
  done
}

# Section "== $2" of transcript $1: its title line up to the next title.
section() {
  awk -v title="== $2" '/^== / { inside = ($0 == title) } inside' "$1"
}

# Drops the sections of the known differences from transcript $1.
without_known_differences() {
  local title
  for title in "${!known_differences[@]}"; do
    awk -v skip="== $title" '/^== / { dropping = ($0 == skip) } !dropping' "$1" >"$1.tmp" && mv "$1.tmp" "$1"
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

# Compares the virtual library with the transcripts in folder $1, leaving
# out the known differences, in their order: each is named, and one that
# no longer differs is named for taking off the list.
compare_virtual() {
  local scenario title
  if declare -F "known_differences_$set_name" >/dev/null; then "known_differences_$set_name"; fi
  for scenario in "${scenarios[@]}"; do
    while read -r title; do
      title=${title#== }
      [ -n "${known_differences[$title]-}" ] || continue
      if [ "$(section "$1/$scenario" "$title")" = "$(section "$xchg/virtual/$scenario" "$title")" ]; then
        echo "known difference no longer differs, take it off the list: $title"
      else
        echo "known difference, not compared: $title: ${known_differences[$title]}"
      fi
    done < <(grep '^== ' "$1/$scenario")
    without_known_differences "$1/$scenario"
    without_known_differences "$xchg/virtual/$scenario"
  done
  compare "the virtual library answered otherwise than the real kernel" "$1" "$xchg/virtual" "$2" \
    "virtual library"
}

recorded=$xchg/recorded
mkdir -p "$recorded"
for scenario in "${scenarios[@]}"; do
  cp "$here/$scenario.expected" "$recorded/$scenario"
done

prepared=0
if ((virtual_only)); then
  prepared=77
else
  bash "$here/prepare.sh" "$cache" || prepared=$?
fi
if [ "$prepared" -ne 0 ]; then
  [ "$prepared" -eq 77 ] || exit "$prepared"
  started=$SECONDS
  run_virtual
  echo "the virtual library ran in $((SECONDS - started)) s"
  compare_virtual "$recorded" "recorded real kernel" || exit 1
  echo "the virtual library agrees with the recorded transcripts"
  ((virtual_only)) && exit 0
  echo "the real kernel was not run"
  exit 77
fi

started=$SECONDS
status=0
bash "$here/run.sh" -t 900 -e SLOTS="$slots" -e DRIVES="$drives" -e DRIVE_ORDER="$drive_order" \
  -e CARTRIDGES="${cartridges[*]}" -e SCENARIO_NAMES="${scenarios[*]}" \
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

# REALDRIVE_RECORD names a folder that keeps the kernel's transcripts, to
# record them anew as SCENARIO.expected when a change is meant.
if [ -n "${REALDRIVE_RECORD-}" ]; then
  mkdir -p "$REALDRIVE_RECORD" && cp "$real"/* "$REALDRIVE_RECORD/"
fi
failed=0
compare "the real kernel answered otherwise than recorded" "$recorded" "$real" recorded "real kernel now" || failed=1
if ((virtual_in_guest_test)); then
  started=$SECONDS
  run_virtual
  echo "the virtual library ran in $((SECONDS - started)) s"
  compare_virtual "$real" "real kernel" || failed=1
fi
exit "$failed"
