// stat and access on the drive's names and descriptors: they answer as for
// st's character device nodes, which need not exist on the machine. Without
// this a program that checks the archive with stat (GNU tar, cpio) would see
// no device, or a regular file someone left at the path.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "preload/core/lock.h"
#include "preload/core/real_libc.h"
#include "preload/descriptors/descriptors.h"
#include "preload/entry/entry_points.h"
#include "preload/entry/sysfs.h"
#include "preload/names/device_names.h"

namespace vtape::preload {
namespace {

static_assert(sizeof(struct stat) == sizeof(struct stat64), "one layout on this platform");

// A device node of the drives: which name, of which drive; or ENOTDIR for
// a path that goes on past one.
struct Node {
  DeviceName name;
  int drive;
  bool not_directory;
};

Node NodeOf(int dirfd, const char* path, bool follow_last = true) {
  Node node{};
  int error;
  node.name = NameOf(dirfd, path, &node.drive, &error, follow_last);
  node.not_directory = error == ENOTDIR;
  return node;
}

Node NodeOfDescriptor(int fd) {
  if (!IsTape(fd)) return {DeviceName::kOther, 0, false};
  Locked lock;
  int drive = DriveOf(fd);
  return {DriveRewinding(drive) ? DeviceName::kRewinding : DeviceName::kNonRewinding, drive, false};
}

Node NodeAt(int dirfd, const char* path, int flags) {
  if (path != nullptr && path[0] == '\0' && (flags & AT_EMPTY_PATH) != 0) return NodeOfDescriptor(dirfd);
  return NodeOf(dirfd, path, (flags & AT_SYMLINK_NOFOLLOW) == 0);
}

// True when the drive answered, with the call's result in `*result`; false
// leaves the call to the C library.
bool StatDrive(Node node, void* out, int* result) {
  if (node.not_directory) {
    errno = ENOTDIR;
    *result = -1;
    return true;
  }
  if (node.name == DeviceName::kOther) return false;
  StatDevice(node.name, node.drive, static_cast<struct stat*>(out));
  *result = 0;
  return true;
}

// The node is crw-rw---- for the user running the program.
bool AccessDrive(DeviceName name, int mode, int* result) {
  if (name == DeviceName::kOther) return false;
  if ((mode & X_OK) != 0) {
    errno = EACCES;
    *result = -1;
  } else {
    *result = 0;
  }
  return true;
}

}  // namespace
}  // namespace vtape::preload

using namespace vtape::preload;

VTAPE_EXPORT int stat(const char* path, struct stat* out) {
  if (!Ready()) return -1;
  if (StatClassEntry(path, out)) return 0;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path), out, &r)) return r;
  return libc.stat(path, out);
}

VTAPE_EXPORT int stat64(const char* path, struct stat64* out) {
  if (!Ready()) return -1;
  if (StatClassEntry(path, reinterpret_cast<struct stat*>(out))) return 0;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path), out, &r)) return r;
  return libc.stat64(path, out);
}

VTAPE_EXPORT int lstat(const char* path, struct stat* out) {
  if (!Ready()) return -1;
  if (StatClassEntry(path, out)) return 0;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path, false), out, &r)) return r;
  return libc.lstat(path, out);
}

VTAPE_EXPORT int lstat64(const char* path, struct stat64* out) {
  if (!Ready()) return -1;
  if (StatClassEntry(path, reinterpret_cast<struct stat*>(out))) return 0;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path, false), out, &r)) return r;
  return libc.lstat64(path, out);
}

VTAPE_EXPORT int fstat(int fd, struct stat* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOfDescriptor(fd), out, &r)) return r;
  return libc.fstat(fd, out);
}

VTAPE_EXPORT int fstat64(int fd, struct stat64* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOfDescriptor(fd), out, &r)) return r;
  return libc.fstat64(fd, out);
}

VTAPE_EXPORT int fstatat(int dirfd, const char* path, struct stat* out, int flags) {
  if (!Ready()) return -1;
  if ((dirfd == AT_FDCWD || path[0] == '/') && StatClassEntry(path, out)) return 0;
  if (int r; StatDrive(NodeAt(dirfd, path, flags), out, &r)) return r;
  return libc.fstatat(dirfd, path, out, flags);
}

VTAPE_EXPORT int fstatat64(int dirfd, const char* path, struct stat64* out, int flags) {
  if (!Ready()) return -1;
  if ((dirfd == AT_FDCWD || path[0] == '/') && StatClassEntry(path, reinterpret_cast<struct stat*>(out))) return 0;
  if (int r; StatDrive(NodeAt(dirfd, path, flags), out, &r)) return r;
  return libc.fstatat64(dirfd, path, out, flags);
}

VTAPE_EXPORT int __xstat(int version, const char* path, struct stat* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path), out, &r)) return r;
  return libc.xstat(version, path, out);
}

VTAPE_EXPORT int __xstat64(int version, const char* path, struct stat64* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path), out, &r)) return r;
  return libc.xstat64(version, path, out);
}

VTAPE_EXPORT int __lxstat(int version, const char* path, struct stat* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path, false), out, &r)) return r;
  return libc.lxstat(version, path, out);
}

VTAPE_EXPORT int __lxstat64(int version, const char* path, struct stat64* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOf(AT_FDCWD, path, false), out, &r)) return r;
  return libc.lxstat64(version, path, out);
}

VTAPE_EXPORT int __fxstat(int version, int fd, struct stat* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOfDescriptor(fd), out, &r)) return r;
  return libc.fxstat(version, fd, out);
}

VTAPE_EXPORT int __fxstat64(int version, int fd, struct stat64* out) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeOfDescriptor(fd), out, &r)) return r;
  return libc.fxstat64(version, fd, out);
}

VTAPE_EXPORT int __fxstatat(int version, int dirfd, const char* path, struct stat* out, int flags) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeAt(dirfd, path, flags), out, &r)) return r;
  return libc.fxstatat(version, dirfd, path, out, flags);
}

VTAPE_EXPORT int __fxstatat64(int version, int dirfd, const char* path, struct stat64* out, int flags) {
  if (!Ready()) return -1;
  if (int r; StatDrive(NodeAt(dirfd, path, flags), out, &r)) return r;
  return libc.fxstatat64(version, dirfd, path, out, flags);
}

VTAPE_EXPORT int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* out) {
  if (!Ready()) return -1;
  if (struct stat st; (dirfd == AT_FDCWD || path[0] == '/') && StatClassEntry(path, &st)) {
    *out = {};
    out->stx_mask = STATX_BASIC_STATS;
    out->stx_mode = static_cast<uint16_t>(st.st_mode);
    out->stx_nlink = static_cast<uint32_t>(st.st_nlink);
    out->stx_size = static_cast<uint64_t>(st.st_size);
    out->stx_blksize = static_cast<uint32_t>(st.st_blksize);
    return 0;
  }
  Node node = NodeAt(dirfd, path, flags);
  if (node.not_directory) {
    errno = ENOTDIR;
    return -1;
  }
  if (node.name == DeviceName::kOther) return libc.statx(dirfd, path, flags, mask, out);
  StatxDevice(node.name, node.drive, out);
  return 0;
}

VTAPE_EXPORT int access(const char* path, int mode) {
  if (!Ready()) return -1;
  int result;
  if (AccessDrive(NameOf(AT_FDCWD, path), mode, &result)) return result;
  return libc.access(path, mode);
}

VTAPE_EXPORT int faccessat(int dirfd, const char* path, int mode, int flags) {
  if (!Ready()) return -1;
  int result;
  if (AccessDrive(NameOf(dirfd, path), mode, &result)) return result;
  return libc.faccessat(dirfd, path, mode, flags);
}

VTAPE_EXPORT int euidaccess(const char* path, int mode) {
  if (!Ready()) return -1;
  int result;
  if (AccessDrive(NameOf(AT_FDCWD, path), mode, &result)) return result;
  return libc.euidaccess(path, mode);
}

VTAPE_EXPORT int eaccess(const char* path, int mode) {
  if (!Ready()) return -1;
  int result;
  if (AccessDrive(NameOf(AT_FDCWD, path), mode, &result)) return result;
  return libc.eaccess(path, mode);
}
