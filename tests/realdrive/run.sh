#!/usr/bin/env bash
# Runs a shell script in a QEMU guest whose kernel drives a real tape through
# the st driver:
#   run.sh [-e NAME=VALUE]... [-t SECONDS] CACHE SCRIPT XCHG
# CACHE must have been filled by prepare.sh. The guest sees the host's /
# through a writable overlay that the host never sees (except /run, which is
# the guest's own), and XCHG read-write at the same path. bash runs SCRIPT
# with XCHG as working directory, /dev/nst0 and /dev/st0 ready on a blank
# 4 MB tape, each NAME=VALUE exported, and these functions:
#   blank_tape [MB]       load a new blank tape and rewind it
#   write_protect on|off  write-protect the tape (seen at the next open)
#   make_library [-o LUN,...] SLOTS DRIVES [BARCODE[:MB]|-]...
#                         replace the tape by a library: DRIVES empty drives
#                         (/dev/nst0 up) and a medium changer whose SLOTS
#                         slots hold blank tapes of MB megabytes (4 unless
#                         given) named by BARCODE, in order ("-": an empty
#                         slot); -o: the LUN (1 up) each drive element serves;
#                         exports CHANGER (/dev/sgN)
# mt and dd lay down and read tapes, but a dd that opens the device itself
# adds a filemark when it closes after writing; tapeprobe (built beside the
# tests, passed in with -e) makes any sequence of calls on one descriptor.
# The guest is stopped after SECONDS (-t, 300 by default).
# The script's output (stdout and stderr) comes out on stdout, and run.sh
# exits with its status; 125 means the guest itself failed, and its console
# log is then shown on stderr.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
vars=()
seconds=300
while getopts e:t: opt; do
  case $opt in
  e) vars+=("$OPTARG") ;;
  t) seconds=$OPTARG ;;
  *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 3 ] || { echo "usage: run.sh [-e NAME=VALUE]... [-t SECONDS] CACHE SCRIPT XCHG" >&2; exit 2; }
cache=$(cd "$1" && pwd)
xchg=$(cd "$3" && pwd)
if [ ! -s "$cache/initramfs.gz" ] || [ ! -x "$cache/tgt/tgtd" ]; then
  echo "run.sh: $cache is not prepared" >&2
  exit 125
fi

ctl=$(mktemp -d)
trap 'rm -rf "$ctl"' EXIT
cp "$2" "$ctl/script"
cp "$here/guest/stage2" "$here/guest/library" "$ctl/"
printf 'CACHE=%s\nXCHG=%s\n' "$cache" "$xchg" >"$ctl/env"
for v in "${vars[@]}"; do
  printf 'export %q\n' "$v"
done >"$ctl/vars"

# KVM is left out: where it was tried here it could not boot a stock kernel.
# Under TCG on a loaded host the kernel's check that the timer interrupt
# comes through the IO-APIC can fail and panic the boot; no_timer_check
# skips it, as on other virtual machines.
share() {
  echo "-fsdev local,id=$1,path=$2,security_model=none,multidevs=remap$3 -device virtio-9p-pci,fsdev=$1,mount_tag=$1"
}
# shellcheck disable=SC2046
timeout "$seconds" qemu-system-x86_64 -nodefaults -nographic -no-reboot \
  -accel tcg,thread=multi -cpu max -m 1024 -smp 2 \
  -kernel "$cache/kernel/vmlinux" -initrd "$cache/initramfs.gz" \
  -append "console=ttyS0 panic=-1 quiet loglevel=4 no_timer_check" \
  -device virtio-rng-pci \
  $(share root / ,readonly=on) $(share ctl "$ctl" "") $(share xchg "$xchg" "") \
  -chardev file,id=console,path="$ctl/console" -serial chardev:console \
  -chardev stdio,id=out,signal=off -serial chardev:out </dev/null || true

status=$(cat "$ctl/status" 2>/dev/null || echo 125)
if [ "$status" = 125 ]; then
  echo "run.sh: the guest failed or ran out of its $seconds s; its console said:" >&2
  cat "$ctl/console" >&2
fi
exit "$status"
