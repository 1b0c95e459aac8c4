// Calls that change a file or its attributes by name, and the ones that
// flush, truncate or tag a descriptor: on the drive's names and descriptors
// they answer as st's device node does, so that rm, mv, chmod, chown,
// install or ln on /dev/nst0 never touch whatever the machine has at that
// path; on a real tape or changer node of the machine they are refused, as
// the node is hidden from the program.

#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>

#include "preload/descriptors/descriptors.h"
#include "preload/names/device_names.h"
#include "preload/entry/entry_points.h"

namespace vtape::preload {
namespace {

// The C library's own function of this name, found on first use.
#define VTAPE_REAL(name) reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name))

int Fail(int error) {
  errno = error;
  return -1;
}

// What a change answers when it reaches no file: `on_node` (0 for success)
// on a drive's name, ENOTDIR through one, EPERM on a real tape node. False
// leaves the call to the C library. `follow_last`: a symbolic link as the
// last component leads on; without it the call is about the link.
bool OnNode(int dirfd, const char* path, int on_node, bool follow_last, int* result) {
  if (path == nullptr) return false;
  int error;
  DeviceName name = NameOf(dirfd, path, nullptr, &error, follow_last);
  if (name == DeviceName::kOther && error == 0) return false;
  if (error == ENXIO) on_node = EPERM;
  if (error == ENOTDIR || error == ENAMETOOLONG) on_node = error;
  *result = on_node == 0 ? 0 : Fail(on_node);
  return true;
}

// The node belongs to the user running the program (stat says so), who may
// change its mode and times; only root may give it away.
int ChownAnswer() { return geteuid() == 0 ? 0 : EPERM; }

// A change that names the node twice, as the old and the new name.
bool OnEitherNode(int olddirfd, const char* oldpath, bool follow_old, int newdirfd, const char* newpath, int on_old,
                  int on_new, int* result) {
  return OnNode(olddirfd, oldpath, on_old, follow_old, result) || OnNode(newdirfd, newpath, on_new, false, result);
}

}  // namespace
}  // namespace vtape::preload

using namespace vtape::preload;

// Wraps a call on a path: the node's answer, else the C library's.
#define VTAPE_ON_PATH(name, dirfd, path, answer, follow_last, ...)   \
  static const auto real = VTAPE_REAL(name);                         \
  if (!Ready()) return -1;                                           \
  if (int r; OnNode(dirfd, path, answer, follow_last, &r)) return r; \
  return real(__VA_ARGS__)

// Wraps a call on a descriptor: `answer` on the drive's, else the C library's.
#define VTAPE_ON_FD(name, fd, answer, ...)                 \
  static const auto real = VTAPE_REAL(name);               \
  if (!Ready()) return -1;                                 \
  if (IsTape(fd)) return (answer) == 0 ? 0 : Fail(answer); \
  return real(__VA_ARGS__)

// Removing or replacing the node is refused; the drive stays.
VTAPE_EXPORT int unlink(const char* path) { VTAPE_ON_PATH(unlink, AT_FDCWD, path, EPERM, false, path); }
VTAPE_EXPORT int unlinkat(int dirfd, const char* path, int flags) {
  VTAPE_ON_PATH(unlinkat, dirfd, path, (flags & AT_REMOVEDIR) != 0 ? ENOTDIR : EPERM, false, dirfd, path, flags);
}
VTAPE_EXPORT int remove(const char* path) { VTAPE_ON_PATH(remove, AT_FDCWD, path, EPERM, false, path); }
VTAPE_EXPORT int rmdir(const char* path) { VTAPE_ON_PATH(rmdir, AT_FDCWD, path, ENOTDIR, false, path); }

VTAPE_EXPORT int rename(const char* oldpath, const char* newpath) {
  static const auto real = VTAPE_REAL(rename);
  if (!Ready()) return -1;
  if (int r; OnEitherNode(AT_FDCWD, oldpath, false, AT_FDCWD, newpath, EPERM, EPERM, &r)) return r;
  return real(oldpath, newpath);
}
VTAPE_EXPORT int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  static const auto real = VTAPE_REAL(renameat);
  if (!Ready()) return -1;
  if (int r; OnEitherNode(olddirfd, oldpath, false, newdirfd, newpath, EPERM, EPERM, &r)) return r;
  return real(olddirfd, oldpath, newdirfd, newpath);
}
VTAPE_EXPORT int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned flags) {
  static const auto real = VTAPE_REAL(renameat2);
  if (!Ready()) return -1;
  if (int r; OnEitherNode(olddirfd, oldpath, false, newdirfd, newpath, EPERM, EPERM, &r)) return r;
  return real(olddirfd, oldpath, newdirfd, newpath, flags);
}

// A new name for the node would be a second node; a name that is the node
// exists already.
VTAPE_EXPORT int link(const char* oldpath, const char* newpath) {
  static const auto real = VTAPE_REAL(link);
  if (!Ready()) return -1;
  if (int r; OnEitherNode(AT_FDCWD, oldpath, false, AT_FDCWD, newpath, EPERM, EEXIST, &r)) return r;
  return real(oldpath, newpath);
}
VTAPE_EXPORT int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
  static const auto real = VTAPE_REAL(linkat);
  if (!Ready()) return -1;
  if (int r; OnEitherNode(olddirfd, oldpath, (flags & AT_SYMLINK_FOLLOW) != 0, newdirfd, newpath, EPERM, EEXIST, &r))
    return r;
  return real(olddirfd, oldpath, newdirfd, newpath, flags);
}
VTAPE_EXPORT int symlink(const char* target, const char* path) {
  VTAPE_ON_PATH(symlink, AT_FDCWD, path, EEXIST, false, target, path);
}
VTAPE_EXPORT int symlinkat(const char* target, int dirfd, const char* path) {
  VTAPE_ON_PATH(symlinkat, dirfd, path, EEXIST, false, target, dirfd, path);
}
VTAPE_EXPORT int mkdir(const char* path, mode_t mode) {
  VTAPE_ON_PATH(mkdir, AT_FDCWD, path, EEXIST, false, path, mode);
}
VTAPE_EXPORT int mkdirat(int dirfd, const char* path, mode_t mode) {
  VTAPE_ON_PATH(mkdirat, dirfd, path, EEXIST, false, dirfd, path, mode);
}
VTAPE_EXPORT int mknod(const char* path, mode_t mode, dev_t dev) {
  VTAPE_ON_PATH(mknod, AT_FDCWD, path, EEXIST, false, path, mode, dev);
}
VTAPE_EXPORT int mknodat(int dirfd, const char* path, mode_t mode, dev_t dev) {
  VTAPE_ON_PATH(mknodat, dirfd, path, EEXIST, false, dirfd, path, mode, dev);
}
VTAPE_EXPORT int mkfifo(const char* path, mode_t mode) {
  VTAPE_ON_PATH(mkfifo, AT_FDCWD, path, EEXIST, false, path, mode);
}
VTAPE_EXPORT int mkfifoat(int dirfd, const char* path, mode_t mode) {
  VTAPE_ON_PATH(mkfifoat, dirfd, path, EEXIST, false, dirfd, path, mode);
}

// Mode, owner and times: as their owner changes them, with nothing to keep.
VTAPE_EXPORT int chmod(const char* path, mode_t mode) { VTAPE_ON_PATH(chmod, AT_FDCWD, path, 0, true, path, mode); }
VTAPE_EXPORT int lchmod(const char* path, mode_t mode) { VTAPE_ON_PATH(lchmod, AT_FDCWD, path, 0, false, path, mode); }
VTAPE_EXPORT int fchmodat(int dirfd, const char* path, mode_t mode, int flags) {
  VTAPE_ON_PATH(fchmodat, dirfd, path, 0, (flags & AT_SYMLINK_NOFOLLOW) == 0, dirfd, path, mode, flags);
}
VTAPE_EXPORT int chown(const char* path, uid_t uid, gid_t gid) {
  VTAPE_ON_PATH(chown, AT_FDCWD, path, ChownAnswer(), true, path, uid, gid);
}
VTAPE_EXPORT int lchown(const char* path, uid_t uid, gid_t gid) {
  VTAPE_ON_PATH(lchown, AT_FDCWD, path, ChownAnswer(), false, path, uid, gid);
}
VTAPE_EXPORT int fchownat(int dirfd, const char* path, uid_t uid, gid_t gid, int flags) {
  VTAPE_ON_PATH(fchownat, dirfd, path, ChownAnswer(), (flags & AT_SYMLINK_NOFOLLOW) == 0, dirfd, path, uid, gid, flags);
}
VTAPE_EXPORT int utime(const char* path, const struct utimbuf* times) {
  VTAPE_ON_PATH(utime, AT_FDCWD, path, 0, true, path, times);
}
VTAPE_EXPORT int utimes(const char* path, const struct timeval times[2]) {
  VTAPE_ON_PATH(utimes, AT_FDCWD, path, 0, true, path, times);
}
VTAPE_EXPORT int lutimes(const char* path, const struct timeval times[2]) {
  VTAPE_ON_PATH(lutimes, AT_FDCWD, path, 0, false, path, times);
}
VTAPE_EXPORT int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) {
  VTAPE_ON_PATH(utimensat, dirfd, path, 0, (flags & AT_SYMLINK_NOFOLLOW) == 0, dirfd, path, times, flags);
}

// A character device cannot be truncated.
VTAPE_EXPORT int truncate(const char* path, off_t length) {
  VTAPE_ON_PATH(truncate, AT_FDCWD, path, EINVAL, true, path, length);
}
VTAPE_EXPORT int truncate64(const char* path, off64_t length) {
  VTAPE_ON_PATH(truncate64, AT_FDCWD, path, EINVAL, true, path, length);
}

// A device node carries no extended attributes, and takes no user ones.
VTAPE_EXPORT ssize_t getxattr(const char* path, const char* name, void* value, size_t size) {
  VTAPE_ON_PATH(getxattr, AT_FDCWD, path, ENODATA, true, path, name, value, size);
}
VTAPE_EXPORT ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size) {
  VTAPE_ON_PATH(lgetxattr, AT_FDCWD, path, ENODATA, false, path, name, value, size);
}
VTAPE_EXPORT ssize_t listxattr(const char* path, char* list, size_t size) {
  VTAPE_ON_PATH(listxattr, AT_FDCWD, path, 0, true, path, list, size);
}
VTAPE_EXPORT ssize_t llistxattr(const char* path, char* list, size_t size) {
  VTAPE_ON_PATH(llistxattr, AT_FDCWD, path, 0, false, path, list, size);
}
VTAPE_EXPORT int setxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
  VTAPE_ON_PATH(setxattr, AT_FDCWD, path, EPERM, true, path, name, value, size, flags);
}
VTAPE_EXPORT int lsetxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
  VTAPE_ON_PATH(lsetxattr, AT_FDCWD, path, EPERM, false, path, name, value, size, flags);
}
VTAPE_EXPORT int removexattr(const char* path, const char* name) {
  VTAPE_ON_PATH(removexattr, AT_FDCWD, path, ENODATA, true, path, name);
}
VTAPE_EXPORT int lremovexattr(const char* path, const char* name) {
  VTAPE_ON_PATH(lremovexattr, AT_FDCWD, path, ENODATA, false, path, name);
}

// st has no fsync and no truncation: EINVAL, as for any file without them.
VTAPE_EXPORT int fsync(int fd) { VTAPE_ON_FD(fsync, fd, EINVAL, fd); }
VTAPE_EXPORT int fdatasync(int fd) { VTAPE_ON_FD(fdatasync, fd, EINVAL, fd); }
VTAPE_EXPORT int ftruncate(int fd, off_t length) { VTAPE_ON_FD(ftruncate, fd, EINVAL, fd, length); }
VTAPE_EXPORT int ftruncate64(int fd, off64_t length) { VTAPE_ON_FD(ftruncate64, fd, EINVAL, fd, length); }
VTAPE_EXPORT int fchmod(int fd, mode_t mode) { VTAPE_ON_FD(fchmod, fd, 0, fd, mode); }
VTAPE_EXPORT int fchown(int fd, uid_t uid, gid_t gid) { VTAPE_ON_FD(fchown, fd, ChownAnswer(), fd, uid, gid); }
VTAPE_EXPORT int futimens(int fd, const struct timespec times[2]) { VTAPE_ON_FD(futimens, fd, 0, fd, times); }
VTAPE_EXPORT ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
  VTAPE_ON_FD(fgetxattr, fd, ENODATA, fd, name, value, size);
}
VTAPE_EXPORT ssize_t flistxattr(int fd, char* list, size_t size) { VTAPE_ON_FD(flistxattr, fd, 0, fd, list, size); }
VTAPE_EXPORT int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  VTAPE_ON_FD(fsetxattr, fd, EPERM, fd, name, value, size, flags);
}
VTAPE_EXPORT int fremovexattr(int fd, const char* name) { VTAPE_ON_FD(fremovexattr, fd, ENODATA, fd, name); }
