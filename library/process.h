// Running the tools this command drives (mtx, mt, vaklabel, vaklabel-show)
// as child processes and collecting what they said.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace library {

/// What a finished child left behind.
struct ProcessResult {
  bool started = false;  // false: the program could not be started at all
  int status = -1;       // exit status, or 128 + signal number
  std::string out;
  std::string err;
  bool stalled = false;  // killed after ChildTimeout() seconds without a sign of life
};

/// Runs argv[0] (searched in PATH) with the rest as arguments, stdin from
/// /dev/null. The child gets a process group of its own, so a Ctrl-C at the
/// terminal reaches this command only: a label half written because the
/// keyboard interrupt also hit vaklabel is the one outcome never acceptable.
/// The caller ignores SIGPIPE, and so does the child: it outlives a killed
/// caller and finishes what it started. The child inherits no descriptor but
/// its standard streams and the one given to KeepInChildren, as its fd 3.
ProcessResult RunProcess(const std::vector<std::string>& argv);

/// How long a child may go without writing anything before it counts as
/// hung and its process group is killed. A drive's slowest operation (a
/// rewind or a space over a whole long tape) takes minutes, a few hours at
/// the very worst on a drive that retries: the default of three hours is
/// longer than that, and a hung SCSI command still ends the visit.
inline constexpr int kDefaultChildTimeout = 3 * 60 * 60;
void SetChildTimeout(int seconds);
int ChildTimeout();

/// Writes all of `data` to `fd`; 0 when it did, else the errno of the call
/// that failed (a short write is followed by another that says why).
int WriteAll(int fd, std::string_view data);

/// Every child started from now on inherits `fd` (the run's lock), -1: none.
void KeepInChildren(int fd);

/// Closes a device this process opened (close-on-exec) and returns once no
/// child holds a copy of it. A child that another thread starts holds a copy
/// of every descriptor until its exec, and st counts the drive busy for as
/// long: the vaklabel started next for the drive would find it so.
void CloseDevice(int fd);

/// Why a finished program failed, in its own words: the last line it wrote
/// on standard error (never the progress it printed on standard output),
/// else how it ended.
std::string FailureReason(const ProcessResult& result);

/// The path under which `name` would be run from PATH, or "" when there is none.
std::string FindInPath(const std::string& name);

/// The program line as an operator would type it, for messages and dry runs.
std::string CommandText(const std::vector<std::string>& argv);

}  // namespace library
