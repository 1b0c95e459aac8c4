# shellcheck shell=sh
# The tape clients' scenario: what an operator does with dd, tar, mt, mbuffer,
# cpio, dump and restore, tapeinfo and sg_inq, on a real kernel with tgt's
# changer (clients.sh, in the guest) and on the virtual library. It prints
# each command, what it said and its exit status; every workflow starts with
# a "== " line, which names it in the comparison.
# Expects a library of one drive, /dev/nst0, and 7 slots holding blank
# tapes of 2 MB. mtx finds the changer in
# CHANGER. It runs in an empty folder, as root (losetup for dump), and
# leaves every tape at home.
# POSIX sh: the host runs it with dash, the guest with bash.

tape=/dev/nst0

step() {
  echo "\$ $*"
  "$@" 2>&1
  echo "-> $?"
}

# A command line with pipes or redirections, run by the shell.
line() {
  echo "\$ $1"
  (eval "$1") 2>&1
  echo "-> $?"
}

where() {
  step mt -f $tape status
}

# Starts a workflow: its title, an empty drive whatever the last one left
# (so that one workflow's failure does not spill into the next), and the
# tape of slot $1 loaded.
workflow() {
  mtx unload >/dev/null 2>&1
  echo "== $2"
  step mtx load "$1" 0
}

# The files the workflows write: 3 MiB that cannot fit a 2 MB tape, and
# small trees whose archives take a few records.
seq 1 1000000 | head -c 3145728 >big || exit 1
for d in d1 d2 d4 d5; do
  mkdir -p $d/sub && echo "$d" >$d/name && seq 1 4000 >$d/sub/numbers || exit 1
done
# The volume script of tar -M: the tape just filled goes home, the next
# slot's comes in; volume N is in slot FIRST + N - 1.
cat >next-volume <<'EOF'
echo "next-volume: volume $TAR_VOLUME"
mtx unload $((FIRST + TAR_VOLUME - 2)) 0 && mtx load $((FIRST + TAR_VOLUME - 1)) 0
EOF

workflow 1 "dd past the end of a 2 MB tape"
line "dd if=big of=$tape bs=64k"
where
step mt -f $tape rewind
line "dd if=$tape of=back bs=64k"
line "cmp big back"
step mtx unload 1 0

workflow 1 "tar past the end of a 2 MB tape"
step tar -cf $tape big
where
step mtx unload 1 0

workflow 1 "mbuffer past the end of a 2 MB tape"
step mbuffer -q -i big -o $tape -s 64k
where
step mtx unload 1 0

workflow 2 "tar -M with a volume script onto two 2 MB tapes"
line "FIRST=2 tar -c -M -F 'sh next-volume' -f $tape big"
where
step mtx unload 3 0
step mtx load 2 0
mkdir extracted
line "cd extracted && FIRST=2 tar -x -M -F 'sh ../next-volume' -f $tape"
line "cmp big extracted/big"
step mtx unload 3 0

workflow 4 "fsr, bsr, fsf, bsf, fsfm, bsfm, eod and seek over two files of 3 and 2 blocks"
line "dd if=big of=$tape bs=10240 count=3"
line "dd if=big of=$tape bs=10240 count=2"
where
for op in rewind "fsr 2" tell "bsr 1" "bsr 5" "fsr 5" tell "fsr 1" "bsr 1" "fsf 1" "bsf 1" "bsf 1" "fsfm 1" "bsfm 1" \
  eod tell "bsr 1" "bsf 1" "bsf 5" "seek 4" tell "seek 9" tell "seek 0"; do
  # shellcheck disable=SC2086  # the operation and its count
  step mt -f $tape $op
  [ "$op" = tell ] || where
done
step mtx unload 4 0

workflow 4 "mt eod, bsf 1, then tar writes over the last tape mark"
step tar -cf $tape d1
step tar -cf $tape d2
step mt -f $tape eod
step mt -f $tape bsf 1
step tar -cf $tape d4
where
step mt -f $tape rewind
step tar -tf $tape
step mt -f $tape fsf 1
step tar -tf $tape
step mt -f $tape bsf 1
step mt -f $tape fsf 1
step tar -tif $tape
where
step mt -f $tape fsf 1
where
step mtx unload 4 0

workflow 4 "tar -r after a rewind"
step tar -cf $tape d1
step mt -f $tape rewind
step tar -rf $tape d4
where
step mt -f $tape rewind
step tar -tf $tape
step mtx unload 4 0

workflow 4 "tar -W verifies what it wrote"
step tar -cWf $tape d5
where
step mtx unload 4 0

workflow 5 "the drive's identity and block limits"
step tapeinfo -f $tape
step sg_inq -p 0x80 $tape
line "dd if=big of=$tape bs=3 count=1"
line "dd if=big of=$tape bs=1048580 count=1"
line "dd if=big of=$tape bs=1048576 count=1"
step mt -f $tape rewind
line "dd if=$tape of=got bs=2M count=1"
step mt -f $tape rewind
step tar -b 4096 -cf $tape d1
where
step mtx unload 5 0

workflow 5 "fixed-block mode after mt setblk 512"
step mt -f $tape setblk 512
where
line "dd if=big of=$tape bs=1000 count=1"
line "dd if=big of=$tape bs=512 count=4"
step mt -f $tape rewind
line "dd if=$tape of=got bs=512 count=2"
step wc -c got
line "dd if=$tape of=got bs=1000 count=1"
step wc -c got
step mt -f $tape setblk 0
where
step mtx unload 5 0

workflow 5 "a new open at end of data after a tape mark"
line "dd if=big of=$tape bs=64k count=1"
line "dd if=$tape of=/dev/null bs=64k"
where
line "dd if=$tape of=/dev/null bs=64k"
where
step mtx unload 5 0

workflow 5 "a dd per tape file, and new opens after a tape mark"
line "dd if=big of=$tape bs=64k count=1"
line "dd if=big of=$tape bs=64k count=2"
step mt -f $tape rewind
for file in 1 2 end after-end; do
  echo "# $file"
  line "dd if=$tape of=/dev/null bs=64k"
done
where
step mt -f $tape rewind
step mt -f $tape fsf 2
where
line "dd if=$tape of=/dev/null bs=64k"
line "dd if=$tape of=/dev/null bs=64k"
where
step mtx unload 5 0

# The default block size applies to the tape in the drive at once. A read
# that meets the end of data after a block (the tape ends without a tape
# mark: a write, then spacing back, which writes none) fails.
workflow 5 "mt defblksize 2048, and a fixed-block read at end of data"
step mt -f $tape defblksize 2048
where
line "dd if=big of=$tape bs=2048 count=2"
step mt -f $tape rewind
where
line "dd if=$tape of=got bs=4096 count=1"
step wc -c got
step mt -f $tape rewind
step tapeprobe $tape open:rw write:4096:5a bsr:1 read:4096 status close
where
step mt -f $tape setblk 0
where
step mt -f $tape defblksize 0
where
step mtx unload 5 0

workflow 5 "what st refuses: O_DIRECT, mmap, an exclusive create, execution"
line "dd if=big of=$tape bs=64k count=1 oflag=direct"
line "dd if=$tape of=/dev/null bs=64k iflag=direct"
step tapeprobe $tape open:ro:direct fopen:wx fopen:w open:ro mmap execveat close
where
step mtx unload 5 0

workflow 5 "the drive's sg node, found through sysfs"
line 'for d in /sys/class/scsi_tape/nst0/device/scsi_generic/*; do tapeinfo -f /dev/${d##*/}; sg_inq -p 0x80 /dev/${d##*/}; done'
step mtx unload 5 0

workflow 5 "the other st operations, as a drive without the feature answers them"
for op in stshowoptions retension lock unlock "compression 1" "setdensity 0x40" "setdensity 0" "drvbuffer 1" \
  "drvbuffer 0" "stsetoptions scsi2logical" stshowoptions "stclearoptions scsi2logical" "setpartition 1" \
  "mkpartition 1"; do
  # shellcheck disable=SC2086  # the operation and its argument
  step mt -f $tape $op
done
where
step mtx unload 5 0

workflow 6 "dump and restore of a small ext4 file system"
mkdir fs && cp -r d1 d2 fs/ || exit 1
line "mke2fs -q -F -t ext4 -d fs -U 6b1c0a6e-7a1f-4e43-9b2a-21d2f4a6c9c0 -E hash_seed=6b1c0a6e-7a1f-4e43-9b2a-21d2f4a6c9c0 fs.img 1024"
# dump reads a block device; without one (losetup needs root) the
# transcript says so and differs.
if loop=$(losetup -f --show fs.img 2>&1); then
  line "dump -0 -f $tape $loop"
  where
  step mt -f $tape rewind
  step restore -t -f $tape
  step mt -f $tape rewind
  mkdir restored
  line "cd restored && restore -r -f $tape"
  line "diff -r fs restored"
  losetup -d "$loop"
else
  echo "no loop device for dump: $loop"
fi
step mtx unload 6 0

workflow 7 "cpio and mbuffer within the tape"
line "find d1 d2 | cpio -o -H newc -O $tape"
step mt -f $tape rewind
step cpio -i -t -I $tape
step mt -f $tape rewind
step mbuffer -q -i d4/sub/numbers -o $tape -s 10k
step mt -f $tape rewind
step mbuffer -q -i $tape -o copy -s 10k
line "cmp d4/sub/numbers copy"
step mtx unload 7 0
