// The vtape command's subcommands and what they share: exit statuses and
// the way vtape reports its own errors.
#ifndef VTAPE_CLI_CLI_H_
#define VTAPE_CLI_CLI_H_

#include <string>

namespace vtape::cli {

// vtape's own failures; 126 and 127 are for the command `run` could not
// execute, as env(1) has them.
inline constexpr int kExitCorrupt = 1;
inline constexpr int kExitFailure = 125;
inline constexpr int kExitCannotRun = 126;
inline constexpr int kExitNotFound = 127;

/// Prints "vtape: PROBLEM" and the usage to stderr and exits with
/// kExitFailure.
[[noreturn]] void UsageError(const std::string& problem);
/// Prints "vtape: MESSAGE" to stderr and exits with kExitFailure.
[[noreturn]] void Fatal(const std::string& message);
/// Fatal("PATH: strerror(errno)").
[[noreturn]] void FatalErrno(const std::string& path);

int Create(int argc, char** argv);
int List(int argc, char** argv);
int Run(int argc, char** argv);

}  // namespace vtape::cli

#endif  // VTAPE_CLI_CLI_H_
