// Calls the kernel refuses on st's device nodes before or without the driver:
// st has no mmap (ENODEV), and a character device cannot be executed
// (EACCES). The drive's stand-in descriptor is a memory file, which would
// map and would fail to execute with ENOEXEC.
//
// mmap can run before the library has looked up the C library's functions,
// so each of these looks up its own on first use (the C library's own
// memory mapping never comes back here).

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "preload/descriptors/descriptors.h"
#include "preload/names/device_names.h"
#include "preload/entry/entry_points.h"

namespace vtape::preload {
namespace {

template <typename F>
F Real(F* slot, const char* name) {
  if (*slot == nullptr) *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  return *slot;
}

void* (*g_mmap)(void*, size_t, int, int, int, off_t);
int (*g_execveat)(int, const char*, char* const[], char* const[], int);
int (*g_fexecve)(int, char* const[], char* const[]);

void* Map(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  if (IsTape(fd) && (flags & MAP_ANONYMOUS) == 0) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return Real(&g_mmap, "mmap")(addr, length, prot, flags, fd, offset);
}

// The drive by its descriptor, or by a name relative to `dirfd`.
bool ExecutesDrive(int dirfd, const char* path, int flags) {
  if (path != nullptr && path[0] == '\0' && (flags & AT_EMPTY_PATH) != 0) return IsTape(dirfd);
  return NameOf(dirfd, path, nullptr, nullptr, (flags & AT_SYMLINK_NOFOLLOW) == 0) != DeviceName::kOther;
}

}  // namespace
}  // namespace vtape::preload

using namespace vtape::preload;

VTAPE_EXPORT void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  return Map(addr, length, prot, flags, fd, offset);
}

VTAPE_EXPORT void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) {
  return Map(addr, length, prot, flags, fd, offset);
}

VTAPE_EXPORT int execveat(int dirfd, const char* path, char* const argv[], char* const envp[], int flags) {
  if (!Ready()) return -1;
  if (ExecutesDrive(dirfd, path, flags)) {
    errno = EACCES;
    return -1;
  }
  LeaveBeforeExec();
  return Real(&g_execveat, "execveat")(dirfd, path, argv, envp, flags);
}

VTAPE_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) {
  if (!Ready()) return -1;
  if (IsTape(fd)) {
    errno = EACCES;
    return -1;
  }
  LeaveBeforeExec();
  return Real(&g_fexecve, "fexecve")(fd, argv, envp);
}
