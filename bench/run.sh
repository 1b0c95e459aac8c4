#!/usr/bin/env bash
# Times vaklabel's read and write runs under the virtual drive against a bare
# process start and against the same read done with mt and dd, records the
# calls each run makes on the drive and its peak memory, and writes it all to
# docs/performance.md. Run by hand, not by CI:
#   bench/run.sh   # BENCH_RUNS (per command, over all rounds), BENCH_ROUNDS,
#                  # BENCH_WARMUP (per round) and BENCH_BUILD to change
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
runs=${BENCH_RUNS:-500}
rounds=${BENCH_ROUNDS:-5}
warmup=${BENCH_WARMUP:-10}
out=$build/results
mkdir -p "$out"
rm -f "$out"/*
shm=""
trap 'rm -f "$build/vaklabel-bench.aws" "$build/vaklabel-bench.aws.vtpos"; [ -z "$shm" ] || rm -rf "$shm"' EXIT

. "$root/bench/prepare.sh"
bench_packages hyperfine strace time mt-st python3 valgrind
bench_build "$root" "$build"

tool=$build/src/vaklabel
vtape=$build/vtape/vtape
drive=$build/vtape/libvtape.so
empty=$build/bench-helpers/empty
devcount=$build/bench-helpers/libdevcount.so
label=NEWLBL
read_args=(-q -f /dev/nst0)
write_args=(-q -f /dev/nst0 -w "$label")
by_hand="mt -f /dev/nst0 rewind; mt -f /dev/nst0 setblk 0; dd if=/dev/nst0 bs=80 count=4 conv=ascii status=none"

bench_clear_faults

# A labelled tape: three label blocks and two tape marks, which every write
# run rewrites in place.
new_tape() {
  "$vtape" create --force "$1"
  "$vtape" run "$1" -- "$tool" -q -c "$root/templates" -t standard.lbl -f /dev/nst0 -w "$label" 2>/dev/null
}

check_tape() {
  local shape
  shape=$("$vtape" list "$1" | tail -n 1)
  case $shape in
    *"(3 blocks, 2 tape marks)") ;;
    *) echo "bench: $1 changed shape: $shape" >&2; exit 1 ;;
  esac
}

# The image in the build directory, and on tmpfs, where the drive's own
# file work costs next to nothing.
stores=("disk:$build")
if [ -d /dev/shm ] && shm=$(mktemp -d /dev/shm/vaklabel-bench.XXXXXX); then
  stores+=("tmpfs:$shm")
fi
groups=(plain)
for store in "${stores[@]}"; do
  name=${store%%:*}
  echo "$name $(findmnt -n -o FSTYPE -T "${store#*:}" | head -n 1) ${store#*:}/vaklabel-bench.aws" >>"$out/stores.txt"
  new_tape "${store#*:}/vaklabel-bench.aws"
  groups+=("vtape-$name" "preload-$name")
done

# Sets `launch` (what runs hyperfine) and `commands` for group $1.
group_commands() {
  local image
  launch=(env)
  if [ "$1" = plain ]; then
    commands=(-n empty "$empty" -n true /bin/true)
    return
  fi
  image=$(awk -v n="${1#*-}" '$1 == n { print $3 }' "$out/stores.txt")
  if [ "${1%%-*}" = vtape ]; then
    commands=(-n read "$vtape run $image -- $tool ${read_args[*]}"
              -n write "$vtape run $image -- $tool ${write_args[*]}"
              -n empty "$vtape run $image -- $empty"
              -n true "$vtape run $image -- /bin/true"
              -n mt+dd "$vtape run $image -- sh -c '$by_hand'")
  else
    # No vtape process in any measured command; hyperfine carries the
    # library too, which touches nothing but the drive.
    launch=(env LD_PRELOAD="$drive" VTAPE_IMAGE="$image" VTAPE_DEVICE=/dev/nst0)
    commands=(-n read "$tool ${read_args[*]}" -n write "$tool ${write_args[*]}" -n empty "$empty"
              -n true /bin/true -n mt+dd "sh -c '$by_hand'")
  fi
}

# hyperfine runs one command's runs back to back, so a change of load on the
# shared machine would fall on one command; rounds over every group spread it.
loadavg() { cut -d' ' -f1-3 /proc/loadavg >>"$out/load.txt"; }
loadavg
for round in $(seq "$rounds"); do
  for group in "${groups[@]}"; do
    group_commands "$group"
    "${launch[@]}" hyperfine -N --style basic --warmup "$warmup" --runs $((runs / rounds)) \
      --export-json "$out/$group.$round.json" --export-markdown "$out/$group.$round.md" \
      "${commands[@]}" >"$out/$group.$round.log" 2>&1
  done
  loadavg
  echo "bench: round $round of $rounds timed"
done
for store in "${stores[@]}"; do
  check_tape "${store#*:}/vaklabel-bench.aws"
done

image=$build/vaklabel-bench.aws
with_drive=(env LD_PRELOAD="$drive" VTAPE_IMAGE="$image" VTAPE_DEVICE=/dev/nst0)
counted=(env LD_PRELOAD="$devcount:$drive" VTAPE_IMAGE="$image" VTAPE_DEVICE=/dev/nst0 BENCH_DEVICE=/dev/nst0)

# Calls on the drive, as the program makes them.
"${counted[@]}" BENCH_COUNTS="$out/calls-read.txt" "$tool" "${read_args[@]}" >/dev/null
"${counted[@]}" BENCH_COUNTS="$out/calls-write.txt" "$tool" "${write_args[@]}" >/dev/null
"${counted[@]}" BENCH_COUNTS="$out/calls-mt+dd.txt" sh -c "$by_hand" >/dev/null

# Every system call of the process: what the loader, the drive and the tool
# each cost, and whether anything reached the drive's descriptor unplayed.
strace_run() {
  local name=$1
  shift
  strace -f -qq -o "$out/strace-$name.txt" -E LD_PRELOAD="$drive" -E VTAPE_IMAGE="$image" \
    -E VTAPE_DEVICE=/dev/nst0 "$@" >/dev/null
}
strace_run empty "$empty"
strace_run read "$tool" "${read_args[@]}"
strace_run write "$tool" "${write_args[@]}"

# Peak memory, five times each; the preload is in every process but the first.
for _ in 1 2 3 4 5; do
  /usr/bin/time -f %M -a -o "$out/rss-empty-alone.txt" "$empty"
  "${with_drive[@]}" /usr/bin/time -f %M -a -o "$out/rss-empty.txt" "$empty"
  "${with_drive[@]}" /usr/bin/time -f %M -a -o "$out/rss-true.txt" /bin/true
  "${with_drive[@]}" /usr/bin/time -f %M -a -o "$out/rss-read.txt" "$tool" "${read_args[@]}" >/dev/null
  "${with_drive[@]}" /usr/bin/time -f %M -a -o "$out/rss-write.txt" "$tool" "${write_args[@]}"
done
check_tape "$image"

"$root/bench/vtape_command.sh" "$build" >"$out/command.md"

python3 "$root/bench/report.py" --root "$root" --results "$out" --runs "$runs" --rounds "$rounds" --warmup "$warmup" \
  --read-args "${read_args[*]}" --write-args "${write_args[*]}" --by-hand "$by_hand" --doc "$root/docs/performance.md"
echo "bench: figures in $root/docs/performance.md, raw results in $out"
