#!/usr/bin/env bash
# vaklabel-library under the virtual library's timing model: cartridges
# labelled per hour of library time with 1, 2 and 4 drives, against the bound
# the hardware sets, and the time per cartridge the command adds over running
# mtx and vaklabel by hand. Run by hand, not by CI:
#   bench/library.sh   # BENCH_BUILD (a build tree to use as it is; default: a
#                      # Release build made here), BENCH_SPEEDUP (default 10),
#                      # BENCH_TAPES (default 24), BENCH_DRIVES (default
#                      # "1 2 4"), BENCH_OVERHEAD_TAPES (default 20; 0: skip),
#                      # BENCH_HISTORY_SLOTS (default 1000; 0: skip) and
#                      # BENCH_HISTORY_MOUNTED (default 48): an inventory
#                      # from history of a full 8-drive library against a
#                      # mounting one of its first slots, timed at
#                      # BENCH_HISTORY_SPEEDUP (default 100)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-}
speedup=${BENCH_SPEEDUP:-10}
tapes=${BENCH_TAPES:-24}
drive_counts=${BENCH_DRIVES:-1 2 4}
overhead_tapes=${BENCH_OVERHEAD_TAPES:-20}
history_slots=${BENCH_HISTORY_SLOTS:-1000}
history_mounted=${BENCH_HISTORY_MOUNTED:-48}
history_speedup=${BENCH_HISTORY_SPEEDUP:-100}

# No -Werror: g++ 12 warns falsely at -O2 (library/expiration.cc), where the
# CI builds do not.
if [ -z "$build" ]; then
  build=$root/build-bench
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVAKLABEL_WERROR=OFF -DVAKLABEL_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target vaklabel vtape vtape_preload vaklabel-library vaklabel-show >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
for tool in src/vaklabel show/vaklabel-show library/vaklabel-library; do ln -s "$build/$tool" "$work/bin/"; done
export PATH="$work/bin:/usr/sbin:/usr/bin:/sbin:/bin"
vtape=$build/vtape/vtape
template=$root/templates/standard.lbl
cd "$work"

now() { date +%s.%N; }

# The model's figures (docs/virtual-drive.md): a picker move 10 s; a drive's
# load 15 s and unload 17 s; a rewind from anywhere but BOT 3 s. Labelling a
# blank tape rewinds once from away from BOT (before the read-back), so a
# drive spends 15 + 3 + 17 s on it; blocks take milliseconds.
drive_s=35
move_s=10

# An inventory from history of a library every cartridge of which an
# earlier run labelled: one changer status and no move, at the model's real
# speed (a move would take 10 s). The mounting inventory of the same
# library's first slots, scaled to all of them, is what it saves.
inventory_from_history() {
  rm -rf lib labels lock
  "$vtape" create lib --slots "$history_slots" --drives 8 --barcodes A00001L8 >/dev/null
  "$vtape" run lib -- vaklabel-library --lock "$work/lock" --labels-dir labels label --template "$template" \
    >/dev/null 2>&1 || { echo "vaklabel-library label failed" >&2; exit 1; }
  local start end answered mstart mend
  start=$(now)
  answered=$("$vtape" run lib --timing 1 -- vaklabel-library --lock "$work/lock" --labels-dir labels \
    inventory --from-history | grep -c "from history")
  end=$(now)
  mstart=$(now)
  "$vtape" run lib --timing "$history_speedup" -- vaklabel-library --lock "$work/lock" --labels-dir labels \
    inventory "1-$history_mounted" >/dev/null 2>&1 || { echo "vaklabel-library inventory failed" >&2; exit 1; }
  mend=$(now)
  python3 - "$history_slots" "$answered" "$start" "$end" "$history_mounted" "$mstart" "$mend" "$history_speedup" <<'PY'
import sys
slots, answered, start, end, mounted, mstart, mend, f = (float(x) for x in sys.argv[1:])
per = (mend - mstart) * f / mounted  # library seconds per mounted cartridge
print(f"inventory of {int(slots)} slots, 8 drives: from history {end - start:.2f} s wall "
      f"({int(answered)} answered, no move); mounting {int(mounted)} of them took {per:.1f} s of library time "
      f"per cartridge, {per * slots / 3600:.1f} h for all {int(slots)}")
PY
}
[ "$history_slots" -gt 0 ] && inventory_from_history

echo "| drives | cartridges | wall time (s) | library time per cartridge (s) | per hour | bound per hour | share of bound | per hour with a drive's own moves in series | share |"
echo "|---|---|---|---|---|---|---|---|---|"
for drives in $drive_counts; do
  rm -rf lib labels lock
  "$vtape" create lib --slots "$tapes" --drives "$drives" --barcodes ABC001L8 >/dev/null
  start=$(now)
  "$vtape" run lib --timing "$speedup" -- vaklabel-library --lock "$work/lock" --labels-dir labels \
    label --template "$template" >/dev/null 2>&1 || { echo "vaklabel-library failed" >&2; exit 1; }
  end=$(now)
  python3 - "$drives" "$tapes" "$start" "$end" "$speedup" "$drive_s" "$move_s" <<'PY'
import sys
d, n, start, end, f, t, m = (float(x) for x in sys.argv[1:])
wall = end - start
per = wall * f / n                      # library seconds per cartridge
rate = 3600 / per
bound = 3600 * min(d / t, 1 / (2 * m))
serial = 3600 * min(d / (t + 2 * m), 1 / (2 * m))
print(f"| {int(d)} | {int(n)} | {wall:.1f} | {per:.1f} | {rate:.1f} | {bound:.1f} | {rate / bound:.2f} | {serial:.1f} | {rate / serial:.2f} |")
PY
done

# Without the timing model: what the command adds per cartridge over the
# least a script does (load, write from the template, unload).
time_library() {
  rm -rf lib labels lock
  "$vtape" create lib --slots "$overhead_tapes" --drives 1 --barcodes ABC001L8 >/dev/null
  local start end
  start=$(now)
  "$vtape" run lib -- vaklabel-library --lock "$work/lock" --labels-dir labels label --template "$template" \
    >/dev/null 2>&1 || { echo "vaklabel-library failed" >&2; exit 1; }
  end=$(now)
  echo "$start $end"
}
time_script() {
  rm -rf lib
  "$vtape" create lib --slots "$overhead_tapes" --drives 1 --barcodes ABC001L8 >/dev/null
  local start end
  start=$(now)
  # shellcheck disable=SC2016  # expanded by the shell that runs under the library
  "$vtape" run lib -- sh -c '
    for slot in $(seq 1 "$1"); do
      mtx load "$slot" 0 >/dev/null
      vaklabel -q -c "$2" -t standard.lbl -f /dev/nst0 -w "$(printf "ABC%03dL8" "$slot")" 2>/dev/null
      mtx unload "$slot" 0 >/dev/null
    done' sh "$overhead_tapes" "$root/templates"
  end=$(now)
  echo "$start $end"
}
[ "$overhead_tapes" -gt 0 ] || exit 0
for round in 1 2 3; do
  read -r ls le < <(time_library)
  read -r ss se < <(time_script)
  python3 -c "
n = $overhead_tapes
lib = ($le - $ls) / n * 1000
script = ($se - $ss) / n * 1000
print(f'round $round: vaklabel-library {lib:.0f} ms per cartridge, mtx + vaklabel by hand {script:.0f} ms, added {lib - script:.0f} ms')"
done
