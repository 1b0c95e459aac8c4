// The C library's own functions behind the ones this library replaces.
#ifndef VTAPE_PRELOAD_REAL_LIBC_H_
#define VTAPE_PRELOAD_REAL_LIBC_H_

#include <sys/types.h>

namespace vtape::preload {

struct LibC {
  int (*open)(const char*, int, ...);
  int (*open64)(const char*, int, ...);
  int (*openat)(int, const char*, int, ...);
  int (*openat64)(int, const char*, int, ...);
  int (*open_2)(const char*, int);
  int (*open64_2)(const char*, int);
  int (*openat_2)(int, const char*, int);
  int (*openat64_2)(int, const char*, int);
  ssize_t (*read)(int, void*, size_t);
  ssize_t (*read_chk)(int, void*, size_t, size_t);
  ssize_t (*write)(int, const void*, size_t);
  int (*close)(int);
  int (*ioctl)(int, unsigned long, ...);
  int (*dup)(int);
  int (*dup2)(int, int);
  int (*dup3)(int, int, int);
  int (*fcntl)(int, int, ...);
  int (*fcntl64)(int, int, ...);
};

/// Filled by ResolveLibC from dlsym(RTLD_NEXT).
extern LibC libc;

/// Looks every function up; a missing one aborts the program.
void ResolveLibC();

/// Reports a condition the library cannot run under and aborts.
[[noreturn]] void Die(const char* what, const char* detail);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_REAL_LIBC_H_
