// Streams on the drive. glibc's stdio opens files and moves their data with
// its own internal calls, which no preloaded library sees, so a stream on the
// drive is a cookie stream whose reads, writes and close go through the
// drive; its descriptor is the drive's, so that fileno() gives it to code,
// such as the C++ file streams, that works on the descriptor.

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "preload/core/real_libc.h"
#include "preload/descriptors/descriptors.h"
#include "preload/entry/entry_points.h"
#include "preload/entry/sysfs.h"
#include "preload/names/device_names.h"

namespace vtape::preload {
namespace {

// fopen's mode string as open flags; -1 for a mode fopen refuses.
int ModeFlags(const char* mode) {
  int flags;
  switch (mode[0]) {
    case 'r':
      flags = O_RDONLY;
      break;
    case 'w':
      flags = O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags = O_WRONLY | O_CREAT | O_APPEND;
      break;
    default:
      return -1;
  }
  for (const char* m = mode + 1; *m != '\0' && *m != ','; ++m) {
    if (*m == '+') flags = (flags & ~O_ACCMODE) | O_RDWR;
    if (*m == 'e') flags |= O_CLOEXEC;
    if (*m == 'x') flags |= O_EXCL;
  }
  return flags;
}

int Descriptor(void* cookie) { return static_cast<int>(reinterpret_cast<intptr_t>(cookie)); }

ssize_t CookieRead(void* cookie, char* buf, size_t size) { return read(Descriptor(cookie), buf, size); }

ssize_t CookieWrite(void* cookie, const char* buf, size_t size) {
  ssize_t n = write(Descriptor(cookie), buf, size);
  // stdio takes 0 from a cookie writer as an error without errno.
  return n < 0 ? 0 : n;
}

// As lseek on the drive: nowhere, offset 0.
int CookieSeek(void*, off64_t* offset, int) {
  *offset = 0;
  return 0;
}

int CookieClose(void* cookie) { return close(Descriptor(cookie)); }

// A stream over the drive's descriptor `fd` that moves its data with `io`.
FILE* StreamOver(int fd, const char* mode, cookie_io_functions_t io) {
  FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, io);
  if (stream == nullptr) return nullptr;
  stream->_fileno = fd;
  // The buffer a stream on the device node would get, so that blocks come
  // out the size they would on the real drive.
  setvbuf(stream, nullptr, _IOFBF, kDeviceBlockSize);
  return stream;
}

// A stream over the drive's descriptor `fd`; closing the stream closes it.
FILE* StreamOver(int fd, const char* mode) {
  return StreamOver(fd, mode, cookie_io_functions_t{CookieRead, CookieWrite, CookieSeek, CookieClose});
}

// fopen and fopen64 on a drive name: true with the stream (or null and
// errno) in `*result`.
// Whether `path` is the drive's, or a path the drive answers for instead of
// the kernel (a drive's name used as a directory, a real tape node).
bool Answered(const char* path) {
  int error;
  return NameOf(AT_FDCWD, path, nullptr, &error) != DeviceName::kOther || error != 0 || IsDriveAttribute(path);
}

bool TryOpenStream(const char* path, const char* mode, FILE** result) {
  if (!Answered(path)) return false;
  int flags = mode == nullptr ? -1 : ModeFlags(mode);
  if (flags < 0) {
    errno = EINVAL;
    *result = nullptr;
    return true;
  }
  int fd;
  TryOpenTape(AT_FDCWD, path, flags, &fd);
  *result = fd < 0 ? nullptr : StreamOver(fd, mode);
  if (fd >= 0 && *result == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return true;
}

// glibc reopens a stream in place with its internal open and then moves
// its data with internal calls, so no stream can be turned into one on the
// drive: the reopen fails, and as freopen does on failure, the stream is
// closed. Nothing reaches the device path.
bool RefuseReopen(const char* path, FILE* stream) {
  if (path == nullptr || !Answered(path)) return false;
  fclose(stream);
  errno = EOPNOTSUPP;
  return true;
}

}  // namespace

// glibc moves the data of stdin, stdout and stderr with internal calls, so a
// program whose descriptor 0, 1 or 2 is the drive (printf > /dev/nst0, a
// filter < /dev/nst0, a shell's builtin redirected there) would reach the
// memory file instead; the program reads the variables stdin, stdout and
// stderr, which can point elsewhere while the descriptor is the drive's.
namespace {

struct Standard {
  FILE** stream;
  const char* mode;
  FILE* own;    // the stream through the drive, while the variable points at it
  FILE* saved;  // the C library's stream it stands in for
};
Standard g_standard[] = {
    {&stdin, "r", nullptr, nullptr}, {&stdout, "w", nullptr, nullptr}, {&stderr, "w", nullptr, nullptr}};

// Set while a stand-in is put away: its close leaves the descriptor, which
// the program has given to another file.
bool g_putting_away = false;

int StandInClose(void* cookie) { return g_putting_away ? 0 : CookieClose(cookie); }

bool Standing(const Standard& s) { return s.own != nullptr && *s.stream == s.own; }

// Output `from` buffered goes where its descriptor leads when it is
// flushed, as on the kernel: the stream that takes its place takes it.
void MovePending(FILE* from, FILE* to) {
  size_t pending = static_cast<size_t>(from->_IO_write_ptr - from->_IO_write_base);
  if (pending == 0) return;
  fwrite(from->_IO_write_base, 1, pending, to);
  from->_IO_write_ptr = from->_IO_write_base;
}

}  // namespace

void StandardStreamFollows(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return;
  Standard& s = g_standard[fd];
  bool on_drive = IsTape(fd);
  if (on_drive && !Standing(s)) {
    cookie_io_functions_t io = {CookieRead, CookieWrite, CookieSeek, StandInClose};
    FILE* stream = StreamOver(fd, s.mode, io);
    if (stream == nullptr) return;
    s.saved = *s.stream;
    MovePending(s.saved, stream);
    s.own = *s.stream = stream;
  } else if (!on_drive && Standing(s)) {
    MovePending(s.own, s.saved);
    *s.stream = s.saved;
    g_putting_away = true;
    fclose(s.own);
    g_putting_away = false;
    s.own = nullptr;
  }
}

void StandardStreamsOnTheDrive() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) StandardStreamFollows(fd);
}

}  // namespace vtape::preload

using namespace vtape::preload;

VTAPE_EXPORT FILE* fopen(const char* path, const char* mode) {
  if (!Ready()) return nullptr;
  FILE* stream;
  if (TryOpenStream(path, mode, &stream)) return stream;
  return libc.fopen(path, mode);
}

VTAPE_EXPORT FILE* fopen64(const char* path, const char* mode) {
  if (!Ready()) return nullptr;
  FILE* stream;
  if (TryOpenStream(path, mode, &stream)) return stream;
  return libc.fopen64(path, mode);
}

VTAPE_EXPORT FILE* freopen(const char* path, const char* mode, FILE* stream) {
  if (!Ready()) return nullptr;
  if (RefuseReopen(path, stream)) return nullptr;
  return libc.freopen(path, mode, stream);
}

VTAPE_EXPORT FILE* freopen64(const char* path, const char* mode, FILE* stream) {
  if (!Ready()) return nullptr;
  if (RefuseReopen(path, stream)) return nullptr;
  return libc.freopen64(path, mode, stream);
}

// A stand-in the program closes (fclose(stdout)) is gone: it is not put
// away again when its descriptor changes later.
VTAPE_EXPORT int fclose(FILE* stream) {
  for (Standard& s : g_standard) {
    if (s.own == stream && stream != nullptr) s.own = nullptr;
  }
  static auto real = reinterpret_cast<int (*)(FILE*)>(dlsym(RTLD_NEXT, "fclose"));
  return real(stream);
}

VTAPE_EXPORT FILE* fdopen(int fd, const char* mode) {
  if (!Ready()) return nullptr;
  if (!IsTape(fd)) return libc.fdopen(fd, mode);
  int flags = mode == nullptr ? -1 : ModeFlags(mode);
  int have = libc.fcntl(fd, F_GETFL) & O_ACCMODE;
  bool fits = flags >= 0 && ((flags & O_ACCMODE) == have || have == O_RDWR);
  if (!fits) {
    errno = EINVAL;
    return nullptr;
  }
  return StreamOver(fd, mode);
}
