#include "preload/st/tape.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aws.h"
#include "drive_env.h"
#include "preload/core/config.h"
#include "preload/core/internal_descriptors.h"
#include "preload/core/real_libc.h"
#include "preload/image/position.h"
#include "preload/library/library.h"

namespace vtape::preload {

namespace {

// Largest transfer a READ(6) or WRITE(6) can describe: the 24-bit length.
constexpr size_t kMaxTransfer = 0xFFFFFF;
// MTWEOF without waiting for the drive, and st's newer option codes:
// linux/mtio.h has them, glibc's sys/mtio.h does not.
constexpr short kMtWeofImmediate = 35;
constexpr unsigned kMtStSysv = 0x1000;
constexpr unsigned kMtStNowait = 0x2000;
constexpr unsigned kMtStSili = 0x4000;
constexpr unsigned kMtStNowaitEof = 0x8000;
constexpr unsigned long kMtStTimeouts = 0x70000000;
constexpr unsigned long kMtStSetCln = 0x80000000;

// What a tape of a given size holds, counted as tgt's virtual tape counts
// it (the drive the kernel's answers were recorded on): the tape's own
// header, then each block's bytes and each tape mark with 48 bytes of
// header, which is the image's 6-byte header and 42 more.
constexpr uint64_t kTapeHeader = 1152;
constexpr uint64_t kRecordOverhead = 48 - kHeaderSize;

// The image's own calls, past this library's checks for the drive's
// descriptors.
ImageCalls ImageWrites() { return ImageCalls{libc.pwritev2, libc.fstat}; }

// The changer took the tape out while it was open, or the image was cut
// short or removed: the drive answers not ready, which st reports as an
// I/O error.
bool TapeGone(const Drive& drive) {
  DriveState& d = *drive.state;
  bool loaded = !d.no_medium && !d.unloaded && d.image_fd >= 0;
  if (loaded && !ImageIntact(drive.keeper, d.size)) return true;
  return d.in_library && !d.no_medium && !StillLoaded(d.number, d.changes);
}

bool NoTape(const DriveState& d) { return d.no_medium || d.unloaded; }

bool Option(const DriveState& d, unsigned option) { return (d.settings.options & option) != 0; }

uint64_t Used(const Place& p) {
  return kTapeHeader + static_cast<uint64_t>(p.offset) + kRecordOverhead * static_cast<uint64_t>(p.records);
}

// The tape physically ends a sixteenth of its size after the early warning.
uint64_t PhysicalEnd(const DriveState& d) { return d.capacity + d.capacity / 16; }

void SetEnd(Drive& drive, const Place& end) {
  drive.state->end = end;
  NoteEnd(drive.keeper, &end);
}

Counting CountingOf(const DriveState& d) {
  if (d.file_unknown) return Counting::kPositionLost;
  if (d.eof == Eof::kEndOfData) return Counting::kEndOfData;
  return d.block_unknown ? Counting::kBlockLost : Counting::kKnown;
}

// What a write keeps of st's count: a lost block number stays lost.
Counting WriteCounting(const DriveState& d) { return d.block_unknown ? Counting::kBlockLost : Counting::kKnown; }

// Takes the tape to `to`, where st knows what `eof` and `block_unknown`
// say, once the position record says so.
long MoveTo(Drive& drive, const Place& to, Eof eof, bool block_unknown) {
  DriveState& d = *drive.state;
  Eof was_eof = d.eof;
  bool was_unknown = d.block_unknown;
  d.eof = eof;
  d.block_unknown = block_unknown;
  if (!RecordPlace(drive.keeper, to, CountingOf(d))) {
    d.eof = was_eof;
    d.block_unknown = was_unknown;
    return -EIO;
  }
  d.at = to;
  return 0;
}

// Where damage stops the tape: st knows no more than before.
void StopAt(Drive& drive, const Place& at) { MoveTo(drive, at, drive.state->eof, drive.state->block_unknown); }

long Rewind(Drive& drive) {
  DriveState& d = *drive.state;
  if (d.at.offset != 0) Spend(Motion::kRewind);
  bool was_unknown = d.file_unknown;
  d.file_unknown = false;
  long r = MoveTo(drive, Place{}, Eof::kNone, false);
  if (r < 0) d.file_unknown = was_unknown;
  return r;
}

// Puts `count` tape marks at the position, the new end of data.
long WriteMarks(Drive& drive, long count) {
  DriveState& d = *drive.state;
  for (long i = 0; i < count; ++i) {
    off_t next;
    if (!StartWrite(drive.keeper, d.at, WriteCounting(d), &d.size)) return -EIO;
    if (!WriteTapeMark(ImageWrites(), d.image_fd, d.at.offset, d.at.prev, &next)) return -EIO;
    Pass(&d.at, true, next, 0);
    d.size = next;
    SetEnd(drive, d.at);
  }
  d.eof = Eof::kNone;
  d.block_unknown = false;
  return 0;
}

// Reads the record at `at` without its data; false, with the tape stopped
// at `at`, on damage.
bool Peek(Drive& drive, const Place& at, Record* rec) {
  DriveState& d = *drive.state;
  if (ReadRecord(d.image_fd, at.offset, d.size, at.prev, nullptr, 0, rec) && rec->kind != RecordKind::kCorrupt) {
    return true;
  }
  StopAt(drive, at);
  return false;
}

// The record before `at` (not BOT); false, with the tape stopped at `at`,
// on damage.
bool PeekBack(Drive& drive, const Place& at, Record* rec) {
  DriveState& d = *drive.state;
  if (ReadRecordBefore(d.image_fd, at.offset, at.prev, rec) && rec->kind != RecordKind::kCorrupt) return true;
  StopAt(drive, at);
  return false;
}

// Moves `at` back over the record `rec` that ends there.
void PassBack(Place* at, const Record& rec) {
  at->offset = rec.next;
  at->prev = rec.last_length;
  --at->records;
  if (rec.kind == RecordKind::kTapeMark) {
    --at->file;
  } else {
    --at->block;
  }
}

// Walks forward from `from` past `marks` tape marks (0: to the end of
// data): where the walk stopped, and whether it met damage, in which case
// the tape stops there and the caller fails with EIO.
bool WalkFrom(Drive& drive, const Place& from, long marks, Place* to, bool* at_end) {
  DriveState& d = *drive.state;
  Walk walk;
  if (!WalkRecords(d.image_fd, from.offset, d.size, from.prev, marks, &walk)) {
    StopAt(drive, d.at);
    return false;
  }
  *to = from;
  to->block = walk.marks > 0 ? walk.blocks : from.block + walk.blocks;
  to->offset = walk.offset;
  to->prev = walk.prev;
  to->file += walk.marks;
  to->records += walk.records;
  if (walk.damaged) {
    StopAt(drive, *to);
    return false;
  }
  *at_end = marks == 0 || walk.marks < marks;
  return true;
}

// Spaces forward over `count` filemarks; at end of data the tape stays
// there and the call fails.
long SpaceFileMarks(Drive& drive, long count) {
  DriveState& d = *drive.state;
  if (count == 0) return 0;
  Place at;
  // A file spaced over before, in this image as it is, is not walked again.
  if (KnownMark(drive.keeper, d.at.file + count, &at)) return MoveTo(drive, at, Eof::kFileMark, false);
  bool at_end;
  if (!WalkFrom(drive, d.at, count, &at, &at_end)) return -EIO;
  if (at_end) {
    SetEnd(drive, at);
    MoveTo(drive, at, Eof::kEndOfData, true);
    return -EIO;
  }
  LearnMark(drive.keeper, at);
  return MoveTo(drive, at, Eof::kFileMark, false);
}

// Spaces forward over `count` blocks; a tape mark stops the tape after it
// and end of data at it, and the call fails.
long SpaceBlocks(Drive& drive, long count) {
  DriveState& d = *drive.state;
  Place at = d.at;
  bool lost = d.block_unknown;
  for (long done = 0; done < count; ++done) {
    Record rec;
    if (!Peek(drive, at, &rec)) return -EIO;
    if (rec.kind == RecordKind::kEnd) {
      MoveTo(drive, at, Eof::kEndOfData, lost);
      return -EIO;
    }
    Pass(&at, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
    if (rec.kind == RecordKind::kTapeMark) {
      MoveTo(drive, at, Eof::kFileMark, false);
      return -EIO;
    }
  }
  return MoveTo(drive, at, Eof::kNone, lost);
}

// Spaces back over `count` filemarks (`marks`), stopping before the last
// of them, or over `count` blocks, where a tape mark stops the tape before
// it and the call fails. At BOT the call fails.
long SpaceBack(Drive& drive, long count, bool marks) {
  DriveState& d = *drive.state;
  Place at = d.at;
  for (long done = 0; done < count;) {
    if (at.offset == 0) {
      MoveTo(drive, Place{}, Eof::kNone, false);
      return -EIO;
    }
    Record rec;
    if (!PeekBack(drive, at, &rec)) return -EIO;
    PassBack(&at, rec);
    bool mark = rec.kind == RecordKind::kTapeMark;
    if (mark && !marks) {
      MoveTo(drive, at, Eof::kNone, true);
      return -EIO;
    }
    if (mark || !marks) ++done;
  }
  return MoveTo(drive, at, Eof::kNone, (marks && count > 0) || d.block_unknown);
}

long SpaceToEnd(Drive& drive, long) {
  DriveState& d = *drive.state;
  // The drive knows where its data ends, as a cartridge's memory tells it.
  Place at;
  bool at_end;
  if (!WalkFrom(drive, d.end.offset >= d.at.offset ? d.end : d.at, 0, &at, &at_end)) return -EIO;
  SetEnd(drive, at);
  if (Option(d, MT_ST_FAST_MTEOM)) d.file_unknown = true;
  return MoveTo(drive, at, Eof::kEndOfData, true);
}

// Locates logical object `target` (blocks and tape marks from BOT); st
// knows neither file nor block number afterwards, except at BOT.
long Seek(Drive& drive, long target) {
  DriveState& d = *drive.state;
  if (target < 0) return -EINVAL;
  Place at = target >= d.at.records ? d.at : Place{};
  while (at.records < target) {
    Record rec;
    if (!Peek(drive, at, &rec)) return -EIO;
    if (rec.kind == RecordKind::kEnd) {
      SetEnd(drive, at);
      d.file_unknown = true;
      MoveTo(drive, at, Eof::kEndOfData, true);
      return -EIO;
    }
    Pass(&at, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
  }
  if (target == 0) return Rewind(drive);
  d.file_unknown = true;
  return MoveTo(drive, at, Eof::kNone, true);
}

// ERASE from the position to the end of the tape; st then counts from BOT,
// where the drive leaves the tape.
long Erase(Drive& drive, long) {
  DriveState& d = *drive.state;
  if (!StartWrite(drive.keeper, d.at, WriteCounting(d), &d.size)) return -EIO;
  SetEnd(drive, d.at);
  return Rewind(drive);
}

long Unload(Drive& drive, long) {
  DriveState& d = *drive.state;
  if (d.in_library) SetDoorLock(d.number, false);
  long r = Rewind(drive);
  if (r == 0) d.unloaded = true;
  return r;
}

long Load(Drive& drive, long) {
  DriveState& d = *drive.state;
  d.unloaded = false;
  return Rewind(drive);
}

long ChangeSettings(Drive& drive, const Settings& settings) {
  DriveState& d = *drive.state;
  // Without a tape there is no record beside one: st sets its options
  // before any check that the drive is ready, and so does this open.
  if (!NoTape(d) && !RecordSettings(drive.keeper, settings)) return -EIO;
  d.settings = settings;
  return 0;
}

long SetBlockSize(Drive& drive, long size) {
  DriveState& d = *drive.state;
  long blksize = size & MT_ST_BLKSIZE_MASK;
  if (blksize != 0 && !Option(d, MT_ST_NO_BLKLIMS) &&
      (static_cast<size_t>(blksize) < d.min_block || static_cast<size_t>(blksize) > d.max_block)) {
    return -EINVAL;
  }
  if (SetblkFails()) return -EIO;
  Settings s = d.settings;
  s.block_size = blksize;
  return ChangeSettings(drive, s);
}

// The mode's default block size: st sets it on a loaded tape at once, as
// MTSETBLK would, and the tape keeps it until MTSETBLK changes it. A size
// the drive refuses leaves the mode as it was, and st does not say so.
long SetDefaultBlockSize(Drive& drive, unsigned size) {
  constexpr unsigned kDisabled = ~static_cast<unsigned>(MT_ST_OPTIONS);
  const DriveState& d = *drive.state;
  if (size == kDisabled || NoTape(d)) return 0;
  bool fits = size == 0 || Option(d, MT_ST_NO_BLKLIMS) || (size >= d.min_block && size <= d.max_block);
  if (!fits || size > MT_ST_BLKSIZE_MASK) return 0;
  Settings s = d.settings;
  s.block_size = static_cast<long>(size);
  return ChangeSettings(drive, s);
}

// MTSETDRVBUFFER with an MT_ST_* code: st's own options, kept as st keeps
// them. The other defaults and the timeouts of the mode are taken and not
// kept: no answer of the drive depends on them.
long SetOptions(Drive& drive, long value) {
  DriveState& d = *drive.state;
  constexpr unsigned kBooleans = MT_ST_BUFFER_WRITES | MT_ST_ASYNC_WRITES | MT_ST_READ_AHEAD | MT_ST_DEBUGGING |
                                 MT_ST_TWO_FM | MT_ST_FAST_MTEOM | MT_ST_AUTO_LOCK | MT_ST_DEF_WRITES |
                                 MT_ST_CAN_BSR | MT_ST_NO_BLKLIMS | MT_ST_CAN_PARTITIONS | MT_ST_SCSI2LOGICAL |
                                 kMtStSysv | kMtStNowait | kMtStSili | kMtStNowaitEof;
  Settings s = d.settings;
  unsigned bits = static_cast<unsigned>(value) & kBooleans;
  switch (static_cast<unsigned long>(value) & MT_ST_OPTIONS) {
    case MT_ST_BOOLEANS:
      s.options = bits;
      break;
    case MT_ST_SETBOOLEANS:
      s.options |= bits;
      break;
    case MT_ST_CLEARBOOLEANS:
      s.options &= ~bits;
      break;
    case MT_ST_DEF_BLKSIZE:
      return SetDefaultBlockSize(drive, static_cast<unsigned>(value) & ~static_cast<unsigned>(MT_ST_OPTIONS));
    case MT_ST_WRITE_THRESHOLD:
    case kMtStTimeouts:
    case kMtStSetCln:
    case MT_ST_DEF_OPTIONS:
      return 0;
    default:
      return -EIO;
  }
  // Partitions need a drive that has them; this one has none.
  s.options &= ~static_cast<unsigned>(MT_ST_CAN_PARTITIONS);
  return ChangeSettings(drive, s);
}

long SetDriveBuffer(Drive& drive, long count) {
  DriveState& d = *drive.state;
  Settings s = d.settings;
  s.drive_buffer = static_cast<int>(count & 7);
  return ChangeSettings(drive, s);
}

long SetDensity(Drive& drive, long count) {
  DriveState& d = *drive.state;
  Settings s = d.settings;
  s.density = static_cast<int>(count);
  return ChangeSettings(drive, s);
}

long DoorLock(Drive& drive, bool locked) {
  return drive.state->in_library ? SetDoorLock(drive.state->number, locked) : 0;
}

// The operations of MTIOCTOP, each on the count it was given (after the
// filemark st writes first, if any).

long Nothing(Drive&, long) { return 0; }
// What the drive rejects: no compression page (st finds none and fails),
// no setmarks, no spacing over them.
long Rejected(Drive&, long) { return -EIO; }
long NoPartitions(Drive&, long) { return -EINVAL; }
long NoSuchOperation(Drive&, long) { return -ENOSYS; }
long RewindTape(Drive& drive, long) { return RewindFails() ? -EIO : Rewind(drive); }
long Retension(Drive& drive, long) { return Rewind(drive); }
long SetDriveBufferOrOptions(Drive& drive, long count) {
  return (count & MT_ST_OPTIONS) != 0 ? SetOptions(drive, count) : SetDriveBuffer(drive, count);
}
long WriteFileMarks(Drive& drive, long count) { return g_config.fail_weof ? -EIO : WriteMarks(drive, count); }
long BackFiles(Drive& drive, long count) { return SpaceBack(drive, count, true); }
long ForwardFilesBeforeMark(Drive& drive, long count) {
  long r = SpaceFileMarks(drive, count);
  return r < 0 ? r : SpaceBack(drive, 1, true);
}
long BackFilesAfterMark(Drive& drive, long count) {
  long r = SpaceBack(drive, count, true);
  return r < 0 ? r : SpaceFileMarks(drive, 1);
}
long BackBlocks(Drive& drive, long count) { return SpaceBack(drive, count, false); }
// st sends PREVENT ALLOW MEDIUM REMOVAL; in a library it keeps the changer
// from taking the tape.
long LockDoor(Drive& drive, long) { return DoorLock(drive, true); }
long UnlockDoor(Drive& drive, long) { return DoorLock(drive, false); }

// When an operation goes ahead with no tape in the drive.
enum class WithoutTape { kNever, kAlways, kAfterUnload, kForStOptions };

// What st checks and does before an operation, as bits.
constexpr unsigned kAdminOnly = 1;    // refused to anyone without CAP_SYS_ADMIN, before all else
constexpr unsigned kMarkFirst = 2;    // after a write, the filemark goes on tape first
constexpr unsigned kOverMark = 4;     // ... and the count spaces back over it too
constexpr unsigned kKeepsWrite = 8;   // the filemark a write owes the close is still owed after it
constexpr unsigned kWrites = 16;      // refused on a read-only open or a write-protected tape
constexpr unsigned kNoNegative = 32;  // a negative count is refused

struct Operation {
  short op;
  WithoutTape without;
  unsigned checks;
  long (*run)(Drive& drive, long count);
};

using enum WithoutTape;

// One row an operation, in the spirit of mt-st's table.
constexpr Operation kOperations[] = {
    {MTNOP, kNever, kKeepsWrite, Nothing},
    {MTSETBLK, kNever, kKeepsWrite, SetBlockSize},
    {MTSETDENSITY, kNever, kKeepsWrite, SetDensity},
    {MTSETDRVBUFFER, kForStOptions, kAdminOnly | kKeepsWrite, SetDriveBufferOrOptions},
    {MTCOMPRESSION, kNever, 0, Rejected},
    {MTREW, kNever, kMarkFirst, RewindTape},
    {MTRETEN, kNever, 0, Retension},
    {MTOFFL, kNever, kMarkFirst, Unload},
    {MTUNLOAD, kNever, 0, Unload},
    {MTLOAD, kAfterUnload, 0, Load},
    {MTWEOF, kNever, kWrites | kNoNegative, WriteFileMarks},
    {kMtWeofImmediate, kNever, kWrites | kNoNegative, WriteFileMarks},
    {MTWSM, kNever, kWrites | kKeepsWrite, Rejected},
    {MTFSS, kNever, 0, Rejected},
    {MTBSS, kNever, 0, Rejected},
    {MTFSF, kNever, kNoNegative, SpaceFileMarks},
    {MTBSF, kNever, kMarkFirst | kOverMark | kNoNegative, BackFiles},
    {MTFSFM, kNever, kNoNegative, ForwardFilesBeforeMark},
    {MTBSFM, kNever, kMarkFirst | kOverMark | kNoNegative, BackFilesAfterMark},
    {MTFSR, kNever, kNoNegative, SpaceBlocks},
    {MTBSR, kNever, kNoNegative, BackBlocks},
    {MTEOM, kNever, 0, SpaceToEnd},
    {MTSEEK, kNever, kMarkFirst, Seek},
    {MTERASE, kNever, kWrites, Erase},
    {MTSETPART, kNever, kKeepsWrite, NoPartitions},
    {MTMKPART, kNever, 0, NoPartitions},
    {MTLOCK, kAlways, 0, LockDoor},
    {MTUNLOCK, kAlways, 0, UnlockDoor},
};

const Operation& OperationOf(short op) {
  static constexpr Operation kUnknown = {0, kNever, 0, NoSuchOperation};
  for (const Operation& o : kOperations) {
    if (o.op == op) return o;
  }
  return kUnknown;
}

bool GoesWithoutTape(const Operation& o, const DriveState& d, long count) {
  switch (o.without) {
    case kAlways: return true;
    case kAfterUnload: return d.unloaded;
    case kForStOptions: return (count & MT_ST_OPTIONS) != 0;
    case kNever: return false;
  }
  return false;
}

long TapeOp(Drive& drive, const mtop& op) {
  DriveState& d = *drive.state;
  const Operation& o = OperationOf(op.mt_op);
  long count = op.mt_count;
  if ((o.checks & kAdminOnly) != 0 && geteuid() != 0) return -EPERM;
  if (NoTape(d) && !GoesWithoutTape(o, d, count)) return -ENOMEDIUM;
  if (d.pending_write && (o.checks & kMarkFirst) != 0) {
    if (g_config.fail_weof) return -EIO;
    long r = WriteMarks(drive, 1);
    if (r < 0) return r;
    if ((o.checks & kOverMark) != 0) ++count;
  }
  if ((o.checks & kKeepsWrite) == 0) d.pending_write = false;
  if ((o.checks & kWrites) != 0 && (d.read_only || d.write_protected)) return -EACCES;
  if ((o.checks & kNoNegative) != 0 && count < 0) return -EINVAL;
  return o.run(drive, count);
}

long TapeStatus(Drive& drive, mtget* status) {
  DriveState& d = *drive.state;
  *status = mtget{};
  status->mt_type = MT_ISSCSI2;
  const Settings& s = d.settings;
  status->mt_dsreg = ((s.block_size << MT_ST_BLKSIZE_SHIFT) & MT_ST_BLKSIZE_MASK) |
                     ((static_cast<long>(s.density) << MT_ST_DENSITY_SHIFT) & MT_ST_DENSITY_MASK);
  long gstat = 0;
  if (Option(d, MT_ST_ASYNC_WRITES) || (Option(d, MT_ST_BUFFER_WRITES) && s.block_size != 0) || s.drive_buffer != 0) {
    gstat |= GMT_IM_REP_EN(~0L);
  }
  if (s.density >= 1 && s.density <= 3) {
    constexpr long kDensityBits[] = {GMT_D_800(~0L), GMT_D_1600(~0L), GMT_D_6250(~0L)};
    gstat |= kDensityBits[s.density - 1];
  }
  if (NoTape(d)) {
    status->mt_fileno = status->mt_blkno = -1;
    status->mt_gstat = gstat | GMT_DR_OPEN(~0L);
    return 0;
  }
  status->mt_fileno = d.file_unknown ? -1 : d.at.file;
  status->mt_blkno = d.block_unknown ? -1 : d.at.block;
  gstat |= GMT_ONLINE(~0L);
  if (d.write_protected) gstat |= GMT_WR_PROT(~0L);
  if (status->mt_blkno == 0) gstat |= status->mt_fileno == 0 ? GMT_BOT(~0L) : GMT_EOF(~0L);
  if (d.eof == Eof::kEarlyWarning) gstat |= GMT_EOT(~0L);
  if (d.eof == Eof::kSpaceRefused || d.eof == Eof::kEndOfData) gstat |= GMT_EOD(~0L);
  status->mt_gstat = gstat;
  return 0;
}

constexpr long kNoImage = -ENOENT;

// Opens the image for an open of the drive and takes the drive for this
// open. Returns the descriptor; kNoImage when there is no image (no tape);
// EIO when it cannot be used, EBUSY when another open holds it. Only a
// regular file is ever opened: a FIFO would block the open, and a device
// node in the image's place must not be touched.
long OpenImage(const char* image, bool read_only, bool* write_protected, off_t* size) {
  struct stat st;
  if (libc.stat(image, &st) != 0) return errno == ENOENT ? kNoImage : -EIO;
  if (!S_ISREG(st.st_mode)) return -EIO;
  int fd = libc.open(image, (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && !read_only && (errno == EACCES || errno == EROFS)) {
    *write_protected = true;
    fd = libc.open(image, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  }
  if (fd < 0) return errno == ENOENT ? kNoImage : -EIO;
  // A tape read through a read-only open is write-protected all the same
  // when it could not be written, as the drive reports WR_PROT.
  if (read_only && libc.faccessat(AT_FDCWD, image, W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS)) {
    *write_protected = true;
  }
  // Checked again on what was opened, in case the name changed hands.
  if (libc.fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    libc.close(fd);
    return -EIO;
  }
  *size = st.st_size;
  if ((st.st_mode & 0222) == 0) *write_protected = true;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    libc.close(fd);
    return -EBUSY;
  }
  return MoveHigh(fd);
}

// The capacity `vtape create --size` left beside the image; 0 (no end)
// without one.
uint64_t CapacityOf(const char* image) {
  char path[PATH_MAX + 16];
  snprintf(path, sizeof path, "%s%s", image, kCapacitySuffix);
  int fd = libc.open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32];
  ssize_t n = libc.read(fd, text, sizeof text - 1);
  libc.close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  text[strcspn(text, "\n")] = '\0';
  uint64_t bytes;
  return ParseSize(text, &bytes) ? bytes : 0;
}

}  // namespace

long FindTape(const Drive& drive, int flags, Medium* m) {
  // A character device has no direct I/O: the kernel refuses the open
  // before st sees it.
  if ((flags & O_DIRECT) != 0) return -EINVAL;
  const Config& c = g_config;
  if (c.fail_open != 0) return -c.fail_open;
  if (drive.state != nullptr && drive.state->in_use) return -EBUSY;
  bool read_only = (flags & O_ACCMODE) == O_RDONLY;
  bool nonblock = (flags & O_NONBLOCK) != 0;
  m->no_medium = c.no_medium || (c.image[0] == '\0' && !InLibrary());
  m->write_protected = c.write_protect;
  memcpy(m->image, c.image, sizeof m->image);
  m->changes = 0;
  m->image_fd = -1;
  m->size = 0;
  if (InLibrary() && !m->no_medium) {
    bool protected_tape = false;
    long found = CartridgeIn(drive.number, m->image, sizeof m->image, &protected_tape, &m->changes);
    if (found == -ENOMEDIUM) {
      m->no_medium = true;
    } else if (found < 0) {
      return found;
    } else {
      m->write_protected = m->write_protected || protected_tape;
    }
  }
  if (!m->no_medium) {
    long r = OpenImage(m->image, read_only, &m->write_protected, &m->size);
    if (r == kNoImage) {
      m->no_medium = true;
    } else if (r < 0) {
      return r;
    } else {
      m->image_fd = static_cast<int>(r);
    }
  }
  long error = 0;
  if (m->no_medium && !nonblock) {
    error = -ENOMEDIUM;
  } else if (m->write_protected && !read_only && !nonblock) {
    error = -EROFS;
  }
  if (error != 0) DropTape(*m);
  return error;
}

void DropTape(const Medium& m) {
  if (m.image_fd >= 0) libc.close(m.image_fd);
}

long StartOpen(Drive& drive, const Medium& m, bool rewinding, int flags) {
  DriveState& d = *drive.state;
  const Config& c = g_config;
  d = DriveState{};
  d.in_use = true;
  memcpy(d.image, m.image, sizeof d.image);
  d.in_library = InLibrary();
  d.number = drive.number;
  d.changes = m.changes;
  d.image_fd = m.image_fd;
  d.read_only = (flags & O_ACCMODE) == O_RDONLY;
  d.write_only = (flags & O_ACCMODE) == O_WRONLY;
  d.rewinding = rewinding;
  d.no_medium = m.no_medium;
  d.write_protected = m.write_protected;
  d.size = m.size;
  d.settings = DefaultSettings();
  d.end.offset = -1;
  d.min_block = c.min_block;
  d.max_block = c.max_block;
  Counting counting = Counting::kKnown;
  if (!m.no_medium) {
    if (!OpenRecord(drive.keeper, d.image, m.image_fd, rewinding, &d.at, &counting, &d.size, &d.settings, &d.end)) {
      DropTape(m);
      d = DriveState{};
      return -EIO;
    }
    d.capacity = CapacityOf(d.image);
  }
  // st keeps what it knew through the last close of the non-rewinding name.
  d.block_unknown =
      counting == Counting::kBlockLost || counting == Counting::kEndOfData || counting == Counting::kPositionLost;
  d.file_unknown = counting == Counting::kPositionLost;
  if (counting == Counting::kEndOfData) d.eof = Eof::kEndOfData;
  if (counting == Counting::kAfterMark) d.eof = Eof::kFileMark;
  return 0;
}

namespace {

// The checks st makes of a transfer before the tape moves: within the
// block limits in variable-block mode, whole blocks in fixed-block mode.
long CheckTransfer(const DriveState& d, size_t count, bool reading) {
  long block = d.settings.block_size;
  if (block != 0) {
    bool read_ahead = reading && Option(d, MT_ST_READ_AHEAD);
    return count % static_cast<size_t>(block) == 0 || read_ahead ? 0 : -EINVAL;
  }
  if (count > kMaxTransfer) return -EINVAL;
  if (!Option(d, MT_ST_NO_BLKLIMS) && (count < d.min_block || count > d.max_block)) return -EINVAL;
  return 0;
}

// st empties its read-ahead buffer before anything else moves the tape:
// the block it had begun to hand out counts as read.
long FlushReadAhead(Drive& drive) {
  DriveState& d = *drive.state;
  if (d.partial == 0) return 0;
  Record rec;
  if (!Peek(drive, d.at, &rec)) return -EIO;
  Place next = d.at;
  Pass(&next, false, rec.next, rec.last_length);
  d.partial = 0;
  return MoveTo(drive, next, d.eof, d.block_unknown);
}

// What a read or write goes through before the tape: the VFS's check of
// the access mode (`wrong_direction`), then st's rw_checks. 1 when the
// call goes on to the tape.
long RwChecks(Drive& drive, bool wrong_direction, size_t count, bool reading) {
  const DriveState& d = *drive.state;
  if (wrong_direction) return -EBADF;
  if (NoTape(d)) return -ENOMEDIUM;
  if (TapeGone(drive)) return -EIO;
  Spend(Motion::kBlock, count);
  if (count == 0) return 0;
  long refused = CheckTransfer(d, count, reading);
  return refused < 0 ? refused : 1;
}

// A read at end of data: only the first one right after a filemark sees 0.
long ReadAtEnd(Drive& drive) {
  DriveState& d = *drive.state;
  bool after_mark = d.eof == Eof::kFileMark;
  SetEnd(drive, d.at);
  if (MoveTo(drive, d.at, after_mark ? Eof::kEndOfData : d.eof, true) < 0 || !after_mark) return -EIO;
  return 0;
}

long ReadVariable(Drive& drive, void* buf, size_t count) {
  DriveState& d = *drive.state;
  Record rec;
  if (!ReadRecord(d.image_fd, d.at.offset, d.size, d.at.prev, buf, count, &rec)) return -EIO;
  if (rec.kind == RecordKind::kCorrupt) return -EIO;
  if (rec.kind == RecordKind::kEnd) return ReadAtEnd(drive);
  // A longer block is passed over all the same, as st does.
  Place next = d.at;
  bool tape_mark = rec.kind == RecordKind::kTapeMark;
  Pass(&next, tape_mark, rec.next, rec.last_length);
  if (MoveTo(drive, next, tape_mark ? Eof::kFileMark : d.eof, !tape_mark && d.block_unknown) < 0) return -EIO;
  if (tape_mark) return 0;
  if (rec.length > count) return -ENOMEM;
  d.eof = Eof::kNone;
  return static_cast<long>(rec.length);
}

// Fixed-block mode: the blocks' bytes in order. A tape mark after some
// bytes ends the read, and the next read returns its 0; a block of another
// size fails the read if it comes first, and the tape stays before it
// either way. A read that ends inside a block leaves the rest of it in
// st's read-ahead buffer for the next read.
long ReadFixed(Drive& drive, void* buf, size_t count) {
  DriveState& d = *drive.state;
  size_t block = static_cast<size_t>(d.settings.block_size);
  unsigned char* out = static_cast<unsigned char*>(buf);
  unsigned char* part = nullptr;  // a block only partly handed out
  size_t done = 0, partial = d.partial;
  Place at = d.at;
  long result = 0;
  while (done < count) {
    bool whole = partial == 0 && count - done >= block;
    if (!whole && part == nullptr && (part = static_cast<unsigned char*>(malloc(block))) == nullptr) {
      result = -ENOMEM;
      break;
    }
    Record rec;
    if (!ReadRecord(d.image_fd, at.offset, d.size, at.prev, whole ? out + done : part, block, &rec) ||
        rec.kind == RecordKind::kCorrupt) {
      StopAt(drive, at);
      result = -EIO;
      break;
    }
    if (rec.kind == RecordKind::kEnd) {
      if (done == 0 && partial == 0) {
        result = ReadAtEnd(drive);
      } else {
        // st drops what came before the blank check, and only counts the
        // end of data it met when a read of nothing reports it.
        SetEnd(drive, at);
        d.partial = 0;
        MoveTo(drive, at, d.eof == Eof::kEndOfData ? d.eof : Eof::kNone, true);
        result = -EIO;
      }
      break;
    }
    if (rec.kind == RecordKind::kTapeMark) {
      if (done > 0) break;
      Pass(&at, true, rec.next, rec.last_length);
      result = MoveTo(drive, at, Eof::kFileMark, false);
      break;
    }
    if (rec.length != block) {
      if (done == 0) StopAt(drive, at);
      result = done == 0 ? -EIO : 0;
      break;
    }
    size_t take = std::min(block - partial, count - done);
    if (!whole) memcpy(out + done, part + partial, take);
    done += take;
    partial += take;
    if (partial == block) {
      Pass(&at, false, rec.next, rec.last_length);
      partial = 0;
    }
  }
  free(part);
  if (result != 0 || done == 0) return result;
  if (MoveTo(drive, at, Eof::kNone, d.block_unknown) < 0) return -EIO;
  d.partial = partial;
  return static_cast<long>(done);
}

// Writes `length` bytes as one block, or as blocks of the fixed size, in
// as few calls as the segments allow.
bool WriteBlocks(Drive& drive, const void* buf, size_t length) {
  DriveState& d = *drive.state;
  size_t block = d.settings.block_size != 0 ? static_cast<size_t>(d.settings.block_size) : length;
  size_t count = block == 0 ? 0 : length / block;
  if (!StartWrite(drive.keeper, d.at, WriteCounting(d), &d.size)) return false;
  off_t next;
  uint16_t last;
  if (count > 0 &&
      !vtape::WriteBlocks(ImageWrites(), d.image_fd, d.at.offset, d.at.prev, buf, block, count, &next, &last)) {
    return false;
  }
  off_t record = static_cast<off_t>(block + kHeaderSize * ((block + kMaxSegment - 1) / kMaxSegment));
  for (size_t i = 0; i < count; ++i) Pass(&d.at, false, d.at.offset + record, last);
  if (count > 0) d.size = d.at.offset;
  SetEnd(drive, d.at);
  return true;
}

// Bytes of tape `length` bytes of writing take.
uint64_t Cost(const DriveState& d, size_t length) {
  size_t block = d.settings.block_size != 0 ? static_cast<size_t>(d.settings.block_size) : length;
  uint64_t blocks = block == 0 ? 0 : length / block;
  return blocks * (block + kHeaderSize * ((block + kMaxSegment - 1) / kMaxSegment) + kRecordOverhead);
}

}  // namespace

long TapeRead(Drive& drive, void* buf, size_t count) {
  if (drive.state == nullptr) return -EBADF;
  DriveState& d = *drive.state;
  long checked = RwChecks(drive, d.write_only, count, true);
  if (checked <= 0) return checked;
  d.pending_write = false;
  if (ReadFails()) return -EIO;
  if (d.eof == Eof::kSpaceRefused) {
    d.eof = Eof::kEndOfData;
    return 0;
  }
  if (d.eof == Eof::kEndOfData) return -EIO;
  return d.settings.block_size != 0 ? ReadFixed(drive, buf, count) : ReadVariable(drive, buf, count);
}

long TapeWrite(Drive& drive, const void* buf, size_t count) {
  if (drive.state == nullptr) return -EBADF;
  DriveState& d = *drive.state;
  long checked = RwChecks(drive, d.read_only, count, false);
  if (checked <= 0) return checked;
  if (d.write_protected) return -EACCES;
  if (FlushReadAhead(drive) < 0) return -EIO;
  // After the early warning st refuses every other write, so that a
  // program sees ENOSPC and can finish the tape with what follows.
  if (d.eof == Eof::kEarlyWarning) {
    d.eof = Eof::kSpaceRefused;
    return -ENOSPC;
  }
  // st marks the direction before the transfer, so even a failed write
  // earns the filemark at close.
  d.pending_write = true;
  size_t length;
  if (!NextWrite(count, &length)) return -EIO;
  if (d.capacity != 0 && Used(d.at) + Cost(d, length) > PhysicalEnd(d)) {
    // The drive reports the physical end with nothing written.
    d.eof = Eof::kEarlyWarning;
    return -ENOSPC;
  }
  if (d.settings.block_size != 0) length -= length % static_cast<size_t>(d.settings.block_size);
  if (!WriteBlocks(drive, buf, length)) return -EIO;
  d.eof = d.capacity != 0 && Used(d.at) > d.capacity ? Eof::kEarlyWarning : Eof::kNone;
  return static_cast<long>(length);
}

long TapeIoctl(Drive& drive, unsigned long request, void* arg) {
  if (drive.state == nullptr) return -EBADF;
  auto is = [request](unsigned long known) {
    return _IOC_TYPE(request) == _IOC_TYPE(known) && _IOC_NR(request) == _IOC_NR(known);
  };
  if (TapeGone(drive)) {
    // The door is the drive's: it locks and unlocks whatever the changer
    // has left in the drive since the open, or an open that locked it
    // could never unlock it again.
    mtop op{};
    if (is(MTIOCTOP) && _IOC_SIZE(request) == sizeof op && arg != nullptr) memcpy(&op, arg, sizeof op);
    return op.mt_op == MTLOCK || op.mt_op == MTUNLOCK ? DoorLock(drive, op.mt_op == MTLOCK) : -EIO;
  }
  if (!is(MTIOCTOP) && !is(MTIOCGET) && !is(MTIOCPOS)) return -ENOTTY;
  if (FlushReadAhead(drive) < 0) return -EIO;
  if (is(MTIOCTOP)) {
    if (_IOC_SIZE(request) != sizeof(mtop)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    mtop op;
    memcpy(&op, arg, sizeof op);
    return TapeOp(drive, op);
  }
  if (is(MTIOCGET)) {
    if (_IOC_SIZE(request) != sizeof(mtget)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    return TapeStatus(drive, static_cast<mtget*>(arg));
  }
  if (_IOC_SIZE(request) != sizeof(mtpos)) return -EINVAL;
  if (arg == nullptr) return -EFAULT;
  if (NoTape(*drive.state)) return -EIO;
  static_cast<mtpos*>(arg)->mt_blkno = drive.state->at.records;
  return 0;
}

namespace {

// The tape in a drive this process does not hold: false without one.
bool IdleTape(int drive, char (&image)[PATH_MAX], bool* write_protected) {
  uint64_t changes;
  *write_protected = g_config.write_protect;
  if (!InLibrary()) {
    snprintf(image, sizeof image, "%s", g_config.image);
  } else if (CartridgeIn(drive, image, sizeof image, write_protected, &changes) < 0) {
    image[0] = '\0';
  }
  struct stat st;
  return !g_config.no_medium && image[0] != '\0' && libc.stat(image, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

DriveParameters CurrentParameters(const Drive& drive) {
  if (drive.state != nullptr && drive.state->in_use) {
    const DriveState& d = *drive.state;
    const Settings s = !NoTape(d) ? d.settings : DefaultSettings();
    return DriveParameters{d.min_block,    d.max_block,       s.block_size, s.density,         false,
                           s.drive_buffer, d.write_protected, !NoTape(d),   d.settings.options};
  }
  // What the drive itself knows of a tape no open holds: the mode st left
  // it in, kept with the tape.
  char image[PATH_MAX];
  bool write_protected;
  bool loaded = IdleTape(drive.number, image, &write_protected);
  const Settings s = loaded ? KeptSettings(image) : DefaultSettings();
  return DriveParameters{g_config.min_block, g_config.max_block, s.block_size, s.density, false,
                         s.drive_buffer,     write_protected,    loaded,       s.options};
}

long TapeRecords(const Drive& drive) {
  if (drive.state != nullptr && drive.state->in_use) {
    const DriveState& d = *drive.state;
    return NoTape(d) || TapeGone(drive) ? -ENOMEDIUM : d.at.records;
  }
  char image[PATH_MAX];
  bool write_protected;
  return IdleTape(drive.number, image, &write_protected) ? KeptRecords(image) : -ENOMEDIUM;
}

namespace {

// The tape mark of a close after writing; with st's two-fm option two,
// and the tape back between them, so that a later write keeps one.
long CloseMarks(Drive& drive) {
  DriveState& d = *drive.state;
  if (!Option(d, MT_ST_TWO_FM)) return WriteMarks(drive, 1);
  long r = WriteMarks(drive, 1);
  if (r < 0) return r;
  Place between = d.at;
  r = WriteMarks(drive, 1);
  return r < 0 ? r : MoveTo(drive, between, Eof::kNone, false);
}

}  // namespace

long ReleaseDrive(Drive& drive) {
  if (drive.state == nullptr) return 0;
  DriveState& d = *drive.state;
  long result = 0;
  if (TapeGone(drive)) {
    // The tape left with the changer; nothing is written to it any more.
    libc.close(d.image_fd);
  } else if (!d.no_medium) {
    if (FlushReadAhead(drive) < 0) result = -EIO;
    bool marked = false;
    if (d.pending_write) {
      marked = !g_config.fail_close && !g_config.fail_weof && CloseMarks(drive) == 0;
      if (!marked) result = -EIO;
    } else if (g_config.fail_close) {
      result = -EIO;
    }
    d.pending_write = false;
    if (d.rewinding || d.unloaded) d.at = Place{};
    Counting counting = CountingOf(d);
    // st keeps through the close that a tape mark was just passed, read,
    // spaced over or written: a read at end of data in the next open
    // returns 0 once.
    bool after_mark = marked || d.eof == Eof::kFileMark;
    if (after_mark && counting == Counting::kKnown) counting = Counting::kAfterMark;
    if (d.rewinding || d.unloaded) counting = Counting::kKnown;
    if (!CloseRecord(drive.keeper, d.at, counting)) result = -EIO;
    libc.close(d.image_fd);
  } else if (g_config.fail_close) {
    result = -EIO;
  }
  d = DriveState{};
  return result;
}

void LeaveDrive(Drive& drive) {
  if (drive.state != nullptr && drive.state->image_fd >= 0) libc.close(drive.state->image_fd);
  LeaveRecord(drive.keeper);
}

}  // namespace vtape::preload
