// libvtape.so: plays the Linux SCSI tape driver (st) for one drive and keeps
// its tape in an AWSTAPE image. Loaded with LD_PRELOAD, it serves the drive's
// two device names and passes every other path and descriptor to the C
// library. docs/virtual-drive.md describes what it emulates.
//
// This file holds the C library functions that open, move data and manage
// descriptors; stdio_entry_points.cc and stat_entry_points.cc the others.
// Every other symbol of the library stays hidden.

// The C library's fortified inline versions of open, read and the like would
// clash with the definitions below, so this file alone is built without
// _FORTIFY_SOURCE; the rest of the library keeps it.
#undef _FORTIFY_SOURCE

#include "preload/entry/entry_points.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdarg.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

#include "preload/core/config.h"
#include "preload/core/drives.h"
#include "preload/core/internal_descriptors.h"
#include "preload/core/lock.h"
#include "preload/core/real_libc.h"
#include "preload/descriptors/descriptors.h"
#include "preload/descriptors/drive_open.h"
#include "preload/entry/environment.h"
#include "preload/library/library.h"
#include "preload/names/device_names.h"
#include "preload/names/generic_node.h"
#include "preload/entry/sysfs.h"
#include "preload/scsi/changer.h"
#include "preload/scsi/drive_scsi.h"
#include "preload/st/tape.h"

extern "C" [[noreturn]] void __chk_fail(void);

namespace vtape::preload {
namespace {

enum class InitState { kNone, kRunning, kDone };
// Guards against wrappers called while dlsym itself is still running.
InitState g_init = InitState::kNone;

bool EnsureInit() {
  if (g_init == InitState::kDone) return true;
  if (g_init == InitState::kRunning) return false;
  g_init = InitState::kRunning;
  ResolveLibC();
  LoadConfig();
  LoadLibraryConfig();
  NoteDeviceFolders();
  AdoptInherited();
  StandardStreamsOnTheDrive();
  g_init = InitState::kDone;
  return true;
}

}  // namespace

bool Ready() {
  if (EnsureInit()) return true;
  errno = EFAULT;
  return false;
}

long Finish(long result, int saved_errno) {
  if (result < 0) {
    errno = static_cast<int>(-result);
    return -1;
  }
  errno = saved_errno;
  return result;
}

bool TryOpenTape(int dirfd, const char* path, int flags, int* result) {
  int saved = errno;
  if (IsChangerName(dirfd, path)) {
    *result = static_cast<int>(Finish((flags & O_DIRECTORY) != 0 ? -ENOTDIR : OpenChanger(flags), saved));
    return true;
  }
  long attribute;
  if (OpenDriveAttribute(path, flags, &attribute) || OpenGenericNode(dirfd, path, flags, &attribute)) {
    *result = static_cast<int>(Finish(attribute, saved));
    return true;
  }
  int drive, error;
  // O_NOFOLLOW and an exclusive create are about a link itself.
  bool exclusive = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
  DeviceName name = NameOf(dirfd, path, &drive, &error, (flags & O_NOFOLLOW) == 0 && !exclusive);
  if (error != 0) {
    *result = static_cast<int>(Finish(-error, saved));
    return true;
  }
  if (name == DeviceName::kOther) return false;
  // A device node is no directory, and it exists: the kernel says so before
  // any driver sees the open (cp asks the first of its last operand).
  if ((flags & O_DIRECTORY) != 0 || exclusive) {
    *result = static_cast<int>(Finish((flags & O_DIRECTORY) != 0 ? -ENOTDIR : -EEXIST, saved));
    return true;
  }
  // Names of drives past the last one: as on a machine without them.
  long opened = drive < kMaxDrives ? OpenTape(drive, name == DeviceName::kRewinding, flags) : -ENOENT;
  *result = static_cast<int>(Finish(opened, saved));
  return true;
}

namespace {

// The C library entry a program called to open a file.
enum class Entry { kOpen, kOpen64, kOpenat, kOpenat64, kOpen2, kOpen64_2, kOpenat2, kOpenat64_2 };

int PassOpen(Entry entry, int dirfd, const char* path, int flags, mode_t mode) {
  switch (entry) {
    case Entry::kOpen:
      return libc.open(path, flags, mode);
    case Entry::kOpen64:
      return libc.open64(path, flags, mode);
    case Entry::kOpenat:
      return libc.openat(dirfd, path, flags, mode);
    case Entry::kOpenat64:
      return libc.openat64(dirfd, path, flags, mode);
    case Entry::kOpen2:
      return libc.open_2(path, flags);
    case Entry::kOpen64_2:
      return libc.open64_2(path, flags);
    case Entry::kOpenat2:
      return libc.openat_2(dirfd, path, flags);
    case Entry::kOpenat64_2:
      return libc.openat64_2(dirfd, path, flags);
  }
  return -1;
}

int OpenEntry(Entry entry, int dirfd, const char* path, int flags, mode_t mode) {
  if (!Ready()) return -1;
  int fd;
  if (TryOpenTape(dirfd, path, flags, &fd)) return fd;
  return Fresh(PassOpen(entry, dirfd, path, flags, mode));
}

// openat2(2), which the C library does not wrap: the drive's names open
// the drive, whatever `how` resolves beside the flags.
long Openat2(int dirfd, const char* path, const open_how* how, size_t size) {
  int fd;
  if (how != nullptr && size >= sizeof(open_how) && TryOpenTape(dirfd, path, static_cast<int>(how->flags), &fd)) {
    return fd;
  }
  return Fresh(static_cast<int>(libc.syscall(SYS_openat2, dirfd, path, how, size)));
}

// The library's own descriptors are none of the program's: as numbers it
// never opened, they are EBADF to it.
bool NotTheProgramsOwn(int fd) {
  if (!IsInternal(fd)) return false;
  errno = EBADF;
  return true;
}

// A duplicate of the drive's descriptor that lands on 0, 1 or 2 takes the
// standard stream with it.
int DuplicatedTape(int fd, int copy) {
  {
    Locked lock;
    copy = TrackDup(copy, DriveOf(fd));
  }
  StandardStreamFollows(copy);
  return copy;
}

// dup2 and dup3: the number the program names is made free of the
// library's own descriptors first, as it is free to the program.
int DupOnto(int oldfd, int newfd, int flags, bool is_dup3) {
  auto real = [&] { return is_dup3 ? libc.dup3(oldfd, newfd, flags) : libc.dup2(oldfd, newfd); };
  if (oldfd == newfd) return real();
  bool ours = IsTape(oldfd) || IsTape(newfd) || IsInternal(oldfd) || IsInternal(newfd);
  if (ours && SharingParentsMemory()) return real();
  ForgetChanger(newfd);
  if (!ours) return real();
  if (NotTheProgramsOwn(oldfd)) return -1;
  if (IsInternal(newfd)) {
    Locked lock;
    if (!MoveAside(newfd)) {
      errno = EMFILE;
      return -1;
    }
  }
  if (!IsTape(oldfd) && !IsTape(newfd)) return real();
  int r = DupTo(oldfd, newfd, flags, is_dup3);
  StandardStreamFollows(newfd);
  return r;
}

int FcntlCommon(bool large, int fd, int cmd, void* arg) {
  if (!Ready() || NotTheProgramsOwn(fd)) return -1;
  int (*real)(int, int, ...) = large ? libc.fcntl64 : libc.fcntl;
  if (IsTape(fd) && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)) return DuplicatedTape(fd, real(fd, cmd, arg));
  if (IsTape(fd) && cmd == F_SETFD) {
    Locked lock;
    int r = real(fd, cmd, arg);
    TrackCloseOnExec(fd);
    return r;
  }
  return real(fd, cmd, arg);
}

// One call of st on drive `drive`, under the process's lock.
template <typename Call>
long OnDrive(int drive, Call call) {
  Locked lock;
  Drive held = DriveHeld(drive);
  return call(held);
}

// st has no vectored transfers: the kernel calls its read or write once per
// segment, so each segment is a block of its own, and it stops at the first
// error or short transfer.
template <typename Transfer>
ssize_t EachSegment(const iovec* iov, int count, Transfer transfer) {
  if (count < 0 || count > IOV_MAX) {
    errno = EINVAL;
    return -1;
  }
  int saved = errno;
  long total = 0;
  for (int i = 0; i < count; ++i) {
    long n = transfer(iov[i]);
    if (n < 0) return Finish(total > 0 ? total : n, saved);
    total += n;
    if (static_cast<size_t>(n) != iov[i].iov_len) break;
  }
  return Finish(total, saved);
}

// st clears FMODE_PREAD and FMODE_PWRITE at open: a tape has no offsets to
// transfer at (only lseek is humoured, for tar), so the positional calls
// fail with ESPIPE before any block moves.
ssize_t NoOffsets() {
  errno = ESPIPE;
  return -1;
}

// sendfile, splice and copy_file_range: an offset on the tape is refused as
// above; otherwise EINVAL, as st has no splice operations and is no regular
// file.
ssize_t NoSplicing(bool offset_on_tape) {
  errno = offset_on_tape ? ESPIPE : EINVAL;
  return -1;
}

// A positional call: the C library's for any other descriptor. `real` names
// the function rather than holding it, as it is looked up by Ready().
template <typename Real, typename... Args>
ssize_t Positional(Real LibC::*real, int fd, Args... args) {
  if (!Ready()) return -1;
  return IsTape(fd) ? NoOffsets() : (libc.*real)(fd, args...);
}

// preadv2 and pwritev2 at offset -1 transfer where the tape is, as readv
// and writev (`here`) do; the kernel then loops over st's read or write,
// which take no flag but RWF_HIPRI.
template <typename Real, typename Offset>
ssize_t PositionalV2(Real LibC::*real, ssize_t (*here)(int, const iovec*, int), int fd, const iovec* iov, int count,
                     Offset offset, int flags) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return (libc.*real)(fd, iov, count, offset, flags);
  if (offset != -1) return NoOffsets();
  if ((flags & ~RWF_HIPRI) != 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return here(fd, iov, count);
}

bool NeedsMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

__attribute__((constructor)) void Construct() { EnsureInit(); }

// A program that exits without closing the drive gets what the kernel would
// do at its exit.
__attribute__((destructor)) void Destruct() { ReleaseAtExit(true); }

// The C library's _exit or _Exit, found when first needed.
[[noreturn]] void RealExit(const char* name, int status) {
  auto real = reinterpret_cast<void (*)(int)>(dlsym(RTLD_NEXT, name));
  if (real != nullptr) real(status);
  abort();
}

}  // namespace
}  // namespace vtape::preload

using namespace vtape::preload;

// The mode argument is there only when the flags ask for one.
#define VTAPE_MODE_ARG(mode, last, flags) \
  mode_t mode = 0;                        \
  if (NeedsMode(flags)) {                 \
    va_list ap;                           \
    va_start(ap, last);                   \
    mode = va_arg(ap, mode_t);            \
    va_end(ap);                           \
  }

VTAPE_EXPORT int open(const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpen, AT_FDCWD, path, flags, mode);
}

VTAPE_EXPORT int open64(const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpen64, AT_FDCWD, path, flags, mode);
}

VTAPE_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpenat, dirfd, path, flags, mode);
}

VTAPE_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpenat64, dirfd, path, flags, mode);
}

VTAPE_EXPORT int __open_2(const char* path, int flags) {
  return OpenEntry(Entry::kOpen2, AT_FDCWD, path, flags, 0);
}

VTAPE_EXPORT int __open64_2(const char* path, int flags) {
  return OpenEntry(Entry::kOpen64_2, AT_FDCWD, path, flags, 0);
}

VTAPE_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
  return OpenEntry(Entry::kOpenat2, dirfd, path, flags, 0);
}

VTAPE_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
  return OpenEntry(Entry::kOpenat64_2, dirfd, path, flags, 0);
}

VTAPE_EXPORT int creat(const char* path, mode_t mode) {
  if (!Ready()) return -1;
  int fd;
  if (TryOpenTape(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, &fd)) return fd;
  return Fresh(libc.creat(path, mode));
}

VTAPE_EXPORT int creat64(const char* path, mode_t mode) {
  if (!Ready()) return -1;
  int fd;
  if (TryOpenTape(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, &fd)) return fd;
  return Fresh(libc.creat64(path, mode));
}

VTAPE_EXPORT ssize_t read(int fd, void* buf, size_t count) {
  if (!Ready()) return -1;
  if (!IsOpenTape(fd)) return libc.read(fd, buf, count);
  int saved = errno;
  return Finish(OnDrive(DriveOf(fd), [&](Drive& d) { return TapeRead(d, buf, count); }), saved);
}

VTAPE_EXPORT ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  if (!Ready()) return -1;
  if (!IsOpenTape(fd)) return libc.read_chk(fd, buf, count, buflen);
  if (count > buflen) __chk_fail();
  int saved = errno;
  return Finish(OnDrive(DriveOf(fd), [&](Drive& d) { return TapeRead(d, buf, count); }), saved);
}

VTAPE_EXPORT ssize_t write(int fd, const void* buf, size_t count) {
  if (!Ready()) return -1;
  if (!IsOpenTape(fd)) return libc.write(fd, buf, count);
  int saved = errno;
  return Finish(OnDrive(DriveOf(fd), [&](Drive& d) { return TapeWrite(d, buf, count); }), saved);
}

VTAPE_EXPORT ssize_t readv(int fd, const iovec* iov, int count) {
  if (!Ready()) return -1;
  if (!IsOpenTape(fd)) return libc.readv(fd, iov, count);
  int drive = DriveOf(fd);
  return EachSegment(iov, count, [drive](const iovec& v) {
    return OnDrive(drive, [&](Drive& d) { return TapeRead(d, v.iov_base, v.iov_len); });
  });
}

VTAPE_EXPORT ssize_t writev(int fd, const iovec* iov, int count) {
  if (!Ready()) return -1;
  if (!IsOpenTape(fd)) return libc.writev(fd, iov, count);
  int drive = DriveOf(fd);
  return EachSegment(iov, count, [drive](const iovec& v) {
    return OnDrive(drive, [&](Drive& d) { return TapeWrite(d, v.iov_base, v.iov_len); });
  });
}

// st seeks nowhere and reports offset 0 (noop_llseek), which lets programs
// that probe with lseek, such as the C++ streams, carry on.
VTAPE_EXPORT off_t lseek(int fd, off_t offset, int whence) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.lseek(fd, offset, whence);
  return 0;
}

VTAPE_EXPORT off64_t lseek64(int fd, off64_t offset, int whence) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.lseek64(fd, offset, whence);
  return 0;
}

VTAPE_EXPORT ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  return Positional(&LibC::pread, fd, buf, count, offset);
}

VTAPE_EXPORT ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
  return Positional(&LibC::pread64, fd, buf, count, offset);
}

VTAPE_EXPORT ssize_t __pread_chk(int fd, void* buf, size_t count, off_t offset, size_t buflen) {
  if (count > buflen) __chk_fail();
  return Positional(&LibC::pread_chk, fd, buf, count, offset, buflen);
}

VTAPE_EXPORT ssize_t __pread64_chk(int fd, void* buf, size_t count, off64_t offset, size_t buflen) {
  if (count > buflen) __chk_fail();
  return Positional(&LibC::pread64_chk, fd, buf, count, offset, buflen);
}

VTAPE_EXPORT ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  return Positional(&LibC::pwrite, fd, buf, count, offset);
}

VTAPE_EXPORT ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) {
  return Positional(&LibC::pwrite64, fd, buf, count, offset);
}

VTAPE_EXPORT ssize_t preadv(int fd, const iovec* iov, int count, off_t offset) {
  return Positional(&LibC::preadv, fd, iov, count, offset);
}

VTAPE_EXPORT ssize_t preadv64(int fd, const iovec* iov, int count, off64_t offset) {
  return Positional(&LibC::preadv64, fd, iov, count, offset);
}

VTAPE_EXPORT ssize_t pwritev(int fd, const iovec* iov, int count, off_t offset) {
  return Positional(&LibC::pwritev, fd, iov, count, offset);
}

VTAPE_EXPORT ssize_t pwritev64(int fd, const iovec* iov, int count, off64_t offset) {
  return Positional(&LibC::pwritev64, fd, iov, count, offset);
}

VTAPE_EXPORT ssize_t preadv2(int fd, const iovec* iov, int count, off_t offset, int flags) {
  return PositionalV2(&LibC::preadv2, readv, fd, iov, count, offset, flags);
}

VTAPE_EXPORT ssize_t preadv64v2(int fd, const iovec* iov, int count, off64_t offset, int flags) {
  return PositionalV2(&LibC::preadv64v2, readv, fd, iov, count, offset, flags);
}

VTAPE_EXPORT ssize_t pwritev2(int fd, const iovec* iov, int count, off_t offset, int flags) {
  return PositionalV2(&LibC::pwritev2, writev, fd, iov, count, offset, flags);
}

VTAPE_EXPORT ssize_t pwritev64v2(int fd, const iovec* iov, int count, off64_t offset, int flags) {
  return PositionalV2(&LibC::pwritev64v2, writev, fd, iov, count, offset, flags);
}

VTAPE_EXPORT ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count) {
  if (!Ready()) return -1;
  if (IsTape(in_fd)) return NoSplicing(offset != nullptr);
  return IsTape(out_fd) ? NoSplicing(false) : libc.sendfile(out_fd, in_fd, offset, count);
}

VTAPE_EXPORT ssize_t sendfile64(int out_fd, int in_fd, off64_t* offset, size_t count) {
  if (!Ready()) return -1;
  if (IsTape(in_fd)) return NoSplicing(offset != nullptr);
  return IsTape(out_fd) ? NoSplicing(false) : libc.sendfile64(out_fd, in_fd, offset, count);
}

VTAPE_EXPORT ssize_t splice(int in_fd, off64_t* in_offset, int out_fd, off64_t* out_offset, size_t count,
                            unsigned flags) {
  if (!Ready()) return -1;
  bool in_tape = IsTape(in_fd), out_tape = IsTape(out_fd);
  if (!in_tape && !out_tape) return libc.splice(in_fd, in_offset, out_fd, out_offset, count, flags);
  return NoSplicing((in_tape && in_offset != nullptr) || (out_tape && out_offset != nullptr));
}

VTAPE_EXPORT ssize_t copy_file_range(int in_fd, off64_t* in_offset, int out_fd, off64_t* out_offset, size_t count,
                                     unsigned flags) {
  if (!Ready()) return -1;
  if (IsTape(in_fd) || IsTape(out_fd)) return NoSplicing(false);
  return libc.copy_file_range(in_fd, in_offset, out_fd, out_offset, count, flags);
}

VTAPE_EXPORT int close(int fd) {
  if (!Ready()) return -1;
  if ((IsTape(fd) || IsInternal(fd)) && SharingParentsMemory()) return libc.close(fd);
  if (NotTheProgramsOwn(fd)) return -1;
  if (!IsOpenTape(fd)) {
    ForgetChanger(fd);
    return libc.close(fd);
  }
  int saved = errno;
  Locked lock;
  int closed = libc.close(fd);
  int close_errno = errno;
  long result = Untrack(fd);
  if (closed < 0 && result == 0) result = -close_errno;
  return static_cast<int>(Finish(result, saved));
}

// A program that leaves through _exit (dash always does, and forked
// children do) closes its descriptors in the kernel without the destructor:
// the drive is left here, as the kernel's release would.
VTAPE_EXPORT void _exit(int status) {
  if (Ready()) ReleaseAtExit(false);
  RealExit("_exit", status);
}

VTAPE_EXPORT void _Exit(int status) {
  if (Ready()) ReleaseAtExit(false);
  RealExit("_Exit", status);
}

VTAPE_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!Ready()) return -1;
  int saved = errno;
  if (IsChanger(fd)) return static_cast<int>(Finish(ChangerIoctl(request, arg), saved));
  if (!IsOpenTape(fd)) {
    int drive;
    if (GenericNodeOf(fd, &drive)) return static_cast<int>(Finish(GenericNodeIoctl(drive, request, arg), saved));
    return libc.ioctl(fd, request, arg);
  }
  // st hands the SCSI ioctls to the device, whatever state the tape is in.
  if (IsScsiRequest(request)) return static_cast<int>(Finish(DriveScsiIoctl(DriveOf(fd), request, arg), saved));
  return static_cast<int>(Finish(OnDrive(DriveOf(fd), [&](Drive& d) { return TapeIoctl(d, request, arg); }), saved));
}

VTAPE_EXPORT int dup(int fd) {
  if (!Ready() || NotTheProgramsOwn(fd)) return -1;
  if (!IsTape(fd)) return Fresh(libc.dup(fd));
  return DuplicatedTape(fd, libc.dup(fd));
}

// Whatever newfd was, the changer's descriptor among them, it is closed.
VTAPE_EXPORT int dup2(int oldfd, int newfd) {
  if (!Ready()) return -1;
  return DupOnto(oldfd, newfd, 0, false);
}

VTAPE_EXPORT int dup3(int oldfd, int newfd, int flags) {
  if (!Ready()) return -1;
  return DupOnto(oldfd, newfd, flags, true);
}

VTAPE_EXPORT int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return FcntlCommon(false, fd, cmd, arg);
}

VTAPE_EXPORT int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return FcntlCommon(true, fd, cmd, arg);
}

VTAPE_EXPORT int close_range(unsigned first, unsigned last, int flags) {
  if (!Ready()) return -1;
  if (SharingParentsMemory()) return static_cast<int>(libc.syscall(SYS_close_range, first, last, flags));
  int r = CloseRange(first, last, flags);
  if (r == 0 && (flags & CLOSE_RANGE_CLOEXEC) == 0) {
    for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(kDescriptorTableSize); ++fd) {
      ForgetChanger(static_cast<int>(fd));
    }
  }
  return r;
}

VTAPE_EXPORT void closefrom(int lowfd) {
  if (lowfd >= 0) close_range(static_cast<unsigned>(lowfd), ~0U, 0);
}

// Raw system calls through the C library's syscall(): those that close a
// descriptor or open a file by name go where their functions go.
VTAPE_EXPORT long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (long& arg : a) arg = va_arg(ap, long);
  va_end(ap);
  bool served = number == SYS_close || number == SYS_close_range || number == SYS_openat || number == SYS_openat2;
#ifdef SYS_open
  served = served || number == SYS_open;
#endif
  // Other libraries call it at any time, libstdc++ for its futexes even
  // while this library starts: the rest goes straight on.
  if (!served) {
    if (libc.syscall == nullptr) libc.syscall = reinterpret_cast<long (*)(long, ...)>(dlsym(RTLD_NEXT, "syscall"));
    return libc.syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
  }
  if (!Ready()) return -1;
  const char* path = reinterpret_cast<const char*>(a[1]);
  int flags = static_cast<int>(a[2]);
  switch (number) {
    case SYS_close: return close(static_cast<int>(a[0]));
    case SYS_close_range:
      return close_range(static_cast<unsigned>(a[0]), static_cast<unsigned>(a[1]), static_cast<int>(a[2]));
#ifdef SYS_open
    case SYS_open:
      return OpenEntry(Entry::kOpen, AT_FDCWD, reinterpret_cast<const char*>(a[0]), static_cast<int>(a[1]),
                       static_cast<mode_t>(a[2]));
#endif
    case SYS_openat: return OpenEntry(Entry::kOpenat, static_cast<int>(a[0]), path, flags, static_cast<mode_t>(a[3]));
  }
  return Openat2(static_cast<int>(a[0]), path, reinterpret_cast<const open_how*>(a[2]), static_cast<size_t>(a[3]));
}
