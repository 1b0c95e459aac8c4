#!/usr/bin/env python3
"""Turns the raw results of bench/run.sh into docs/performance.md, keeping
the sections other benchmarks fill: bench/library.sh's and
bench/image-size.sh's."""

import argparse
import datetime
import difflib
import json
import os
import platform
import re
import statistics
import subprocess
from pathlib import Path

AIM_RATIO = 1.2
READ_CALLS = "open MTREW MTSETBLK read read read read close"
WRITE_CALLS = READ_CALLS + " open MTREW MTSETBLK write write write MTWEOF close"
# Each kept section lies between its two markers.
KEPT_SECTIONS = [
    ("<!-- library: figures from bench/library.sh -->", "<!-- /library -->"),
    ("<!-- image-size: written by bench/image-size.sh -->", "<!-- /image-size -->"),
]
SYSCALL = re.compile(r"^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+|\?)")


def run(*cmd, cwd=None):
    try:
        return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def ms(seconds):
    return f"{seconds * 1000:.3f}"


def load_group(results, group):
    """Pools every round's runs of each command."""
    times = {}
    for path in sorted(results.glob(f"{group}.*.json")):
        for r in json.loads(path.read_text())["results"]:
            times.setdefault(r["command"], []).extend(r["times"])
    return {cmd: {"median": statistics.median(t), "min": min(t), "mean": statistics.mean(t),
                  "stddev": statistics.stdev(t), "runs": len(t)} for cmd, t in times.items()} or None


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def memory():
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal"):
            return f"{int(line.split()[1]) // 1024} MiB"
    return "unknown"


def analyse_strace(path, image):
    """Counts every system call, those on the drive's files, and any call
    that reached the drive's /dev/null descriptor other than its open and
    close (a call the drive did not play)."""
    drive_files = {image, image + ".vtpos", "/dev/null"}
    tracked = {}  # fd -> what it is
    total = drive = rewrites = 0
    unplayed = []
    for line in path.read_text().splitlines():
        m = SYSCALL.match(line)
        if not m:
            continue
        name, args, ret = m.groups()
        total += 1
        first = args.split(",", 1)[0].strip()
        if name in ("openat", "open"):
            opened = re.search(r'"([^"]*)"', args)
            if opened and opened.group(1) in drive_files and ret.lstrip("-").isdigit() and int(ret) >= 0:
                tracked[int(ret)] = opened.group(1)
                drive += 1
                rewrites += opened.group(1).endswith(".vtpos") and "O_TRUNC" in args
            continue
        if name == "getpid" or (name == "prlimit64" and "RLIMIT_NOFILE" in args):
            drive += 1  # the drive's owner check and its search for a high descriptor
            continue
        if not first.isdigit() or int(first) not in tracked:
            continue
        fd = int(first)
        drive += 1
        what = tracked[fd]
        if what == "/dev/null" and name != "close":
            unplayed.append(line.split(None, 1)[1])
        if name == "fcntl" and "F_DUPFD" in args and int(ret) >= 0:
            tracked[int(ret)] = what
        if name == "close":
            del tracked[fd]
    return {"total": total, "drive": drive, "rewrites": rewrites, "unplayed": unplayed}


def kept_sections(text):
    """The figures other benchmarks measure apart, each between its markers."""
    kept = []
    for start_marker, end_marker in KEPT_SECTIONS:
        start = text.find(start_marker)
        end = text.find(end_marker)
        if 0 <= start < end:
            kept.append(text[start:end + len(end_marker)])
    return "\n\n".join(kept)


def extra_calls(needed, made):
    extra = []
    for op, _, _, j1, j2 in difflib.SequenceMatcher(a=needed, b=made, autojunk=False).get_opcodes():
        if op in ("insert", "replace"):
            extra += made[j1:j2]
    return " ".join(f"`{c}`" for c in extra) if extra else "none"


def rss(results, name):
    values = [int(v) for v in (results / f"rss-{name}.txt").read_text().split() if v.isdigit()]
    return statistics.median(values), min(values), max(values)


def ratio(group, top, bottom, key):
    return group[top][key] / group[bottom][key]


def verdict_ratio(value):
    return "met" if value <= AIM_RATIO else "not met"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--results", required=True)
    ap.add_argument("--runs", required=True)
    ap.add_argument("--rounds", required=True)
    ap.add_argument("--warmup", required=True)
    ap.add_argument("--read-args", required=True)
    ap.add_argument("--write-args", required=True)
    ap.add_argument("--by-hand", required=True)
    ap.add_argument("--doc", required=True)
    a = ap.parse_args()
    root, results = Path(a.root), Path(a.results)

    stores = []  # (name, file system type, image)
    for line in (results / "stores.txt").read_text().splitlines():
        name, fstype, image = line.split(" ", 2)
        stores.append((name, fstype, image))
    fstype = {name: t for name, t, _ in stores}
    disk_image = next(image for name, _, image in stores if name == "disk")
    groups = {"plain": load_group(results, "plain")}
    for name, _, _ in stores:
        for wrapper in ("vtape", "preload"):
            groups[f"{wrapper}-{name}"] = load_group(results, f"{wrapper}-{name}")
    loads = (results / "load.txt").read_text().splitlines()
    group_order = [g for g in groups if groups[g] is not None]

    calls = {}
    for name in ("read", "write", "mt+dd"):
        lines = (results / f"calls-{name}.txt").read_text().splitlines()
        calls[name] = [line.removeprefix("devcount:").strip() for line in lines]
    traces = {name: analyse_strace(results / f"strace-{name}.txt", disk_image) for name in ("empty", "read", "write")}

    commit = run("git", "log", "-1", "--format=%h %s", cwd=root)
    dirty = run("git", "status", "--porcelain", "--", "src", "vtape", "CMakeLists.txt", cwd=root)
    out = []
    w = out.append

    w("# Performance\n")
    w("How long vaklabel's read and write runs take under the virtual tape drive, compared")
    w("with a process that does nothing and with the same read done by hand with `mt` and")
    w("`dd`; which calls each run makes on the drive; and its peak memory. Generated by")
    w("`bench/run.sh`; the raw results (hyperfine JSON and markdown, traces) are left in")
    w("`build-bench/results/`.\n")

    w("## Machine and run\n")
    w("| | |\n|---|---|")
    finished = datetime.datetime.fromtimestamp((results / "load.txt").stat().st_mtime, datetime.timezone.utc)
    w(f"| date | {finished:%Y-%m-%d %H:%M} UTC (end of the timed rounds) |")
    w(f"| commit | {commit}" + (" (with uncommitted changes in src/, vtape/ or CMakeLists.txt)" if dirty else "") + " |")
    w(f"| machine | {cpu_model()}, {os.cpu_count()} cores, {memory()} |")
    w(f"| system | {run('uname', '-sr')}, {run('sh', '-c', '. /etc/os-release && echo $PRETTY_NAME')} |")
    w(f"| compiler | {run('c++', '--version').splitlines()[0]}, Release (-O3 -DNDEBUG) |")
    w(f"| hyperfine | {run('hyperfine', '--version')}, `-N` (no shell), {a.runs} runs per command in {a.rounds} rounds, "
      f"{a.warmup} warm-up runs each round |")
    for name, t, image in stores:
        w(f"| image ({name}) | `{image}` on {t} |")
    w("")
    w("The machine is shared: two cores, with others compiling and running QEMU guests")
    w("at the same time. Load average (1, 5, 15 min) at the start and after each round:\n")
    w("| | load average |\n|---|---|")
    for i, load in enumerate(loads):
        w(f"| {'start' if i == 0 else f'after round {i}'} | {load} |")
    w("")
    w("hyperfine times one command's runs back to back, so the script runs every group in")
    w(f"{a.rounds} rounds and pools the runs, which spreads a change of load over all commands.")
    w("Because of the load the mean and its spread say little; the figures below are the")
    w("median and minimum over all pooled runs, and the ratios are taken on both.\n")

    def ratios(g):
        group = groups[g]
        rows = [("read / bare (empty)", "read", "empty"), ("read / bare (/bin/true)", "read", "true"),
                ("write / bare (empty)", "write", "empty"), ("read / (mt+dd)", "read", "mt+dd")]
        return [(label, ratio(group, top, bottom, "median"), ratio(group, top, bottom, "min"))
                for label, top, bottom in rows]

    disk, tmpfs = "preload-disk", "preload-tmpfs"
    read_disk = ratio(groups[disk], "read", "empty", "median")
    read_tmpfs = ratio(groups[tmpfs], "read", "empty", "median") if groups.get(tmpfs) else None
    calls_met = calls["read"] == [READ_CALLS] and calls["write"] == [WRITE_CALLS]
    unplayed = traces["read"]["unplayed"] + traces["write"]["unplayed"]

    w("## The aim, and whether it is met\n")
    w(f"*The read run within {AIM_RATIO}x of a bare process start, and exactly the device calls the run needs.*\n")
    w(f"* **Read run against a bare start** (preload set directly, median): "
      f"{read_disk:.2f}x with the image on {fstype['disk']}: **{verdict_ratio(read_disk)}**"
      + (f"; {read_tmpfs:.2f}x with the image on tmpfs: **{verdict_ratio(read_tmpfs)}**." if read_tmpfs else "."))
    w(f"* **Device calls**: **{'met' if calls_met and not unplayed else 'not met'}**. "
      + ("The read and the write run make exactly the calls they need, no more (below)."
         if calls_met else "The runs make calls beyond the fewest they need (below)."))
    w("")
    r = traces["read"]
    if read_disk > AIM_RATIO and read_tmpfs is not None and read_tmpfs <= AIM_RATIO:
        w(f"Why the time aim is missed on {fstype['disk']}: the difference is the virtual drive's own work on")
        w(f"its files, not vaklabel. The drive rewrites its position file (`IMAGE.vtpos`, opened with")
        w(f"`O_TRUNC`) after every operation that moves the tape: {r['rewrites']} times in a read run,")
        w(f"{traces['write']['rewrites']} in a write run. On {fstype['disk']} each truncate-and-rewrite is a metadata")
        w("change, and ext4 starts writing out a file truncated to zero when it is closed")
        w("(`auto_da_alloc`); under strace each such `openat` alone takes about 0.1 ms. The same runs with the image on")
        w("tmpfs, where that costs next to nothing, are within the aim, with the same binary and the")
        w("same calls. A real drive keeps no such file, so the tmpfs figure is the one that says what")
        w("the tool costs; the other is what a test under the virtual drive costs. Those rewrites also")
        w("wait for the disk, which others' builds and guests share, so the ext4 medians swing with their")
        w(f"writes; the minima are steadier (read / bare {ratio(groups[disk], 'read', 'empty', 'min'):.2f}x on ext4, "
          f"{ratio(groups[tmpfs], 'read', 'empty', 'min'):.2f}x on tmpfs).\n")
    elif read_disk > AIM_RATIO:
        w("Why the time aim is missed: see the system-call counts below; the process start")
        w("(the dynamic loader mapping the C library and the drive's library) is shared with the")
        w("bare start, so the difference is the drive's work on its files and the tool's own calls.\n")

    w("## Times\n")
    w("Every command ran under the virtual drive, in one of two ways: through `vtape run IMAGE --`")
    w("(so the wrapper's own start and exec are in every figure), or with the preload set directly")
    w("(`LD_PRELOAD=libvtape.so VTAPE_IMAGE=IMAGE VTAPE_DEVICE=/dev/nst0` in hyperfine's")
    w("environment, no extra process; hyperfine then carries the library too, which touches nothing")
    w("but the drive), which compares the tool and not the wrapper. *empty* is")
    w("`bench/empty.cc`, a `main` that returns 0, compiled and linked as vaklabel is (same compiler,")
    w("flags, and only `libc.so.6` needed, as vaklabel); *true* is `/bin/true`.\n")
    for g in group_order:
        group = groups[g]
        if g == "plain":
            w("**No drive at all** (the process start alone):\n")
        else:
            wrapper, name = g.split("-", 1)
            how = "through `vtape run`" if wrapper == "vtape" else "preload set directly"
            w(f"**{how}, image on {fstype[name]}** (`{g}`):\n")
        w("| command | median ms | min ms | mean ± σ ms |\n|---|---:|---:|---:|")
        for cmd, res in group.items():
            w(f"| {cmd} | {ms(res['median'])} | {ms(res['min'])} | {ms(res['mean'])} ± {ms(res['stddev'])} |")
        w("")
        if g != "plain":
            w("| ratio | on medians | on minima |\n|---|---:|---:|")
            for label, med, low in ratios(g):
                w(f"| {label} | {med:.2f} | {low:.2f} |")
            w("")
    plain, pre = groups["plain"], groups[disk]
    w(f"Loading the drive's library into a process that does nothing costs "
      f"{ms(pre['empty']['median'] - plain['empty']['median'])} ms (median of *empty* with and without it);")
    vt = groups["vtape-disk"]
    w(f"starting through `vtape run` adds {ms(vt['empty']['median'] - pre['empty']['median'])} ms more.\n")

    w("## Calls on the drive\n")
    w("Counted by `bench/devcount.cc`, a library preloaded before `libvtape.so` that records, in")
    w("order, every call the program makes on the device path and on the descriptors it got for it")
    w("(every `open` variant, `read`, `__read_chk`, `write`, `ioctl`, `close`, `dup`), before the")
    w("drive plays it. strace cannot count these: the drive answers them in user space, so the kernel")
    w("sees only its work on the image.\n")
    w("| run | fewest needed | made | extra |\n|---|---|---|---|")
    for name, needed in (("read", READ_CALLS), ("write", WRITE_CALLS)):
        made = " / ".join(calls[name])
        extra = extra_calls(needed.split(), made.split())
        w(f"| {name} | `{needed}` ({len(needed.split())}) | `{made}` ({len(made.split())}) | {extra} |")
    w(f"| mt+dd (for comparison) | | `{' / '.join(calls['mt+dd'])}` | one open and close per program; `dd` moves its descriptor to standard input |")
    w("")
    w("A six-character label set: three blocks, and the fourth read finds the tape mark. `MTWEOF`")
    w("writes both tape marks in one call (count 2).\n")

    w("## System calls\n")
    w("From `strace -f` of one run of each, preload set directly, image on disk. *drive* counts the")
    w("calls on the image, its position file and the `/dev/null` descriptor the drive hands out for")
    w("the tape; *unplayed* counts calls that reached that descriptor other than its open and close,")
    w("that is, calls on the tape the drive did not play (an `fstat`, `lseek`, ...).\n")
    w("| process | all calls | drive | position-file rewrites | rest | unplayed |\n|---|---:|---:|---:|---:|---:|")
    for name, t in traces.items():
        w(f"| {name} | {t['total']} | {t['drive']} | {t['rewrites']} | {t['total'] - t['drive']} | {len(t['unplayed'])} |")
    w("")
    e = traces["empty"]["total"]
    w(f"*empty* makes {e} calls, all of them the dynamic loader and the C library starting up. The read")
    w(f"run's calls beyond those and beyond the drive's are vaklabel's own: "
      f"{r['total'] - r['drive'] - e}, all for printing the label (the C library checks stdout, allocates")
    w("its buffer and writes it).\n")

    w("## Peak memory\n")
    w("Maximum resident set size from `/usr/bin/time -f %M`, five runs each, preload set directly")
    w("(except *empty, no drive*):\n")
    w("| process | median KiB | min–max KiB |\n|---|---:|---:|")
    for name, label in (("empty-alone", "empty, no drive"), ("empty", "empty"), ("true", "/bin/true"),
                        ("read", "read run"), ("write", "write run")):
        med, low, high = rss(results, name)
        w(f"| {label} | {med:.0f} | {low}–{high} |")
    w("")
    read_rss, empty_rss = rss(results, "read")[0], rss(results, "empty")[0]
    w(f"vaklabel's read run peaks {read_rss - empty_rss:.0f} KiB above the empty process under the same drive:")
    w("its label image, the C library's stdout buffer and the pages of its code it touches.\n")

    command = results / "command.md"
    if command.exists():
        w(command.read_text())

    w("## How to reproduce\n")
    w("    bench/run.sh    # defaults: BENCH_RUNS=500 BENCH_ROUNDS=5 BENCH_WARMUP=10 BENCH_BUILD=build-bench\n")
    w("It installs `hyperfine`, `strace`, `time`, `mt-st`, `python3` and `valgrind` with apt-get when they are missing")
    w("(the benchmark is run by hand, not by CI, so scripts/setup.sh does not carry them), builds the")
    w("project in Release into `build-bench/` (`-DCMAKE_BUILD_TYPE=Release`, tests off) and the helpers in")
    w("`bench/` into `build-bench/bench-helpers/`, labels a fresh tape `NEWLBL` from the standard template,")
    w("and then, with IMAGE in the build directory and again in a directory on `/dev/shm`, runs")
    w(f"`hyperfine -N --warmup {a.warmup} --runs {int(a.runs) // int(a.rounds)}`, {a.rounds} rounds, over:\n")
    w(f"    read:   vtape run IMAGE -- build-bench/src/vaklabel {a.read_args}")
    w(f"    write:  vtape run IMAGE -- build-bench/src/vaklabel {a.write_args}")
    w("    empty:  vtape run IMAGE -- build-bench/bench-helpers/empty")
    w("    true:   vtape run IMAGE -- /bin/true")
    w(f"    mt+dd:  vtape run IMAGE -- sh -c '{a.by_hand}'\n")
    w("and the same five without `vtape run`, under")
    w("`env LD_PRELOAD=build-bench/vtape/libvtape.so VTAPE_IMAGE=IMAGE VTAPE_DEVICE=/dev/nst0 hyperfine ...`.")
    w("The write run writes the same three blocks and two tape marks each time, so the tape keeps its")
    w("size; the script checks its shape after the runs. `dd` reads one block per call from the drive")
    w("in variable-block mode, so `count=4` reads the three labels and stops at the tape mark, as")
    w("vaklabel does. The call records, the traces and the memory figures come from single runs")
    w("with the image in the build directory.")
    doc = Path(a.doc)
    kept = kept_sections(doc.read_text()) if doc.exists() else ""
    doc.write_text("\n".join(out) + ("\n\n" + kept if kept else "") + "\n")


if __name__ == "__main__":
    main()
