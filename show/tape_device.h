// Reading the label set off a drive through the Linux tape driver, as
// vaklabel does: open read-only, rewind, variable block mode, one read per
// block, close. Nothing is ever written to the tape.
#pragma once

#include <string>
#include <vector>

#include "label_set.h"

namespace show {

/// A drive opened read-only, rewound and in variable block mode; each step
/// that fails throws InputError naming it with the system's reason.
class TapeDrive {
 public:
  explicit TapeDrive(const std::string& path);
  ~TapeDrive();
  TapeDrive(const TapeDrive&) = delete;
  TapeDrive& operator=(const TapeDrive&) = delete;

  /// The next record; a block's bytes go to `block`.
  TapeEvent Read(std::string* block);
  /// True once st has read or spaced past the recorded data: it then no
  /// longer knows its block number, or reports end of data; a medium error
  /// leaves the position known.
  bool AtEndOfData() const;
  int fd() const { return fd_; }

 private:
  void Control(short op, const char* step);

  int fd_;
  int reads_ = 0;
  std::vector<char> buffer_ = std::vector<char>(kMaxBlockRead);
};

/// Throws InputError naming the step that failed (open, rewind, block
/// size, a read) with the system's reason.
LabelSet ReadTapeDevice(const std::string& path);

}  // namespace show
