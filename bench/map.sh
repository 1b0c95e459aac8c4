#!/usr/bin/env bash
# What vaklabel-show --map costs as a tape grows: a standard-label tape of
# three data sets holding 10 blocks in all, and the same holding 1,000,000.
# On a drive (under the virtual drive) the map spaces over each data file
# and reads the position before and after, so the two should cost about
# the same; an image is read through, in bounded memory. Then a tape of
# 100,002 files (33,334 data sets of one block): the map goes out data set
# by data set, so its memory must stay flat (the aim: under 20 MB). Run by hand:
#   bench/map.sh   # BENCH_RUNS and BENCH_BUILD to change
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
runs=${BENCH_RUNS:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

. "$root/bench/prepare.sh"
bench_packages hyperfine time python3 bc
bench_build "$root" "$build"
cmake --build "$build" -j2 --target vaklabel-show >/dev/null
bench_clear_faults

show=$build/show/vaklabel-show
drive=$build/vtape/libvtape.so
devcount=$build/bench-helpers/libdevcount.so

python3 "$root/bench/map_tape.py" "$work/small.aws" 3 3 4
python3 "$root/bench/map_tape.py" "$work/large.aws" 333333 333333 333334
python3 "$root/bench/map_tape.py" "$work/many.aws" --repeat 33334 1

under_drive() { echo "env LD_PRELOAD=$drive VTAPE_IMAGE=$work/$1.aws VTAPE_DEVICE=/dev/nst0 $show --map --json /dev/nst0"; }
on_image() { echo "$show --map --json $work/$1.aws"; }

# Wall time and, less disturbed by other load on the machine, the
# processor time (user and system) of the two runs, and their ratios.
summary() {
  python3 - "$@" <<'PY'
import json, sys
way, results, peak = sys.argv[1], json.load(open(sys.argv[2]))["results"], sys.argv[3]
small, large = results
cpu = lambda r: r["user"] + r["system"]
print(f"{way:12} wall {small['mean']*1e3:6.1f} / {large['mean']*1e3:6.1f} ms (ratio {large['mean']/small['mean']:5.2f})"
      f"   cpu {cpu(small)*1e3:6.1f} / {cpu(large)*1e3:6.1f} ms (ratio {cpu(large)/cpu(small):5.2f})   peak {peak} KiB")
PY
}

echo "10 blocks / 1,000,000 blocks in 3 data sets, mean of $runs runs"
for way in under_drive on_image; do
  hyperfine -N --style basic --warmup 3 --runs "$runs" --export-json "$work/$way.json" \
    "$($way small)" "$($way large)" >/dev/null
  # shellcheck disable=SC2046 # the command is split into its words on purpose
  summary "$way" "$work/$way.json" "$(/usr/bin/time -f %M $($way large) 2>&1 >/dev/null | tail -1)"
done

# The calls on the drive: a few a file, none per block.
env LD_PRELOAD="$devcount:$drive" VTAPE_IMAGE="$work/large.aws" VTAPE_DEVICE=/dev/nst0 BENCH_DEVICE=/dev/nst0 \
  BENCH_COUNTS="$work/calls.txt" "$show" --map --json /dev/nst0 >/dev/null
echo "drive calls, 1,000,000 blocks:$(cut -d: -f2- "$work/calls.txt")"

# Many files: wall and processor time and the peak memory of one run each,
# as JSON and as text, from the image and through the drive.
echo "100,002 files (33,334 data sets), one run each:"
for way in on_image under_drive; do
  for form in --json ""; do
    # shellcheck disable=SC2046 # the command is split into its words on purpose
    measured=$(/usr/bin/time -f "%e %U %S %M" $($way many | sed "s/ --json/ $form/") 2>&1 >/dev/null | tail -1)
    read -r wall user system peak <<<"$measured"
    verdict=$([ "$peak" -lt 20480 ] && echo "under 20 MB" || echo "OVER 20 MB")
    printf '%-12s %-6s wall %6.2f s   cpu %6.2f s   peak %6d KiB (%s)\n' "$way" "${form:-text}" "$wall" \
      "$(echo "$user + $system" | bc)" "$peak" "$verdict"
  done
done
