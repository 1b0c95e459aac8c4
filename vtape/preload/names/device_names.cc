#include "preload/names/device_names.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "preload/core/config.h"
#include "preload/core/lock.h"
#include "preload/core/real_libc.h"
#include "preload/descriptors/descriptors.h"
#include "preload/library/library.h"
#include "preload/names/paths.h"
#include "preload/scsi/changer.h"

namespace vtape::preload {

namespace {

// Which drive name of the library the absolute path `abs` is (/dev/nstN
// or /dev/stN), and the drive N. Names of drives the library does not have
// count too, so that they never reach a real device.
DeviceName LibraryName(const char* abs, int* drive) {
  const char* p;
  DeviceName name;
  if (strncmp(abs, "/dev/nst", 8) == 0) {
    p = abs + 8;
    name = DeviceName::kNonRewinding;
  } else if (strncmp(abs, "/dev/st", 7) == 0) {
    p = abs + 7;
    name = DeviceName::kRewinding;
  } else {
    return DeviceName::kOther;
  }
  if (*p < '0' || *p > '9' || strlen(p) > 6) return DeviceName::kOther;
  int n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) n = n * 10 + (*p - '0');
  if (*p != '\0') return DeviceName::kOther;
  *drive = n;
  return name;
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

}  // namespace

unsigned StNumber(int drive) {
  return TapeNumber(g_config.norewind_name[0] != '\0' ? DeviceName::kNonRewinding : DeviceName::kRewinding, drive);
}

namespace {

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

// The last component of `path`, without trailing slashes.
const char* LastComponent(const char* path, size_t* len) {
  const char* end = path + strlen(path);
  while (end > path && end[-1] == '/') --end;
  const char* start = end;
  while (start > path && start[-1] != '/') --start;
  *len = static_cast<size_t>(end - start);
  return start;
}

// A library's drive names: "nst" or "st" and the drive's number.
bool LibraryDriveComponent(const char* component, size_t len) {
  size_t prefix = len > 3 && memcmp(component, "nst", 3) == 0 ? 3 : len > 2 && memcmp(component, "st", 2) == 0 ? 2 : 0;
  return prefix != 0 && component[prefix] >= '0' && component[prefix] <= '9';
}

// The majors of the drivers that reach a tape drive or a changer: st, osst,
// sch and sg.
bool IsTapeMajor(unsigned major) { return major == 9 || major == 206 || major == 86 || major == 21; }

// A cheap first look that spares the resolution for almost every path a
// program opens or stats: the last component must be one of the devices'
// names, or the path must lead somewhere else through a symbolic link or a
// node of a tape driver.
bool MayNameDevice(int dirfd, const char* path, bool follow_last, bool* host_node) {
  size_t len;
  const char* last = LastComponent(path, &len);
  if ((len == 1 && last[0] == '.') || (len == 2 && last[0] == '.' && last[1] == '.')) return true;
  if (SameComponent(last, len, g_config.rewind_name) || SameComponent(last, len, g_config.norewind_name)) return true;
  if (InLibrary() && (LibraryDriveComponent(last, len) || SameComponent(last, len, g_library.changer))) return true;
  struct stat st;
  if (libc.fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  *host_node = S_ISCHR(st.st_mode) && IsTapeMajor(major(st.st_rdev));
  return (S_ISLNK(st.st_mode) && follow_last) || *host_node;
}

enum class Terminal { kNone, kRewinding, kNonRewinding, kChanger };

// Which device the absolute, resolved path `abs` is.
Terminal DeviceAt(const char* abs, int* drive) {
  if (InLibrary()) {
    if (strcmp(abs, g_library.changer) == 0) return Terminal::kChanger;
    switch (LibraryName(abs, drive)) {
      case DeviceName::kRewinding: return Terminal::kRewinding;
      case DeviceName::kNonRewinding: return Terminal::kNonRewinding;
      case DeviceName::kOther: return Terminal::kNone;
    }
  }
  if (strcmp(abs, g_config.rewind_name) == 0) return Terminal::kRewinding;
  if (g_config.norewind_name[0] != '\0' && strcmp(abs, g_config.norewind_name) == 0) return Terminal::kNonRewinding;
  return Terminal::kNone;
}

// "/proc/PID/fd/N" or "/proc/PID/task/TID/fd/N" of this process: the
// descriptor N, else -1.
int OwnDescriptor(const char* abs) {
  char prefix[32];
  int n = snprintf(prefix, sizeof prefix, "/proc/%d/", static_cast<int>(getpid()));
  if (strncmp(abs, prefix, static_cast<size_t>(n)) != 0) return -1;
  const char* p = abs + n;
  if (strncmp(p, "task/", 5) == 0) {
    p = strchr(p + 5, '/');
    if (p == nullptr) return -1;
    ++p;
  }
  if (strncmp(p, "fd/", 3) != 0 || p[3] < '0' || p[3] > '9') return -1;
  char* end;
  long fd = strtol(p + 3, &end, 10);
  return *end == '\0' && fd < INT_MAX ? static_cast<int>(fd) : -1;
}

// A descriptor of the drive or the changer named through /proc, as the
// kernel reopens the node it refers to.
Terminal DeviceOfDescriptor(int fd, int* drive) {
  if (IsChanger(fd)) return Terminal::kChanger;
  if (!IsTape(fd)) return Terminal::kNone;
  Locked lock;
  *drive = DriveOf(fd);
  return DriveRewinding(*drive) ? Terminal::kRewinding : Terminal::kNonRewinding;
}

// How far a path goes: to a device, past one (used as a directory), or
// neither.
struct Resolution {
  Terminal device = Terminal::kNone;
  int drive = 0;
  bool beyond = false;
  bool too_long = false;  // longer than the walk's buffers: never left to the kernel
  bool held = false;      // another process's descriptor of a drive
};

// The link /proc shows for the memory files that stand in for a drive's
// descriptors (descriptors.cc names them so).
constexpr char kStandInLink[] = "/memfd:vtape drive";

bool IsStandIn(const char* target) {
  size_t n = sizeof kStandInLink - 1;
  return strncmp(target, kStandInLink, n) == 0 && (target[n] == '\0' || target[n] == ' ');
}

Resolution TooLong() {
  Resolution r;
  r.too_long = true;
  return r;
}

// A folder the drives' names are in, known by device and inode too, so
// that another way into it (a bind mount of /dev) leads to them as well.
struct DeviceFolder {
  char path[PATH_MAX];
  dev_t dev;
  ino_t ino;
};
// The drive's names', the changer's, and /dev, where a library's drives are.
DeviceFolder g_folders[3];
int g_folder_count;

void NoteFolder(const char* path, size_t len) {
  if (len == 0 || len >= PATH_MAX) return;
  DeviceFolder& f = g_folders[g_folder_count];
  memcpy(f.path, path, len);
  f.path[len] = '\0';
  for (int i = 0; i < g_folder_count; ++i) {
    if (strcmp(g_folders[i].path, f.path) == 0) return;
  }
  struct stat st;
  if (libc.stat(f.path, &st) != 0 || !S_ISDIR(st.st_mode)) return;
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  ++g_folder_count;
}

void NoteFolderOf(const char* name) {
  const char* slash = strrchr(name, '/');
  if (slash != nullptr) NoteFolder(name, static_cast<size_t>(slash - name));
}

// The drives' folder that `st`, found at `cur`, is by another way in.
const char* FolderBehind(const char* cur, const struct stat& st) {
  if (!S_ISDIR(st.st_mode)) return nullptr;
  for (int i = 0; i < g_folder_count; ++i) {
    const DeviceFolder& f = g_folders[i];
    if (f.dev == st.st_dev && f.ino == st.st_ino && strcmp(f.path, cur) != 0) return f.path;
  }
  return nullptr;
}

// Resolves `path` relative to `dirfd` component by component as the kernel
// does, following symbolic links (up to 40, as the kernel), but stopping at
// a device's name, which is the device whatever the machine has there.
// Anything the walk cannot follow (a link /proc shows as no path, a loop)
// is left to the kernel: not a device.
Resolution Resolve(int dirfd, const char* path, bool follow_last) {
  Resolution r;
  char cur[PATH_MAX];
  if (path[0] == '/') {
    cur[0] = '\0';
  } else if (!AbsolutePath(dirfd, ".", cur, sizeof cur)) {
    // A folder whose name is too long for the walk could lead anywhere.
    return errno == ENAMETOOLONG || errno == ERANGE ? TooLong() : r;
  } else {
    // The working directory or `dirfd` may itself be another way into the
    // drives' folder (a chroot's /dev).
    struct stat st;
    const char* folder = libc.fstatat(dirfd, "", &st, AT_EMPTY_PATH) == 0 ? FolderBehind(cur, st) : nullptr;
    if (folder != nullptr) strcpy(cur, folder);
  }
  if (strcmp(cur, "/") == 0) cur[0] = '\0';
  char rest[PATH_MAX];
  if (snprintf(rest, sizeof rest, "%s", path) >= static_cast<int>(sizeof rest)) return r;
  int links = 0;
  bool missing = false;
  size_t at = 0;
  while (rest[at] != '\0') {
    if (rest[at] == '/') {
      // A slash after a device's name: used as a directory.
      if (r.device != Terminal::kNone) r.beyond = true;
      ++at;
      continue;
    }
    size_t len = strcspn(rest + at, "/");
    const char* comp = rest + at;
    at += len;
    if (r.device != Terminal::kNone) {
      r.beyond = true;
      return r;
    }
    if (len == 1 && comp[0] == '.') continue;
    if (len == 2 && comp[0] == '.' && comp[1] == '.') {
      char* slash = strrchr(cur, '/');
      if (slash != nullptr) *slash = '\0';
      continue;
    }
    size_t used = strlen(cur);
    if (used + 1 + len >= sizeof cur) return TooLong();
    cur[used] = '/';
    memcpy(cur + used + 1, comp, len);
    cur[used + 1 + len] = '\0';
    r.device = DeviceAt(cur, &r.drive);
    if (r.device != Terminal::kNone) continue;
    int fd = OwnDescriptor(cur);
    if (fd >= 0) {
      r.device = DeviceOfDescriptor(fd, &r.drive);
      if (r.device != Terminal::kNone) continue;
    }
    // Past a missing directory nothing is followed: the rest is only a name,
    // which can still be a drive's (--device in a folder that is not there).
    struct stat st;
    if (missing || libc.lstat(cur, &st) != 0) {
      missing = true;
      continue;
    }
    if (const char* folder = FolderBehind(cur, st)) {
      strcpy(cur, folder);
      continue;
    }
    // A last component without a slash after it is the link itself for
    // lstat, unlink, rename and the like.
    if (!S_ISLNK(st.st_mode) || (!follow_last && rest[at] == '\0')) continue;
    char target[PATH_MAX];
    ssize_t n = readlink(cur, target, sizeof target - 1);
    if (n == static_cast<ssize_t>(sizeof target - 1) || (n < 0 && errno == ENAMETOOLONG)) return TooLong();
    // /proc shows pipes, sockets and memory files as no path at all.
    if (n <= 0 || ++links > 40) return Resolution{};
    target[n] = '\0';
    // Another process's descriptor of a drive: the kernel would reopen the
    // node that process holds open, which st refuses.
    if (IsStandIn(target)) {
      r.held = true;
      return r;
    }
    if (target[0] == '/') {
      cur[0] = '\0';
    } else {
      *strrchr(cur, '/') = '\0';
    }
    char joined[PATH_MAX];
    if (snprintf(joined, sizeof joined, "%s%s", target, rest + at) >= static_cast<int>(sizeof joined)) {
      return TooLong();
    }
    memcpy(rest, joined, sizeof rest);
    at = 0;
  }
  return r;
}

}  // namespace

bool IsChangerName(int dirfd, const char* path) { return InLibrary() && NamesChanger(dirfd, path); }

void NoteDeviceFolders() {
  NoteFolderOf(g_config.rewind_name);
  if (InLibrary()) NoteFolderOf(g_library.changer);
  NoteFolder("/dev", 4);
}

DeviceName NameOf(int dirfd, const char* path, int* drive, int* error, bool follow_last) {
  if (drive != nullptr) *drive = 0;
  if (error != nullptr) *error = 0;
  bool host_node = false;
  if (path == nullptr || path[0] == '\0' || !MayNameDevice(dirfd, path, follow_last, &host_node)) {
    return DeviceName::kOther;
  }
  Resolution r = Resolve(dirfd, path, follow_last);
  if (r.too_long || r.held) {
    if (error != nullptr) *error = r.held ? EBUSY : ENAMETOOLONG;
    return DeviceName::kOther;
  }
  if (r.device == Terminal::kNone || r.device == Terminal::kChanger) {
    struct stat st;
    // A real node of a tape driver, reached through a link or by its own
    // name: hidden, as the device-hiding namespace hides it.
    if (error != nullptr && r.device == Terminal::kNone &&
        (host_node || (follow_last && libc.fstatat(dirfd, path, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
                       IsTapeMajor(major(st.st_rdev))))) {
      *error = ENXIO;
    }
    return DeviceName::kOther;
  }
  if (r.beyond) {
    if (error != nullptr) *error = ENOTDIR;
    return DeviceName::kOther;
  }
  if (drive != nullptr) *drive = r.drive;
  return r.device == Terminal::kRewinding ? DeviceName::kRewinding : DeviceName::kNonRewinding;
}

bool NamesChanger(int dirfd, const char* path) {
  bool host_node = false;
  if (path == nullptr || path[0] == '\0' || !MayNameDevice(dirfd, path, true, &host_node)) return false;
  Resolution r = Resolve(dirfd, path, true);
  return r.device == Terminal::kChanger && !r.beyond;
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
