#include "tape_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace show {
namespace {

// Large enough for any block a label group can be mistaken with, so a
// data block where a label belongs is shown for what it is instead of
// failing the read with ENOMEM.
constexpr size_t kReadSize = 65536;

std::string SystemError(const std::string& step) { return step + ": " + std::strerror(errno); }

class Device {
 public:
  explicit Device(const std::string& path) : fd_(open(path.c_str(), O_RDONLY)) {
    if (fd_ < 0) throw InputError(SystemError("open"));
  }
  ~Device() { close(fd_); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  void Control(short op, const char* step) {
    struct mtop request {};
    request.mt_op = op;
    request.mt_count = 0;
    if (ioctl(fd_, MTIOCTOP, &request) != 0) throw InputError(SystemError(step));
  }

  TapeEvent Read(std::string* block) {
    ++reads_;
    ssize_t count = read(fd_, buffer_.data(), buffer_.size());
    if (count < 0) throw InputError(SystemError("read of block " + std::to_string(reads_)));
    if (count == 0) return TapeEvent::kTapeMark;
    block->assign(buffer_.data(), static_cast<size_t>(count));
    return TapeEvent::kBlock;
  }

 private:
  int fd_;
  int reads_ = 0;
  std::vector<char> buffer_ = std::vector<char>(kReadSize);
};

}  // namespace

LabelSet ReadTapeDevice(const std::string& path) {
  Device device(path);
  device.Control(MTREW, "rewind");
  device.Control(MTSETBLK, "set variable block mode");
  return CollectLabelBlocks(InputKind::kDevice, [&](std::string* block) { return device.Read(block); });
}

}  // namespace show
