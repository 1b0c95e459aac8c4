#include "input_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "label_set.h"

namespace show {
namespace {

constexpr size_t kChunk = 65536;

std::string SystemError(const std::string& step) { return step + ": " + std::strerror(errno); }

}  // namespace

InputStream::InputStream(const std::string& path) {
  // Without O_NONBLOCK, opening a named pipe waits for a writer forever.
  fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw InputError(SystemError("open"));
  struct stat st {};
  if (fstat(fd_, &st) != 0) {
    std::string error = SystemError("stat");
    close(fd_);
    throw InputError(error);
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd_);
    throw InputError("a directory, not a tape image or label text file");
  }
  is_pipe_ = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
  int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    std::string error = SystemError("fcntl");
    close(fd_);
    throw InputError(error);
  }
}

InputStream InputStream::FromBytes(std::string bytes) {
  InputStream stream;
  stream.pending_ = std::move(bytes);
  return stream;
}

InputStream::~InputStream() {
  if (fd_ >= 0) close(fd_);
}

InputStream::InputStream(InputStream&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      pending_(std::move(other.pending_)),
      consumed_(other.consumed_),
      offset_(other.offset_),
      is_pipe_(other.is_pipe_) {}

bool InputStream::Fill(size_t count) {
  if (fd_ < 0) return false;
  if (consumed_ > 0) {
    pending_.erase(0, consumed_);
    consumed_ = 0;
  }
  // A chunk at a time, however little is asked for: an image of small
  // blocks would otherwise cost two system calls a block.
  count = std::max(count, kChunk);
  size_t at = pending_.size();
  pending_.resize(at + count);
  ssize_t got;
  do {
    got = read(fd_, pending_.data() + at, count);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    std::string error = SystemError("read");
    pending_.resize(at);
    throw InputError(error);
  }
  pending_.resize(at + static_cast<size_t>(got));
  return got > 0;
}

std::string_view InputStream::Peek(size_t count) {
  while (pending_.size() - consumed_ < count && Fill(count - (pending_.size() - consumed_))) {
  }
  return std::string_view(pending_).substr(consumed_, count);
}

std::string InputStream::Read(size_t count) {
  std::string bytes(Peek(count));
  consumed_ += bytes.size();
  offset_ += bytes.size();
  return bytes;
}

uint64_t InputStream::Skip(uint64_t count) {
  uint64_t skipped = 0;
  while (skipped < count) {
    size_t step = static_cast<size_t>(std::min<uint64_t>(count - skipped, kChunk));
    size_t got = Read(step).size();
    skipped += got;
    if (got < step) break;
  }
  return skipped;
}

std::optional<std::string> InputStream::ReadLine(size_t limit, size_t line_number) {
  std::string line;
  for (;;) {
    std::string_view ahead = Peek(std::min(kChunk, limit + 2 - line.size()));
    if (ahead.empty()) return line.empty() ? std::nullopt : std::optional(line);
    size_t end = ahead.find('\n');
    size_t take = end == std::string_view::npos ? ahead.size() : end;
    line.append(ahead.substr(0, take));
    Read(end == std::string_view::npos ? take : take + 1);
    if (!line.empty() && line.back() == '\r' && end != std::string_view::npos) line.pop_back();
    if (line.size() > limit)
      throw InputError("line " + std::to_string(line_number) + ": longer than " + std::to_string(limit) +
                       " characters: not a row of hex bytes");
    if (end != std::string_view::npos) return line;
  }
}

}  // namespace show
