#include "preload/core/internal_descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>

#include "preload/core/real_libc.h"

namespace vtape::preload {

namespace {

// Internal descriptors go no higher than this, however high the limit: the
// kernel's table of a process grows to its highest number, and each fork
// copies it.
constexpr rlim_t kInternalCeiling = 1024;
// Under a low soft limit that the hard one lets rise, internal descriptors
// go this far above it, where the program can neither get nor name them:
// it keeps every number its limit gives it.
constexpr rlim_t kRoomAboveTheLimit = 64;

// The library's own descriptors, by number and file, so that a number the
// library let go of and the program got again is the program's.
struct Internal {
  int fd;
  dev_t dev;
  ino_t ino;
  int* home;
};
Internal g_internal[kMaxInternal];

bool Current(const Internal& i) {
  struct stat st;
  return i.fd > 0 && libc.fstat(i.fd, &st) == 0 && st.st_ino == i.ino && st.st_dev == i.dev;
}

Internal* Find(int fd) {
  if (fd <= 0) return nullptr;
  for (Internal& i : g_internal) {
    if (i.fd == fd && Current(i)) return &i;
  }
  return nullptr;
}

// The number below which internal descriptors go, and whether the soft
// limit must rise to it for the while.
rlim_t Ceiling(const struct rlimit& lim, bool* above) {
  *above = lim.rlim_cur <= kInternalCeiling && lim.rlim_max > lim.rlim_cur;
  if (*above)
    return lim.rlim_max - lim.rlim_cur < kRoomAboveTheLimit ? lim.rlim_max : lim.rlim_cur + kRoomAboveTheLimit;
  return lim.rlim_cur < kInternalCeiling ? lim.rlim_cur : kInternalCeiling;
}

// A copy of `fd` at the highest free number below the ceiling and above
// `floor`, or -1. F_DUPFD takes the lowest free number from its argument
// up, so the first argument from the top that gives one below the ceiling
// gives the highest free one.
int TopCopy(int fd, int floor) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  bool above;
  struct rlimit raised = {Ceiling(lim, &above), lim.rlim_max};
  if (above && setrlimit(RLIMIT_NOFILE, &raised) != 0) raised.rlim_cur = lim.rlim_cur;
  int ceiling = static_cast<int>(raised.rlim_cur);
  int copy = -1;
  for (int at = ceiling - 1; at > floor && copy < 0; --at) {
    copy = libc.fcntl(fd, F_DUPFD_CLOEXEC, at);
    if (copy < 0 && errno != EMFILE) break;
    if (copy >= ceiling) {
      libc.close(copy);
      copy = -1;
    }
  }
  int error = errno;
  if (above) setrlimit(RLIMIT_NOFILE, &lim);
  errno = error;
  return copy;
}

}  // namespace

void KeepInternal(int fd, int* home) {
  struct stat st;
  if (fd < 0 || libc.fstat(fd, &st) != 0) return;
  Internal* slot = nullptr;
  for (Internal& i : g_internal) {
    bool stale = i.fd <= 0 || i.fd == fd || !Current(i);
    if (stale && (slot == nullptr || i.fd == fd)) slot = &i;
  }
  if (slot != nullptr) *slot = Internal{fd, st.st_dev, st.st_ino, home};
}

bool IsInternal(int fd) { return Find(fd) != nullptr; }

int MoveHigh(int fd) {
  int high = fd < 0 ? -1 : TopCopy(fd, fd);
  if (high >= 0) {
    libc.close(fd);
    fd = high;
  }
  KeepInternal(fd);
  return fd;
}

bool MoveAside(int fd) {
  Internal* i = Find(fd);
  if (i == nullptr) return true;
  if (i->home == nullptr || *i->home != fd) return false;
  // Past the ceiling the program may be taking the numbers from the bottom
  // up: ahead of it then.
  int moved = TopCopy(fd, 0);
  if (moved < 0) moved = libc.fcntl(fd, F_DUPFD_CLOEXEC, fd + 1);
  if (moved < 0) return false;
  // The copy keeps the flags of the descriptor, close-on-exec among them.
  libc.fcntl(moved, F_SETFD, libc.fcntl(fd, F_GETFD));
  libc.close(fd);
  *i->home = moved;
  i->fd = moved;
  return true;
}

int InternalIn(unsigned first, unsigned last, int* out) {
  int count = 0;
  for (const Internal& i : g_internal) {
    if (i.fd > 0 && static_cast<unsigned>(i.fd) >= first && static_cast<unsigned>(i.fd) <= last && Current(i)) {
      int at = count++;
      while (at > 0 && out[at - 1] > i.fd) {
        out[at] = out[at - 1];
        --at;
      }
      out[at] = i.fd;
    }
  }
  return count;
}

}  // namespace vtape::preload
