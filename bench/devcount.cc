// Records, in order, every call the program makes on the tape device and on
// the descriptors it got for it, and prints them at exit:
//   devcount: open MTREW MTSETBLK read read read read close
// BENCH_DEVICE names the device as the program spells it (default
// /dev/nst0); BENCH_COUNTS a file to append the line to (default stderr).

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxFd = 4096;
constexpr size_t kLogSize = 4096;

bool g_tracked[kMaxFd];
char g_log[kLogSize];
size_t g_log_len;

void Note(const char* call) {
  int n = snprintf(g_log + g_log_len, kLogSize - g_log_len, " %s", call);
  if (n > 0 && g_log_len + static_cast<size_t>(n) < kLogSize) g_log_len += static_cast<size_t>(n);
}

bool Tracked(int fd) { return fd >= 0 && fd < kMaxFd && g_tracked[fd]; }

void Track(int fd) {
  if (fd >= 0 && fd < kMaxFd) g_tracked[fd] = true;
}

bool IsDevice(const char* path) {
  const char* device = getenv("BENCH_DEVICE");
  return path != nullptr && strcmp(path, device != nullptr ? device : "/dev/nst0") == 0;
}

template <typename F>
F Next(const char* name) {
  void* p = dlsym(RTLD_NEXT, name);
  if (p == nullptr) {
    fprintf(stderr, "devcount: cannot resolve %s\n", name);
    abort();
  }
  return reinterpret_cast<F>(p);
}

const char* IoctlName(unsigned long request, void* arg) {
  if (request != MTIOCTOP || arg == nullptr) return "ioctl";
  switch (static_cast<const mtop*>(arg)->mt_op) {
    case MTREW: return "MTREW";
    case MTSETBLK: return "MTSETBLK";
    case MTWEOF: return "MTWEOF";
    default: return "MTIOCTOP";
  }
}

mode_t ModeArg(int flags, va_list ap) {
  bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return has_mode ? va_arg(ap, mode_t) : 0;
}

int Opened(const char* path, int fd) {
  if (IsDevice(path)) {
    Note("open");
    Track(fd);
  }
  return fd;
}

int Duplicated(int oldfd, int fd) {
  if (Tracked(oldfd)) {
    Note("dup");
    Track(fd);
  }
  return fd;
}

__attribute__((destructor)) void Report() {
  const char* file = getenv("BENCH_COUNTS");
  FILE* out = file != nullptr ? fopen(file, "a") : stderr;
  if (out == nullptr) return;
  fprintf(out, "devcount:%s\n", g_log);
  if (out != stderr) fclose(out);
}

}  // namespace

#define DEVCOUNT_OPEN(name)                                                     \
  extern "C" int name(const char* path, int flags, ...) {                      \
    static auto real = Next<int (*)(const char*, int, ...)>(#name);           \
    va_list ap;                                                                \
    va_start(ap, flags);                                                       \
    mode_t mode = ModeArg(flags, ap);                                          \
    va_end(ap);                                                                \
    return Opened(path, real(path, flags, mode));                              \
  }
#define DEVCOUNT_OPENAT(name)                                                   \
  extern "C" int name(int dirfd, const char* path, int flags, ...) {           \
    static auto real = Next<int (*)(int, const char*, int, ...)>(#name);      \
    va_list ap;                                                                \
    va_start(ap, flags);                                                       \
    mode_t mode = ModeArg(flags, ap);                                          \
    va_end(ap);                                                                \
    return Opened(path, real(dirfd, path, flags, mode));                       \
  }
#define DEVCOUNT_OPEN_2(name)                                                   \
  extern "C" int name(const char* path, int flags) {                           \
    static auto real = Next<int (*)(const char*, int)>(#name);                \
    return Opened(path, real(path, flags));                                    \
  }
#define DEVCOUNT_OPENAT_2(name)                                                 \
  extern "C" int name(int dirfd, const char* path, int flags) {                \
    static auto real = Next<int (*)(int, const char*, int)>(#name);           \
    return Opened(path, real(dirfd, path, flags));                             \
  }

DEVCOUNT_OPEN(open)
DEVCOUNT_OPEN(open64)
DEVCOUNT_OPENAT(openat)
DEVCOUNT_OPENAT(openat64)
DEVCOUNT_OPEN_2(__open_2)
DEVCOUNT_OPEN_2(__open64_2)
DEVCOUNT_OPENAT_2(__openat_2)
DEVCOUNT_OPENAT_2(__openat64_2)

extern "C" ssize_t read(int fd, void* buf, size_t count) {
  static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
  if (Tracked(fd)) Note("read");
  return real(fd, buf, count);
}

extern "C" ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  static auto real = Next<ssize_t (*)(int, void*, size_t, size_t)>("__read_chk");
  if (Tracked(fd)) Note("read");
  return real(fd, buf, count, buflen);
}

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
  if (Tracked(fd)) Note("write");
  return real(fd, buf, count);
}

extern "C" int close(int fd) {
  static auto real = Next<int (*)(int)>("close");
  if (Tracked(fd)) {
    Note("close");
    g_tracked[fd] = false;
  }
  return real(fd);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  static auto real = Next<int (*)(int, unsigned long, ...)>("ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (Tracked(fd)) Note(IoctlName(request, arg));
  return real(fd, request, arg);
}

extern "C" int dup(int fd) {
  static auto real = Next<int (*)(int)>("dup");
  return Duplicated(fd, real(fd));
}

extern "C" int dup2(int oldfd, int newfd) {
  static auto real = Next<int (*)(int, int)>("dup2");
  return Duplicated(oldfd, real(oldfd, newfd));
}

extern "C" int dup3(int oldfd, int newfd, int flags) {
  static auto real = Next<int (*)(int, int, int)>("dup3");
  return Duplicated(oldfd, real(oldfd, newfd, flags));
}
