#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace library {

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

bool RunLock::Acquire(const std::string& path, bool wait, std::string* error) {
  // Not close-on-exec: mtx and vaklabel inherit the lock, so a run killed
  // while they work keeps the library until they have finished too.
  fd_ = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd_ < 0) {
    *error = "cannot open lock file " + path + ": " + std::strerror(errno);
    return false;
  }
  int rc;
  do {
    rc = flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    // The holder's pid, for the operator who finds the lock taken.
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd_, 0) == 0 && write(fd_, pid.data(), pid.size()) < 0) {
      // The lock holds without the note.
    }
    return true;
  }
  int lock_error = errno;
  std::string holder;
  char buffer[32] = {};
  if (pread(fd_, buffer, sizeof buffer - 1, 0) > 0) holder = std::string(buffer, strcspn(buffer, "\n"));
  *error = lock_error == EWOULDBLOCK ? "another run (process " + (holder.empty() ? "?" : holder) + ") holds " + path +
                                      "; wait for it, or give --wait"
                                : "cannot lock " + path + ": " + std::strerror(lock_error);
  return false;
}

}  // namespace library
