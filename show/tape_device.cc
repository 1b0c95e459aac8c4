#include "tape_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace show {
namespace {

std::string SystemError(const std::string& step) { return step + ": " + std::strerror(errno); }

// Opening a named pipe as a drive would wait for a writer forever.
int OpenDrive(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) throw InputError("not a character device, so not a drive");
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) throw InputError(SystemError("open"));
  return fd;
}

}  // namespace

TapeDrive::TapeDrive(const std::string& path) : fd_(OpenDrive(path)) {
  try {
    Control(MTREW, "rewind");
    Control(MTSETBLK, "set variable block mode");
  } catch (const InputError&) {
    close(fd_);
    throw;
  }
}

TapeDrive::~TapeDrive() { close(fd_); }

void TapeDrive::Control(short op, const char* step) {
  struct mtop request {};
  request.mt_op = op;
  request.mt_count = 0;
  if (ioctl(fd_, MTIOCTOP, &request) != 0) throw InputError(SystemError(step));
}

// A data block where a label belongs is shown for what it is: the buffer
// takes any block up to kMaxBlockRead, and a longer one fails with ENOMEM
// after the drive has moved past it.
TapeEvent TapeDrive::Read(std::string* block) {
  ++reads_;
  block->clear();
  ssize_t count = read(fd_, buffer_.data(), buffer_.size());
  if (count < 0 && errno == ENOMEM) return TapeEvent::kLongBlock;
  if (count < 0 && errno == EIO && AtEndOfData()) return TapeEvent::kEndOfData;
  if (count < 0) throw InputError(SystemError("read of block " + std::to_string(reads_)));
  // Right after a tape mark, st reads the end of the data as one more
  // tape mark, telling it apart only by the end-of-data bit.
  if (count == 0) return AtEndOfData() ? TapeEvent::kEndOfData : TapeEvent::kTapeMark;
  block->assign(buffer_.data(), static_cast<size_t>(count));
  return TapeEvent::kBlock;
}

// st reads past the recorded data (a blank tape, or blocks with no tape
// mark after them) as EIO and then no longer knows its block number;
// spacing into it sets the end-of-data bit.
bool TapeDrive::AtEndOfData() const {
  int saved = errno;
  struct mtget status {};
  bool end = ioctl(fd_, MTIOCGET, &status) == 0 && (status.mt_blkno < 0 || GMT_EOD(status.mt_gstat));
  errno = saved;
  return end;
}

LabelSet ReadTapeDevice(const std::string& path) {
  TapeDrive drive(path);
  return CollectLabelBlocks(InputKind::kDevice, [&](std::string* block) { return drive.Read(block); });
}

}  // namespace show
