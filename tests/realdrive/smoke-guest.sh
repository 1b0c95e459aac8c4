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

printf '%080d%080d%080d' 1 2 3 >labels

echo "== three blocks and two filemarks, read back with 80, then 100 bytes"
"$TAPEIO" -d labels -o back80 "$tape" open=rw setblk=0 write=80 write=80 write=80 weof=2 rew readall=80 close
"$TAPEIO" -o back100 "$tape" open=r rew readall=100 close
cmp labels back80 && cmp labels back100 && echo "data intact"

echo "== the same tape read by dd through one descriptor"
mt -f "$tape" rewind
exec 3<"$tape"
for _ in 1 2 3 4 5 6 7 8; do dd_read 80; done
exec 3<&-

echo "== blank tape"
blank_tape
"$TAPEIO" "$tape" open=r read=80 read=80 close
exec 3<"$tape"
dd_read 80
exec 3<&-

echo "== a 100-byte block read with 80 bytes"
dd if=labels of="$tape" bs=100 count=1 2>/dev/null
mt -f "$tape" rewind
exec 3<"$tape"
dd_read 80
dd_read 80
exec 3<&-

echo "== write-protected tape"
write_protect on
"$TAPEIO" "$tape" open=rw open=w open=r rew read=80 close
dd if=labels of="$tape" bs=80 count=1 2>&1 | sed 's/.*: //'
write_protect off
"$TAPEIO" "$tape" open=rw close
