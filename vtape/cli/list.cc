// vtape list: every record of an image, with the bytes of each block.
//
// A drive in another process may be writing the image while it is listed,
// and it holds its lock for as long as the tape is open, so list takes no
// lock (it would make that drive's next open fail with EBUSY). It reads the
// image a record at a time, in memory bounded by the longest block, and
// writes as it goes, so a reader that stops (head) stops it at once; an
// image that changed under it ends the listing where it stops making sense.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../aws.h"
#include "../library/command.h"
#include "cli.h"
#include "image_file.h"

namespace vtape::cli {

namespace {

// EBCDIC (code page 037) to ASCII for the printable characters of labels;
// anything else shows as '.'.
struct EbcdicTable {
  char ascii[256];

  constexpr EbcdicTable() : ascii() {
    for (char& c : ascii) c = '.';
    constexpr struct {
      unsigned char first, last;
      char ascii;
    } kRuns[] = {
        {0x40, 0x40, ' '}, {0x81, 0x89, 'a'}, {0x91, 0x99, 'j'}, {0xa2, 0xa9, 's'},
        {0xc1, 0xc9, 'A'}, {0xd1, 0xd9, 'J'}, {0xe2, 0xe9, 'S'}, {0xf0, 0xf9, '0'},
    };
    for (const auto& run : kRuns) {
      for (int c = run.first; c <= run.last; ++c) ascii[c] = static_cast<char>(run.ascii + (c - run.first));
    }
    constexpr struct {
      unsigned char ebcdic;
      char ascii;
    } kPunctuation[] = {
        {0x4b, '.'}, {0x4c, '<'}, {0x4d, '('}, {0x4e, '+'}, {0x4f, '|'}, {0x50, '&'}, {0x5a, '!'},
        {0x5b, '$'}, {0x5c, '*'}, {0x5d, ')'}, {0x5e, ';'}, {0x60, '-'}, {0x61, '/'}, {0x6b, ','},
        {0x6c, '%'}, {0x6d, '_'}, {0x6e, '>'}, {0x6f, '?'}, {0x7a, ':'}, {0x7b, '#'}, {0x7c, '@'},
        {0x7d, '\''}, {0x7e, '='}, {0x7f, '"'},
    };
    for (const auto& p : kPunctuation) ascii[p.ebcdic] = p.ascii;
  }
};
constexpr EbcdicTable kEbcdic;
constexpr char kHexDigits[] = "0123456789abcdef";

// Standard output through one large buffer: a listing is many short lines.
class Output {
 public:
  ~Output() { Flush(); }

  void Put(std::string_view text) {
    if (text.size() > sizeof buf_ - used_) Flush();
    if (text.size() > sizeof buf_) return WriteAll(text.data(), text.size());
    memcpy(buf_ + used_, text.data(), text.size());
    used_ += text.size();
  }

  // `number` right-aligned in at least `width` characters.
  void Number(unsigned long long number, int width = 0) {
    char digits[24];
    char* p = digits + sizeof digits;
    do {
      *--p = static_cast<char>('0' + number % 10);
      number /= 10;
    } while (number != 0);
    while (digits + sizeof digits - p < width) *--p = ' ';
    Put(std::string_view(p, static_cast<size_t>(digits + sizeof digits - p)));
  }

  // "1 block", "2 blocks".
  void Count(unsigned long long number, const char* noun) {
    Number(number);
    Put(" ");
    Put(noun);
    if (number != 1) Put("s");
  }

  void Flush() {
    WriteAll(buf_, used_);
    used_ = 0;
  }

 private:
  static void WriteAll(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = write(STDOUT_FILENO, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) FatalErrno("standard output");
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  char buf_[1 << 16];
  size_t used_ = 0;
};

// Rows of 16 bytes in hex; 80-byte blocks, the size of a label, also as
// EBCDIC text.
void PutBlock(Output& out, const unsigned char* data, size_t length) {
  constexpr size_t kRow = 16;
  bool label = length == 80;
  for (size_t row = 0; row < length; row += kRow) {
    out.Put("  ");
    out.Number(row, 6);
    char line[4 * kRow + 8];
    char* p = line;
    *p++ = ' ';
    size_t end = row + kRow < length ? row + kRow : length;
    for (size_t i = row; i < end; ++i) {
      *p++ = ' ';
      *p++ = kHexDigits[data[i] >> 4];
      *p++ = kHexDigits[data[i] & 0xf];
    }
    if (label) {
      for (size_t i = end; i < row + kRow; ++i, p += 3) memcpy(p, "   ", 3);
      memcpy(p, "  |", 3);
      p += 3;
      for (size_t i = row; i < end; ++i) *p++ = kEbcdic.ascii[data[i]];
      *p++ = '|';
    }
    *p++ = '\n';
    out.Put(std::string_view(line, static_cast<size_t>(p - line)));
  }
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether the image is no longer what it was when the listing began.
bool Changed(int fd, const struct stat& before, const char* image) {
  struct stat now;
  if (fstat(fd, &now) != 0) FatalErrno(image);
  return !SameFile(before, now);
}

// The most of one block held in memory: more than the drive's 16 MiB - 1.
constexpr size_t kBlockShown = size_t{1} << 24;

}  // namespace

int List(int argc, char** argv) {
  if (argc == 0) UsageError("list: missing IMAGE");
  if (argv[0][0] == '-') UsageError(std::string(argv[0]) + ": not an option of list");
  if (argc > 1) UsageError(std::string(argv[1]) + ": unexpected argument after the image " + argv[0]);
  if (library::IsLibrary(argv[0])) return library::ListLibrary(argv[0]);
  const char* image = argv[0];
  RefuseUnlessRegular(image, /*missing_ok=*/false);
  int fd = open(image, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) FatalErrno(image);
  RefuseUnlessRegular(fd, image);
  struct stat before;
  if (fstat(fd, &before) != 0) FatalErrno(image);

  Output out;
  std::vector<unsigned char> buf(kMaxSegment);
  off_t at = 0;
  uint16_t prev = 0;
  unsigned long long blocks = 0, marks = 0;
  for (;;) {
    Record rec;
    if (!ReadRecord(fd, at, before.st_size, prev, buf.data(), buf.size(), &rec)) {
      // Cut shorter while it was read: what a writer leaves for a moment.
      if (!Changed(fd, before, image)) FatalErrno(image);
      rec.kind = RecordKind::kCorrupt;
    }
    if (rec.kind == RecordKind::kBlock && rec.length > buf.size() && buf.size() < kBlockShown) {
      buf.resize(rec.length < kBlockShown ? rec.length : kBlockShown);
      continue;
    }
    if (rec.kind == RecordKind::kCorrupt && Changed(fd, before, image)) {
      // Most likely the record being written while it was read.
      out.Flush();
      fprintf(stderr, "vtape: %s: the tape was being written; listed as far as it was complete\n", image);
      rec.kind = RecordKind::kEnd;
    }
    if (rec.kind != RecordKind::kCorrupt) {
      out.Put("offset ");
      out.Number(static_cast<unsigned long long>(at));
    }
    switch (rec.kind) {
      case RecordKind::kBlock:
        ++blocks;
        out.Put(": block ");
        out.Number(blocks);
        out.Put(", ");
        out.Count(rec.length, "byte");
        out.Put("\n");
        PutBlock(out, buf.data(), rec.length < buf.size() ? rec.length : buf.size());
        if (rec.length > buf.size()) {
          out.Put("  (");
          out.Count(rec.length - buf.size(), "more byte");
          out.Put(" not shown)\n");
        }
        break;
      case RecordKind::kTapeMark:
        ++marks;
        out.Put(": tape mark\n");
        break;
      case RecordKind::kEnd:
        close(fd);
        out.Put(": end of data (");
        out.Count(blocks, "block");
        out.Put(", ");
        out.Count(marks, "tape mark");
        out.Put(")\n");
        return 0;
      case RecordKind::kCorrupt:
        out.Flush();
        fprintf(stderr, "vtape: %s: corrupt at offset %lld: %s\n", image, static_cast<long long>(rec.bad_offset),
                rec.problem);
        return kExitCorrupt;
    }
    at = rec.next;
    prev = rec.last_length;
  }
}

}  // namespace vtape::cli
