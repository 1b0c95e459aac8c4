#!/usr/bin/env bash
# Counts the instructions of the vtape command's own work with callgrind:
# the start of `vtape run` up to the exec of the command, and `vtape list`
# per block. Prints a section of docs/performance.md; bench/run.sh includes
# it. Instruction counts do not depend on the load of the shared machine.
#   bench/vtape_command.sh [BUILD]   # BUILD: a Release build with vtape in it
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BENCH_BUILD:-$root/build-bench}}
vtape=$build/vtape/vtape
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Measured once on commit 63d4a38, before the command was reworked: run
# loaded libstdc++ and list printed byte by byte.
before_start=1764471
before_block=61296

# Instructions of one callgrind run up to the first exec (all of it if the
# program does not exec).
instructions() {
  valgrind --tool=callgrind --dump-before=execve --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>&1
  cat "$work"/cg.out* | awk '$1 == "summary:" { n += $2 } END { print n }'
  rm -f "$work"/cg.out*
}

# An image of N 80-byte blocks, as a labelling tool writes them.
image() {
  python3 - "$1" "$2" <<'EOF'
import struct, sys
block = bytes(0xc1 + i % 9 for i in range(80))
record = struct.pack("<HHBB", 80, 80, 0xA0, 0) + block
first = struct.pack("<HHBB", 80, 0, 0xA0, 0) + block
with open(sys.argv[1], "wb") as f:
    f.write(first + record * (int(sys.argv[2]) - 1))
EOF
}

"$vtape" create "$work/tape.aws"
start=$(instructions "$vtape" run "$work/tape.aws" -- /bin/true)
image "$work/small.aws" 10000
image "$work/large.aws" 100000
small=$(instructions "$vtape" list "$work/small.aws")
large=$(instructions "$vtape" list "$work/large.aws")
block=$(( (large - small) / 90000 ))
needed=$(ldd "$vtape" | awk '$1 !~ /^linux-vdso/ { printf "%s%s", sep, $1; sep = ", " }')

cat <<EOF
## The vtape command

Instructions counted by \`valgrind --tool=callgrind\` (\`bench/vtape_command.sh\`), so
the figures do not move with the machine's load. *start* is \`vtape run IMAGE -- /bin/true\`
up to the exec of \`/bin/true\` (the dynamic loader, vtape's checks, loading the drive's
library once to prove it loads, looking for real tape devices in \`/dev\`, of which this
machine has none); *per block* is \`vtape list\` of a 100,000-block image less
one of 10,000 blocks, over the 90,000 blocks between (80-byte blocks, each listed as hex
and EBCDIC text).

| | before (63d4a38) | now | ratio |
|---|---:|---:|---:|
| \`vtape run\` start, instructions | $before_start | $start | $(python3 -c "print(f'{$before_start / $start:.1f}x fewer')") |
| \`vtape list\`, instructions per block | $before_block | $block | $(python3 -c "print(f'{$before_block / $block:.1f}x fewer')") |

vtape links libstdc++ statically (it loads only $needed), so \`vtape run\` no
longer loads and relocates libstdc++ on every start; \`vtape list\` formats into one 64 KiB buffer with
table lookups instead of a \`printf\` per byte.
EOF
