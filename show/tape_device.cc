#include "tape_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace show {
namespace {

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

  // A data block where a label belongs is shown for what it is: the buffer
  // takes any block up to kMaxBlockRead, and a longer one fails with ENOMEM
  // after the drive has moved past it.
  TapeEvent Read(std::string* block) {
    ++reads_;
    block->clear();
    ssize_t count = read(fd_, buffer_.data(), buffer_.size());
    if (count < 0 && errno == ENOMEM) return TapeEvent::kLongBlock;
    if (count < 0 && errno == EIO && PositionLost()) return TapeEvent::kEndOfData;
    if (count < 0) throw InputError(SystemError("read of block " + std::to_string(reads_)));
    if (count == 0) return TapeEvent::kTapeMark;
    block->assign(buffer_.data(), static_cast<size_t>(count));
    return TapeEvent::kBlock;
  }

 private:
  // st reads past the recorded data (a blank tape, or blocks with no tape
  // mark after them) as EIO and then no longer knows its block number; a
  // medium error leaves the position known.
  bool PositionLost() {
    int saved = errno;
    struct mtget status {};
    bool lost = ioctl(fd_, MTIOCGET, &status) == 0 && status.mt_blkno < 0;
    errno = saved;
    return lost;
  }

  int fd_;
  int reads_ = 0;
  std::vector<char> buffer_ = std::vector<char>(kMaxBlockRead);
};

}  // namespace

LabelSet ReadTapeDevice(const std::string& path) {
  // Opening a named pipe as a drive would wait for a writer forever.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) throw InputError("not a character device, so not a drive");
  Device device(path);
  device.Control(MTREW, "rewind");
  device.Control(MTSETBLK, "set variable block mode");
  return CollectLabelBlocks(InputKind::kDevice, [&](std::string* block) { return device.Read(block); });
}

}  // namespace show
