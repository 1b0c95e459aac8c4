#!/usr/bin/env python3
"""Writes an AWSTAPE image of a standard-label tape for bench/map.sh: VOL1,
then one data set per count given (HDR1 HDR2, a tape mark, that many data
blocks, a tape mark, EOF1 EOF2 with the block count, a tape mark), then a
second tape mark. --repeat gives the counts again and again, numbering the
data sets on, for a tape of many files.

  bench/map_tape.py IMAGE --block-size 16 3 3 4
  bench/map_tape.py IMAGE --repeat 33334 1
"""

import argparse
import struct


def label(text):
    return text.ljust(80)[:80].encode("cp037")


def block(out, data):
    out.write(struct.pack("<HHBB", len(data), block.prev, 0xA0, 0))
    out.write(data)
    block.prev = len(data)


def mark(out):
    out.write(struct.pack("<HHBB", 0, block.prev, 0x40, 0))
    block.prev = 0


block.prev = 0


def sequence(number):
    """Four digits, or above 9999 as z/OS writes it: '?' and three binary bytes."""
    if number <= 9999:
        return f"{number:04d}".encode("cp037")
    return "?".encode("cp037") + number.to_bytes(3, "big")


def hdr1(kind, number, blocks):
    low, high = blocks % 1000000, blocks // 1000000
    name = f"BENCH.SET{number}".ljust(17)[:17]
    return (f"{kind}1{name}MAP0010001".encode("cp037") + sequence(number)
            + f"000100026122027122 {low:06d}IBMOSVS2        {high:04d}".encode("cp037"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("image")
    parser.add_argument("--block-size", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("counts", type=int, nargs="+")
    args = parser.parse_args()
    data = bytes(args.block_size)
    hdr2 = f"2F{args.block_size:05d}{args.block_size:05d}30"
    with open(args.image, "wb") as out:
        block(out, label("VOL1MAP001"))
        for number, count in enumerate(args.counts * args.repeat, 1):
            block(out, hdr1("HDR", number, 0))
            block(out, label("HDR" + hdr2))
            mark(out)
            for _ in range(count):
                block(out, data)
            mark(out)
            block(out, hdr1("EOF", number, count))
            block(out, label("EOF" + hdr2))
            mark(out)
        mark(out)


if __name__ == "__main__":
    main()
