// The third part of `vtape run`'s safety net: the command's processes see
// no process outside the run. /proc/PID/root and /proc/PID/cwd of a
// process outside lead to the machine's mounts, where /dev is writable and
// its tape nodes uncovered, whatever the mount namespace does.
#ifndef VTAPE_CLI_OWN_PROCESSES_H_
#define VTAPE_CLI_OWN_PROCESSES_H_

#include <string>

namespace vtape::cli {

/// Starts `command` in a PID namespace of its own with a /proc of its own,
/// inside the mount namespace this process is in, and returns only where
/// that cannot be done (why in `*why`; nothing changed, so the caller may
/// run `command` itself). Otherwise this process stays outside, passes on
/// the signals sent to it, and ends as the command ends (its exit status,
/// or its signal) once every process of the run has ended.
void RunInOwnProcesses(char** command, std::string* why);

/// Runs `command` in place of this process; prints why not and returns the
/// exit status for that when it cannot.
int Exec(char** command);

}  // namespace vtape::cli

#endif  // VTAPE_CLI_OWN_PROCESSES_H_
