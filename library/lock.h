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
  /// with `*error` naming the process that holds it now, when another run
  /// holds it or the file cannot be opened.
  bool Acquire(const std::string& path, bool wait, std::string* error);

 private:
  int fd_ = -1;
};

/// What tells one library from every other, whatever name a run is given
/// for it: the changer's unit serial number when it reports one, else the
/// device number of the node the name resolves to (a symlink such as
/// /dev/changer and its target agree), else the resolved path.
std::string ChangerKey(const std::string& changer, const std::string& serial);

/// The lock file of the library with `key`, unless --lock names one.
std::string DefaultLockFile(const std::string& key);

/// The processes that hold the flock on the file open as `fd`, other than
/// this one, as "1234 (mtx)"; after the run that took it was killed, the
/// children that inherited it.
std::string LockHolders(int fd);

}  // namespace library
