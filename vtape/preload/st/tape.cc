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
#include "preload/descriptors/descriptors.h"
#include "preload/library/library.h"
#include "preload/image/position.h"
#include "preload/core/real_libc.h"

namespace vtape::preload {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

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

// st's end-of-file state, reduced to what the calls can tell apart:
// a tape mark just passed forwards (ST_FM), the early warning reported by
// the last write (ST_EOM_OK), the ENOSPC that followed it (ST_EOD_1), end
// of data (ST_EOD).
enum class Eof { kNone, kFileMark, kEarlyWarning, kSpaceRefused, kEndOfData };

// The one open of a drive (st allows a single open at a time), shared by
// every process its descriptors reach.
struct Drive {
  bool in_use;
  char image[PATH_MAX];  // the tape's image, while it is open
  bool in_library;
  int number;
  uint64_t changes;     // the library's change count when the tape was opened
  int image_fd;
  bool read_only;       // opened O_RDONLY
  bool write_only;      // opened O_WRONLY
  bool rewinding;       // opened through the st name
  bool no_medium;       // opened O_NONBLOCK without a tape
  bool unloaded;        // MTOFFL took the tape out of this open's reach
  bool write_protected;
  off_t size;
  Place at;
  bool pending_write;   // last operation was a write: close adds a filemark
  Eof eof;
  bool block_unknown;   // st lost count of the block number (-1)
  bool file_unknown;    // ... and of the file number (after a seek)
  size_t partial;       // bytes of the fixed block at `at` a read already handed out
  Place end;            // where the data ends; offset -1 until known
  Settings settings;
  size_t min_block, max_block;
  uint64_t capacity;    // early warning beyond this many bytes; 0: no end
};
static_assert(sizeof(Drive) <= kSharedPartSize);
// What a drive that no process here holds open looks like.
Drive g_idle;
// The drive the current call is for, chosen under the lock by each entry.
Drive* g_cur = &g_idle;

Drive& Select(int drive) {
  void* shared = SharedState(drive, SharedPart::kTape);
  g_cur = shared != nullptr ? static_cast<Drive*>(shared) : &g_idle;
  return *g_cur;
}

// The changer took the tape out while it was open, or the image was cut
// short or removed: the drive answers not ready, which st reports as an
// I/O error.
bool TapeGone() {
  bool loaded = !g_cur->no_medium && !g_cur->unloaded && g_cur->image_fd >= 0;
  if (loaded && !ImageIntact(g_cur->number, g_cur->size)) return true;
  return g_cur->in_library && !g_cur->no_medium && !StillLoaded(g_cur->number, g_cur->changes);
}

bool NoTape(const Drive& d) { return d.no_medium || d.unloaded; }

bool Option(const Drive& d, unsigned option) { return (d.settings.options & option) != 0; }

uint64_t Used(const Place& p) {
  return kTapeHeader + static_cast<uint64_t>(p.offset) + kRecordOverhead * static_cast<uint64_t>(p.records);
}

// The tape physically ends a sixteenth of its size after the early warning.
uint64_t PhysicalEnd(const Drive& d) { return d.capacity + d.capacity / 16; }

void SetEnd(Drive& d, const Place& end) {
  d.end = end;
  NoteEnd(d.number, &end);
}

Counting CountingOf(const Drive& d) {
  if (d.file_unknown) return Counting::kPositionLost;
  if (d.eof == Eof::kEndOfData) return Counting::kEndOfData;
  return d.block_unknown ? Counting::kBlockLost : Counting::kKnown;
}

// What a write keeps of st's count: a lost block number stays lost.
Counting WriteCounting(const Drive& d) { return d.block_unknown ? Counting::kBlockLost : Counting::kKnown; }

// Takes the tape to `to`, where st knows what `eof` and `block_unknown`
// say, once the position record says so.
long MoveTo(const Place& to, Eof eof, bool block_unknown) {
  Drive& d = *g_cur;
  Eof was_eof = d.eof;
  bool was_unknown = d.block_unknown;
  d.eof = eof;
  d.block_unknown = block_unknown;
  if (!RecordPlace(d.number, to, CountingOf(d))) {
    d.eof = was_eof;
    d.block_unknown = was_unknown;
    return -EIO;
  }
  d.at = to;
  return 0;
}

// Where damage stops the tape: st knows no more than before.
void StopAt(const Place& at) { MoveTo(at, g_cur->eof, g_cur->block_unknown); }

long Rewind() {
  if (g_cur->at.offset != 0) Spend(Motion::kRewind);
  bool was_unknown = g_cur->file_unknown;
  g_cur->file_unknown = false;
  long r = MoveTo(Place{}, Eof::kNone, false);
  if (r < 0) g_cur->file_unknown = was_unknown;
  return r;
}

// Puts `count` tape marks at the position, the new end of data.
long WriteMarks(long count) {
  Drive& d = *g_cur;
  for (long i = 0; i < count; ++i) {
    off_t next;
    if (!StartWrite(d.number, d.at, WriteCounting(d), &d.size)) return -EIO;
    if (!WriteTapeMark(d.image_fd, d.at.offset, d.at.prev, &next)) return -EIO;
    Pass(&d.at, true, next, 0);
    d.size = next;
    SetEnd(d, d.at);
  }
  d.eof = Eof::kNone;
  d.block_unknown = false;
  return 0;
}

// Reads the record at `at` without its data; false, with the tape stopped
// at `at`, on damage.
bool Peek(const Place& at, Record* rec) {
  Drive& d = *g_cur;
  if (ReadRecord(d.image_fd, at.offset, d.size, at.prev, nullptr, 0, rec) && rec->kind != RecordKind::kCorrupt) {
    return true;
  }
  StopAt(at);
  return false;
}

// The record before `at` (not BOT); false, with the tape stopped at `at`,
// on damage.
bool PeekBack(const Place& at, Record* rec) {
  if (ReadRecordBefore(g_cur->image_fd, at.offset, at.prev, rec) && rec->kind != RecordKind::kCorrupt) return true;
  StopAt(at);
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
bool WalkFrom(const Place& from, long marks, Place* to, bool* at_end) {
  Drive& d = *g_cur;
  Walk walk;
  if (!WalkRecords(d.image_fd, from.offset, d.size, from.prev, marks, &walk)) {
    StopAt(d.at);
    return false;
  }
  *to = from;
  to->block = walk.marks > 0 ? walk.blocks : from.block + walk.blocks;
  to->offset = walk.offset;
  to->prev = walk.prev;
  to->file += walk.marks;
  to->records += walk.records;
  if (walk.damaged) {
    StopAt(*to);
    return false;
  }
  *at_end = marks == 0 || walk.marks < marks;
  return true;
}

// Spaces forward over `count` filemarks; at end of data the tape stays
// there and the call fails.
long SpaceFileMarks(long count) {
  if (count == 0) return 0;
  Place at;
  bool at_end;
  if (!WalkFrom(g_cur->at, count, &at, &at_end)) return -EIO;
  if (at_end) {
    SetEnd(*g_cur, at);
    MoveTo(at, Eof::kEndOfData, true);
    return -EIO;
  }
  return MoveTo(at, Eof::kFileMark, false);
}

// Spaces forward over `count` blocks; a tape mark stops the tape after it
// and end of data at it, and the call fails.
long SpaceBlocks(long count) {
  Place at = g_cur->at;
  bool lost = g_cur->block_unknown;
  for (long done = 0; done < count; ++done) {
    Record rec;
    if (!Peek(at, &rec)) return -EIO;
    if (rec.kind == RecordKind::kEnd) {
      MoveTo(at, Eof::kEndOfData, lost);
      return -EIO;
    }
    Pass(&at, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
    if (rec.kind == RecordKind::kTapeMark) {
      MoveTo(at, Eof::kFileMark, false);
      return -EIO;
    }
  }
  return MoveTo(at, Eof::kNone, lost);
}

// Spaces back over `count` filemarks (`marks`), stopping before the last
// of them, or over `count` blocks, where a tape mark stops the tape before
// it and the call fails. At BOT the call fails.
long SpaceBack(long count, bool marks) {
  Place at = g_cur->at;
  for (long done = 0; done < count;) {
    if (at.offset == 0) {
      MoveTo(Place{}, Eof::kNone, false);
      return -EIO;
    }
    Record rec;
    if (!PeekBack(at, &rec)) return -EIO;
    PassBack(&at, rec);
    bool mark = rec.kind == RecordKind::kTapeMark;
    if (mark && !marks) {
      MoveTo(at, Eof::kNone, true);
      return -EIO;
    }
    if (mark || !marks) ++done;
  }
  return MoveTo(at, Eof::kNone, (marks && count > 0) || g_cur->block_unknown);
}

long SpaceToEnd() {
  Drive& d = *g_cur;
  // The drive knows where its data ends, as a cartridge's memory tells it.
  Place at;
  bool at_end;
  if (!WalkFrom(d.end.offset >= d.at.offset ? d.end : d.at, 0, &at, &at_end)) return -EIO;
  SetEnd(d, at);
  if (Option(d, MT_ST_FAST_MTEOM)) d.file_unknown = true;
  return MoveTo(at, Eof::kEndOfData, true);
}

// Locates logical object `target` (blocks and tape marks from BOT); st
// knows neither file nor block number afterwards, except at BOT.
long Seek(long target) {
  Drive& d = *g_cur;
  if (target < 0) return -EINVAL;
  Place at = target >= d.at.records ? d.at : Place{};
  while (at.records < target) {
    Record rec;
    if (!Peek(at, &rec)) return -EIO;
    if (rec.kind == RecordKind::kEnd) {
      SetEnd(d, at);
      d.file_unknown = true;
      MoveTo(at, Eof::kEndOfData, true);
      return -EIO;
    }
    Pass(&at, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
  }
  if (target == 0) return Rewind();
  d.file_unknown = true;
  return MoveTo(at, Eof::kNone, true);
}

// ERASE from the position to the end of the tape; st then counts from BOT,
// where the drive leaves the tape.
long Erase() {
  Drive& d = *g_cur;
  if (d.read_only || d.write_protected) return -EACCES;
  if (!StartWrite(d.number, d.at, WriteCounting(d), &d.size)) return -EIO;
  SetEnd(d, d.at);
  return Rewind();
}

long Unload() {
  if (g_cur->in_library) SetDoorLock(g_cur->number, false);
  long r = Rewind();
  if (r == 0) g_cur->unloaded = true;
  return r;
}

long Load() {
  g_cur->unloaded = false;
  return Rewind();
}

long ChangeSettings(const Settings& settings) {
  if (!RecordSettings(g_cur->number, settings)) return -EIO;
  g_cur->settings = settings;
  return 0;
}

long SetBlockSize(long size) {
  Drive& d = *g_cur;
  long blksize = size & MT_ST_BLKSIZE_MASK;
  if (blksize != 0 && !Option(d, MT_ST_NO_BLKLIMS) &&
      (static_cast<size_t>(blksize) < d.min_block || static_cast<size_t>(blksize) > d.max_block)) {
    return -EINVAL;
  }
  if (SetblkFails()) return -EIO;
  Settings s = d.settings;
  s.block_size = blksize;
  return ChangeSettings(s);
}

// The mode's default block size: st sets it on a loaded tape at once, as
// MTSETBLK would, and the tape keeps it until MTSETBLK changes it. A size
// the drive refuses leaves the mode as it was, and st does not say so.
long SetDefaultBlockSize(unsigned size) {
  constexpr unsigned kDisabled = ~static_cast<unsigned>(MT_ST_OPTIONS);
  const Drive& d = *g_cur;
  if (size == kDisabled || NoTape(d)) return 0;
  bool fits = size == 0 || Option(d, MT_ST_NO_BLKLIMS) || (size >= d.min_block && size <= d.max_block);
  if (!fits || size > MT_ST_BLKSIZE_MASK) return 0;
  Settings s = d.settings;
  s.block_size = static_cast<long>(size);
  return ChangeSettings(s);
}

// MTSETDRVBUFFER with an MT_ST_* code: st's own options, kept as st keeps
// them. The other defaults and the timeouts of the mode are taken and not
// kept: no answer of the drive depends on them.
long SetOptions(long value) {
  constexpr unsigned kBooleans = MT_ST_BUFFER_WRITES | MT_ST_ASYNC_WRITES | MT_ST_READ_AHEAD | MT_ST_DEBUGGING |
                                 MT_ST_TWO_FM | MT_ST_FAST_MTEOM | MT_ST_AUTO_LOCK | MT_ST_DEF_WRITES |
                                 MT_ST_CAN_BSR | MT_ST_NO_BLKLIMS | MT_ST_CAN_PARTITIONS | MT_ST_SCSI2LOGICAL |
                                 kMtStSysv | kMtStNowait | kMtStSili | kMtStNowaitEof;
  Settings s = g_cur->settings;
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
      return SetDefaultBlockSize(static_cast<unsigned>(value) & ~static_cast<unsigned>(MT_ST_OPTIONS));
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
  return ChangeSettings(s);
}

long SetDriveBuffer(long count) {
  Settings s = g_cur->settings;
  s.drive_buffer = static_cast<int>(count & 7);
  return ChangeSettings(s);
}

long SetDensity(long count) {
  Settings s = g_cur->settings;
  s.density = static_cast<int>(count);
  return ChangeSettings(s);
}

long DoorLock(bool locked) { return g_cur->in_library ? SetDoorLock(g_cur->number, locked) : 0; }

// The operations that need no tape in the drive.
bool WorksWithoutTape(const Drive& d, const mtop& op) {
  if (op.mt_op == MTSETDRVBUFFER) return (op.mt_count & MT_ST_OPTIONS) != 0;
  return op.mt_op == MTLOCK || op.mt_op == MTUNLOCK || (op.mt_op == MTLOAD && d.unloaded);
}

// st writes a filemark before these when the last operation was a write,
// and spaces back over it as well.
bool MarksBefore(short op) {
  return op == MTREW || op == MTOFFL || op == MTSEEK || op == MTBSF || op == MTBSFM;
}

long TapeOp(const mtop& op) {
  Drive& d = *g_cur;
  // st refuses MTSETDRVBUFFER to anyone without CAP_SYS_ADMIN first.
  if (op.mt_op == MTSETDRVBUFFER && geteuid() != 0) return -EPERM;
  if (NoTape(d) && !WorksWithoutTape(d, op)) return -ENOMEDIUM;
  long count = op.mt_count;
  if (d.pending_write && MarksBefore(op.mt_op)) {
    if (g_config.fail_weof) return -EIO;
    long r = WriteMarks(1);
    if (r < 0) return r;
    if (op.mt_op == MTBSF || op.mt_op == MTBSFM) ++count;
  }
  if (op.mt_op != MTNOP && op.mt_op != MTSETBLK && op.mt_op != MTSETDENSITY && op.mt_op != MTWSM &&
      op.mt_op != MTSETDRVBUFFER && op.mt_op != MTSETPART) {
    d.pending_write = false;
  }
  bool spacing = op.mt_op == MTFSF || op.mt_op == MTBSF || op.mt_op == MTFSFM || op.mt_op == MTBSFM ||
                 op.mt_op == MTFSR || op.mt_op == MTBSR;
  if (spacing && count < 0) return -EINVAL;
  long r;
  switch (op.mt_op) {
    case MTNOP:
      return 0;
    case MTSETBLK:
      return SetBlockSize(count);
    case MTSETDENSITY:
      return SetDensity(count);
    case MTSETDRVBUFFER:
      return (count & MT_ST_OPTIONS) != 0 ? SetOptions(count) : SetDriveBuffer(count);
    case MTCOMPRESSION:
      // The drive has no compression page: st finds none and fails.
      return -EIO;
    case MTREW:
      return RewindFails() ? -EIO : Rewind();
    case MTRETEN:
      return Rewind();
    case MTOFFL:
    case MTUNLOAD:
      return Unload();
    case MTLOAD:
      return Load();
    case MTWEOF:
    case kMtWeofImmediate:
      if (d.read_only || d.write_protected) return -EACCES;
      if (count < 0) return -EINVAL;
      if (g_config.fail_weof) return -EIO;
      return WriteMarks(count);
    case MTWSM:
      // No setmarks on this drive: it rejects the command.
      return d.read_only || d.write_protected ? -EACCES : -EIO;
    case MTFSS:
    case MTBSS:
      return -EIO;
    case MTFSF:
      return SpaceFileMarks(count);
    case MTBSF:
      return SpaceBack(count, true);
    case MTFSFM:
      r = SpaceFileMarks(count);
      return r < 0 ? r : SpaceBack(1, true);
    case MTBSFM:
      r = SpaceBack(count, true);
      return r < 0 ? r : SpaceFileMarks(1);
    case MTFSR:
      return SpaceBlocks(count);
    case MTBSR:
      return SpaceBack(count, false);
    case MTEOM:
      return SpaceToEnd();
    case MTSEEK:
      return Seek(count);
    case MTERASE:
      return Erase();
    case MTSETPART:
    case MTMKPART:
      return -EINVAL;  // a drive without partitions
    case MTLOCK:
    case MTUNLOCK:
      // st sends PREVENT ALLOW MEDIUM REMOVAL; in a library it keeps the
      // changer from taking the tape.
      return DoorLock(op.mt_op == MTLOCK);
    default:
      return -ENOSYS;
  }
}

long TapeStatus(mtget* status) {
  Drive& d = *g_cur;
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

namespace {

// The open proper, once the drive's tape (if any) has threaded.
long OpenReady(int drive, bool rewinding, int flags) {
  // A character device has no direct I/O: the kernel refuses the open
  // before st sees it.
  if ((flags & O_DIRECT) != 0) return -EINVAL;
  const Config& c = g_config;
  if (c.fail_open != 0) return -c.fail_open;
  if (Select(drive).in_use) return -EBUSY;
  int accmode = flags & O_ACCMODE;
  bool read_only = accmode == O_RDONLY;
  bool nonblock = (flags & O_NONBLOCK) != 0;
  bool no_medium = c.no_medium || (c.image[0] == '\0' && !InLibrary());
  bool write_protected = c.write_protect;
  static char image[PATH_MAX];
  memcpy(image, c.image, sizeof image);
  uint64_t changes = 0;
  if (InLibrary() && !no_medium) {
    bool protected_tape = false;
    long found = CartridgeIn(drive, image, sizeof image, &protected_tape, &changes);
    if (found == -ENOMEDIUM) {
      no_medium = true;
    } else if (found < 0) {
      return found;
    } else {
      write_protected = write_protected || protected_tape;
    }
  }
  int image_fd = -1;
  off_t size = 0;
  if (!no_medium) {
    long r = OpenImage(image, read_only, &write_protected, &size);
    if (r == kNoImage) {
      no_medium = true;
    } else if (r < 0) {
      return r;
    } else {
      image_fd = static_cast<int>(r);
    }
  }
  long error = 0;
  if (no_medium && !nonblock) {
    error = -ENOMEDIUM;
  } else if (write_protected && !read_only && !nonblock) {
    error = -EROFS;
  }
  int fd = -1;
  if (error == 0) {
    fd = NewDriveDescriptor(flags, drive);
    if (fd < 0) error = fd;
  }
  if (error != 0) {
    if (image_fd >= 0) libc.close(image_fd);
    return error;
  }
  Select(drive);
  *g_cur = Drive{};
  g_cur->in_use = true;
  memcpy(g_cur->image, image, sizeof image);
  g_cur->in_library = InLibrary();
  g_cur->number = drive;
  g_cur->changes = changes;
  g_cur->image_fd = image_fd;
  g_cur->read_only = read_only;
  g_cur->write_only = accmode == O_WRONLY;
  g_cur->rewinding = rewinding;
  g_cur->no_medium = no_medium;
  g_cur->write_protected = write_protected;
  g_cur->size = size;
  g_cur->settings = DefaultSettings();
  g_cur->end.offset = -1;
  g_cur->min_block = c.min_block;
  g_cur->max_block = c.max_block;
  Counting counting = Counting::kKnown;
  if (!no_medium) {
    if (!OpenRecord(drive, g_cur->image, image_fd, rewinding, &g_cur->at, &counting, &g_cur->size,
                    &g_cur->settings, &g_cur->end)) {
      libc.close(image_fd);
      *g_cur = Drive{};
      DiscardDriveDescriptor(fd, drive);
      return -EIO;
    }
    g_cur->capacity = CapacityOf(g_cur->image);
  }
  // st keeps what it knew through the last close of the non-rewinding name.
  g_cur->block_unknown = counting == Counting::kBlockLost || counting == Counting::kEndOfData ||
                         counting == Counting::kPositionLost;
  g_cur->file_unknown = counting == Counting::kPositionLost;
  if (counting == Counting::kEndOfData) g_cur->eof = Eof::kEndOfData;
  if (counting == Counting::kAfterMark) g_cur->eof = Eof::kFileMark;
  AdoptTapeDescriptor(fd, drive, image_fd, g_cur->image);
  return fd;
}

}  // namespace

// Threading is the drive's own wait, slept with the lock let go: an open of
// another drive goes on meanwhile, as st's opens of different drives do.
long OpenTape(int drive, bool rewinding, int flags) {
  for (;;) {
    int64_t threading = 0;
    {
      Locked lock;
      if (InLibrary()) threading = ThreadingLeft(drive);
      if (threading <= 0) return OpenReady(drive, rewinding, flags);
    }
    SleepFor(threading);
  }
}

namespace {

// The checks st makes of a transfer before the tape moves: within the
// block limits in variable-block mode, whole blocks in fixed-block mode.
long CheckTransfer(const Drive& d, size_t count, bool reading) {
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
long FlushReadAhead() {
  Drive& d = *g_cur;
  if (d.partial == 0) return 0;
  Record rec;
  if (!Peek(d.at, &rec)) return -EIO;
  Place next = d.at;
  Pass(&next, false, rec.next, rec.last_length);
  d.partial = 0;
  return MoveTo(next, d.eof, d.block_unknown);
}

// What a read or write goes through before the tape: the VFS's check of
// the access mode (`wrong_direction`), then st's rw_checks. 1 when the
// call goes on to the tape.
long RwChecks(const Drive& d, bool wrong_direction, size_t count, bool reading) {
  if (wrong_direction) return -EBADF;
  if (NoTape(d)) return -ENOMEDIUM;
  if (TapeGone()) return -EIO;
  Spend(Motion::kBlock, count);
  if (count == 0) return 0;
  long refused = CheckTransfer(d, count, reading);
  return refused < 0 ? refused : 1;
}

// A read at end of data: only the first one right after a filemark sees 0.
long ReadAtEnd() {
  Drive& d = *g_cur;
  bool after_mark = d.eof == Eof::kFileMark;
  SetEnd(d, d.at);
  if (MoveTo(d.at, after_mark ? Eof::kEndOfData : d.eof, true) < 0 || !after_mark) return -EIO;
  return 0;
}

long ReadVariable(void* buf, size_t count) {
  Drive& d = *g_cur;
  Record rec;
  if (!ReadRecord(d.image_fd, d.at.offset, d.size, d.at.prev, buf, count, &rec)) return -EIO;
  if (rec.kind == RecordKind::kCorrupt) return -EIO;
  if (rec.kind == RecordKind::kEnd) return ReadAtEnd();
  // A longer block is passed over all the same, as st does.
  Place next = d.at;
  bool tape_mark = rec.kind == RecordKind::kTapeMark;
  Pass(&next, tape_mark, rec.next, rec.last_length);
  if (MoveTo(next, tape_mark ? Eof::kFileMark : d.eof, !tape_mark && d.block_unknown) < 0) return -EIO;
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
long ReadFixed(void* buf, size_t count) {
  Drive& d = *g_cur;
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
      StopAt(at);
      result = -EIO;
      break;
    }
    if (rec.kind == RecordKind::kEnd) {
      if (done == 0 && partial == 0) {
        result = ReadAtEnd();
      } else {
        // st drops what came before the blank check, and only counts the
        // end of data it met when a read of nothing reports it.
        SetEnd(d, at);
        d.partial = 0;
        MoveTo(at, d.eof == Eof::kEndOfData ? d.eof : Eof::kNone, true);
        result = -EIO;
      }
      break;
    }
    if (rec.kind == RecordKind::kTapeMark) {
      if (done > 0) break;
      Pass(&at, true, rec.next, rec.last_length);
      result = MoveTo(at, Eof::kFileMark, false);
      break;
    }
    if (rec.length != block) {
      if (done == 0) StopAt(at);
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
  if (MoveTo(at, Eof::kNone, d.block_unknown) < 0) return -EIO;
  d.partial = partial;
  return static_cast<long>(done);
}

// Writes `length` bytes as one block, or as blocks of the fixed size.
bool WriteBlocks(const void* buf, size_t length) {
  Drive& d = *g_cur;
  size_t block = d.settings.block_size != 0 ? static_cast<size_t>(d.settings.block_size) : length;
  if (!StartWrite(d.number, d.at, WriteCounting(d), &d.size)) return false;
  const unsigned char* p = static_cast<const unsigned char*>(buf);
  for (size_t done = 0; done + block <= length && block > 0; done += block) {
    off_t next;
    uint16_t last;
    if (!WriteBlock(d.image_fd, d.at.offset, d.at.prev, p + done, block, &next, &last)) return false;
    Pass(&d.at, false, next, last);
    d.size = next;
  }
  SetEnd(d, d.at);
  return true;
}

// Bytes of tape `length` bytes of writing take.
uint64_t Cost(const Drive& d, size_t length) {
  size_t block = d.settings.block_size != 0 ? static_cast<size_t>(d.settings.block_size) : length;
  uint64_t blocks = block == 0 ? 0 : length / block;
  return blocks * (block + kHeaderSize * ((block + kMaxSegment - 1) / kMaxSegment) + kRecordOverhead);
}

}  // namespace

long TapeRead(int drive, void* buf, size_t count) {
  Locked lock;
  Drive& d = Select(drive);
  long checked = RwChecks(d, d.write_only, count, true);
  if (checked <= 0) return checked;
  d.pending_write = false;
  if (ReadFails()) return -EIO;
  if (d.eof == Eof::kSpaceRefused) {
    d.eof = Eof::kEndOfData;
    return 0;
  }
  if (d.eof == Eof::kEndOfData) return -EIO;
  return d.settings.block_size != 0 ? ReadFixed(buf, count) : ReadVariable(buf, count);
}

long TapeWrite(int drive, const void* buf, size_t count) {
  Locked lock;
  Drive& d = Select(drive);
  long checked = RwChecks(d, d.read_only, count, false);
  if (checked <= 0) return checked;
  if (d.write_protected) return -EACCES;
  if (FlushReadAhead() < 0) return -EIO;
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
  if (!WriteBlocks(buf, length)) return -EIO;
  d.eof = d.capacity != 0 && Used(d.at) > d.capacity ? Eof::kEarlyWarning : Eof::kNone;
  return static_cast<long>(length);
}

long TapeIoctl(int drive, unsigned long request, void* arg) {
  Locked lock;
  Select(drive);
  if (TapeGone()) return -EIO;
  auto is = [request](unsigned long known) {
    return _IOC_TYPE(request) == _IOC_TYPE(known) && _IOC_NR(request) == _IOC_NR(known);
  };
  if (!is(MTIOCTOP) && !is(MTIOCGET) && !is(MTIOCPOS)) return -ENOTTY;
  if (FlushReadAhead() < 0) return -EIO;
  if (is(MTIOCTOP)) {
    if (_IOC_SIZE(request) != sizeof(mtop)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    mtop op;
    memcpy(&op, arg, sizeof op);
    return TapeOp(op);
  }
  if (is(MTIOCGET)) {
    if (_IOC_SIZE(request) != sizeof(mtget)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    return TapeStatus(static_cast<mtget*>(arg));
  }
  if (_IOC_SIZE(request) != sizeof(mtpos)) return -EINVAL;
  if (arg == nullptr) return -EFAULT;
  if (NoTape(*g_cur)) return -EIO;
  static_cast<mtpos*>(arg)->mt_blkno = g_cur->at.records;
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

DriveParameters CurrentParameters(int drive) {
  const Drive& d = Select(drive);
  if (d.in_use) {
    const Settings s = !NoTape(d) ? d.settings : DefaultSettings();
    return DriveParameters{d.min_block,    d.max_block,       s.block_size, s.density,         false,
                           s.drive_buffer, d.write_protected, !NoTape(d),   d.settings.options};
  }
  // What the drive itself knows of a tape no open holds: the mode st left
  // it in, kept with the tape.
  char image[PATH_MAX];
  bool write_protected;
  bool loaded = IdleTape(drive, image, &write_protected);
  const Settings s = loaded ? KeptSettings(image) : DefaultSettings();
  return DriveParameters{g_config.min_block, g_config.max_block, s.block_size, s.density, false,
                         s.drive_buffer,     write_protected,    loaded,       s.options};
}

long TapeRecords(int drive) {
  Locked lock;
  const Drive& d = Select(drive);
  if (d.in_use) return NoTape(d) || TapeGone() ? -ENOMEDIUM : d.at.records;
  char image[PATH_MAX];
  bool write_protected;
  return IdleTape(drive, image, &write_protected) ? KeptRecords(image) : -ENOMEDIUM;
}

bool DriveRewinding(int drive) { return Select(drive).rewinding; }

namespace {

// The tape mark of a close after writing; with st's two-fm option two,
// and the tape back between them, so that a later write keeps one.
long CloseMarks() {
  Drive& d = *g_cur;
  if (!Option(d, MT_ST_TWO_FM)) return WriteMarks(1);
  long r = WriteMarks(1);
  if (r < 0) return r;
  Place between = d.at;
  r = WriteMarks(1);
  return r < 0 ? r : MoveTo(between, Eof::kNone, false);
}

}  // namespace

long ReleaseDrive(int drive) {
  Drive& d = Select(drive);
  long result = 0;
  if (TapeGone()) {
    // The tape left with the changer; nothing is written to it any more.
    libc.close(d.image_fd);
  } else if (!d.no_medium) {
    if (FlushReadAhead() < 0) result = -EIO;
    bool marked = false;
    if (d.pending_write) {
      marked = !g_config.fail_close && !g_config.fail_weof && CloseMarks() == 0;
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
    if (!CloseRecord(d.number, d.at, counting)) result = -EIO;
    libc.close(d.image_fd);
  } else if (g_config.fail_close) {
    result = -EIO;
  }
  d = Drive{};
  return result;
}

void LeaveDrive(int drive) {
  Drive& d = Select(drive);
  if (d.image_fd >= 0) libc.close(d.image_fd);
  LeaveRecord(d.number);
}

}  // namespace vtape::preload
