#!/usr/bin/env python3
"""Measures how the virtual drive's cost grows with the tape and writes the
figures into their section of docs/performance.md. Called by
bench/image-size.sh, which builds what it needs.

Each image holds a label set written by vaklabel (three blocks, two tape
marks), then N blocks of 80 bytes and a tape mark. For every size it counts,
with callgrind, the instructions of one process doing each of:

  open    open and close /dev/nst0 with the tape left at end of data
  status  the same with one MTIOCGET
  tell    the same with one MTIOCPOS
  read    vaklabel's read run with the tape left at end of data
  write   vaklabel's write run on a fresh copy of the image (no saved position)
  eod     mt eod (MTEOM) from BOT, on a tape whose end the drive has seen before

Instruction counts do not include the kernel's work, so the write run's wall
time is measured as well: cutting a big image off at BOT is work the file
system does, in proportion to what it frees.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import tempfile
import time
from pathlib import Path

LABEL = "NEWLBL"
BLOCK = 80
START, END = "<!-- image-size: written by bench/image-size.sh -->", "<!-- /image-size -->"
OPS = ("open", "status", "tell", "read", "write", "eod")
AIM = 1.1
WRITE_TIMES = 11


def append_blocks(image, count):
    """N blocks of BLOCK zero bytes and a tape mark, after the tape mark that
    ends the label set (so the first header's previous length is 0)."""
    with open(image, "ab") as f:
        prev, chunk = 0, []
        for _ in range(count):
            chunk.append(struct.pack("<HHBB", BLOCK, prev, 0xA0, 0) + bytes(BLOCK))
            prev = BLOCK
            if len(chunk) == 65536:
                f.write(b"".join(chunk))
                chunk = []
        chunk.append(struct.pack("<HHBB", 0, prev, 0x40, 0))
        f.write(b"".join(chunk))


class Bench:
    def __init__(self, a):
        build = Path(a.build)
        self.root = Path(a.root)
        self.vtape = build / "vtape" / "vtape"
        self.tool = build / "src" / "vaklabel"
        self.driveop = build / "bench-helpers" / "driveop"
        self.drive = Path(a.drive)
        self.work = Path(tempfile.mkdtemp(prefix="vaklabel-size.", dir=build))

    def under(self, image, argv, **kw):
        env = dict(os.environ, LD_PRELOAD=str(self.drive), VTAPE_IMAGE=str(image), VTAPE_DEVICE="/dev/nst0")
        return subprocess.run([str(x) for x in argv], env=env, check=True, stdout=subprocess.DEVNULL, **kw)

    def make_image(self, count):
        image = self.work / f"tape-{count}.aws"
        subprocess.run([self.vtape, "create", "--force", image], check=True)
        # Labelling a blank tape reports the blank read first; that is expected.
        self.under(image, [self.tool, "-q", "-c", self.root / "templates", "-t", "standard.lbl",
                           "-f", "/dev/nst0", "-w", LABEL], stderr=subprocess.DEVNULL)
        append_blocks(image, count)
        return image

    def instructions(self, image, argv):
        out = self.work / "callgrind.out"
        self.under(image, ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"] + argv,
                   stderr=subprocess.DEVNULL)
        for line in out.read_text().splitlines():
            if line.startswith("summary:"):
                return int(line.split()[1])
        raise SystemExit(f"bench: no summary in {out}")

    def fresh_copy(self, image):
        fresh = self.work / "fresh.aws"
        shutil.copyfile(image, fresh)
        Path(f"{fresh}.vtpos").unlink(missing_ok=True)
        return fresh

    def write_ms(self, image):
        """Median wall time of the write run on a fresh copy."""
        times = []
        for _ in range(WRITE_TIMES):
            fresh = self.fresh_copy(image)
            start = time.perf_counter()
            self.under(fresh, [self.tool, "-q", "-f", "/dev/nst0", "-w", LABEL])
            times.append(time.perf_counter() - start)
        return statistics.median(times) * 1000

    def measure(self, count):
        image = self.make_image(count)
        at_end = lambda: self.under(image, [self.driveop, "/dev/nst0", "eom"])
        row = {"blocks": count, "bytes": image.stat().st_size}
        at_end()
        for op in ("open", "status", "tell"):
            row[op] = self.instructions(image, [self.driveop, "/dev/nst0", op])
        row["read"] = self.instructions(image, [self.tool, "-q", "-f", "/dev/nst0"])
        row["write"] = self.instructions(self.fresh_copy(image), [self.tool, "-q", "-f", "/dev/nst0", "-w", LABEL])
        self.under(image, ["mt", "-f", "/dev/nst0", "rewind"])
        row["eod"] = self.instructions(image, ["mt", "-f", "/dev/nst0", "eod"])
        row["write_ms"] = self.write_ms(image)
        image.unlink()
        Path(f"{image}.vtpos").unlink(missing_ok=True)
        return row


def render(results):
    """The section of docs/performance.md, from every named result set."""
    sets = [json.loads(p.read_text()) for p in sorted(results.glob("*.json"))]
    sets.sort(key=lambda s: s["name"] != "before")
    out = ["## Cost against the size of the tape\n",
           "Instructions (callgrind, user space: the program, the C library and the drive) of one",
           "process on images of a label set followed by N blocks of 80 bytes, and the ratio to the",
           "10-block image. *open*, *status* (MTIOCGET) and *tell* (MTIOCPOS) are `bench/driveop.cc`",
           "opening `/dev/nst0` with the tape left at end of data; *read* is vaklabel's read run with",
           "the tape left at end of data; *write* is vaklabel's write run on a fresh copy of the image",
           f"(no saved position), whose wall time (median of {WRITE_TIMES}) is given too, because the",
           "kernel's work, which callgrind does not count, is where that run's cost lies. *eod* is",
           "`mt eod` from BOT on a tape the drive has spaced to the end of before (it remembers where",
           "the data ends; the first time, it walks the image once).",
           f"The aim: every ratio within {AIM}x.\n"]
    for s in sets:
        rows = s["rows"]
        base = rows[0]
        out.append(f"**{s['name']}**: libvtape.so of {s['commit']}, {s['date']}, image on {s['fstype']}.\n")
        out.append("| blocks | image MB | " + " | ".join(OPS) + " | write ms |")
        out.append("|---:|---:|" + "---:|" * (len(OPS) + 1))
        for r in rows:
            cells = [f"{r[op]:,} ({r[op] / base[op]:.2f}x)" for op in OPS]
            out.append(f"| {r['blocks']:,} | {r['bytes'] / 1e6:.1f} | " + " | ".join(cells) +
                       f" | {r['write_ms']:.1f} ({r['write_ms'] / base['write_ms']:.1f}x) |")
        worst = max(rows[-1][op] / base[op] for op in OPS)
        out.append(f"\nLargest instruction ratio at {rows[-1]['blocks']:,} blocks: {worst:.2f}x: "
                   f"**{'met' if worst <= AIM else 'not met'}**.\n")
    out.append("The write run's time still grows with the image: the run's first write, at BOT, cuts off")
    out.append("everything after it, as a drive does, and the file system frees the image's blocks in")
    out.append("proportion to their number. That one cut is needed; the drive makes no other (before, it")
    out.append("cut the file before every block and tape mark, also at the end of data, where there was")
    out.append("nothing to cut). On a shared, loaded machine the times are only a rough guide.\n")
    out.append("`vtape list`'s cost per block is under *The vtape command* above.\n")
    out.append("Reproduce with `bench/image-size.sh` (defaults `BENCH_SIZES=\"10 1000 100000 1000000\"`,")
    out.append("`BENCH_BUILD=build-bench`). `BENCH_DRIVE=PATH/libvtape.so BENCH_NAME=before` measures another")
    out.append("build's library under another name; each name's figures are kept in")
    out.append("`build-bench/results-size/` and all of them are shown here.")
    return "\n".join(out)


def splice(doc, section):
    """Puts the section between its markers, or at the end of the document."""
    text = doc.read_text() if doc.exists() else ""
    block = f"{START}\n{section}\n{END}"
    if START in text and END in text:
        head, rest = text.split(START, 1)
        text = head + block + rest.split(END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    doc.write_text(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--drive", required=True)
    ap.add_argument("--name", required=True)
    ap.add_argument("--sizes", required=True)
    ap.add_argument("--commit", required=True)
    a = ap.parse_args()
    bench = Bench(a)
    results = Path(a.build) / "results-size"
    results.mkdir(exist_ok=True)
    try:
        rows = []
        for count in (int(n) for n in a.sizes.split()):
            rows.append(bench.measure(count))
            print(f"bench: {count} blocks measured", flush=True)
    finally:
        shutil.rmtree(bench.work)
    fstype = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", a.build], capture_output=True,
                            text=True).stdout.split()
    (results / f"{a.name}.json").write_text(json.dumps({
        "name": a.name, "commit": a.commit, "rows": rows, "fstype": fstype[0] if fstype else "unknown",
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "machine": platform.machine()}))
    splice(Path(a.root) / "docs" / "performance.md", render(results))


if __name__ == "__main__":
    main()
