#include "descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "real_libc.h"
#include "tape.h"

namespace vtape::preload {

namespace {

// Descriptors below this number can be the drive; the table costs 4 KiB.
constexpr int kMaxFds = 4096;
// The image descriptor is moved this high so the program gets the numbers
// the kernel would have given it.
constexpr int kInternalFdFloor = 512;

bool g_is_tape[kMaxFds];
// Descriptors sharing the drive's open file description.
int g_refs;
// Only the opening process releases the drive; a forked child's copies never do.
pid_t g_owner;

}  // namespace

bool IsTape(int fd) { return fd >= 0 && fd < kMaxFds && g_is_tape[fd]; }

int NewTapeDescriptor(int flags) {
  int fd = libc.open("/dev/null", (flags & O_ACCMODE) | (flags & O_CLOEXEC));
  if (fd < 0) return -errno;
  if (fd >= kMaxFds) {
    libc.close(fd);
    return -EMFILE;
  }
  return fd;
}

void AdoptTapeDescriptor(int fd) {
  g_is_tape[fd] = true;
  g_refs = 1;
  g_owner = getpid();
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
  g_is_tape[fd] = false;
  if (--g_refs > 0 || g_owner != getpid()) return 0;
  g_owner = 0;
  return ReleaseDrive();
}

int TrackDup(int newfd) {
  if (newfd < 0) return newfd;
  if (newfd >= kMaxFds) {
    libc.close(newfd);
    errno = EMFILE;
    return -1;
  }
  g_is_tape[newfd] = true;
  ++g_refs;
  return newfd;
}

int DupTo(int oldfd, int newfd, int flags, bool is_dup3) {
  int saved = errno;
  int r = is_dup3 ? libc.dup3(oldfd, newfd, flags) : libc.dup2(oldfd, newfd);
  if (r < 0 || oldfd == newfd) return r;
  Locked lock;
  bool old_tape = IsTape(oldfd);
  if (old_tape) ++g_refs;
  // dup2 closed whatever newfd was; its close error is lost, as in the kernel.
  if (IsTape(newfd)) Untrack(newfd);
  if (old_tape) {
    --g_refs;
    r = TrackDup(r);
  }
  if (r >= 0) errno = saved;
  return r;
}

void ReleaseAtExit() {
  Locked lock;
  if (DriveInUse() && g_owner == getpid()) {
    g_owner = 0;
    ReleaseDrive();
  }
}

}  // namespace vtape::preload
