#include "tape_map_readers.h"

#include <sys/ioctl.h>
#include <sys/mtio.h>

#include <cerrno>
#include <cstring>

#include "aws_image.h"
#include "input_stream.h"
#include "tape_device.h"

namespace show {
namespace {

class ImageReader : public TapeReader {
 public:
  explicit ImageReader(const std::string& path) : in_(path), records_(ReadAwsRecords(in_)) {}

  TapeEvent Read(std::string* block, std::optional<uint64_t>* length) override {
    uint64_t bytes = 0;
    TapeEvent event = records_(block, &bytes);
    *length = bytes;
    return event;
  }

  // Memory stays bounded: no more than one block's first kMaxBlockRead
  // bytes is ever held.
  FileRest SkipFile() override {
    FileRest rest;
    rest.bytes = 0;
    std::string block;
    try {
      for (;;) {
        uint64_t length = 0;
        TapeEvent event = records_(&block, &length);
        if (event == TapeEvent::kTapeMark || event == TapeEvent::kEndOfData) {
          rest.end = event;
          return rest;
        }
        ++rest.blocks;
        *rest.bytes += length;
      }
    } catch (const InputError& error) {
      rest.end = TapeEvent::kEndOfData;
      rest.error = error.what();
    }
    return rest;
  }

 private:
  InputStream in_;
  RecordReader records_;
};

class DriveReader : public TapeReader {
 public:
  explicit DriveReader(const std::string& path) : drive_(path) {}

  TapeEvent Read(std::string* block, std::optional<uint64_t>* length) override {
    TapeEvent event = drive_.Read(block);
    *length = event == TapeEvent::kBlock ? std::optional<uint64_t>(block->size()) : std::nullopt;
    return event;
  }

  // One spacing operation over the file, whatever its size: the logical
  // positions before and after it (blocks and tape marks from the start)
  // count its blocks without reading them.
  FileRest SkipFile() override {
    FileRest rest;
    uint64_t before = Position();
    struct mtop space {};
    space.mt_op = MTFSF;
    space.mt_count = 1;
    if (ioctl(drive_.fd(), MTIOCTOP, &space) == 0) {
      rest.blocks = Since(before, 1);
      return rest;
    }
    std::string error = std::string("space over the file: ") + std::strerror(errno);
    rest.end = TapeEvent::kEndOfData;
    if (!drive_.AtEndOfData()) rest.error = error;
    rest.blocks = Since(before, 0);
    return rest;
  }

 private:
  // The blocks passed since `before`, not counting `marks` tape marks.
  uint64_t Since(uint64_t before, uint64_t marks) {
    uint64_t after = Position();
    if (after < before + marks) throw InputError("the drive's position went back while spacing forward");
    return after - before - marks;
  }

  uint64_t Position() {
    struct mtpos position {};
    if (ioctl(drive_.fd(), MTIOCPOS, &position) != 0)
      throw InputError(std::string("read the position: ") + std::strerror(errno));
    return static_cast<uint64_t>(position.mt_blkno);
  }

  TapeDrive drive_;
};

}  // namespace

std::unique_ptr<TapeReader> OpenTapeReader(const std::string& path, InputKind kind) {
  switch (kind) {
    case InputKind::kDevice:
      return std::make_unique<DriveReader>(path);
    case InputKind::kImage:
      return std::make_unique<ImageReader>(path);
    case InputKind::kLabelFile:
      break;
  }
  throw InputError("a label text file holds one label set, not a tape to map");
}

}  // namespace show
