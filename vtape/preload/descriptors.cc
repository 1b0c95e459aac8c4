#include "descriptors.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "real_libc.h"
#include "tape.h"

namespace vtape::preload {

namespace {

// Descriptors below this number can be the drive; the table costs 4 KiB.
constexpr int kMaxFds = 4096;
// The image descriptor is moved this high so the program gets the numbers
// the kernel would have given it.
constexpr int kInternalFdFloor = 512;

// 1 + the drive each descriptor refers to; 0 for any other descriptor.
unsigned char g_drive_of[kMaxFds];
// Descriptors sharing each drive's open file description.
int g_refs[kMaxDrives];
// Only the opening process releases a drive; a forked child's copies never do.
pid_t g_owner[kMaxDrives];

}  // namespace

bool IsTape(int fd) { return fd >= 0 && fd < kMaxFds && g_drive_of[fd] != 0; }

int DriveOf(int fd) { return g_drive_of[fd] - 1; }

namespace {

// An empty memory file that refuses to be written, reopened with the access
// mode asked for so that F_GETFL shows it.
int SealedMemoryFile(int accmode) {
  int fd = memfd_create("vtape drive", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -errno;
  libc.fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  int reopened = libc.open(path, accmode | O_CLOEXEC);
  if (reopened < 0) return fd;  // without /proc the descriptor stays O_RDWR
  libc.close(fd);
  return reopened;
}

// Moves `fd` to the lowest free number, as the kernel would have given it,
// with the close-on-exec flag the program asked for.
int Lowest(int fd, bool cloexec) {
  int low = libc.fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
  if (low >= 0 && low < fd) {
    libc.close(fd);
    return low;
  }
  if (low >= 0) libc.close(low);
  libc.fcntl(fd, F_SETFD, cloexec ? FD_CLOEXEC : 0);
  return fd;
}

}  // namespace

// The descriptor must be a real one, so that the kernel accepts it in poll,
// fcntl, dup and close, but nothing the program does to it behind the
// library's back may reach anything. /dev/null was that, but programs know
// /dev/null by its device number (GNU tar then writes no archive at all); a
// sealed memory file reads as empty and fails writes with EPERM, so a program
// that passes the descriptor to a child through exec gets an error instead of
// losing its data.
int NewTapeDescriptor(int flags) {
  int fd = SealedMemoryFile(flags & O_ACCMODE);
  if (fd < 0) return fd;
  fd = Lowest(fd, (flags & O_CLOEXEC) != 0);
  if (fd >= kMaxFds) {
    libc.close(fd);
    return -EMFILE;
  }
  return fd;
}

void AdoptTapeDescriptor(int fd, int drive) {
  g_drive_of[fd] = static_cast<unsigned char>(drive + 1);
  g_refs[drive] = 1;
  g_owner[drive] = getpid();
}

int MoveHigh(int fd) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur <= static_cast<rlim_t>(kInternalFdFloor) * 2) {
    return fd;
  }
  int high = libc.fcntl(fd, F_DUPFD_CLOEXEC, kInternalFdFloor);
  if (high < 0) return fd;
  libc.close(fd);
  return high;
}

long Untrack(int fd) {
  int drive = DriveOf(fd);
  g_drive_of[fd] = 0;
  if (--g_refs[drive] > 0 || g_owner[drive] != getpid()) return 0;
  g_owner[drive] = 0;
  return ReleaseDrive(drive);
}

int TrackDup(int newfd, int drive) {
  if (newfd < 0) return newfd;
  if (newfd >= kMaxFds) {
    libc.close(newfd);
    errno = EMFILE;
    return -1;
  }
  g_drive_of[newfd] = static_cast<unsigned char>(drive + 1);
  ++g_refs[drive];
  return newfd;
}

int DupTo(int oldfd, int newfd, int flags, bool is_dup3) {
  int saved = errno;
  int r = is_dup3 ? libc.dup3(oldfd, newfd, flags) : libc.dup2(oldfd, newfd);
  if (r < 0 || oldfd == newfd) return r;
  Locked lock;
  int old_drive = IsTape(oldfd) ? DriveOf(oldfd) : -1;
  if (old_drive >= 0) ++g_refs[old_drive];
  // dup2 closed whatever newfd was; its close error is lost, as in the kernel.
  if (IsTape(newfd)) Untrack(newfd);
  if (old_drive >= 0) {
    --g_refs[old_drive];
    r = TrackDup(r, old_drive);
  }
  if (r >= 0) errno = saved;
  return r;
}

void ReleaseAtExit() {
  // Output still buffered in streams on the drive belongs on the tape before
  // the closing filemark; exit would flush it only after this.
  fflush(nullptr);
  Locked lock;
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    if (DriveInUse(drive) && g_owner[drive] == getpid()) {
      g_owner[drive] = 0;
      ReleaseDrive(drive);
    }
  }
  // Whatever runs later in the exit reaches the kernel's descriptors, not a
  // drive that is gone.
  memset(g_drive_of, 0, sizeof g_drive_of);
}

}  // namespace vtape::preload
