#include "sysfs.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "descriptors.h"
#include "library.h"
#include "real_libc.h"
#include "tape.h"

namespace vtape::preload {

namespace {

constexpr char kClassDir[] = "/sys/class/scsi_tape/";

// The text of attribute `name` of drive `drive`; false for one st does not
// have. The defaults of the mode are never set here, which st shows as -1.
bool AttributeText(int drive, const char* name, char* text, size_t cap) {
  if (strcmp(name, "options") == 0) {
    Locked lock;
    snprintf(text, cap, "0x%08x\n", CurrentParameters(drive).options);
  } else if (strcmp(name, "defined") == 0) {
    snprintf(text, cap, "1\n");
  } else if (strcmp(name, "default_blksize") == 0 || strcmp(name, "default_density") == 0 ||
             strcmp(name, "default_compression") == 0) {
    snprintf(text, cap, "-1\n");
  } else {
    return false;
  }
  return true;
}

// "stN", "stNl", "stNm", "stNa" and the same with "n" in front: drive N.
bool DriveDirectory(const char* name, size_t len, int* drive) {
  if (len > 0 && name[0] == 'n') ++name, --len;
  if (len < 3 || strncmp(name, "st", 2) != 0) return false;
  char* end;
  long n = strtol(name + 2, &end, 10);
  size_t rest = len - static_cast<size_t>(end - name);
  if (end == name + 2 || n < 0 || rest > 1 || (rest == 1 && strchr("lma", *end) == nullptr)) return false;
  if (n >= (InLibrary() ? kMaxDrives : 1)) return false;
  *drive = static_cast<int>(n);
  return true;
}

}  // namespace

bool OpenDriveAttribute(const char* path, int flags, long* result) {
  if (path == nullptr || strncmp(path, kClassDir, sizeof kClassDir - 1) != 0) return false;
  const char* dir = path + sizeof kClassDir - 1;
  const char* slash = strchr(dir, '/');
  int drive;
  if (slash == nullptr || !DriveDirectory(dir, static_cast<size_t>(slash - dir), &drive)) return false;
  char text[32];
  if (!AttributeText(drive, slash + 1, text, sizeof text)) return false;
  // The attributes can only be read.
  if ((flags & O_ACCMODE) != O_RDONLY) {
    *result = -EACCES;
    return true;
  }
  int fd = memfd_create("vtape sysfs", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
  size_t n = strlen(text);
  if (fd < 0 || pwrite(fd, text, n, 0) != static_cast<ssize_t>(n)) {
    if (fd >= 0) libc.close(fd);
    *result = -EIO;
    return true;
  }
  *result = fd;
  return true;
}

}  // namespace vtape::preload
