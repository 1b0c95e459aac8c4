# shellcheck shell=sh
# vaklabel-show --map on st and on the virtual drive (library.sh, set map):
# slot 1 gets a standard-label tape of three data sets (3 blocks, none, and
# 5 blocks of 800 bytes), each label group written as one file in EBCDIC
# with dd, so that closing the drive writes its tape mark; slot 2 an
# unlabelled tape of two files. Both are mapped as text and as JSON.
# POSIX sh: the host runs it with dash, the guest with bash.

step() {
  echo "\$ $*"
  "$@" 2>&1
  echo "-> $?"
}

# Label records (ASCII text, 80 columns each) as one file of 80-byte blocks.
labels() {
  for record in "$@"; do printf '%-80.80s' "$record"; done |
    dd conv=ebcdic bs=80 iflag=fullblock of=/dev/nst0 status=none
}

# HDR1, EOF1 or EOF2 ($1) of data set $2 holding $3 blocks.
label1() {
  printf '%s1%-17sMAP0010001%04d000100026121027121 %06dIBMOSVS2        0000' "$1" "PAYROLL.PART$2" "$2" "$3"
}
label2() { echo "${1}2F008000008030PAYJOB  /STEP1       B"; }

# $1 blocks of 800 bytes, then the tape mark; no blocks: the tape mark alone.
data_file() {
  if [ "$1" -gt 0 ]; then
    head -c $(($1 * 800)) /dev/zero | dd bs=800 iflag=fullblock of=/dev/nst0 status=none
  else
    mt -f /dev/nst0 weof 1
  fi
}

# Data set $1 (after data set 1) of $2 blocks.
data_set() {
  labels "$(label1 HDR "$1" 0)" "$(label2 HDR)"
  data_file "$2"
  labels "$(label1 EOF "$1" "$2")" "$(label2 EOF)"
}

mtx load 1 0 >/dev/null || echo "cannot load slot 1"
labels VOL1MAP001 "$(label1 HDR 1 0)" "$(label2 HDR)"
data_file 3
labels "$(label1 EOF 1 3)" "$(label2 EOF)"
data_set 2 0
data_set 3 5
mt -f /dev/nst0 weof 1
mtx unload 1 0 >/dev/null || echo "cannot unload slot 1"

mtx load 2 0 >/dev/null || echo "cannot load slot 2"
head -c 30720 /dev/zero | dd bs=10240 iflag=fullblock of=/dev/nst0 status=none
head -c 512 /dev/zero | dd bs=512 of=/dev/nst0 status=none
mtx unload 2 0 >/dev/null || echo "cannot unload slot 2"

for slot in 1 2; do
  case $slot in
  1) echo "== three data sets with standard labels" ;;
  2) echo "== two files without labels" ;;
  esac
  step mtx load $slot 0
  step vaklabel-show --map /dev/nst0
  step vaklabel-show --map --json /dev/nst0
  step mtx unload $slot 0
done
