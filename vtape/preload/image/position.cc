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
#include "preload/descriptors/descriptors.h"
#include "preload/core/real_libc.h"
#include "preload/st/tape.h"

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

enum class Mode { kAt, kEnd };

// One record as it is (or is to be) in the file.
struct Saved {
  Mode mode;
  Place place;
  Counting counting;   // kEnd: whether the block number was lost before the write
  uintmax_t dev, ino;  // the image's identity
  long long size;      // kAt: the image's size; kEnd: its size before the cut
  long long sec;       // kAt: its modification time
  long nsec;
  Place end;  // kAt: where the data ends in the image as stamped; offset -1 if not known
  Settings settings;
};

constexpr Place kNoEnd = {-1, 0, 0, 0, 0};

// The record of one drive's open, shared by the processes that hold it.
struct Keeper {
  char path[PATH_MAX + 16];
  bool elsewhere;      // in the user's runtime directory, not beside the image
  char cannot[128];    // why it cannot be written; empty if it can
  int open_error;      // errno of the last failed open of the file
  bool rewinding;
  int image_fd;
  struct stat image;  // the image as last seen
  bool image_fresh;   // nothing written to it since
  // What the file holds (BOT when it holds no record at all), and whether
  // that describes this image.
  Saved disk;
  bool disk_valid;
  // What the next record is to say beside the place.
  Settings settings;
  Place end;
};
static_assert(sizeof(Keeper) <= kSharedPartSize);
// Each process opens the file itself when it first needs it.
struct RecordFile {
  int fd = -1;
};
RecordFile g_files[kMaxDrives];
// The drive the current call is for, chosen by each entry below.
Keeper* g_k;
RecordFile* g_file;
bool g_reported;

void Select(int drive) {
  g_k = static_cast<Keeper*>(SharedState(drive, SharedPart::kRecord));
  g_file = &g_files[drive];
}

void Cannot(const char* why) { snprintf(g_k->cannot, sizeof g_k->cannot, "%s", why); }
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
Saved Bot() { return Saved{Mode::kAt, Place{}, Counting::kKnown, 0, 0, 0, 0, 0, kNoEnd, g_k->settings}; }

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

bool ReadHeader(off_t at, Header* h) {
  unsigned char raw[kHeaderSize];
  if (pread(g_k->image_fd, raw, sizeof raw, at) != static_cast<ssize_t>(sizeof raw)) return false;
  *h = DecodeHeader(raw);
  return h->flags2 == 0;
}

// Whether a record boundary with this previous length can be at `p` in an
// image `size` bytes long: the headers on either side agree with it. Two
// small reads instead of a walk from BOT.
bool LooksLikeABoundary(const Place& p, off_t size) {
  if (p.offset > size) return false;
  Header h;
  // A header cut short by a kill is left for the walk that follows.
  if (p.offset + static_cast<off_t>(kHeaderSize) <= size &&
      (!ReadHeader(p.offset, &h) || h.prev != p.prev ||
       (h.flags1 != kFlagTapeMark && (h.flags1 & kFlagNewRecord) == 0))) {
    return false;
  }
  if (p.offset == 0) return p.prev == 0;
  off_t last = p.offset - static_cast<off_t>(kHeaderSize) - p.prev;
  if (last < 0 || !ReadHeader(last, &h) || h.length != p.prev) return false;
  return p.prev == 0 ? h.flags1 == kFlagTapeMark : (h.flags1 & (kFlagEndRecord | kFlagTapeMark)) == kFlagEndRecord;
}

const char* Unusable(int error) {
  if (error == ELOOP) return "a symbolic link, which the drive does not follow";
  return strerror(error);
}

bool Refuse() {
  if (!g_reported) {
    fprintf(stderr, "libvtape: cannot record the tape position in %s: %s\n", g_k->path, g_k->cannot);
    g_reported = true;
  }
  return false;
}

// Opens the file for reading and writing without following a link or
// waiting on a FIFO, creating it if asked; false for anything but a regular
// file, with `g_k->cannot` set unless the file is just missing.
bool OpenFile(bool create) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = libc.open(g_k->path, kFlags);
  bool created = false;
  if (fd < 0 && errno == ENOENT && create) {
    fd = libc.open(g_k->path, kFlags | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
  }
  if (fd < 0) {
    g_k->open_error = errno;
    if (errno != ENOENT || create) Cannot(Unusable(errno));
    return false;
  }
  struct stat st;
  if (libc.fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    libc.close(fd);
    Cannot("not a regular file");
    return false;
  }
  // Whoever may write the tape may move it: the file gets the image's
  // permissions rather than the umask's, and stays writable for the one who
  // made it, also beside a write-protected image. Anyone else who may only
  // read the tape keeps its place in a runtime directory of their own.
  if (created && !g_k->elsewhere) fchmod(fd, (g_k->image.st_mode & 0666) | S_IWUSR);
  g_file->fd = MoveHigh(fd);
  return true;
}

bool Unwritable(int error) { return error == EACCES || error == EROFS || error == EPERM; }

// The user's own place for the record when the image's directory cannot
// hold it (a read-only image or mount): a write-protected cartridge moves
// all the same. Named by the image's identity, so that every name of the
// image finds it.
bool UseRuntimeDirectory() {
  if (g_k->elsewhere) return false;
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
  snprintf(g_k->path, sizeof g_k->path, "%s/%ju-%ju%s", dir, static_cast<uintmax_t>(g_k->image.st_dev),
           static_cast<uintmax_t>(g_k->image.st_ino), kStateSuffix);
  g_k->elsewhere = true;
  g_k->cannot[0] = '\0';
  return true;
}

// Opens the file, creating it, where the record can be kept.
bool OpenFileToWrite() {
  return OpenFile(true) || (Unwritable(g_k->open_error) && UseRuntimeDirectory() && OpenFile(true));
}

bool Write(const Saved& s) {
  if (Same(s, g_k->disk)) return true;
  if (g_k->cannot[0] != '\0') return Refuse();
  if (g_file->fd < 0 && !OpenFileToWrite()) return Refuse();
  char text[kRecordSize];
  if (!Format(s, text)) {
    Cannot("position out of range");
    return Refuse();
  }
  ssize_t put = pwrite(g_file->fd, text, kRecordSize, 0);
  if (put != static_cast<ssize_t>(kRecordSize)) {
    Cannot(strerror(put < 0 ? errno : ENOSPC));
    return Refuse();
  }
  g_k->disk = s;
  g_k->disk_valid = true;
  return true;
}

// The record an image as it is now would need for the tape at `place`.
Saved At(const Place& place, Counting counting) {
  if (SamePlace(place, Place{}) && counting == Counting::kKnown && g_k->end.offset < 0) return Bot();
  if (!g_k->image_fresh && libc.fstat(g_k->image_fd, &g_k->image) == 0) g_k->image_fresh = true;
  return Saved{Mode::kAt,
               place,
               counting,
               static_cast<uintmax_t>(g_k->image.st_dev),
               static_cast<uintmax_t>(g_k->image.st_ino),
               static_cast<long long>(g_k->image.st_size),
               static_cast<long long>(g_k->image.st_mtim.tv_sec),
               g_k->image.st_mtim.tv_nsec,
               g_k->end,
               g_k->settings};
}

// Writing at end of data keeps a lost block number lost, as st counts on
// only from a known one.
Saved End(const Place& place, Counting counting, off_t size_before_cut) {
  return Saved{Mode::kEnd,
               place,
               counting == Counting::kKnown ? Counting::kKnown : Counting::kBlockLost,
               static_cast<uintmax_t>(g_k->image.st_dev),
               static_cast<uintmax_t>(g_k->image.st_ino),
               static_cast<long long>(size_before_cut),
               0,
               0,
               kNoEnd,
               g_k->settings};
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
bool DirectoryWritable() {
  char dir[PATH_MAX + 16];
  snprintf(dir, sizeof dir, "%s", g_k->path);
  *strrchr(dir, '/') = '\0';
  return libc.faccessat(AT_FDCWD, dir[0] == '\0' ? "/" : dir, W_OK, AT_EACCESS) == 0 || !Unwritable(errno);
}

// The record beside the image, read only, until the one in the runtime
// directory exists; then that one, open for writing.
ssize_t ReadMoved(char* text) {
  ssize_t n = ReadOnly(g_k->path, text);
  char newer[kRecordSize];
  if (UseRuntimeDirectory() && OpenFile(false) && pread(g_file->fd, newer, kRecordSize, 0) == kRecordSize) {
    memcpy(text, newer, kRecordSize);
    n = kRecordSize;
  }
  return n;
}

// Reads what the file says, keeping it open for writing if it can be. A
// record beside the image that cannot be written, or beside one of the names
// of an image that has several, says where the tape was until one in the
// runtime directory takes over.
bool ReadSaved(Saved* s) {
  char text[kRecordSize + 1];
  ssize_t n = -1;
  if (g_k->image.st_nlink > 1) {
    // One tape under several names has one position, kept by its identity.
    n = ReadMoved(text);
  } else if (OpenFile(false)) {
    n = pread(g_file->fd, text, kRecordSize, 0);
  } else if (g_k->cannot[0] == '\0' && DirectoryWritable()) {
    return false;  // no record yet: BOT
  } else if (g_k->cannot[0] == '\0' || Unwritable(g_k->open_error)) {
    n = ReadMoved(text);
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
void CutTornRecord(off_t at, off_t* size) {
  *size = at;
  g_k->image_fresh = false;
  if (ftruncate(g_k->image_fd, at) == 0) return;
  char image[PATH_MAX];
  snprintf(image, sizeof image, "/proc/self/fd/%d", g_k->image_fd);
  int fd = libc.open(image, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  if (ftruncate(fd, at) != 0) g_k->image_fresh = true;
  libc.close(fd);
}

// From `place` on to the end of the whole records: where a write stream
// stopped. A tape mark on the way makes the block number known again.
void WalkToEnd(Place* place, Counting* counting, off_t* size) {
  for (;;) {
    Record rec;
    if (!ReadRecord(g_k->image_fd, place->offset, *size, place->prev, nullptr, 0, &rec)) return;
    if (rec.kind == RecordKind::kEnd) return;
    if (rec.kind == RecordKind::kCorrupt) return CutTornRecord(place->offset, size);
    if (rec.kind == RecordKind::kTapeMark) *counting = Counting::kKnown;
    Pass(place, rec.kind == RecordKind::kTapeMark, rec.next, rec.last_length);
  }
}

// Where the tape is by the record `s`, if it still describes this image;
// false when it does not (the tape is at BOT then).
bool Restore(const Saved& s, Place* place, Counting* counting, off_t* size) {
  const struct stat& im = g_k->image;
  if (IsBot(s)) return true;
  if (s.dev != static_cast<uintmax_t>(im.st_dev) || s.ino != static_cast<uintmax_t>(im.st_ino) ||
      !LooksLikeABoundary(s.place, *size)) {
    return false;
  }
  if (s.mode == Mode::kAt) {
    if (s.size != im.st_size || s.sec != im.st_mtim.tv_sec || s.nsec != im.st_mtim.tv_nsec) return false;
    *place = s.place;
    *counting = s.counting;
    if (s.end.offset == im.st_size && LooksLikeABoundary(s.end, *size)) g_k->end = s.end;
    return true;
  }
  *place = s.place;
  *counting = s.counting;
  // Still the size before the cut: the write never began.
  if (s.size != s.place.offset && s.size == im.st_size) return true;
  WalkToEnd(place, counting, size);
  return true;
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

bool OpenRecord(int drive, const char* image, int image_fd, bool rewinding, Place* place, Counting* counting,
                off_t* size, Settings* settings, Place* end) {
  Select(drive);
  // A tape the changer took away left its record open.
  if (g_file->fd >= 0) libc.close(g_file->fd);
  g_file->fd = -1;
  *g_k = Keeper{};
  g_k->image_fd = image_fd;
  g_k->rewinding = rewinding;
  snprintf(g_k->path, sizeof g_k->path, "%s%s", image, kStateSuffix);
  *place = Place{};
  *counting = Counting::kKnown;
  if (libc.fstat(image_fd, &g_k->image) != 0) return false;
  g_k->image_fresh = true;
  *size = g_k->image.st_size;
  g_k->settings = DefaultSettings();
  g_k->end = kNoEnd;
  g_k->disk = Bot();
  g_k->disk_valid = true;
  if (ReadSaved(&g_k->disk)) {
    g_k->settings = g_k->disk.settings;
    g_k->disk_valid = Restore(g_k->disk, place, counting, size);
  }
  *settings = g_k->settings;
  *end = g_k->end;
  // The release will rewind, and so would the kernel's if this process died.
  if (rewinding && !Write(Bot())) {
    CloseRecord(drive, Place{}, Counting::kKnown);
    return false;
  }
  return true;
}

bool RecordPlace(int drive, const Place& place, Counting counting) {
  Select(drive);
  return g_k->rewinding || Write(At(place, counting));
}

bool ImageIntact(int drive, off_t size) {
  Select(drive);
  struct stat st;
  return libc.fstat(g_k->image_fd, &st) == 0 && st.st_nlink > 0 && st.st_size >= size;
}

bool StartWrite(int drive, const Place& place, Counting counting, off_t* size) {
  if (!ImageIntact(drive, *size)) return false;
  Select(drive);
  bool cut = *size > place.offset;
  // A stream of writes at the end of data is covered by one record.
  bool covered = g_k->disk_valid && g_k->disk.mode == Mode::kEnd && g_k->disk.size == g_k->disk.place.offset &&
                 g_k->disk.place.offset <= place.offset && !cut;
  if (!g_k->rewinding && !covered && !Write(End(place, counting, cut ? *size : place.offset))) return false;
  g_k->image_fresh = false;
  if (!cut) return true;
  if (ftruncate(g_k->image_fd, place.offset) != 0) return false;
  *size = place.offset;
  return g_k->rewinding || Write(End(place, counting, place.offset));
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

bool RecordSettings(int drive, const Settings& settings) {
  Select(drive);
  g_k->settings = settings;
  Saved s = g_k->disk;
  s.settings = settings;
  return Write(s);
}

void NoteEnd(int drive, const Place* end) {
  Select(drive);
  g_k->end = end != nullptr ? *end : kNoEnd;
}

bool CloseRecord(int drive, const Place& place, Counting counting) {
  bool recorded = RecordPlace(drive, place, counting);
  LeaveRecord(drive);
  return recorded;
}

void LeaveRecord(int drive) {
  RecordFile& file = g_files[drive];
  if (file.fd >= 0) libc.close(file.fd);
  file.fd = -1;
}

}  // namespace vtape::preload
