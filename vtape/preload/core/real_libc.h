// The C library's own functions behind the ones this library replaces.
#ifndef VTAPE_PRELOAD_CORE_REAL_LIBC_H_
#define VTAPE_PRELOAD_CORE_REAL_LIBC_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdio>

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
  int (*creat)(const char*, mode_t);
  int (*creat64)(const char*, mode_t);
  off_t (*lseek)(int, off_t, int);
  off64_t (*lseek64)(int, off64_t, int);
  ssize_t (*readv)(int, const iovec*, int);
  ssize_t (*writev)(int, const iovec*, int);
  ssize_t (*pread)(int, void*, size_t, off_t);
  ssize_t (*pread64)(int, void*, size_t, off64_t);
  ssize_t (*pread_chk)(int, void*, size_t, off_t, size_t);
  ssize_t (*pread64_chk)(int, void*, size_t, off64_t, size_t);
  ssize_t (*pwrite)(int, const void*, size_t, off_t);
  ssize_t (*pwrite64)(int, const void*, size_t, off64_t);
  ssize_t (*preadv)(int, const iovec*, int, off_t);
  ssize_t (*preadv64)(int, const iovec*, int, off64_t);
  ssize_t (*pwritev)(int, const iovec*, int, off_t);
  ssize_t (*pwritev64)(int, const iovec*, int, off64_t);
  ssize_t (*preadv2)(int, const iovec*, int, off_t, int);
  ssize_t (*preadv64v2)(int, const iovec*, int, off64_t, int);
  ssize_t (*pwritev2)(int, const iovec*, int, off_t, int);
  ssize_t (*pwritev64v2)(int, const iovec*, int, off64_t, int);
  ssize_t (*sendfile)(int, int, off_t*, size_t);
  ssize_t (*sendfile64)(int, int, off64_t*, size_t);
  ssize_t (*splice)(int, off64_t*, int, off64_t*, size_t, unsigned);
  ssize_t (*copy_file_range)(int, off64_t*, int, off64_t*, size_t, unsigned);
  FILE* (*fopen)(const char*, const char*);
  FILE* (*fopen64)(const char*, const char*);
  FILE* (*freopen)(const char*, const char*, FILE*);
  FILE* (*freopen64)(const char*, const char*, FILE*);
  FILE* (*fdopen)(int, const char*);
  int (*stat)(const char*, struct stat*);
  int (*stat64)(const char*, struct stat64*);
  int (*lstat)(const char*, struct stat*);
  int (*lstat64)(const char*, struct stat64*);
  int (*fstat)(int, struct stat*);
  int (*fstat64)(int, struct stat64*);
  int (*fstatat)(int, const char*, struct stat*, int);
  int (*fstatat64)(int, const char*, struct stat64*, int);
  // The versioned forms that programs built against glibc before 2.33 bind.
  int (*xstat)(int, const char*, struct stat*);
  int (*xstat64)(int, const char*, struct stat64*);
  int (*lxstat)(int, const char*, struct stat*);
  int (*lxstat64)(int, const char*, struct stat64*);
  int (*fxstat)(int, int, struct stat*);
  int (*fxstat64)(int, int, struct stat64*);
  int (*fxstatat)(int, int, const char*, struct stat*, int);
  int (*fxstatat64)(int, int, const char*, struct stat64*, int);
  int (*statx)(int, const char*, int, unsigned, struct statx*);
  int (*access)(const char*, int);
  int (*faccessat)(int, const char*, int, int);
  int (*euidaccess)(const char*, int);
  int (*eaccess)(const char*, int);
  long (*syscall)(long, ...);
};

/// Filled by ResolveLibC from dlsym(RTLD_NEXT).
extern LibC libc;

/// Looks every function up; a missing one aborts the program.
void ResolveLibC();

/// Reports a condition the library cannot run under and aborts.
[[noreturn]] void Die(const char* what, const char* detail);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_CORE_REAL_LIBC_H_
