#include "tape.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "../aws.h"
#include "config.h"
#include "descriptors.h"
#include "library.h"
#include "position.h"
#include "real_libc.h"

namespace vtape::preload {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Largest block the drive accepts: the 24-bit SSC transfer length.
constexpr size_t kMaxBlock = 0xFFFFFF;
// MTWEOF without waiting for the drive: linux/mtio.h has it, glibc does not.
constexpr short kMtWeofImmediate = 35;

// The driver's end-of-file state, reduced to what the reads can tell apart.
enum class Eof { kNone, kFileMark, kEndOfData };

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
  bool write_protected;
  off_t size;
  Place at;
  bool pending_write;   // last operation was a write: close adds a filemark
  Eof eof;
  bool block_unknown;   // st lost count of the block number at end of data
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

// The changer took the tape out while it was open: the drive answers
// not ready, which st reports as an I/O error.
bool TapeGone() {
  return g_cur->in_library && !g_cur->no_medium && !StillLoaded(g_cur->number, g_cur->changes);
}

Counting CountingOf(Eof eof, bool block_unknown) {
  if (eof == Eof::kEndOfData) return Counting::kEndOfData;
  return block_unknown ? Counting::kBlockLost : Counting::kKnown;
}

long WriteMarks(long count) {
  Drive& d = *g_cur;
  for (long i = 0; i < count; ++i) {
    off_t next;
    if (!StartWrite(d.number, d.at, CountingOf(Eof::kNone, d.block_unknown), &d.size)) return -EIO;
    if (!WriteTapeMark(d.image_fd, d.at.offset, d.at.prev, &next)) return -EIO;
    Pass(&d.at, true, next, 0);
    d.size = next;
  }
  d.eof = Eof::kNone;
  d.block_unknown = false;
  return 0;
}

// Takes the tape to `to`, where st knows what `eof` and `block_unknown`
// say, once the position record says so.
long MoveTo(const Place& to, Eof eof, bool block_unknown) {
  if (!RecordPlace(g_cur->number, to, CountingOf(eof, block_unknown))) return -EIO;
  g_cur->at = to;
  g_cur->eof = eof;
  g_cur->block_unknown = block_unknown;
  return 0;
}

// Where damage stops the tape: st knows no more than before.
void StopAt(const Place& at) { MoveTo(at, g_cur->eof, g_cur->block_unknown); }

// Spaces forward over `count` filemarks; at end of data the tape stays
// there and the call fails.
long SpaceFileMarks(long count) {
  Drive& d = *g_cur;
  Place at = d.at;
  for (long done = 0; done < count;) {
    Record rec;
    if (!ReadRecord(d.image_fd, at.offset, d.size, at.prev, nullptr, 0, &rec) || rec.kind == RecordKind::kCorrupt) {
      StopAt(at);
      return -EIO;
    }
    if (rec.kind == RecordKind::kEnd) {
      MoveTo(at, Eof::kEndOfData, true);
      return -EIO;
    }
    if (rec.kind == RecordKind::kTapeMark) ++done;
    Pass(&at, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
  }
  return MoveTo(at, Eof::kFileMark, false);
}

long SpaceToEnd() {
  Drive& d = *g_cur;
  Place at = d.at;
  for (;;) {
    Record rec;
    if (!ReadRecord(d.image_fd, at.offset, d.size, at.prev, nullptr, 0, &rec) || rec.kind == RecordKind::kCorrupt) {
      StopAt(at);
      return -EIO;
    }
    if (rec.kind == RecordKind::kEnd) break;
    Pass(&at, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
  }
  return MoveTo(at, Eof::kEndOfData, true);
}

long TapeOp(const mtop& op) {
  Drive& d = *g_cur;
  if (d.no_medium) return -ENOMEDIUM;
  if (d.pending_write && op.mt_op == MTREW) {
    if (g_config.fail_weof) return -EIO;
    long r = WriteMarks(1);
    if (r < 0) return r;
  }
  if (op.mt_op != MTNOP && op.mt_op != MTSETBLK && op.mt_op != MTSETDENSITY && op.mt_op != MTWSM &&
      op.mt_op != MTSETDRVBUFFER && op.mt_op != MTSETPART) {
    d.pending_write = false;
  }
  switch (op.mt_op) {
    case MTNOP:
      return 0;
    case MTSETBLK:
      // Only variable-block mode is emulated, as if the drive's block limits
      // excluded every fixed size.
      if ((op.mt_count & MT_ST_BLKSIZE_MASK) != 0) return -EINVAL;
      return SetblkFails() ? -EIO : 0;
    case MTREW:
      if (RewindFails()) return -EIO;
      if (d.at.offset != 0) Spend(Motion::kRewind);
      return MoveTo(Place{}, Eof::kNone, false);
    case MTWEOF:
    case kMtWeofImmediate:
      if (d.read_only || d.write_protected) return -EACCES;
      if (op.mt_count < 0) return -EINVAL;
      if (g_config.fail_weof) return -EIO;
      return WriteMarks(op.mt_count);
    case MTFSF:
      if (op.mt_count < 0) return -EINVAL;
      return SpaceFileMarks(op.mt_count);
    case MTEOM:
      return SpaceToEnd();
    case MTLOCK:
    case MTUNLOCK:
      // st sends PREVENT ALLOW MEDIUM REMOVAL; in a library it keeps the
      // changer from taking the tape.
      return d.in_library ? SetDoorLock(d.number, op.mt_op == MTLOCK) : -ENOSYS;
    default:
      return -ENOSYS;
  }
}

long TapeStatus(mtget* status) {
  Drive& d = *g_cur;
  *status = mtget{};
  status->mt_type = MT_ISSCSI2;
  if (d.no_medium) {
    status->mt_fileno = status->mt_blkno = -1;
    status->mt_gstat = GMT_DR_OPEN(~0L) | GMT_IM_REP_EN(~0L);
    return 0;
  }
  status->mt_fileno = d.at.file;
  status->mt_blkno = d.block_unknown ? -1 : d.at.block;
  // st reports immediate mode while it buffers writes, as it does by default.
  long gstat = GMT_ONLINE(~0L) | GMT_IM_REP_EN(~0L);
  if (d.write_protected) gstat |= GMT_WR_PROT(~0L);
  if (status->mt_blkno == 0) gstat |= d.at.file == 0 ? GMT_BOT(~0L) : GMT_EOF(~0L);
  if (d.eof == Eof::kEndOfData) gstat |= GMT_EOD(~0L);
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

}  // namespace

long OpenTape(int drive, bool rewinding, int flags) {
  Locked lock;
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
      WaitUntilReady(drive);
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
  Counting counting = Counting::kKnown;
  if (!no_medium && !OpenRecord(drive, g_cur->image, image_fd, rewinding, &g_cur->at, &counting, &g_cur->size)) {
    libc.close(image_fd);
    *g_cur = Drive{};
    DiscardDriveDescriptor(fd, drive);
    return -EIO;
  }
  // st keeps what it knew through the last close of the non-rewinding name.
  g_cur->block_unknown = counting != Counting::kKnown;
  if (counting == Counting::kEndOfData) g_cur->eof = Eof::kEndOfData;
  AdoptTapeDescriptor(fd, drive, image_fd, g_cur->image);
  return fd;
}

long TapeRead(int drive, void* buf, size_t count) {
  Locked lock;
  Drive& d = Select(drive);
  if (d.write_only) return -EBADF;
  if (d.no_medium) return -ENOMEDIUM;
  if (TapeGone()) return -EIO;
  Spend(Motion::kBlock, count);
  if (count == 0) return 0;
  if (count > kMaxBlock) return -EINVAL;
  d.pending_write = false;
  if (ReadFails()) return -EIO;
  if (d.eof == Eof::kEndOfData) return -EIO;
  Record rec;
  if (!ReadRecord(d.image_fd, d.at.offset, d.size, d.at.prev, buf, count, &rec)) return -EIO;
  if (rec.kind == RecordKind::kCorrupt) return -EIO;
  if (rec.kind == RecordKind::kEnd) {
    // Only the first read at end of data right after a filemark sees 0.
    bool after_mark = d.eof == Eof::kFileMark;
    if (MoveTo(d.at, after_mark ? Eof::kEndOfData : d.eof, true) < 0 || !after_mark) return -EIO;
    return 0;
  }
  // A longer block is passed over all the same, as st does.
  Place next = d.at;
  bool tape_mark = rec.kind == RecordKind::kTapeMark;
  Pass(&next, tape_mark, rec.next, rec.last_length);
  if (MoveTo(next, tape_mark ? Eof::kFileMark : d.eof, d.block_unknown) < 0) return -EIO;
  if (tape_mark) return 0;
  if (rec.length > count) return -ENOMEM;
  d.eof = Eof::kNone;
  return static_cast<long>(rec.length);
}

long TapeWrite(int drive, const void* buf, size_t count) {
  Locked lock;
  Drive& d = Select(drive);
  if (d.read_only) return -EBADF;
  if (d.no_medium) return -ENOMEDIUM;
  if (TapeGone()) return -EIO;
  Spend(Motion::kBlock, count);
  if (count == 0) return 0;
  if (count > kMaxBlock) return -EINVAL;
  if (d.write_protected) return -EACCES;
  // st marks the direction before the transfer, so even a failed write
  // earns the filemark at close.
  d.pending_write = true;
  size_t length;
  if (!NextWrite(count, &length)) return -EIO;
  off_t next;
  uint16_t last;
  if (!StartWrite(d.number, d.at, CountingOf(Eof::kNone, d.block_unknown), &d.size)) return -EIO;
  if (!WriteBlock(d.image_fd, d.at.offset, d.at.prev, buf, length, &next, &last)) return -EIO;
  Pass(&d.at, false, next, last);
  d.size = next;
  d.eof = Eof::kNone;
  return static_cast<long>(length);
}

long TapeIoctl(int drive, unsigned long request, void* arg) {
  Locked lock;
  Select(drive);
  if (TapeGone()) return -EIO;
  if (_IOC_TYPE(request) == _IOC_TYPE(MTIOCTOP) && _IOC_NR(request) == _IOC_NR(MTIOCTOP)) {
    if (_IOC_SIZE(request) != sizeof(mtop)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    mtop op;
    memcpy(&op, arg, sizeof op);
    return TapeOp(op);
  }
  if (_IOC_TYPE(request) == _IOC_TYPE(MTIOCGET) && _IOC_NR(request) == _IOC_NR(MTIOCGET)) {
    if (_IOC_SIZE(request) != sizeof(mtget)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    return TapeStatus(static_cast<mtget*>(arg));
  }
  if (_IOC_TYPE(request) == _IOC_TYPE(MTIOCPOS) && _IOC_NR(request) == _IOC_NR(MTIOCPOS)) {
    if (_IOC_SIZE(request) != sizeof(mtpos)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    if (g_cur->no_medium) return -EIO;
    static_cast<mtpos*>(arg)->mt_blkno = g_cur->at.records;
    return 0;
  }
  return -ENOTTY;
}

bool DriveRewinding(int drive) { return Select(drive).rewinding; }

long ReleaseDrive(int drive) {
  Drive& d = Select(drive);
  long result = 0;
  if (TapeGone()) {
    // The tape left with the changer; nothing is written to it any more.
    libc.close(d.image_fd);
  } else if (!d.no_medium) {
    if (d.pending_write) {
      if (g_config.fail_close || g_config.fail_weof || WriteMarks(1) < 0) result = -EIO;
    } else if (g_config.fail_close) {
      result = -EIO;
    }
    d.pending_write = false;
    if (d.rewinding) d.at = Place{};
    Counting counting = d.rewinding ? Counting::kKnown : CountingOf(d.eof, d.block_unknown);
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
