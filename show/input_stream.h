// One input file read front to back, never rewound or sought, so that a
// pipe reads like a file; the first bytes can be looked at before they are
// consumed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace show {

class InputStream {
 public:
  /// Opens `path` for reading without waiting for a writer on a named pipe;
  /// throws InputError for a directory or a path that cannot be opened.
  explicit InputStream(const std::string& path);
  /// A stream that holds `bytes` and nothing more.
  static InputStream FromBytes(std::string bytes);
  ~InputStream();
  InputStream(InputStream&& other) noexcept;
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;
  InputStream& operator=(InputStream&&) = delete;

  /// Up to `count` bytes from the current position, left to be read again.
  std::string_view Peek(size_t count);
  /// Up to `count` bytes, fewer only at the end of the input.
  std::string Read(size_t count);
  /// Passes over up to `count` bytes without keeping them; returns how many.
  uint64_t Skip(uint64_t count);
  /// The next line without its line end, or none at the end of the input;
  /// throws InputError for a line longer than `limit` characters.
  std::optional<std::string> ReadLine(size_t limit, size_t line_number);

  /// Bytes consumed so far.
  uint64_t offset() const { return offset_; }
  /// True for a pipe or socket: nothing tells a writer yet to come from an
  /// empty stream.
  bool is_pipe() const { return is_pipe_; }

 private:
  InputStream() = default;
  // Appends up to `count` bytes from the file to the pending bytes; returns
  // false at the end of the input.
  bool Fill(size_t count);

  int fd_ = -1;
  std::string pending_;  // read from the file, not yet consumed
  size_t consumed_ = 0;  // of pending_
  uint64_t offset_ = 0;
  bool is_pipe_ = false;
};

}  // namespace show
