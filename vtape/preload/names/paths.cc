#include "preload/names/paths.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vtape::preload {

namespace {

// Lexically normalises the absolute path in `path` in place, so "/dev//nst0"
// and "/dev/./nst0" name the drive too.
void Normalize(char* path) {
  char* out = path;
  const char* in = path;
  while (*in != '\0') {
    while (*in == '/') ++in;
    const char* end = in;
    while (*end != '\0' && *end != '/') ++end;
    size_t len = static_cast<size_t>(end - in);
    bool dot = len == 1 && in[0] == '.';
    bool dotdot = len == 2 && in[0] == '.' && in[1] == '.';
    if (dotdot) {
      while (out > path && *--out != '/') continue;
    } else if (len > 0 && !dot) {
      *out++ = '/';
      memmove(out, in, len);
      out += len;
    }
    in = end;
  }
  if (out == path) *out++ = '/';
  *out = '\0';
}

}  // namespace

bool AbsolutePath(int dirfd, const char* path, char* out, size_t cap) {
  char base[PATH_MAX];
  if (path[0] == '/') {
    base[0] = '\0';
  } else if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == nullptr) return false;
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, base, sizeof base - 1);
    if (n < 0) return false;
    // readlink cuts a longer name short without a word.
    if (n == static_cast<ssize_t>(sizeof base - 1)) {
      errno = ENAMETOOLONG;
      return false;
    }
    base[n] = '\0';
  }
  int n = snprintf(out, cap, "%s/%s", base, path);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    errno = ENAMETOOLONG;
    return false;
  }
  Normalize(out);
  return true;
}

bool ConfiguredName(const char* path, char* out, size_t cap) {
  char raw[PATH_MAX];
  if (path[0] == '/') {
    raw[0] = '\0';
  } else if (getcwd(raw, sizeof raw) == nullptr) {
    return false;
  }
  size_t used = strlen(raw);
  if (snprintf(raw + used, sizeof raw - used, "/%s", path) >= static_cast<int>(sizeof raw - used)) return false;
  // The longest run of folders that is there resolves as the kernel
  // resolves it; the rest, and the name itself, stay as written.
  char* tail = strrchr(raw, '/');
  char folder[PATH_MAX];
  for (;;) {
    *tail = '\0';
    if (realpath(raw[0] == '\0' ? "/" : raw, folder) != nullptr) break;
    char* up = strrchr(raw, '/');
    *tail = '/';
    tail = up;
  }
  *tail = '/';
  if (strcmp(folder, "/") == 0) folder[0] = '\0';
  int n = snprintf(out, cap, "%s%s", folder, tail);
  if (n < 0 || static_cast<size_t>(n) >= cap) return false;
  Normalize(out);
  return true;
}

}  // namespace vtape::preload
