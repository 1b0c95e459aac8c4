// One run per library at a time: an advisory lock on a file, held for the
// whole run by the command and the programs it starts, and let go by the
// kernel however they end.
#pragma once

#include <string>

namespace library {

class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  /// Takes the lock; with `wait` blocks until the other run lets go. False,
  /// with `*error`, when another run holds it or the file cannot be opened.
  bool Acquire(const std::string& path, bool wait, std::string* error);

 private:
  int fd_ = -1;
};

}  // namespace library
