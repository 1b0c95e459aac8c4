#include "aws_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace show {
namespace {

constexpr size_t kHeaderSize = 6;
constexpr unsigned char kNewRecord = 0x80;
constexpr unsigned char kTapeMark = 0x40;
constexpr unsigned char kEndRecord = 0x20;

struct Header {
  unsigned length;
  unsigned previous;
  unsigned char flags1;
  unsigned char flags2;
};

Header Decode(std::string_view bytes) {
  auto byte = [&](size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[i])); };
  return {byte(0) | byte(1) << 8u, byte(2) | byte(3) << 8u, static_cast<unsigned char>(byte(4)),
          static_cast<unsigned char>(byte(5))};
}

std::string Hex(unsigned char b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 15]};
}

// Walks the image one tape record at a time, joining chained segments.
class AwsWalker {
 public:
  explicit AwsWalker(std::istream& in) : in_(in) {}

  TapeEvent Next(std::string* block) {
    block->clear();
    Header header{};
    if (!ReadHeader(&header)) return TapeEvent::kEndOfData;
    if (header.flags1 == kTapeMark && header.length == 0) return TapeEvent::kTapeMark;
    if ((header.flags1 & kNewRecord) == 0) throw Malformed("a block that does not start a record");
    for (;;) {
      if (header.length == 0 || (header.flags1 & ~(kNewRecord | kEndRecord)) != 0)
        throw Malformed("flags " + Hex(header.flags1) + " with length " + std::to_string(header.length));
      ReadData(header.length, block);
      if (header.flags1 & kEndRecord) return TapeEvent::kBlock;
      if (!ReadHeader(&header)) throw InputError("image ends inside a chained block");
      if (header.flags1 & kNewRecord) throw Malformed("a new block inside a chained one");
    }
  }

 private:
  bool ReadHeader(Header* header) {
    char bytes[kHeaderSize];
    header_offset_ = offset_;
    in_.read(bytes, kHeaderSize);
    size_t got = static_cast<size_t>(in_.gcount());
    offset_ += got;
    if (got == 0 && in_.eof()) return false;
    if (got < kHeaderSize) throw InputError(Where() + "image ends inside a block header");
    *header = Decode({bytes, kHeaderSize});
    if (header->flags2 != 0)
      throw InputError(Where() + "flag byte " + Hex(header->flags2) + ": a compressed (HET) block, not AWSTAPE");
    return true;
  }

  void ReadData(size_t length, std::string* block) {
    size_t at = block->size();
    block->resize(at + length);
    in_.read(block->data() + at, static_cast<std::streamsize>(length));
    offset_ += static_cast<size_t>(in_.gcount());
    if (static_cast<size_t>(in_.gcount()) < length) throw InputError(Where() + "image ends inside a block");
  }

  InputError Malformed(const std::string& what) const {
    return InputError(Where() + "not an AWSTAPE header: " + what);
  }

  std::string Where() const { return "offset " + std::to_string(header_offset_) + ": "; }

  std::istream& in_;
  size_t offset_ = 0;
  size_t header_offset_ = 0;
};

}  // namespace

bool LooksLikeAwsImage(std::string_view head, uintmax_t file_size) {
  if (head.size() < kHeaderSize) return false;
  Header first = Decode(head.substr(0, kHeaderSize));
  if (first.flags2 != 0 || first.previous != 0) return false;
  if (first.flags1 == kTapeMark) return first.length == 0;
  bool whole = first.flags1 == (kNewRecord | kEndRecord);
  bool chained = first.flags1 == kNewRecord;
  return (whole || chained) && first.length > 0 && kHeaderSize + first.length <= file_size;
}

LabelSet ReadAwsImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(std::string("open: ") + std::strerror(errno));
  char head[kHeaderSize];
  in.read(head, kHeaderSize);
  in.seekg(0, std::ios::end);
  uintmax_t size = static_cast<uintmax_t>(in.tellg());
  size_t got = static_cast<size_t>(std::min<uintmax_t>(size, kHeaderSize));
  if (size > 0 && !LooksLikeAwsImage({head, got}, size))
    throw InputError("not an AWSTAPE image: its first 6 bytes are no block header");
  in.clear();
  in.seekg(0);
  AwsWalker walker(in);
  return CollectLabelBlocks(InputKind::kImage, [&](std::string* block) { return walker.Next(block); });
}

}  // namespace show
