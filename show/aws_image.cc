#include "aws_image.h"

#include <memory>

#include "input_stream.h"

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

bool IsFirstHeader(const Header& first) {
  if (first.flags2 != 0 || first.previous != 0) return false;
  if (first.flags1 == kTapeMark) return first.length == 0;
  return (first.flags1 == (kNewRecord | kEndRecord) || first.flags1 == kNewRecord) && first.length > 0;
}

// Walks the image one tape record at a time, joining chained segments and
// keeping no more of a block than a drive read takes in. A header is judged
// as the virtual drive judges it: its previous-length field repeats the
// length of the header before (0 for the first and after a tape mark), a
// chained segment may be empty but a block may not.
class AwsWalker {
 public:
  explicit AwsWalker(InputStream& in) : in_(in) {}

  // `length`, when given, receives the whole block's length.
  TapeEvent Next(std::string* block, uint64_t* length = nullptr) {
    block->clear();
    if (length) *length = 0;
    Header header{};
    uint64_t block_offset = in_.offset();
    if (!ReadHeader(&header)) return TapeEvent::kEndOfData;
    if (header.flags1 == kTapeMark && header.length == 0) return TapeEvent::kTapeMark;
    if ((header.flags1 & kNewRecord) == 0) throw Malformed("a block that does not start a record");
    bool longer = false;
    uint64_t total = 0;
    for (;;) {
      if ((header.flags1 & ~(kNewRecord | kEndRecord)) != 0)
        throw Malformed("flags " + Hex(header.flags1) + " with length " + std::to_string(header.length));
      total += header.length;
      longer = ReadData(header.length, block) || longer;
      if (length) *length += header.length;
      if (header.flags1 & kEndRecord) break;
      if (!ReadHeader(&header))
        throw InputError("offset " + std::to_string(in_.offset()) + ": image ends inside a chained block");
      if (header.flags1 & kNewRecord) throw Malformed("a new block inside a chained one");
    }
    if (total == 0)
      throw InputError("offset " + std::to_string(block_offset) + ": not an AWSTAPE header: an empty block");
    if (!longer) return TapeEvent::kBlock;
    block->clear();
    return TapeEvent::kLongBlock;
  }

 private:
  bool ReadHeader(Header* header) {
    header_offset_ = in_.offset();
    std::string bytes = in_.Read(kHeaderSize);
    if (bytes.empty()) return false;
    if (bytes.size() < kHeaderSize) throw InputError(Where() + "image ends inside a block header");
    *header = Decode(bytes);
    if (header_offset_ == 0 && !IsFirstHeader(*header))
      throw InputError("not an AWSTAPE image: its first 6 bytes are no block header");
    if (header->flags2 != 0)
      throw InputError(Where() + "flag byte " + Hex(header->flags2) + ": a compressed (HET) block, not AWSTAPE");
    if (header->previous != previous_length_)
      throw Malformed("previous-length field " + std::to_string(header->previous) +
                      " where the header before has length " + std::to_string(previous_length_));
    previous_length_ = header->length;
    return true;
  }

  // Returns true once the block has grown past what is kept of it.
  bool ReadData(size_t length, std::string* block) {
    size_t keep = block->size() < kMaxBlockRead + 1 ? std::min(length, kMaxBlockRead + 1 - block->size()) : 0;
    std::string data = in_.Read(keep);
    block->append(data);
    size_t got = data.size() + (data.size() == keep ? static_cast<size_t>(in_.Skip(length - keep)) : 0);
    if (got < length) throw InputError(Where() + "image ends inside a block");
    return block->size() > kMaxBlockRead;
  }

  InputError Malformed(const std::string& what) const {
    return InputError(Where() + "not an AWSTAPE header: " + what);
  }

  std::string Where() const { return "offset " + std::to_string(header_offset_) + ": "; }

  InputStream& in_;
  uint64_t header_offset_ = 0;
  unsigned previous_length_ = 0;
};

}  // namespace

bool LooksLikeAwsImage(std::string_view head) {
  return head.size() >= kHeaderSize && IsFirstHeader(Decode(head.substr(0, kHeaderSize)));
}

LabelSet ReadAwsImage(InputStream& in) {
  AwsWalker walker(in);
  LabelSet set = CollectLabelBlocks(InputKind::kImage, [&](std::string* block) { return walker.Next(block); });
  if (in.is_pipe() && in.offset() == 0)
    throw InputError("nothing came through the pipe: no writer, or an empty stream");
  return set;
}

RecordReader ReadAwsRecords(InputStream& in) {
  auto walker = std::make_shared<AwsWalker>(in);
  return [walker](std::string* block, uint64_t* length) { return walker->Next(block, length); };
}

LabelSet ReadAwsImage(const std::string& path) {
  InputStream in(path);
  return ReadAwsImage(in);
}

}  // namespace show
