#include "aws.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vtape {

namespace {

// Headers written per pwritev call; a block longer than this many segments
// takes several calls.
constexpr int kSegmentsPerCall = 64;

constexpr uint8_t kKnownFlags = kFlagNewRecord | kFlagTapeMark | kFlagEndRecord;

// Cuts the last `bytes` of the image, which this write appended, off
// again, so the image ends as it did before; the caller reports the
// write's own error, not this one's. The cut is counted from the image's
// end, never from where the drive thinks it is: another program may have
// shortened or grown the image.
bool Fail(const ImageCalls& calls, int fd, size_t bytes, int error) {
  struct stat st;
  if (bytes > 0 && calls.fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(bytes)) {
    int ignored = ftruncate(fd, st.st_size - static_cast<off_t>(bytes));
    (void)ignored;
  }
  errno = error;
  return false;
}

// Puts `bytes` at the end of the image, which the drive knows to be `at`.
// Another program may cut or grow the image between the drive's check and
// this write; appending makes that show in the size after the write, so a
// record that did not land at `at` is cut off again and the write fails
// with EIO, never reported as written with a hole before it. `*changed`
// says whether the image was changed under the write.
bool Append(const ImageCalls& calls, int fd, const iovec* iov, int count, size_t bytes, off_t at, bool* changed) {
  ssize_t put = calls.pwritev2(fd, iov, count, at, RWF_APPEND);
  *changed = false;
  if (put != static_cast<ssize_t>(bytes)) return Fail(calls, fd, put < 0 ? 0 : put, put < 0 ? errno : ENOSPC);
  struct stat st;
  *changed = calls.fstat(fd, &st) != 0 || st.st_nlink == 0 || st.st_size != at + static_cast<off_t>(bytes);
  return !*changed || Fail(calls, fd, bytes, EIO);
}

bool PreadAll(int fd, void* buf, size_t count, off_t offset) {
  ssize_t got = pread(fd, buf, count, offset);
  if (got == static_cast<ssize_t>(count)) return true;
  if (got >= 0) errno = EIO;
  return false;
}

// A stretch of the image read at once, so that a walk over many small
// records makes one system call per stretch rather than one per header.
struct Window {
  unsigned char* bytes;
  size_t cap;
  off_t start;
  size_t length;
};

// Where a record's bytes come from: the image file, directly or through a
// window.
struct Source {
  int fd;
  Window* window = nullptr;

  bool Read(void* buf, size_t count, off_t offset) const {
    if (window != nullptr && count <= window->cap) {
      Window& w = *window;
      if (offset < w.start || offset + static_cast<off_t>(count) > w.start + static_cast<off_t>(w.length)) {
        ssize_t got = pread(fd, w.bytes, w.cap, offset);
        if (got < 0) return false;
        w.start = offset;
        w.length = static_cast<size_t>(got);
        if (w.length < count) {
          errno = EIO;
          return false;
        }
      }
      memcpy(buf, w.bytes + (offset - w.start), count);
      return true;
    }
    return PreadAll(fd, buf, count, offset);
  }
};

void Corrupt(Record* record, off_t at, const char* problem) {
  record->kind = RecordKind::kCorrupt;
  record->bad_offset = at;
  record->problem = problem;
}

}  // namespace

void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]) {
  out[0] = header.length & 0xff;
  out[1] = header.length >> 8;
  out[2] = header.prev & 0xff;
  out[3] = header.prev >> 8;
  out[4] = header.flags1;
  out[5] = header.flags2;
}

Header DecodeHeader(const unsigned char in[kHeaderSize]) {
  return Header{static_cast<uint16_t>(in[0] | in[1] << 8), static_cast<uint16_t>(in[2] | in[3] << 8),
                in[4], in[5]};
}

namespace {

bool ReadFrom(const Source& source, off_t offset, off_t size, uint16_t prev, void* buf, size_t cap,
              Record* record) {
  *record = Record{RecordKind::kEnd, 0, offset, prev, 0, nullptr};
  if (offset >= size) return true;
  off_t at = offset;
  uint64_t total = 0;
  uint16_t expected_prev = prev;
  for (bool first = true;; first = false) {
    if (size - at < static_cast<off_t>(kHeaderSize)) {
      Corrupt(record, at, first ? "file ends inside a header" : "file ends inside a chained block");
      return true;
    }
    unsigned char raw[kHeaderSize];
    if (!source.Read(raw, sizeof raw, at)) return false;
    Header h = DecodeHeader(raw);
    if (h.flags2 != 0) {
      Corrupt(record, at, "compressed or unknown segment (second flag byte not 0)");
      return true;
    }
    if ((h.flags1 & ~kKnownFlags) != 0 || (h.flags1 == 0 && first)) {
      Corrupt(record, at, "bad header flags");
      return true;
    }
    if (h.prev != expected_prev) {
      Corrupt(record, at, "previous-length field does not match the previous header");
      return true;
    }
    if (h.flags1 & kFlagTapeMark) {
      if (h.flags1 != kFlagTapeMark || h.length != 0 || !first) {
        Corrupt(record, at, "bad tape mark header");
        return true;
      }
      *record = Record{RecordKind::kTapeMark, 0, at + static_cast<off_t>(kHeaderSize), 0, 0, nullptr};
      return true;
    }
    if (first != ((h.flags1 & kFlagNewRecord) != 0)) {
      Corrupt(record, at, first ? "block does not start with a new-record header" : "chained block restarts before its end");
      return true;
    }
    off_t data_at = at + static_cast<off_t>(kHeaderSize);
    if (size - data_at < h.length) {
      Corrupt(record, at, "file ends inside a block");
      return true;
    }
    if (total < cap) {
      size_t n = std::min<uint64_t>(h.length, cap - total);
      if (n > 0 && !source.Read(static_cast<unsigned char*>(buf) + total, n, data_at)) return false;
    }
    total += h.length;
    at = data_at + h.length;
    expected_prev = h.length;
    if (h.flags1 & kFlagEndRecord) break;
  }
  if (total == 0) {
    Corrupt(record, offset, "empty block");
    return true;
  }
  *record = Record{RecordKind::kBlock, total, at, expected_prev, 0, nullptr};
  return true;
}

}  // namespace

bool ReadRecord(int fd, off_t offset, off_t size, uint16_t prev, void* buf, size_t cap,
                Record* record) {
  return ReadFrom(Source{fd}, offset, size, prev, buf, cap, record);
}

bool WalkRecords(int fd, off_t offset, off_t size, uint16_t prev, long marks, Walk* walk) {
  constexpr size_t kWindow = 1 << 18;
  *walk = Walk{offset, prev, 0, 0, 0, false};
  Window window{static_cast<unsigned char*>(malloc(kWindow)), kWindow, 0, 0};
  if (window.bytes == nullptr) return false;
  Source source{fd, &window};
  bool read = true;
  while (marks == 0 || walk->marks < marks) {
    Record rec;
    if (!(read = ReadFrom(source, walk->offset, size, walk->prev, nullptr, 0, &rec))) break;
    if (rec.kind == RecordKind::kEnd) break;
    if (rec.kind == RecordKind::kCorrupt) {
      walk->damaged = true;
      break;
    }
    bool mark = rec.kind == RecordKind::kTapeMark;
    walk->marks += mark ? 1 : 0;
    walk->blocks = mark ? 0 : walk->blocks + 1;
    ++walk->records;
    walk->offset = rec.next;
    walk->prev = rec.last_length;
  }
  int error = errno;
  free(window.bytes);
  errno = error;
  return read;
}

bool ReadRecordBefore(int fd, off_t offset, uint16_t prev, Record* record) {
  uint64_t total = 0;
  off_t at = offset;
  uint16_t length = prev;
  for (bool last = true;; last = false) {
    off_t header_at = at - static_cast<off_t>(kHeaderSize) - length;
    if (header_at < 0) {
      Corrupt(record, at, "previous-length field points before the start of the file");
      return true;
    }
    unsigned char raw[kHeaderSize];
    if (!PreadAll(fd, raw, sizeof raw, header_at)) return false;
    Header h = DecodeHeader(raw);
    bool tape_mark = h.flags1 == kFlagTapeMark && h.length == 0 && last;
    bool fits = h.flags2 == 0 && h.length == length && (h.flags1 & ~kKnownFlags) == 0 &&
                (tape_mark || ((h.flags1 & kFlagTapeMark) == 0 && last == ((h.flags1 & kFlagEndRecord) != 0)));
    if (!fits) {
      Corrupt(record, header_at, "header does not match the previous-length field after it");
      return true;
    }
    total += h.length;
    if (tape_mark || (h.flags1 & kFlagNewRecord) != 0) {
      *record = Record{tape_mark ? RecordKind::kTapeMark : RecordKind::kBlock, total, header_at, h.prev, 0, nullptr};
      return true;
    }
    at = header_at;
    length = h.prev;
  }
}

bool WriteBlocks(const ImageCalls& calls, int fd, off_t offset, uint16_t prev, const void* data, size_t length,
                 size_t count, off_t* next, uint16_t* last) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t block = 0;
  size_t done = 0;  // of the block being written
  off_t at = offset;
  while (block < count) {
    unsigned char headers[kSegmentsPerCall][kHeaderSize];
    iovec iov[2 * kSegmentsPerCall];
    int n = 0;
    size_t bytes = 0;
    while (n < kSegmentsPerCall && block < count) {
      size_t seg = std::min(kMaxSegment, length - done);
      uint8_t flags = (done == 0 ? kFlagNewRecord : 0) | (done + seg == length ? kFlagEndRecord : 0);
      EncodeHeader(Header{static_cast<uint16_t>(seg), prev, flags, 0}, headers[n]);
      iov[2 * n] = iovec{headers[n], kHeaderSize};
      iov[2 * n + 1] = iovec{const_cast<unsigned char*>(p + block * length + done), seg};
      bytes += kHeaderSize + seg;
      prev = static_cast<uint16_t>(seg);
      done += seg;
      if (done == length) {
        ++block;
        done = 0;
      }
      ++n;
    }
    bool changed;
    if (!Append(calls, fd, iov, 2 * n, bytes, at, &changed)) {
      // Where another program changed the image, what the earlier calls
      // wrote is no longer known to be at its end.
      if (!changed) Fail(calls, fd, static_cast<size_t>(at - offset), errno);
      return false;
    }
    at += static_cast<off_t>(bytes);
  }
  *next = at;
  *last = prev;
  return true;
}

bool WriteTapeMark(const ImageCalls& calls, int fd, off_t offset, uint16_t prev, off_t* next) {
  unsigned char raw[kHeaderSize];
  EncodeHeader(Header{0, prev, kFlagTapeMark, 0}, raw);
  iovec iov{raw, sizeof raw};
  bool changed;
  if (!Append(calls, fd, &iov, 1, sizeof raw, offset, &changed)) return false;
  *next = offset + static_cast<off_t>(kHeaderSize);
  return true;
}

}  // namespace vtape
