// libvtape.so: plays the Linux SCSI tape driver (st) for one drive and keeps
// its tape in an AWSTAPE image. Loaded with LD_PRELOAD, it serves the drive's
// two device names and passes every other path and descriptor to the C
// library. docs/virtual-drive.md describes what it emulates.

// The fortified inline wrappers would clash with the definitions below.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aws.h"
#include "drive_env.h"

extern "C" [[noreturn]] void __chk_fail(void);

namespace {

using vtape::Record;
using vtape::RecordKind;

// The C library's own entry points, filled from dlsym(RTLD_NEXT) once.
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
LibC libc;

enum class InitState { kNone, kRunning, kDone };
// Guards against wrappers called while dlsym itself is still running.
InitState g_init = InitState::kNone;

// Largest block the drive accepts: the 24-bit SSC transfer length.
constexpr size_t kMaxBlock = 0xFFFFFF;
// MTWEOF without waiting for the drive: linux/mtio.h has it, glibc does not.
constexpr short kMtWeofImmediate = 35;
// Descriptors below this number can be the drive; the table costs 4 KiB.
constexpr int kMaxFds = 4096;
// The image descriptor is moved this high so the program gets the numbers
// the kernel would have given it.
constexpr int kInternalFdFloor = 512;

// What the environment asked for; read once at start-up.
struct Config {
  char image[PATH_MAX];
  char rewind_name[PATH_MAX];
  char norewind_name[PATH_MAX];
  int fail_open;
  bool no_medium;
  bool write_protect;
  bool fail_rewind;
  bool fail_setblk;
  bool fail_weof;
  bool fail_close;
  long fail_read;
  long fail_write;
  long fail_rewind_at;
  long fail_setblk_at;
  long short_write;
  size_t short_bytes;
};
Config g_config;

// The driver's end-of-file state, reduced to what the reads can tell apart.
enum class Eof { kNone, kFileMark, kEndOfData };

// The one drive; st allows a single open at a time, so one record suffices.
struct Drive {
  bool in_use;
  pid_t owner;          // only the opening process releases the drive
  int refs;             // descriptors sharing the open file description
  int image_fd;
  bool read_only;       // opened O_RDONLY
  bool write_only;      // opened O_WRONLY
  bool rewinding;       // opened through the st name
  bool no_medium;       // opened O_NONBLOCK without a tape
  bool write_protected;
  off_t size;
  off_t pos;
  uint16_t prev;        // length field of the header before pos
  bool pending_write;   // last operation was a write: close adds a filemark
  Eof eof;
  bool block_unknown;   // st lost count of the block number at end of data
};
Drive g_drive;
bool g_is_tape[kMaxFds];
// Calls that reached the drive in this process, for the Nth-call faults.
long g_reads;
long g_rewinds;
long g_setblks;
long g_writes;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

[[noreturn]] void Die(const char* what, const char* detail) {
  fprintf(stderr, "libvtape: %s: %s\n", what, detail);
  abort();
}

template <typename F>
void Resolve(F* slot, const char* name) {
  void* p = dlsym(RTLD_NEXT, name);
  if (p == nullptr) {
    const char* err = dlerror();
    Die("cannot resolve", err != nullptr ? err : name);
  }
  *slot = reinterpret_cast<F>(p);
}

// Lexically normalises the absolute path in `path` in place: no "//", "."
// or "..", so "/dev//nst0" and "/dev/./nst0" name the drive too.
void Normalize(char* path) {
  char* out = path;
  const char* in = path;
  while (*in != '\0') {
    while (*in == '/') ++in;
    const char* end = in;
    while (*end != '\0' && *end != '/') ++end;
    size_t len = static_cast<size_t>(end - in);
    bool dot = len == 1 && in[0] == '.';
    bool dotdot = len == 2 && in[0] == '.' && in[1] == '.';
    if (dotdot) {
      while (out > path && *--out != '/') continue;
    } else if (len > 0 && !dot) {
      *out++ = '/';
      memmove(out, in, len);
      out += len;
    }
    in = end;
  }
  if (out == path) *out++ = '/';
  *out = '\0';
}

// Builds the absolute, normalised form of `path` opened relative to `dirfd`.
bool AbsolutePath(int dirfd, const char* path, char* out, size_t cap) {
  char base[PATH_MAX];
  if (path[0] == '/') {
    base[0] = '\0';
  } else if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == nullptr) return false;
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, base, sizeof base - 1);
    if (n < 0) return false;
    base[n] = '\0';
  }
  int n = snprintf(out, cap, "%s/%s", base, path);
  if (n < 0 || static_cast<size_t>(n) >= cap) return false;
  Normalize(out);
  return true;
}

bool EnvFlag(const char* name) {
  const char* v = getenv(name);
  return v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0;
}

void LoadConfig() {
  Config& c = g_config;
  const char* image = getenv(vtape::kEnvImage);
  if (image != nullptr && image[0] != '\0') {
    if (!AbsolutePath(AT_FDCWD, image, c.image, sizeof c.image)) Die("image path too long", image);
  }
  const char* device = getenv(vtape::kEnvDevice);
  if (device == nullptr || device[0] == '\0') device = vtape::kDefaultDevice;
  char name[PATH_MAX];
  if (!AbsolutePath(AT_FDCWD, device, name, sizeof name)) Die("device path too long", device);
  // st names its devices stN (rewinding) and nstN (non-rewinding).
  char* base = strrchr(name, '/') + 1;
  size_t dir_len = static_cast<size_t>(base - name);
  if (strncmp(base, "nst", 3) == 0) {
    strcpy(c.norewind_name, name);
    snprintf(c.rewind_name, sizeof c.rewind_name, "%.*s%s", static_cast<int>(dir_len), name, base + 1);
  } else {
    strcpy(c.rewind_name, name);
    if (strncmp(base, "st", 2) == 0) {
      snprintf(c.norewind_name, sizeof c.norewind_name, "%.*sn%s", static_cast<int>(dir_len), name, base);
    }
  }
  const char* v;
  if ((v = getenv(vtape::kEnvFailOpen)) != nullptr && !vtape::ParseErrno(v, &c.fail_open)) {
    Die("bad value for VTAPE_FAIL_OPEN", v);
  }
  if ((v = getenv(vtape::kEnvFailRead)) != nullptr && !vtape::ParseCount(v, &c.fail_read)) {
    Die("bad value for VTAPE_FAIL_READ", v);
  }
  if ((v = getenv(vtape::kEnvFailWrite)) != nullptr && !vtape::ParseCount(v, &c.fail_write)) {
    Die("bad value for VTAPE_FAIL_WRITE", v);
  }
  if ((v = getenv(vtape::kEnvFailRewindAt)) != nullptr && !vtape::ParseCount(v, &c.fail_rewind_at)) {
    Die("bad value for VTAPE_FAIL_REWIND_AT", v);
  }
  if ((v = getenv(vtape::kEnvFailSetblkAt)) != nullptr && !vtape::ParseCount(v, &c.fail_setblk_at)) {
    Die("bad value for VTAPE_FAIL_SETBLK_AT", v);
  }
  if ((v = getenv(vtape::kEnvShortWrite)) != nullptr &&
      !vtape::ParseShortWrite(v, &c.short_write, &c.short_bytes)) {
    Die("bad value for VTAPE_SHORT_WRITE", v);
  }
  c.no_medium = EnvFlag(vtape::kEnvNoMedium);
  c.write_protect = EnvFlag(vtape::kEnvWriteProtect);
  c.fail_rewind = EnvFlag(vtape::kEnvFailRewind);
  c.fail_setblk = EnvFlag(vtape::kEnvFailSetblk);
  c.fail_weof = EnvFlag(vtape::kEnvFailWeof);
  c.fail_close = EnvFlag(vtape::kEnvFailClose);
}

bool EnsureInit() {
  if (g_init == InitState::kDone) return true;
  if (g_init == InitState::kRunning) return false;
  g_init = InitState::kRunning;
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
  LoadConfig();
  g_init = InitState::kDone;
  return true;
}

// False, with EFAULT, for a call made while the real functions are still
// being looked up: there is nothing to pass it to yet.
bool Ready() {
  if (EnsureInit()) return true;
  errno = EFAULT;
  return false;
}

bool IsTape(int fd) { return fd >= 0 && fd < kMaxFds && g_is_tape[fd]; }

// Turns a kernel-style result (negative errno) into the C convention and
// restores the caller's errno on success, hiding internal calls.
long Finish(long result, int saved_errno) {
  if (result < 0) {
    errno = static_cast<int>(-result);
    return -1;
  }
  errno = saved_errno;
  return result;
}

class Locked {
 public:
  Locked() { pthread_mutex_lock(&g_lock); }
  ~Locked() { pthread_mutex_unlock(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Size of the state file's one record, padded with blanks.
constexpr int kStateRecordSize = 128;

void StatePath(char* out, size_t cap) { snprintf(out, cap, "%s%s", g_config.image, vtape::kStateSuffix); }

// Records where the tape will be after the drive is released, tied to the
// image's identity so that a replaced or edited image starts at BOT.
void SavePosition() {
  struct stat st;
  if (fstat(g_drive.image_fd, &st) != 0) return;
  char path[PATH_MAX + 16];
  StatePath(path, sizeof path);
  // One fixed-size record, overwritten in place: truncating the file on every
  // tape movement made ext4 flush it each time, which cost more than the run.
  char line[kStateRecordSize + 1];
  long long where = g_drive.rewinding ? 0 : static_cast<long long>(g_drive.pos);
  int n = snprintf(line, sizeof line, "vtape-position 1 %lld %lld %ju %lld %ld", where,
                   static_cast<long long>(st.st_size), static_cast<uintmax_t>(st.st_ino),
                   static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
  if (n < 0 || n >= kStateRecordSize) return;
  memset(line + n, ' ', kStateRecordSize - 1 - n);
  line[kStateRecordSize - 1] = '\n';
  int fd = libc.open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t put = pwrite(fd, line, kStateRecordSize, 0);
  (void)put;
  libc.close(fd);
}

// Walks the image from BOT to `target`; true when a record boundary lies
// exactly there. Counts files, blocks in the file and records on the way.
bool WalkTo(off_t target, uint16_t* prev, long* file, long* block, long* records) {
  off_t at = 0;
  uint16_t p = 0;
  long f = 0, b = 0, r = 0;
  while (at < target) {
    Record rec;
    if (!vtape::ReadRecord(g_drive.image_fd, at, g_drive.size, p, nullptr, 0, &rec)) return false;
    if (rec.kind == RecordKind::kEnd || rec.kind == RecordKind::kCorrupt) return false;
    if (rec.kind == RecordKind::kTapeMark) {
      ++f;
      b = 0;
    } else {
      ++b;
    }
    ++r;
    at = rec.next;
    p = rec.last_length;
  }
  if (at != target) return false;
  if (prev != nullptr) *prev = p;
  if (file != nullptr) *file = f;
  if (block != nullptr) *block = b;
  if (records != nullptr) *records = r;
  return true;
}

// Puts the tape where the state file says the last release left it, if the
// file still describes this very image; otherwise at BOT.
void LoadPosition() {
  g_drive.pos = 0;
  g_drive.prev = 0;
  char path[PATH_MAX + 16];
  StatePath(path, sizeof path);
  int fd = libc.open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char line[160];
  ssize_t n = libc.read(fd, line, sizeof line - 1);
  libc.close(fd);
  if (n <= 0) return;
  line[n] = '\0';
  long long pos, size, sec;
  uintmax_t ino;
  long nsec;
  struct stat st;
  if (sscanf(line, "vtape-position 1 %lld %lld %ju %lld %ld", &pos, &size, &ino, &sec, &nsec) != 5 ||
      fstat(g_drive.image_fd, &st) != 0 || size != st.st_size || ino != st.st_ino ||
      sec != st.st_mtim.tv_sec || nsec != st.st_mtim.tv_nsec || pos < 0 || pos > size) {
    return;
  }
  uint16_t prev;
  if (WalkTo(static_cast<off_t>(pos), &prev, nullptr, nullptr, nullptr)) {
    g_drive.pos = static_cast<off_t>(pos);
    g_drive.prev = prev;
  }
}

// Moves an internal descriptor out of the low numbers the program expects.
int MoveHigh(int fd) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur <= static_cast<rlim_t>(kInternalFdFloor) * 2) {
    return fd;
  }
  int high = libc.fcntl(fd, F_DUPFD_CLOEXEC, kInternalFdFloor);
  if (high < 0) return fd;
  libc.close(fd);
  return high;
}

// The part of st_open that this drive needs: medium, write protection and
// exclusive use. Returns the new descriptor or a negative errno.
long OpenTape(bool rewinding, int flags) {
  Locked lock;
  const Config& c = g_config;
  if (c.fail_open != 0) return -c.fail_open;
  if (g_drive.in_use) return -EBUSY;
  int accmode = flags & O_ACCMODE;
  bool read_only = accmode == O_RDONLY;
  bool nonblock = (flags & O_NONBLOCK) != 0;
  bool no_medium = c.no_medium || c.image[0] == '\0';
  bool write_protected = c.write_protect;
  int image_fd = -1;
  off_t size = 0;
  if (!no_medium) {
    image_fd = libc.open(c.image, (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (image_fd < 0 && !read_only && (errno == EACCES || errno == EROFS)) {
      write_protected = true;
      image_fd = libc.open(c.image, O_RDONLY | O_CLOEXEC);
    }
    struct stat st;
    if (image_fd < 0) {
      if (errno != ENOENT) return -EIO;
      no_medium = true;
    } else if (fstat(image_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      libc.close(image_fd);
      return -EIO;
    } else {
      size = st.st_size;
      if ((st.st_mode & 0222) == 0) write_protected = true;
      if (flock(image_fd, LOCK_EX | LOCK_NB) != 0) {
        libc.close(image_fd);
        return -EBUSY;
      }
    }
  }
  long error = 0;
  if (no_medium && !nonblock) {
    error = -ENOMEDIUM;
  } else if (write_protected && !read_only && !nonblock) {
    error = -EROFS;
  }
  int fd = -1;
  if (error == 0) {
    fd = libc.open("/dev/null", accmode | (flags & O_CLOEXEC));
    if (fd < 0) {
      error = -errno;
    } else if (fd >= kMaxFds) {
      libc.close(fd);
      error = -EMFILE;
    }
  }
  if (error != 0) {
    if (image_fd >= 0) libc.close(image_fd);
    return error;
  }
  g_drive = Drive{};
  g_drive.in_use = true;
  g_drive.owner = getpid();
  g_drive.refs = 1;
  g_drive.image_fd = image_fd < 0 ? -1 : MoveHigh(image_fd);
  g_drive.read_only = read_only;
  g_drive.write_only = accmode == O_WRONLY;
  g_drive.rewinding = rewinding;
  g_drive.no_medium = no_medium;
  g_drive.write_protected = write_protected;
  g_drive.size = size;
  if (!no_medium) LoadPosition();
  g_is_tape[fd] = true;
  return fd;
}

// Answers whether `path` opened relative to `dirfd` is the drive, and if so
// opens it, leaving the result in `*result`.
bool TryOpenTape(int dirfd, const char* path, int flags, int* result) {
  if (path == nullptr) return false;
  char abs[PATH_MAX];
  if (!AbsolutePath(dirfd, path, abs, sizeof abs)) return false;
  bool rewinding;
  if (strcmp(abs, g_config.rewind_name) == 0) {
    rewinding = true;
  } else if (g_config.norewind_name[0] != '\0' && strcmp(abs, g_config.norewind_name) == 0) {
    rewinding = false;
  } else {
    return false;
  }
  int saved = errno;
  *result = static_cast<int>(Finish(OpenTape(rewinding, flags), saved));
  return true;
}

// The C library entry a program called to open a file.
enum class Entry { kOpen, kOpen64, kOpenat, kOpenat64, kOpen2, kOpen64_2, kOpenat2, kOpenat64_2 };

int OpenEntry(Entry entry, int dirfd, const char* path, int flags, mode_t mode) {
  if (!Ready()) return -1;
  int fd;
  if (TryOpenTape(dirfd, path, flags, &fd)) return fd;
  switch (entry) {
    case Entry::kOpen:
      return libc.open(path, flags, mode);
    case Entry::kOpen64:
      return libc.open64(path, flags, mode);
    case Entry::kOpenat:
      return libc.openat(dirfd, path, flags, mode);
    case Entry::kOpenat64:
      return libc.openat64(dirfd, path, flags, mode);
    case Entry::kOpen2:
      return libc.open_2(path, flags);
    case Entry::kOpen64_2:
      return libc.open64_2(path, flags);
    case Entry::kOpenat2:
      return libc.openat_2(dirfd, path, flags);
    case Entry::kOpenat64_2:
      return libc.openat64_2(dirfd, path, flags);
  }
  return -1;
}

long WriteMarks(long count) {
  for (long i = 0; i < count; ++i) {
    off_t next;
    if (!vtape::WriteTapeMark(g_drive.image_fd, g_drive.pos, g_drive.prev, &next)) {
      g_drive.size = g_drive.pos;
      SavePosition();
      return -EIO;
    }
    g_drive.pos = next;
    g_drive.size = next;
    g_drive.prev = 0;
  }
  SavePosition();
  return 0;
}

long TapeRead(void* buf, size_t count) {
  Locked lock;
  Drive& d = g_drive;
  if (d.write_only) return -EBADF;
  if (d.no_medium) return -ENOMEDIUM;
  if (count == 0) return 0;
  if (count > kMaxBlock) return -EINVAL;
  d.pending_write = false;
  if (++g_reads == g_config.fail_read) return -EIO;
  if (d.eof == Eof::kEndOfData) return -EIO;
  Record rec;
  if (!vtape::ReadRecord(d.image_fd, d.pos, d.size, d.prev, buf, count, &rec)) return -EIO;
  switch (rec.kind) {
    case RecordKind::kEnd:
      d.block_unknown = true;
      // Only the first read at end of data right after a filemark sees 0.
      if (d.eof != Eof::kFileMark) return -EIO;
      d.eof = Eof::kEndOfData;
      return 0;
    case RecordKind::kTapeMark:
      d.pos = rec.next;
      d.prev = 0;
      d.eof = Eof::kFileMark;
      SavePosition();
      return 0;
    case RecordKind::kBlock:
      // A longer block is passed over all the same, as st does.
      d.pos = rec.next;
      d.prev = rec.last_length;
      SavePosition();
      if (rec.length > count) return -ENOMEM;
      d.eof = Eof::kNone;
      return static_cast<long>(rec.length);
    case RecordKind::kCorrupt:
      break;
  }
  return -EIO;
}

long TapeWrite(const void* buf, size_t count) {
  Locked lock;
  Drive& d = g_drive;
  if (d.read_only) return -EBADF;
  if (d.no_medium) return -ENOMEDIUM;
  if (count == 0) return 0;
  if (count > kMaxBlock) return -EINVAL;
  if (d.write_protected) return -EACCES;
  // st marks the direction before the transfer, so even a failed write
  // earns the filemark at close.
  d.pending_write = true;
  long nth = ++g_writes;
  if (nth == g_config.fail_write) return -EIO;
  size_t length = count;
  if (nth == g_config.short_write && g_config.short_bytes < count) length = g_config.short_bytes;
  off_t next;
  uint16_t last;
  if (!vtape::WriteBlock(d.image_fd, d.pos, d.prev, buf, length, &next, &last)) {
    d.size = d.pos;
    SavePosition();
    return -EIO;
  }
  d.pos = next;
  d.size = next;
  d.prev = last;
  d.eof = Eof::kNone;
  SavePosition();
  return static_cast<long>(length);
}

// Spaces forward over `count` filemarks; at end of data the tape stays
// there and the call fails.
long SpaceFileMarks(long count) {
  Drive& d = g_drive;
  for (long done = 0; done < count;) {
    Record rec;
    if (!vtape::ReadRecord(d.image_fd, d.pos, d.size, d.prev, nullptr, 0, &rec)) return -EIO;
    if (rec.kind == RecordKind::kCorrupt) return -EIO;
    if (rec.kind == RecordKind::kEnd) {
      d.eof = Eof::kEndOfData;
      d.block_unknown = true;
      SavePosition();
      return -EIO;
    }
    if (rec.kind == RecordKind::kTapeMark) ++done;
    d.pos = rec.next;
    d.prev = rec.last_length;
  }
  d.eof = Eof::kFileMark;
  d.block_unknown = false;
  SavePosition();
  return 0;
}

long SpaceToEnd() {
  Drive& d = g_drive;
  for (;;) {
    Record rec;
    if (!vtape::ReadRecord(d.image_fd, d.pos, d.size, d.prev, nullptr, 0, &rec)) return -EIO;
    if (rec.kind == RecordKind::kCorrupt) return -EIO;
    if (rec.kind == RecordKind::kEnd) break;
    d.pos = rec.next;
    d.prev = rec.last_length;
  }
  d.eof = Eof::kEndOfData;
  d.block_unknown = true;
  SavePosition();
  return 0;
}

long TapeOp(const mtop& op) {
  Drive& d = g_drive;
  if (d.no_medium) return -ENOMEDIUM;
  if (d.pending_write && op.mt_op == MTREW) {
    if (g_config.fail_weof) return -EIO;
    long r = WriteMarks(1);
    if (r < 0) return r;
  }
  if (op.mt_op != MTNOP && op.mt_op != MTSETBLK && op.mt_op != MTSETDENSITY && op.mt_op != MTWSM &&
      op.mt_op != MTSETDRVBUFFER && op.mt_op != MTSETPART) {
    d.pending_write = false;
  }
  switch (op.mt_op) {
    case MTNOP:
      return 0;
    case MTSETBLK:
      // Only variable-block mode is emulated, as if the drive's block limits
      // excluded every fixed size.
      if ((op.mt_count & MT_ST_BLKSIZE_MASK) != 0) return -EINVAL;
      if (++g_setblks == g_config.fail_setblk_at) return -EIO;
      return g_config.fail_setblk ? -EIO : 0;
    case MTREW:
      if (g_config.fail_rewind || ++g_rewinds == g_config.fail_rewind_at) return -EIO;
      d.pos = 0;
      d.prev = 0;
      d.eof = Eof::kNone;
      d.block_unknown = false;
      SavePosition();
      return 0;
    case MTWEOF:
    case kMtWeofImmediate:
      if (d.read_only || d.write_protected) return -EACCES;
      if (op.mt_count < 0) return -EINVAL;
      if (g_config.fail_weof) return -EIO;
      d.eof = Eof::kNone;
      d.block_unknown = false;
      return WriteMarks(op.mt_count);
    case MTFSF:
      if (op.mt_count < 0) return -EINVAL;
      return SpaceFileMarks(op.mt_count);
    case MTEOM:
      return SpaceToEnd();
    default:
      return -ENOSYS;
  }
}

long TapeStatus(mtget* status) {
  Drive& d = g_drive;
  *status = mtget{};
  status->mt_type = MT_ISSCSI2;
  if (d.no_medium) {
    status->mt_fileno = status->mt_blkno = -1;
    status->mt_gstat = GMT_DR_OPEN(~0L);
    return 0;
  }
  long file = -1, block = -1;
  WalkTo(d.pos, nullptr, &file, &block, nullptr);
  status->mt_fileno = file;
  status->mt_blkno = d.block_unknown ? -1 : block;
  long gstat = GMT_ONLINE(~0L);
  if (d.write_protected) gstat |= GMT_WR_PROT(~0L);
  if (status->mt_blkno == 0) gstat |= file == 0 ? GMT_BOT(~0L) : GMT_EOF(~0L);
  if (d.eof == Eof::kEndOfData) gstat |= GMT_EOD(~0L);
  status->mt_gstat = gstat;
  return 0;
}

long TapeIoctl(unsigned long request, void* arg) {
  Locked lock;
  if (_IOC_TYPE(request) == _IOC_TYPE(MTIOCTOP) && _IOC_NR(request) == _IOC_NR(MTIOCTOP)) {
    if (_IOC_SIZE(request) != sizeof(mtop)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    mtop op;
    memcpy(&op, arg, sizeof op);
    return TapeOp(op);
  }
  if (_IOC_TYPE(request) == _IOC_TYPE(MTIOCGET) && _IOC_NR(request) == _IOC_NR(MTIOCGET)) {
    if (_IOC_SIZE(request) != sizeof(mtget)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    return TapeStatus(static_cast<mtget*>(arg));
  }
  if (_IOC_TYPE(request) == _IOC_TYPE(MTIOCPOS) && _IOC_NR(request) == _IOC_NR(MTIOCPOS)) {
    if (_IOC_SIZE(request) != sizeof(mtpos)) return -EINVAL;
    if (arg == nullptr) return -EFAULT;
    if (g_drive.no_medium) return -EIO;
    long records = 0;
    WalkTo(g_drive.pos, nullptr, nullptr, nullptr, &records);
    static_cast<mtpos*>(arg)->mt_blkno = records;
    return 0;
  }
  return -ENOTTY;
}

// What the kernel does when the last descriptor of the drive goes away: the
// filemark after a write, then the rewind of the st name.
long ReleaseDrive() {
  Drive& d = g_drive;
  long result = 0;
  if (!d.no_medium) {
    if (d.pending_write) {
      if (g_config.fail_close || g_config.fail_weof || WriteMarks(1) < 0) result = -EIO;
    } else if (g_config.fail_close) {
      result = -EIO;
    }
    d.pending_write = false;
    if (d.rewinding) {
      d.pos = 0;
      d.prev = 0;
    }
    SavePosition();
    libc.close(d.image_fd);
  } else if (g_config.fail_close) {
    result = -EIO;
  }
  d = Drive{};
  return result;
}

// Drops one descriptor's claim on the drive; the last one releases it. A
// forked child's copy never releases what its parent opened.
long Untrack(int fd) {
  g_is_tape[fd] = false;
  if (--g_drive.refs > 0 || g_drive.owner != getpid()) return 0;
  return ReleaseDrive();
}

// Records that `newfd` now refers to the drive too, after a dup.
int TrackDup(int newfd) {
  if (newfd < 0) return newfd;
  if (newfd >= kMaxFds) {
    libc.close(newfd);
    errno = EMFILE;
    return -1;
  }
  g_is_tape[newfd] = true;
  ++g_drive.refs;
  return newfd;
}

int DupTo(int oldfd, int newfd, int flags, bool is_dup3) {
  int saved = errno;
  int r = is_dup3 ? libc.dup3(oldfd, newfd, flags) : libc.dup2(oldfd, newfd);
  if (r < 0 || oldfd == newfd) return r;
  Locked lock;
  bool old_tape = IsTape(oldfd);
  if (old_tape) ++g_drive.refs;
  // dup2 closed whatever newfd was; its close error is lost, as in the kernel.
  if (IsTape(newfd)) Untrack(newfd);
  if (old_tape) {
    --g_drive.refs;
    r = TrackDup(r);
  }
  if (r >= 0) errno = saved;
  return r;
}

int FcntlCommon(bool large, int fd, int cmd, void* arg) {
  if (!Ready()) return -1;
  int (*real)(int, int, ...) = large ? libc.fcntl64 : libc.fcntl;
  if (IsTape(fd) && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)) {
    Locked lock;
    return TrackDup(real(fd, cmd, arg));
  }
  return real(fd, cmd, arg);
}

bool NeedsMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

__attribute__((constructor)) void Construct() { EnsureInit(); }

// A program that exits without closing the drive gets what the kernel would
// do at its exit.
__attribute__((destructor)) void Destruct() {
  Locked lock;
  if (g_drive.in_use && g_drive.owner == getpid()) ReleaseDrive();
}

}  // namespace

// The mode argument is there only when the flags ask for one.
#define VTAPE_MODE_ARG(mode, last, flags) \
  mode_t mode = 0;                        \
  if (NeedsMode(flags)) {                 \
    va_list ap;                           \
    va_start(ap, last);                   \
    mode = va_arg(ap, mode_t);            \
    va_end(ap);                           \
  }

extern "C" int open(const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpen, AT_FDCWD, path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpen64, AT_FDCWD, path, flags, mode);
}

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpenat, dirfd, path, flags, mode);
}

extern "C" int openat64(int dirfd, const char* path, int flags, ...) {
  VTAPE_MODE_ARG(mode, flags, flags)
  return OpenEntry(Entry::kOpenat64, dirfd, path, flags, mode);
}

extern "C" int __open_2(const char* path, int flags) {
  return OpenEntry(Entry::kOpen2, AT_FDCWD, path, flags, 0);
}

extern "C" int __open64_2(const char* path, int flags) {
  return OpenEntry(Entry::kOpen64_2, AT_FDCWD, path, flags, 0);
}

extern "C" int __openat_2(int dirfd, const char* path, int flags) {
  return OpenEntry(Entry::kOpenat2, dirfd, path, flags, 0);
}

extern "C" int __openat64_2(int dirfd, const char* path, int flags) {
  return OpenEntry(Entry::kOpenat64_2, dirfd, path, flags, 0);
}

extern "C" ssize_t read(int fd, void* buf, size_t count) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.read(fd, buf, count);
  int saved = errno;
  return Finish(TapeRead(buf, count), saved);
}

extern "C" ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.read_chk(fd, buf, count, buflen);
  if (count > buflen) __chk_fail();
  int saved = errno;
  return Finish(TapeRead(buf, count), saved);
}

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.write(fd, buf, count);
  int saved = errno;
  return Finish(TapeWrite(buf, count), saved);
}

extern "C" int close(int fd) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.close(fd);
  int saved = errno;
  Locked lock;
  int closed = libc.close(fd);
  int close_errno = errno;
  long result = Untrack(fd);
  if (closed < 0 && result == 0) result = -close_errno;
  return static_cast<int>(Finish(result, saved));
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.ioctl(fd, request, arg);
  int saved = errno;
  return static_cast<int>(Finish(TapeIoctl(request, arg), saved));
}

extern "C" int dup(int fd) {
  if (!Ready()) return -1;
  if (!IsTape(fd)) return libc.dup(fd);
  Locked lock;
  return TrackDup(libc.dup(fd));
}

extern "C" int dup2(int oldfd, int newfd) {
  if (!Ready()) return -1;
  if (!IsTape(oldfd) && !IsTape(newfd)) return libc.dup2(oldfd, newfd);
  return DupTo(oldfd, newfd, 0, false);
}

extern "C" int dup3(int oldfd, int newfd, int flags) {
  if (!Ready()) return -1;
  if (!IsTape(oldfd) && !IsTape(newfd)) return libc.dup3(oldfd, newfd, flags);
  return DupTo(oldfd, newfd, flags, true);
}

extern "C" int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return FcntlCommon(false, fd, cmd, arg);
}

extern "C" int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return FcntlCommon(true, fd, cmd, arg);
}
