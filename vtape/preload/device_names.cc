#include "device_names.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "config.h"

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
    base[n] = '\0';
  }
  int n = snprintf(out, cap, "%s/%s", base, path);
  if (n < 0 || static_cast<size_t>(n) >= cap) return false;
  Normalize(out);
  return true;
}

DeviceName NameOf(int dirfd, const char* path) {
  if (path == nullptr) return DeviceName::kOther;
  char abs[PATH_MAX];
  if (!AbsolutePath(dirfd, path, abs, sizeof abs)) return DeviceName::kOther;
  if (strcmp(abs, g_config.rewind_name) == 0) return DeviceName::kRewinding;
  if (g_config.norewind_name[0] != '\0' && strcmp(abs, g_config.norewind_name) == 0) {
    return DeviceName::kNonRewinding;
  }
  return DeviceName::kOther;
}

}  // namespace vtape::preload
