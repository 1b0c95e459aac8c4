#include "device_names.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "library.h"

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

// st's character device major number.
constexpr unsigned kTapeMajor = 9;
// Where st's device nodes live: devtmpfs on /dev.
constexpr unsigned kDevMajor = 0;
constexpr unsigned kDevMinor = 5;

// The tape number st gives the drive: in a library the drive's own; for a
// single drive, the number in the name it was given ("nst1" is tape 1), 0
// for a name without one.
unsigned TapeNumber(DeviceName name, int drive) {
  if (InLibrary()) return static_cast<unsigned>(drive);
  const char* path = name == DeviceName::kRewinding ? g_config.rewind_name : g_config.norewind_name;
  const char* digits = strrchr(path, '/') + 1;
  while (*digits != '\0' && (*digits < '0' || *digits > '9')) ++digits;
  return static_cast<unsigned>(strtoul(digits, nullptr, 10));
}

// st's minor number: the tape number split around the mode bits, plus 128
// for the non-rewinding name.
unsigned DeviceMinor(DeviceName name, int drive) {
  unsigned tape = TapeNumber(name, drive);
  unsigned minor = (tape & 31) | ((tape & ~31U) << 3);
  return name == DeviceName::kNonRewinding ? minor | 128 : minor;
}

// Node numbers only need to tell the names apart.
ino_t DeviceInode(DeviceName name, int drive) { return 1000 + DeviceMinor(name, drive); }

bool SameComponent(const char* component, size_t len, const char* name) {
  if (name[0] == '\0') return false;
  const char* base = strrchr(name, '/') + 1;
  return strlen(base) == len && memcmp(base, component, len) == 0;
}

// A cheap first look that spares the path building for almost every path a
// program opens or stats: the last component must be one of the drive's.
bool MayNameDrive(const char* path) {
  const char* end = path + strlen(path);
  while (end > path && end[-1] == '/') --end;
  const char* start = end;
  while (start > path && start[-1] != '/') --start;
  size_t len = static_cast<size_t>(end - start);
  if ((len == 1 && start[0] == '.') || (len == 2 && start[0] == '.' && start[1] == '.')) return true;
  return SameComponent(start, len, g_config.rewind_name) || SameComponent(start, len, g_config.norewind_name);
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

DeviceName NameOf(int dirfd, const char* path, int* drive) {
  if (drive != nullptr) *drive = 0;
  if (path != nullptr && InLibrary()) return LibraryNameOf(dirfd, path, drive);
  if (path == nullptr || !MayNameDrive(path)) return DeviceName::kOther;
  char abs[PATH_MAX];
  if (!AbsolutePath(dirfd, path, abs, sizeof abs)) return DeviceName::kOther;
  if (strcmp(abs, g_config.rewind_name) == 0) return DeviceName::kRewinding;
  if (g_config.norewind_name[0] != '\0' && strcmp(abs, g_config.norewind_name) == 0) {
    return DeviceName::kNonRewinding;
  }
  return DeviceName::kOther;
}

void StatDevice(DeviceName name, int drive, struct stat* out) {
  *out = {};
  out->st_dev = makedev(kDevMajor, kDevMinor);
  out->st_ino = DeviceInode(name, drive);
  out->st_mode = S_IFCHR | 0660;
  out->st_nlink = 1;
  out->st_uid = getuid();
  out->st_gid = getgid();
  out->st_rdev = makedev(kTapeMajor, DeviceMinor(name, drive));
  out->st_blksize = kDeviceBlockSize;
}

void StatxDevice(DeviceName name, int drive, struct statx* out) {
  *out = {};
  out->stx_mask = STATX_BASIC_STATS;
  out->stx_blksize = kDeviceBlockSize;
  out->stx_nlink = 1;
  out->stx_uid = getuid();
  out->stx_gid = getgid();
  out->stx_mode = S_IFCHR | 0660;
  out->stx_ino = DeviceInode(name, drive);
  out->stx_rdev_major = kTapeMajor;
  out->stx_rdev_minor = DeviceMinor(name, drive);
  out->stx_dev_major = kDevMajor;
  out->stx_dev_minor = kDevMinor;
}

}  // namespace vtape::preload
