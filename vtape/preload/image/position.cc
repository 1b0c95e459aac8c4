#include "preload/image/position.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mtio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aws.h"
#include "drive_env.h"
#include "preload/core/internal_descriptors.h"
#include "preload/core/real_libc.h"

// Why the record can be trusted after a kill at any instant:
//
// * The file holds one fixed-size record at offset 0, replaced by a single
//   pwrite. A write of one page is never cut short by a signal, so the next
//   open reads the old record or the new one, never a mixture; the checksum
//   turns away anything else (another version, a hand edit). The page cache
//   is shared, so what pwrite put there is what the next process reads even
//   if this one dies at once: no fsync is needed for a killed process, and a
//   crash of the machine loses the image's own unsynced writes too.
// * A move records the new place before it returns, tied to the image's
//   size and modification time: the image cannot change under a record that
//   says "at", because every change starts with the next point.
// * Before the image is changed, the record says "end": the tape is at the
//   end of data, which lies at or after a recorded place. Writes only ever
//   leave the tape at the end of data, so a stream of writes needs this once,
//   not once per block. The open then walks from that place to the end of
//   the whole records. When the write needs the image cut off first, the
//   record keeps the size before the cut until the cut is done: an image of
//   that size was not touched, and the tape is at the recorded place.

namespace vtape::preload {

namespace {

constexpr size_t kRecordSize = 256;

constexpr Place kNoEnd = {-1, 0, 0, 0, 0};

// The notice that the record cannot be kept is given once a process.
bool g_reported;

void Cannot(const Keeper& k, const char* why) { snprintf(k.state->cannot, sizeof k.state->cannot, "%s", why); }
bool SamePlace(const Place& a, const Place& b) {
  return a.offset == b.offset && a.prev == b.prev && a.file == b.file && a.block == b.block && a.records == b.records;
}

bool SameSettings(const Settings& a, const Settings& b) {
  return a.block_size == b.block_size && a.density == b.density && a.drive_buffer == b.drive_buffer &&
         a.options == b.options;
}

bool Same(const Saved& a, const Saved& b) {
  return a.mode == b.mode && a.counting == b.counting && SamePlace(a.place, b.place) && a.dev == b.dev &&
         a.ino == b.ino && a.size == b.size && a.sec == b.sec && a.nsec == b.nsec && SamePlace(a.end, b.end) &&
         SameSettings(a.settings, b.settings);
}

// BOT, which is right for any image.
Saved Bot(const Keeper& k) {
  return Saved{Mode::kAt, Place{}, Counting::kKnown, 0, 0, 0, 0, 0, kNoEnd, k.state->settings};
}

bool IsBot(const Saved& s) {
  return s.mode == Mode::kAt && s.counting == Counting::kKnown && SamePlace(s.place, Place{}) && s.dev == 0 &&
         s.ino == 0;
}

uint32_t Checksum(const char* text, size_t n) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 16777619u;
  return h;
}

// The mode words, by Counting. Records written before the counting was
// kept say "at" and read as a known block number.
constexpr const char* kAtWords[] = {"at", "at-lost", "at-eod", "at-mark", "at-unknown"};

const char* ModeWord(const Saved& s) {
  if (s.mode == Mode::kEnd) return s.counting == Counting::kKnown ? "end" : "end-lost";
  return kAtWords[static_cast<int>(s.counting)];
}

bool Format(const Saved& s, char out[kRecordSize]) {
  const Settings& t = s.settings;
  int n = snprintf(out, kRecordSize,
                   "vtape-position 3 %s %lld %u %ld %ld %ld %ju %ju %lld %lld %ld %lld %u %ld %ld %ld %d %d %u",
                   ModeWord(s), static_cast<long long>(s.place.offset), static_cast<unsigned>(s.place.prev),
                   s.place.file, s.place.block, s.place.records, s.dev, s.ino, s.size, s.sec, s.nsec,
                   static_cast<long long>(s.end.offset), static_cast<unsigned>(s.end.prev), s.end.file,
                   s.end.records, t.block_size, t.density, t.drive_buffer, t.options);
  if (n < 0 || static_cast<size_t>(n) + 10 > kRecordSize) return false;
  n += snprintf(out + n, kRecordSize - static_cast<size_t>(n), " %08" PRIx32, Checksum(out, static_cast<size_t>(n)));
  memset(out + n, ' ', kRecordSize - 1 - static_cast<size_t>(n));
  out[kRecordSize - 1] = '\n';
  return true;
}

bool ParseMode(const char* word, Saved* s) {
  s->mode = Mode::kAt;
  s->counting = Counting::kKnown;
  if (strcmp(word, "end") == 0 || strcmp(word, "end-lost") == 0) {
    s->mode = Mode::kEnd;
    if (word[3] != '\0') s->counting = Counting::kBlockLost;
    return true;
  }
  for (size_t i = 0; i < sizeof kAtWords / sizeof kAtWords[0]; ++i) {
    if (strcmp(word, kAtWords[i]) == 0) {
      s->counting = static_cast<Counting>(i);
      return true;
    }
  }
  return false;
}

// Version 2 records, from before the end of data and the settings were
// kept, still give the place.
bool Parse(const char* text, Saved* s) {
  char mode[16];
  long long offset, end_offset = -1;
  unsigned prev, end_prev = 0;
  int checked = -1;
  uint32_t sum;
  *s = Saved{};
  s->end = kNoEnd;
  s->settings = DefaultSettings();
  Settings& t = s->settings;
  int got = sscanf(text,
                   "vtape-position 3 %15s %lld %u %ld %ld %ld %ju %ju %lld %lld %ld %lld %u %ld %ld %ld %d %d %u%n "
                   "%" SCNx32,
                   mode, &offset, &prev, &s->place.file, &s->place.block, &s->place.records, &s->dev, &s->ino,
                   &s->size, &s->sec, &s->nsec, &end_offset, &end_prev, &s->end.file, &s->end.records, &t.block_size,
                   &t.density, &t.drive_buffer, &t.options, &checked, &sum);
  if (got != 20) {
    checked = -1;
    got = sscanf(text, "vtape-position 2 %15s %lld %u %ld %ld %ld %ju %ju %lld %lld %ld%n %" SCNx32, mode, &offset,
                 &prev, &s->place.file, &s->place.block, &s->place.records, &s->dev, &s->ino, &s->size, &s->sec,
                 &s->nsec, &checked, &sum);
    if (got != 12) return false;
  }
  if (checked < 0 || sum != Checksum(text, static_cast<size_t>(checked)) || prev > UINT16_MAX || offset < 0 ||
      end_prev > UINT16_MAX || !ParseMode(mode, s)) {
    return false;
  }
  s->place.offset = static_cast<off_t>(offset);
  s->place.prev = static_cast<uint16_t>(prev);
  s->end.offset = static_cast<off_t>(end_offset);
  s->end.prev = static_cast<uint16_t>(end_prev);
  return true;
}

bool ReadHeader(const Keeper& k, off_t at, Header* h) {
  unsigned char raw[kHeaderSize];
  if (pread(k.state->image_fd, raw, sizeof raw, at) != static_cast<ssize_t>(sizeof raw)) return false;
  *h = DecodeHeader(raw);
  return h->flags2 == 0;
}

// Whether a record boundary with this previous length can be at `p` in an
// image `size` bytes long: the headers on either side agree with it. Two
// small reads instead of a walk from BOT.
bool LooksLikeABoundary(const Keeper& k, const Place& p, off_t size) {
  if (p.offset > size) return false;
  Header h;
  // A header cut short by a kill is left for the walk that follows.
  if (p.offset + static_cast<off_t>(kHeaderSize) <= size &&
      (!ReadHeader(k, p.offset, &h) || h.prev != p.prev ||
       (h.flags1 != kFlagTapeMark && (h.flags1 & kFlagNewRecord) == 0))) {
    return false;
  }
  if (p.offset == 0) return p.prev == 0;
  off_t last = p.offset - static_cast<off_t>(kHeaderSize) - p.prev;
  if (last < 0 || !ReadHeader(k, last, &h) || h.length != p.prev) return false;
  return p.prev == 0 ? h.flags1 == kFlagTapeMark : (h.flags1 & (kFlagEndRecord | kFlagTapeMark)) == kFlagEndRecord;
}

const char* Unusable(int error) {
  if (error == ELOOP) return "a symbolic link, which the drive does not follow";
  return strerror(error);
}

bool Refuse(const Keeper& k) {
  if (!g_reported) {
    fprintf(stderr, "libvtape: cannot record the tape position in %s: %s\n", k.state->path, k.state->cannot);
    g_reported = true;
  }
  return false;
}

// Opens the file for reading and writing without following a link or
// waiting on a FIFO, creating it if asked; false for anything but a regular
// file, with `k.state->cannot` set unless the file is just missing.
bool OpenFile(const Keeper& k, bool create) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = libc.open(k.state->path, kFlags);
  bool created = false;
  if (fd < 0 && errno == ENOENT && create) {
    fd = libc.open(k.state->path, kFlags | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
  }
  if (fd < 0) {
    k.state->open_error = errno;
    if (errno != ENOENT || create) Cannot(k, Unusable(errno));
    return false;
  }
  struct stat st;
  if (libc.fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    libc.close(fd);
    Cannot(k, "not a regular file");
    return false;
  }
  // Whoever may write the tape may move it: the file gets the image's
  // permissions rather than the umask's, and stays writable for the one who
  // made it, also beside a write-protected image. Anyone else who may only
  // read the tape keeps its place in a runtime directory of their own.
  if (created && !k.state->elsewhere) fchmod(fd, (k.state->image.st_mode & 0666) | S_IWUSR);
  *k.fd = MoveHigh(fd);
  KeepInternal(*k.fd, k.fd);
  return true;
}

bool Unwritable(int error) { return error == EACCES || error == EROFS || error == EPERM; }

// The user's own place for the record when the image's directory cannot
// hold it (a read-only image or mount): a write-protected cartridge moves
// all the same. Named by the image's identity, so that every name of the
// image finds it.
bool UseRuntimeDirectory(const Keeper& k) {
  if (k.state->elsewhere) return false;
  char dir[PATH_MAX];
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    snprintf(dir, sizeof dir, "%s/vtape", runtime);
  } else {
    snprintf(dir, sizeof dir, "/tmp/vtape-%u", static_cast<unsigned>(geteuid()));
  }
  mkdir(dir, 0700);
  struct stat st;
  if (libc.lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    return false;
  }
  snprintf(k.state->path, sizeof k.state->path, "%s/%ju-%ju%s", dir, static_cast<uintmax_t>(k.state->image.st_dev),
           static_cast<uintmax_t>(k.state->image.st_ino), kStateSuffix);
  k.state->elsewhere = true;
  k.state->cannot[0] = '\0';
  return true;
}

// Opens the file, creating it, where the record can be kept.
bool OpenFileToWrite(const Keeper& k) {
  return OpenFile(k, true) || (Unwritable(k.state->open_error) && UseRuntimeDirectory(k) && OpenFile(k, true));
}

bool Write(const Keeper& k, const Saved& s) {
  if (Same(s, k.state->disk)) return true;
  if (k.state->cannot[0] != '\0') return Refuse(k);
  if (*k.fd < 0 && !OpenFileToWrite(k)) return Refuse(k);
  char text[kRecordSize];
  if (!Format(s, text)) {
    Cannot(k, "position out of range");
    return Refuse(k);
  }
  ssize_t put = pwrite(*k.fd, text, kRecordSize, 0);
  if (put != static_cast<ssize_t>(kRecordSize)) {
    Cannot(k, strerror(put < 0 ? errno : ENOSPC));
    return Refuse(k);
  }
  k.state->disk = s;
  k.state->disk_valid = true;
  return true;
}

// The image as it is now.
const struct stat& ImageNow(const Keeper& k) {
  if (!k.state->image_fresh && libc.fstat(k.state->image_fd, &k.state->image) == 0) k.state->image_fresh = true;
  return k.state->image;
}

// The record an image as it is now would need for the tape at `place`.
Saved At(const Keeper& k, const Place& place, Counting counting) {
  if (SamePlace(place, Place{}) && counting == Counting::kKnown && k.state->end.offset < 0) return Bot(k);
  ImageNow(k);
  return Saved{Mode::kAt,
               place,
               counting,
               static_cast<uintmax_t>(k.state->image.st_dev),
               static_cast<uintmax_t>(k.state->image.st_ino),
               static_cast<long long>(k.state->image.st_size),
               static_cast<long long>(k.state->image.st_mtim.tv_sec),
               k.state->image.st_mtim.tv_nsec,
               k.state->end,
               k.state->settings};
}

// Writing at end of data keeps a lost block number lost, as st counts on
// only from a known one.
Saved End(const Keeper& k, const Place& place, Counting counting, off_t size_before_cut) {
  return Saved{Mode::kEnd,
               place,
               counting == Counting::kKnown ? Counting::kKnown : Counting::kBlockLost,
               static_cast<uintmax_t>(k.state->image.st_dev),
               static_cast<uintmax_t>(k.state->image.st_ino),
               static_cast<long long>(size_before_cut),
               0,
               0,
               kNoEnd,
               k.state->settings};
}

// The record at the current path, read only.
ssize_t ReadOnly(const char* path, char* text) {
  int fd = libc.open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  ssize_t n = libc.fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? pread(fd, text, kRecordSize, 0) : -1;
  libc.close(fd);
  return n;
}

// Whether the record could be made beside the image.
bool DirectoryWritable(const Keeper& k) {
  char dir[PATH_MAX + 16];
  snprintf(dir, sizeof dir, "%s", k.state->path);
  *strrchr(dir, '/') = '\0';
  return libc.faccessat(AT_FDCWD, dir[0] == '\0' ? "/" : dir, W_OK, AT_EACCESS) == 0 || !Unwritable(errno);
}

// The record beside the image, read only, until the one in the runtime
// directory exists; then that one, open for writing.
ssize_t ReadMoved(const Keeper& k, char* text) {
  ssize_t n = ReadOnly(k.state->path, text);
  char newer[kRecordSize];
  if (UseRuntimeDirectory(k) && OpenFile(k, false) && pread(*k.fd, newer, kRecordSize, 0) == kRecordSize) {
    memcpy(text, newer, kRecordSize);
    n = kRecordSize;
  }
  return n;
}

// Reads what the file says, keeping it open for writing if it can be. A
// record beside the image that cannot be written, or beside one of the names
// of an image that has several, says where the tape was until one in the
// runtime directory takes over.
bool ReadSaved(const Keeper& k, Saved* s) {
  char text[kRecordSize + 1];
  ssize_t n = -1;
  if (k.state->image.st_nlink > 1) {
    // One tape under several names has one position, kept by its identity.
    n = ReadMoved(k, text);
  } else if (OpenFile(k, false)) {
    n = pread(*k.fd, text, kRecordSize, 0);
  } else if (k.state->cannot[0] == '\0' && DirectoryWritable(k)) {
    return false;  // no record yet: BOT
  } else if (k.state->cannot[0] == '\0' || Unwritable(k.state->open_error)) {
    n = ReadMoved(k, text);
  }
  if (n != static_cast<ssize_t>(kRecordSize)) return false;
  text[kRecordSize] = '\0';
  Saved parsed;
  if (!Parse(text, &parsed)) return false;
  *s = parsed;
  return true;
}

// A drive loses a write it did not finish: the record a kill cut short goes,
// whatever the mode of this open, so the tape ends after the last whole
// record. An image nobody may write keeps the bytes, but the tape ends
// before them all the same.
void CutTornRecord(const Keeper& k, off_t at, off_t* size) {
  *size = at;
  k.state->image_fresh = false;
  if (ftruncate(k.state->image_fd, at) == 0) return;
  char image[PATH_MAX];
  snprintf(image, sizeof image, "/proc/self/fd/%d", k.state->image_fd);
  int fd = libc.open(image, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  if (ftruncate(fd, at) != 0) k.state->image_fresh = true;
  libc.close(fd);
}

// From `place` on to the end of the whole records: where a write stream
// stopped. A tape mark on the way makes the block number known again.
void WalkToEnd(const Keeper& k, Place* place, Counting* counting, off_t* size) {
  for (;;) {
    Record rec;
    if (!ReadRecord(k.state->image_fd, place->offset, *size, place->prev, nullptr, 0, &rec)) return;
    if (rec.kind == RecordKind::kEnd) return;
    if (rec.kind == RecordKind::kCorrupt) return CutTornRecord(k, place->offset, size);
    if (rec.kind == RecordKind::kTapeMark) *counting = Counting::kKnown;
    Pass(place, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
  }
}

// Where the tape is by the record `s`, if it still describes this image;
// false when it does not (the tape is at BOT then).
bool Restore(const Keeper& k, const Saved& s, Place* place, Counting* counting, off_t* size) {
  const struct stat& im = k.state->image;
  if (IsBot(s)) return true;
  if (s.dev != static_cast<uintmax_t>(im.st_dev) || s.ino != static_cast<uintmax_t>(im.st_ino) ||
      !LooksLikeABoundary(k, s.place, *size)) {
    return false;
  }
  if (s.mode == Mode::kAt) {
    if (s.size != im.st_size || s.sec != im.st_mtim.tv_sec || s.nsec != im.st_mtim.tv_nsec) return false;
    *place = s.place;
    *counting = s.counting;
    if (s.end.offset == im.st_size && LooksLikeABoundary(k, s.end, *size)) k.state->end = s.end;
    return true;
  }
  *place = s.place;
  *counting = s.counting;
  // Still the size before the cut: the write never began.
  if (s.size != s.place.offset && s.size == im.st_size) return true;
  WalkToEnd(k, place, counting, size);
  return true;
}

// The marks a page after the record, as text: a line of the image's
// identity and stamp, a line a mark, and the check of all before it.
// Written whole with one pwrite, and only when a mark is learned or a write
// makes them wrong, so that the record's own writes never carry them.
constexpr off_t kMarksAt = 4096;
constexpr size_t kMarksSize = 4096;

bool StampedFor(const MarkTable& t, const struct stat& im) {
  return t.dev == static_cast<uintmax_t>(im.st_dev) && t.ino == static_cast<uintmax_t>(im.st_ino) &&
         t.size == static_cast<long long>(im.st_size) && t.sec == static_cast<long long>(im.st_mtim.tv_sec) &&
         t.nsec == im.st_mtim.tv_nsec;
}

// The text of `t` in `out`: its length, or 0 when it does not fit.
size_t FormatMarks(const MarkTable& t, char (&out)[kMarksSize]) {
  int n = snprintf(out, kMarksSize, "vtape-marks 1 %ju %ju %lld %lld %ld %d\n", t.dev, t.ino, t.size, t.sec, t.nsec,
                   t.count);
  for (int i = 0; i < t.count && n > 0 && static_cast<size_t>(n) < kMarksSize; ++i) {
    n += snprintf(out + n, kMarksSize - static_cast<size_t>(n), "%lld %ld %ld\n", t.at[i].offset, t.at[i].file,
                  t.at[i].records);
  }
  if (n < 0 || static_cast<size_t>(n) + 10 > kMarksSize) return 0;
  n += snprintf(out + n, kMarksSize - static_cast<size_t>(n), "%08" PRIx32 "\n", Checksum(out, static_cast<size_t>(n)));
  return static_cast<size_t>(n);
}

bool ParseMarks(const char* text, MarkTable* t) {
  int used = 0;
  if (sscanf(text, "vtape-marks 1 %ju %ju %lld %lld %ld %d%n", &t->dev, &t->ino, &t->size, &t->sec, &t->nsec, &t->count,
             &used) != 6 ||
      t->count < 0 || t->count > kMaxMarks) {
    return false;
  }
  for (int i = 0; i < t->count; ++i) {
    int more = 0;
    if (sscanf(text + used, "%lld %ld %ld%n", &t->at[i].offset, &t->at[i].file, &t->at[i].records, &more) != 3) {
      return false;
    }
    used += more;
  }
  uint32_t sum;
  return sscanf(text + used, " %" SCNx32, &sum) == 1 && sum == Checksum(text, static_cast<size_t>(used) + 1);
}

// Reads the marks the file keeps, once an open.
void LoadMarks(const Keeper& k) {
  MarkTable& t = k.state->marks;
  if (t.loaded) return;
  t.loaded = true;
  char text[kMarksSize + 1];
  ssize_t n = *k.fd >= 0 ? pread(*k.fd, text, kMarksSize, kMarksAt) : -1;
  if (n <= 0) return;
  text[n] = '\0';
  if (!ParseMarks(text, &t)) t.count = 0;
}

// A failed write leaves the marks to be walked again.
void SaveMarks(const Keeper& k) {
  char text[kMarksSize];
  size_t n = FormatMarks(k.state->marks, text);
  if (n == 0 || *k.fd < 0 || k.state->cannot[0] != '\0') return;
  if (pwrite(*k.fd, text, n, kMarksAt) < 0) return;
}

// A write changes where the marks are, even where the image's time does
// not show it.
void ForgetMarks(const Keeper& k) {
  LoadMarks(k);
  if (k.state->marks.count == 0) return;
  k.state->marks.count = 0;
  SaveMarks(k);
}

}  // namespace

void Pass(Place* place, bool tape_mark, off_t next, uint16_t last) {
  place->offset = next;
  place->prev = last;
  ++place->records;
  if (tape_mark) {
    ++place->file;
    place->block = 0;
  } else {
    ++place->block;
  }
}

Settings DefaultSettings() {
  // Buffered mode 1 is what drives (and the changer target's) report until
  // MTSETDRVBUFFER changes it; st reads it from MODE SENSE at open.
  constexpr int kDriveBuffered = 1;
  return Settings{0, 0, kDriveBuffered, MT_ST_BUFFER_WRITES | MT_ST_ASYNC_WRITES | MT_ST_READ_AHEAD | MT_ST_CAN_BSR};
}

bool OpenRecord(const Keeper& k, const char* image, int image_fd, bool rewinding, Place* place, Counting* counting,
                off_t* size, Settings* settings, Place* end) {
  // A tape the changer took away left its record open.
  if (*k.fd >= 0) libc.close(*k.fd);
  *k.fd = -1;
  *k.state = KeeperState{};
  k.state->image_fd = image_fd;
  k.state->rewinding = rewinding;
  snprintf(k.state->path, sizeof k.state->path, "%s%s", image, kStateSuffix);
  *place = Place{};
  *counting = Counting::kKnown;
  if (libc.fstat(image_fd, &k.state->image) != 0) return false;
  k.state->image_fresh = true;
  *size = k.state->image.st_size;
  k.state->settings = DefaultSettings();
  k.state->end = kNoEnd;
  k.state->disk = Bot(k);
  k.state->disk_valid = true;
  if (ReadSaved(k, &k.state->disk)) {
    k.state->settings = k.state->disk.settings;
    k.state->disk_valid = Restore(k, k.state->disk, place, counting, size);
  }
  *settings = k.state->settings;
  *end = k.state->end;
  // The release will rewind, and so would the kernel's if this process died.
  if (rewinding && !Write(k, Bot(k))) {
    CloseRecord(k, Place{}, Counting::kKnown);
    return false;
  }
  return true;
}

bool RecordPlace(const Keeper& k, const Place& place, Counting counting) {
  return k.state->rewinding || Write(k, At(k, place, counting));
}

bool ImageIntact(const Keeper& k, off_t size) {
  struct stat st;
  return libc.fstat(k.state->image_fd, &st) == 0 && st.st_nlink > 0 && st.st_size >= size;
}

bool StartWrite(const Keeper& k, const Place& place, Counting counting, off_t* size) {
  bool cut = *size > place.offset;
  // A stream of writes at the end of data is covered by one record.
  bool covered = k.state->disk_valid && k.state->disk.mode == Mode::kEnd &&
                 k.state->disk.size == k.state->disk.place.offset && k.state->disk.place.offset <= place.offset && !cut;
  // The write itself finds an image changed under it (vtape/aws.h); the
  // record and the cut must not be made on one.
  if (!covered && !ImageIntact(k, *size)) return false;
  if (!k.state->rewinding && !covered && !Write(k, End(k, place, counting, cut ? *size : place.offset))) return false;
  ForgetMarks(k);
  k.state->image_fresh = false;
  if (!cut) return true;
  if (ftruncate(k.state->image_fd, place.offset) != 0) return false;
  *size = place.offset;
  return k.state->rewinding || Write(k, End(k, place, counting, place.offset));
}

namespace {

// The record beside `image`, when there is a sound one.
bool Kept(const char* image, Saved* s) {
  char path[PATH_MAX + 16];
  char text[kRecordSize + 1];
  snprintf(path, sizeof path, "%s%s", image, kStateSuffix);
  if (ReadOnly(path, text) != static_cast<ssize_t>(kRecordSize)) return false;
  text[kRecordSize] = '\0';
  return Parse(text, s);
}

}  // namespace

Settings KeptSettings(const char* image) {
  Saved s;
  return Kept(image, &s) ? s.settings : DefaultSettings();
}

long KeptRecords(const char* image) {
  Saved s;
  return Kept(image, &s) ? s.place.records : 0;
}

bool RecordSettings(const Keeper& k, const Settings& settings) {
  k.state->settings = settings;
  Saved s = k.state->disk;
  s.settings = settings;
  return Write(k, s);
}

void NoteEnd(const Keeper& k, const Place* end) { k.state->end = end != nullptr ? *end : kNoEnd; }

bool KnownMark(const Keeper& k, long file, Place* after) {
  LoadMarks(k);
  const MarkTable& t = k.state->marks;
  if (t.count == 0 || !StampedFor(t, ImageNow(k))) return false;
  for (int i = 0; i < t.count; ++i) {
    if (t.at[i].file != file) continue;
    Place p{static_cast<off_t>(t.at[i].offset), 0, file, 0, t.at[i].records};
    if (!LooksLikeABoundary(k, p, k.state->image.st_size)) return false;
    *after = p;
    return true;
  }
  return false;
}

void LearnMark(const Keeper& k, const Place& after) {
  LoadMarks(k);
  MarkTable& t = k.state->marks;
  const struct stat& im = ImageNow(k);
  if (!StampedFor(t, im)) {
    t.count = 0;
    t.dev = static_cast<uintmax_t>(im.st_dev);
    t.ino = static_cast<uintmax_t>(im.st_ino);
    t.size = static_cast<long long>(im.st_size);
    t.sec = static_cast<long long>(im.st_mtim.tv_sec);
    t.nsec = im.st_mtim.tv_nsec;
  }
  for (int i = 0; i < t.count; ++i) {
    if (t.at[i].file == after.file) return;
  }
  if (t.count == kMaxMarks) return;
  t.at[t.count++] = MarkTable::Mark{static_cast<long long>(after.offset), after.file, after.records};
  SaveMarks(k);
}

bool CloseRecord(const Keeper& k, const Place& place, Counting counting) {
  bool recorded = RecordPlace(k, place, counting);
  LeaveRecord(k);
  return recorded;
}

void LeaveRecord(const Keeper& k) {
  if (*k.fd >= 0) libc.close(*k.fd);
  *k.fd = -1;
}

}  // namespace vtape::preload
