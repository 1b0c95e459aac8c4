#include "preload/core/internal_descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "preload/core/real_libc.h"

namespace vtape::preload {

namespace {

// An internal descriptor is moved this high so the program gets the numbers
// the kernel would have given it.
constexpr int kInternalFdFloor = 512;

// The library's own descriptors, by number and file, so that a number the
// library let go of and the program got again is the program's.
struct Internal {
  int fd;
  dev_t dev;
  ino_t ino;
};
Internal g_internal[kMaxInternal];

}  // namespace

void KeepInternal(int fd) {
  struct stat st;
  if (fd < 0 || libc.fstat(fd, &st) != 0) return;
  Internal* slot = nullptr;
  for (Internal& i : g_internal) {
    struct stat now;
    bool stale = i.fd <= 0 || i.fd == fd || libc.fstat(i.fd, &now) != 0 || now.st_ino != i.ino || now.st_dev != i.dev;
    if (stale && (slot == nullptr || i.fd == fd)) slot = &i;
  }
  if (slot != nullptr) *slot = Internal{fd, st.st_dev, st.st_ino};
}

namespace {

bool IsInternal(int fd) {
  for (const Internal& i : g_internal) {
    struct stat st;
    if (i.fd == fd && fd > 0 && libc.fstat(fd, &st) == 0 && st.st_ino == i.ino && st.st_dev == i.dev) return true;
  }
  return false;
}

}  // namespace

int MoveHigh(int fd) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur <= static_cast<rlim_t>(kInternalFdFloor) * 2) {
    return fd;
  }
  int high = libc.fcntl(fd, F_DUPFD_CLOEXEC, kInternalFdFloor);
  if (high >= 0) {
    libc.close(fd);
    fd = high;
  }
  KeepInternal(fd);
  return fd;
}

int InternalIn(unsigned first, unsigned last, int* out) {
  int count = 0;
  for (const Internal& i : g_internal) {
    if (i.fd > 0 && static_cast<unsigned>(i.fd) >= first && static_cast<unsigned>(i.fd) <= last && IsInternal(i.fd)) {
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
