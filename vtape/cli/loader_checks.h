// What `vtape run` checks before it hands over, so that it never starts a
// command the dynamic loader would run without the drive: the loader skips
// a preload it cannot load with no more than a warning, and a program it
// does not load at all (a static one) never sees the drive.
#ifndef VTAPE_CLI_LOADER_CHECKS_H_
#define VTAPE_CLI_LOADER_CHECKS_H_

#include <string>

namespace vtape::cli {

/// Exits through Fatal unless `library` is a path LD_PRELOAD carries as one
/// absolute entry and the dynamic loader can load it, with the drive's
/// settings already in the environment.
void CheckPreloadLibrary(const std::string& library);

/// Exits through Fatal when the loader would start `command` (as execvp
/// finds it) without `library`: a static program, one built for another
/// machine or word size, or one that gains privileges on exec (the loader
/// then ignores LD_PRELOAD paths). A script is judged by its interpreter.
/// Leaves a command it cannot find or read to execvp to report.
void CheckCommand(const char* command, const std::string& library);

}  // namespace vtape::cli

#endif  // VTAPE_CLI_LOADER_CHECKS_H_
