#include "library/state.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vtape::library {

namespace {

constexpr char kMagic[] = "vtape-library 2";
// The first version: drives had neither device numbers nor serials.
constexpr char kMagicWithoutIdentities[] = "vtape-library 1";
constexpr char kTempFile[] = "library.state.tmp";
// Largest state file: the header and one line per slot and drive.
constexpr size_t kMaxStateText = 64 + (kMaxSlots + kMaxDrives) * 64;

const char* ShownBarcode(const Place& p) { return p.barcode[0] == '\0' ? "-" : p.barcode; }

// Copies one whitespace-delimited word of `*text` into `out`, advancing.
bool Word(const char** text, char* out, size_t cap) {
  const char* p = *text;
  while (*p == ' ') ++p;
  size_t n = 0;
  while (p[n] != '\0' && p[n] != ' ' && p[n] != '\n') ++n;
  if (n == 0 || n >= cap) return false;
  memcpy(out, p, n);
  out[n] = '\0';
  *text = p + n;
  return true;
}

bool Number(const char** text, long low, long high, long* value) {
  char word[16];
  if (!Word(text, word, sizeof word)) return false;
  char* end;
  long n = strtol(word, &end, 10);
  if (*end != '\0' || end == word || n < low || n > high) return false;
  *value = n;
  return true;
}

bool Keyword(const char** text, const char* expected) {
  char word[16];
  return Word(text, word, sizeof word) && strcmp(word, expected) == 0;
}

bool EndOfLine(const char** text) {
  const char* p = *text;
  while (*p == ' ') ++p;
  if (*p != '\n') return false;
  *text = p + 1;
  return true;
}

// A barcode word, or "-" for an empty place.
bool PlaceWord(const char** text, Place* place) {
  char word[kMaxBarcode + 1];
  if (!Word(text, word, sizeof word)) return false;
  if (strcmp(word, "-") == 0) {
    place->barcode[0] = '\0';
    return true;
  }
  if (!ValidBarcode(word)) return false;
  memcpy(place->barcode, word, sizeof word);
  return true;
}

int CompareBarcodes(const void* a, const void* b) {
  return strcmp((*static_cast<const Place* const*>(a))->barcode, (*static_cast<const Place* const*>(b))->barcode);
}

// No barcode may be in two places: a move that did so would have created a
// cartridge out of nothing. Sorted, so that every command of a library of
// a thousand slots does not pay for comparing each pair.
bool EachCartridgeOnce(const State& s) {
  const Place* all[kMaxSlots + kMaxDrives];
  int n = 0;
  for (int i = 0; i < s.slot_count; ++i) {
    if (s.slots[i].barcode[0] != '\0') all[n++] = &s.slots[i];
  }
  for (int i = 0; i < s.drive_count; ++i) {
    if (s.drives[i].tape.barcode[0] != '\0') all[n++] = &s.drives[i].tape;
  }
  qsort(all, static_cast<size_t>(n), sizeof all[0], CompareBarcodes);
  for (int i = 1; i < n; ++i) {
    if (strcmp(all[i - 1]->barcode, all[i]->barcode) == 0) return false;
  }
  return true;
}

bool DistinctIdentities(const State& s) {
  for (int i = 0; i < s.drive_count; ++i) {
    for (int j = i + 1; j < s.drive_count; ++j) {
      if (s.drives[i].device == s.drives[j].device || strcmp(s.drives[i].serial, s.drives[j].serial) == 0) {
        return false;
      }
    }
  }
  return true;
}

// " device N serial S" at the end of a drive line.
bool Identity(const char** text, DriveState* d) {
  long device;
  char serial[kSerialLength + 1];
  if (!Keyword(text, "device") || !Number(text, 0, kMaxDrives - 1, &device) || !Keyword(text, "serial") ||
      !Word(text, serial, sizeof serial) || !ValidSerial(serial)) {
    return false;
  }
  d->device = static_cast<int>(device);
  memcpy(d->serial, serial, sizeof serial);
  return true;
}

bool ReadAll(int fd, char* buf, size_t cap, size_t* length) {
  size_t n = 0;
  for (;;) {
    if (n == cap) return false;
    ssize_t got = read(fd, buf + n, cap - n);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    n += static_cast<size_t>(got);
  }
  *length = n;
  return true;
}

bool WriteAll(int fd, const char* buf, size_t length) {
  while (length > 0) {
    ssize_t put = write(fd, buf, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    buf += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

bool WriteStateFile(int dir_fd, const State& state, int extra_flags) {
  static char text[kMaxStateText];
  size_t length = FormatState(state, text, sizeof text);
  if (length == 0) {
    errno = EINVAL;
    return false;
  }
  int fd = openat(dir_fd, kTempFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text, length) && fsync(fd) == 0;
  int saved = errno;
  close(fd);
  if (ok && (extra_flags & O_EXCL) != 0 && faccessat(dir_fd, kStateFile, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
    saved = EEXIST;
    ok = false;
  }
  if (ok && renameat(dir_fd, kTempFile, dir_fd, kStateFile) == 0) return true;
  if (ok) saved = errno;
  unlinkat(dir_fd, kTempFile, 0);
  errno = saved;
  return false;
}

// The library lock belongs to the process, not to the descriptor: a child
// forked with the library open holds none of its parent's lock, so the two
// exclude each other (flock would let them share one). The threads of one
// process are one owner to it; they take their turns before. The raw call
// passes the drive's preload, which answers EBADF to the program's fcntl on
// the library's own descriptors.
bool TakeLock(int fd, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  while (syscall(SYS_fcntl, fd, F_SETLKW, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

bool ValidBarcode(const char* text) {
  size_t n = strlen(text);
  if (n == 0 || n > kMaxBarcode) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

void ChangerSerial(const State& s, char (&out)[kSerialLength + 1]) {
  // Drive serials are "VT", the library's unit number and the drive's index.
  constexpr size_t kUnitPrefix = kSerialLength - 2;
  char unborn[kSerialLength + 1];
  if (s.drive_count > 0) FormatSerial(0, s.drives[0].device, unborn);
  if (s.drive_count == 0 || strcmp(s.drives[0].serial, unborn) == 0) {
    out[0] = '\0';
    return;
  }
  memcpy(out, s.drives[0].serial, kUnitPrefix);
  memcpy(out + kUnitPrefix, "CH", 3);
}

size_t FormatState(const State& s, char* out, size_t cap) {
  size_t n = 0;
  auto put = [&](int written) {
    if (written < 0 || static_cast<size_t>(written) >= cap - n) {
      n = cap;
      return;
    }
    n += static_cast<size_t>(written);
  };
  put(snprintf(out, cap, "%s slots %d drives %d prevent %d\n", kMagic, s.slot_count, s.drive_count,
               s.prevent_removal ? 1 : 0));
  for (int i = 0; i < s.slot_count && n < cap; ++i) {
    put(snprintf(out + n, cap - n, "slot %d %s\n", i + 1, ShownBarcode(s.slots[i])));
  }
  for (int i = 0; i < s.drive_count && n < cap; ++i) {
    const DriveState& d = s.drives[i];
    put(snprintf(out + n, cap - n, "drive %d %s source %d locked %d device %d serial %s\n", i, ShownBarcode(d.tape),
                 d.source + 1, d.locked ? 1 : 0, d.device, d.serial));
  }
  return n >= cap ? 0 : n;
}

bool ParseState(const char* text, State* state) {
  State& s = *state;
  s = State{};
  size_t magic = strlen(kMagic);
  bool identities = strncmp(text, kMagic, magic) == 0;
  if (!identities && strncmp(text, kMagicWithoutIdentities, magic) != 0) return false;
  const char* p = text + magic;
  long slots, drives, prevent;
  if (!Keyword(&p, "slots") || !Number(&p, 1, kMaxSlots, &slots) || !Keyword(&p, "drives") ||
      !Number(&p, 1, kMaxDrives, &drives) || !Keyword(&p, "prevent") || !Number(&p, 0, 1, &prevent) ||
      !EndOfLine(&p)) {
    return false;
  }
  s.slot_count = static_cast<int>(slots);
  s.drive_count = static_cast<int>(drives);
  s.prevent_removal = prevent != 0;
  for (long i = 1; i <= slots; ++i) {
    long number;
    if (!Keyword(&p, "slot") || !Number(&p, i, i, &number) || !PlaceWord(&p, &s.slots[i - 1]) ||
        !EndOfLine(&p)) {
      return false;
    }
  }
  for (long i = 0; i < drives; ++i) {
    DriveState& d = s.drives[i];
    long number, source, locked;
    if (!Keyword(&p, "drive") || !Number(&p, i, i, &number) || !PlaceWord(&p, &d.tape) || !Keyword(&p, "source") ||
        !Number(&p, 0, slots, &source) || !Keyword(&p, "locked") || !Number(&p, 0, 1, &locked) ||
        (identities && !Identity(&p, &d)) || !EndOfLine(&p)) {
      return false;
    }
    d.source = static_cast<int>(source) - 1;
    d.locked = locked != 0;
    if (!identities) {
      d.device = static_cast<int>(i);
      FormatSerial(0, d.device, d.serial);
    }
  }
  return *p == '\0' && EachCartridgeOnce(s) && DistinctIdentities(s);
}

bool Open(const char* dir, Handle* handle) {
  handle->dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle->dir_fd < 0) return false;
  handle->lock_fd = openat(handle->dir_fd, kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (handle->lock_fd < 0) handle->lock_fd = openat(handle->dir_fd, kLockFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (handle->lock_fd < 0) {
    int saved = errno;
    close(handle->dir_fd);
    errno = saved;
    return false;
  }
  return true;
}

void Close(Handle* handle) {
  close(handle->lock_fd);
  close(handle->dir_fd);
  handle->lock_fd = handle->dir_fd = -1;
}

bool LockAndRead(const Handle& handle, bool exclusive, State* state) {
  if (!TakeLock(handle.lock_fd, exclusive ? F_WRLCK : F_RDLCK)) return false;
  static char text[kMaxStateText + 1];
  size_t length = 0;
  int fd = openat(handle.dir_fd, kStateFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  bool ok = fd >= 0 && ReadAll(fd, text, kMaxStateText, &length);
  int saved = errno;
  if (fd >= 0) close(fd);
  if (ok) {
    text[length] = '\0';
    ok = ParseState(text, state);
    saved = EIO;
  }
  if (ok) return true;
  Unlock(handle);
  errno = saved;
  return false;
}

void Unlock(const Handle& handle) { TakeLock(handle.lock_fd, F_UNLCK); }

bool Write(const Handle& handle, const State& state) { return WriteStateFile(handle.dir_fd, state, 0); }

bool SignalChange(const Handle& handle, int drive, int64_t ready_at_ns) {
  int fd = openat(handle.dir_fd, kSignalFile, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DriveSignal signal{};
  off_t at = static_cast<off_t>(drive * sizeof signal);
  bool ok = pread(fd, &signal, sizeof signal, at) == static_cast<ssize_t>(sizeof signal);
  ++signal.changes;
  signal.ready_at_ns = ready_at_ns;
  ok = ok && pwrite(fd, &signal, sizeof signal, at) == static_cast<ssize_t>(sizeof signal);
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

bool Create(const char* dir, const State& state) {
  Handle handle;
  if (!Open(dir, &handle)) return false;
  if (faccessat(handle.dir_fd, kStateFile, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
    Close(&handle);
    errno = EEXIST;
    return false;
  }
  int signals = openat(handle.dir_fd, kSignalFile, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  bool ok = signals >= 0 && ftruncate(signals, kMaxDrives * sizeof(DriveSignal)) == 0;
  if (signals >= 0) close(signals);
  ok = ok && TakeLock(handle.lock_fd, F_WRLCK) && WriteStateFile(handle.dir_fd, state, O_EXCL);
  int saved = errno;
  Close(&handle);
  errno = saved;
  return ok;
}

int FindInDrive(const State& state, const char* barcode) {
  for (int i = 0; i < state.drive_count; ++i) {
    if (strcmp(state.drives[i].tape.barcode, barcode) == 0) return i;
  }
  return -1;
}

int FindInSlot(const State& state, const char* barcode) {
  for (int i = 0; i < state.slot_count; ++i) {
    if (strcmp(state.slots[i].barcode, barcode) == 0) return i;
  }
  return -1;
}

}  // namespace vtape::library
