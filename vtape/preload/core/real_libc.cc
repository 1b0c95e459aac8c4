#include "preload/core/real_libc.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace vtape::preload {

LibC libc;

void Die(const char* what, const char* detail) {
  fprintf(stderr, "libvtape: %s: %s\n", what, detail);
  abort();
}

namespace {

template <typename F>
void Resolve(F* slot, const char* name) {
  void* p = dlsym(RTLD_NEXT, name);
  if (p == nullptr) {
    const char* err = dlerror();
    Die("cannot resolve", err != nullptr ? err : name);
  }
  *slot = reinterpret_cast<F>(p);
}

}  // namespace

void ResolveLibC() {
  Resolve(&libc.open, "open");
  Resolve(&libc.open64, "open64");
  Resolve(&libc.openat, "openat");
  Resolve(&libc.openat64, "openat64");
  Resolve(&libc.open_2, "__open_2");
  Resolve(&libc.open64_2, "__open64_2");
  Resolve(&libc.openat_2, "__openat_2");
  Resolve(&libc.openat64_2, "__openat64_2");
  Resolve(&libc.read, "read");
  Resolve(&libc.read_chk, "__read_chk");
  Resolve(&libc.write, "write");
  Resolve(&libc.close, "close");
  Resolve(&libc.ioctl, "ioctl");
  Resolve(&libc.dup, "dup");
  Resolve(&libc.dup2, "dup2");
  Resolve(&libc.dup3, "dup3");
  Resolve(&libc.fcntl, "fcntl");
  Resolve(&libc.fcntl64, "fcntl64");
  Resolve(&libc.creat, "creat");
  Resolve(&libc.creat64, "creat64");
  Resolve(&libc.lseek, "lseek");
  Resolve(&libc.lseek64, "lseek64");
  Resolve(&libc.readv, "readv");
  Resolve(&libc.writev, "writev");
  Resolve(&libc.pread, "pread");
  Resolve(&libc.pread64, "pread64");
  Resolve(&libc.pread_chk, "__pread_chk");
  Resolve(&libc.pread64_chk, "__pread64_chk");
  Resolve(&libc.pwrite, "pwrite");
  Resolve(&libc.pwrite64, "pwrite64");
  Resolve(&libc.preadv, "preadv");
  Resolve(&libc.preadv64, "preadv64");
  Resolve(&libc.pwritev, "pwritev");
  Resolve(&libc.pwritev64, "pwritev64");
  Resolve(&libc.preadv2, "preadv2");
  Resolve(&libc.preadv64v2, "preadv64v2");
  Resolve(&libc.pwritev2, "pwritev2");
  Resolve(&libc.pwritev64v2, "pwritev64v2");
  Resolve(&libc.sendfile, "sendfile");
  Resolve(&libc.sendfile64, "sendfile64");
  Resolve(&libc.splice, "splice");
  Resolve(&libc.copy_file_range, "copy_file_range");
  Resolve(&libc.fopen, "fopen");
  Resolve(&libc.fopen64, "fopen64");
  Resolve(&libc.freopen, "freopen");
  Resolve(&libc.freopen64, "freopen64");
  Resolve(&libc.fdopen, "fdopen");
  Resolve(&libc.stat, "stat");
  Resolve(&libc.stat64, "stat64");
  Resolve(&libc.lstat, "lstat");
  Resolve(&libc.lstat64, "lstat64");
  Resolve(&libc.fstat, "fstat");
  Resolve(&libc.fstat64, "fstat64");
  Resolve(&libc.fstatat, "fstatat");
  Resolve(&libc.fstatat64, "fstatat64");
  Resolve(&libc.xstat, "__xstat");
  Resolve(&libc.xstat64, "__xstat64");
  Resolve(&libc.lxstat, "__lxstat");
  Resolve(&libc.lxstat64, "__lxstat64");
  Resolve(&libc.fxstat, "__fxstat");
  Resolve(&libc.fxstat64, "__fxstat64");
  Resolve(&libc.fxstatat, "__fxstatat");
  Resolve(&libc.fxstatat64, "__fxstatat64");
  Resolve(&libc.statx, "statx");
  Resolve(&libc.access, "access");
  Resolve(&libc.faccessat, "faccessat");
  Resolve(&libc.euidaccess, "euidaccess");
  Resolve(&libc.eaccess, "eaccess");
  Resolve(&libc.syscall, "syscall");
}

}  // namespace vtape::preload
