#include "real_libc.h"

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
}

}  // namespace vtape::preload
