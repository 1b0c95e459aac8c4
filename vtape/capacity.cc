#include "capacity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "drive_env.h"

namespace vtape {

bool SetCapacity(int dir_fd, const char* name, uint64_t bytes) {
  std::string file = std::string(name) + kCapacitySuffix;
  if (bytes == 0) return unlinkat(dir_fd, file.c_str(), 0) == 0 || errno == ENOENT;
  int fd = openat(dir_fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  char text[32];
  int n = snprintf(text, sizeof text, "%" PRIu64 "\n", bytes);
  bool written = write(fd, text, static_cast<size_t>(n)) == n;
  int error = errno;
  if (close(fd) != 0 && written) return false;
  errno = error;
  return written;
}

}  // namespace vtape
