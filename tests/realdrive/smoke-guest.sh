#!/bin/bash
# Guest half of the real-driver smoke test: prints what the st driver answers.
tape=/dev/nst0

# Prints what one read of $1 bytes by dd from descriptor 3 gave: the count,
# or the error text.
dd_read() {
  local said
  if said=$(dd bs="$1" count=1 of=/dev/null <&3 2>&1); then
    sed -n 's/^\([0-9]*\) bytes.*/\1/p' <<<"$said"
  else
    sed -n '1s/.*: //p' <<<"$said"
  fi
}

reads() {
  local i
  for ((i = 0; i < $2; i++)); do echo "read:$1"; done
}

echo "== three blocks and two filemarks, read back with 80, then 100 bytes"
# shellcheck disable=SC2046
"$TAPEPROBE" "$tape" open:rw setblk:0 write:80:31 write:80:32 write:80:33 weof:2 rew $(reads 80 8) close
# shellcheck disable=SC2046
"$TAPEPROBE" "$tape" open:ro rew $(reads 100 8) close

echo "== the same tape read by dd through one descriptor"
mt -f "$tape" rewind
exec 3<"$tape"
for _ in 1 2 3 4 5 6 7 8; do dd_read 80; done
exec 3<&-

echo "== blank tape"
blank_tape
"$TAPEPROBE" "$tape" open:ro read:80 read:80 close
exec 3<"$tape"
dd_read 80
exec 3<&-

echo "== a 100-byte block read with 80 bytes"
dd if=/dev/zero of="$tape" bs=100 count=1 2>/dev/null
mt -f "$tape" rewind
exec 3<"$tape"
dd_read 80
dd_read 80
exec 3<&-

echo "== write-protected tape"
write_protect on
"$TAPEPROBE" "$tape" open:rw open:wo open:ro rew read:80 close
dd if=/dev/zero of="$tape" bs=80 count=1 2>&1 | sed 's/.*: //'
write_protect off
"$TAPEPROBE" "$tape" open:rw close
