// AWSTAPE image records: the on-disk form of blocks and tape marks shared by
// the preload library and the vtape command.
#ifndef VTAPE_AWS_H_
#define VTAPE_AWS_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace vtape {

inline constexpr size_t kHeaderSize = 6;
inline constexpr uint8_t kFlagNewRecord = 0x80;
inline constexpr uint8_t kFlagTapeMark = 0x40;
inline constexpr uint8_t kFlagEndRecord = 0x20;
/// Longest segment one header can describe; longer blocks are chained.
inline constexpr size_t kMaxSegment = 65535;

/// One 6-byte header: lengths little-endian, then two flag bytes.
struct Header {
  uint16_t length;
  uint16_t prev;
  uint8_t flags1;
  uint8_t flags2;
};

void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]);
Header DecodeHeader(const unsigned char in[kHeaderSize]);

enum class RecordKind { kBlock, kTapeMark, kEnd, kCorrupt };

/// What ReadRecord found at an offset.
struct Record {
  RecordKind kind;
  /// Data bytes of a block (all segments joined).
  uint64_t length;
  /// Offset just after the record.
  off_t next;
  /// Length field of the record's last header, which the next header repeats.
  uint16_t last_length;
  /// For kCorrupt: where the damage starts and what it is.
  off_t bad_offset;
  const char* problem;
};

/// Reads the record at `offset` of an image `size` bytes long whose previous
/// header had length `prev`, copying at most `cap` data bytes into `buf`.
/// Returns false with errno set when the file cannot be read.
bool ReadRecord(int fd, off_t offset, off_t size, uint16_t prev, void* buf, size_t cap, Record* record);

/// Where a walk over whole records stopped, and what it passed.
struct Walk {
  off_t offset;   // at the end of data, or where damage starts
  uint16_t prev;  // the length field of the header before that place
  long marks;     // tape marks passed
  long blocks;    // blocks passed since the last of them (all, if none)
  long records;   // blocks and tape marks passed
  bool damaged;
};

/// Walks from `offset` of an image `size` bytes long (previous header's
/// length `prev`) over the whole records to the end of data, to damage, or
/// past the `marks`th tape mark (0: no such stop), reading the file a
/// stretch at a time. Returns false with errno set when the file cannot be
/// read.
bool WalkRecords(int fd, off_t offset, off_t size, uint16_t prev, long marks, Walk* walk);

/// Reads back over the record that ends at `offset` (not 0), whose last
/// header has length `prev` (0: a tape mark): its kind and data length, with
/// `next` set to where it starts and `last_length` to the length field of
/// the header before it, as a forward read from there would need. Returns
/// false with errno set when the file cannot be read.
bool ReadRecordBefore(int fd, off_t offset, uint16_t prev, Record* record);

/// The calls a write makes on the image: the C library's, or, in a library
/// that replaces them for its own descriptors, the ones it replaces, which
/// spare its own checks.
struct ImageCalls {
  ssize_t (*pwritev2)(int, const iovec*, int, off_t, int) = ::pwritev2;
  int (*fstat)(int, struct stat*) = ::fstat;
};

/// Writes `count` blocks of `length` bytes each (chained when longer than
/// kMaxSegment), one after another from `data`, at `offset`, the end of the
/// image. Sets `*next` and `*last`. Returns false with errno set on failure,
/// leaving the image cut at `offset`; with EIO when another program cut,
/// grew or removed the image under the write, which then takes only its own
/// bytes off again.
bool WriteBlocks(const ImageCalls& calls, int fd, off_t offset, uint16_t prev, const void* data, size_t length,
                 size_t count, off_t* next, uint16_t* last);

/// Writes a tape mark at `offset`, the end of the image, failing as
/// WriteBlocks does.
bool WriteTapeMark(const ImageCalls& calls, int fd, off_t offset, uint16_t prev, off_t* next);

}  // namespace vtape

#endif  // VTAPE_AWS_H_
