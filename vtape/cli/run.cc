// vtape run: executes a command with the drive's library preloaded and
// configured through the environment, after making sure the library will
// be in place.

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../drive_env.h"
#include "../library/command.h"
#include "../library/env.h"
#include "cli.h"
#include "device_shield.h"
#include "image_file.h"
#include "loader_checks.h"
#include "own_processes.h"

namespace vtape::cli {

namespace {

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// libvtape.so lives beside vtape in the build tree and under
// LIBDIR/vaklabel once installed.
std::string FindPreload() {
  const char* env = getenv("VTAPE_PRELOAD");
  if (env != nullptr && env[0] != '\0') return env;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) FatalErrno("/proc/self/exe");
  self[n] = '\0';
  std::string dir(self, static_cast<size_t>(strrchr(self, '/') - self));
  for (const std::string& candidate :
       {dir + "/libvtape.so", dir + "/../" VTAPE_LIBDIR "/vaklabel/libvtape.so"}) {
    if (IsFile(candidate)) return candidate;
  }
  Fatal("cannot find libvtape.so beside " + std::string(self) + " (set VTAPE_PRELOAD)");
}

// The faults `run` takes, each with the variable that carries it.
struct FaultOption {
  const char* name;
  const char* env;
  bool (*check)(const char*);  // null for options without a value
};

bool CheckErrno(const char* v) {
  int e;
  return ParseErrno(v, &e);
}
bool CheckCount(const char* v) {
  long n;
  return ParseCount(v, &n);
}
bool CheckShortWrite(const char* v) {
  long n;
  size_t bytes;
  return ParseShortWrite(v, &n, &bytes);
}
bool CheckBlockLimits(const char* v) {
  size_t min, max;
  return ParseBlockLimits(v, &min, &max);
}

constexpr FaultOption kFaults[] = {
    {"--fail-open", kEnvFailOpen, CheckErrno},
    {"--no-medium", kEnvNoMedium, nullptr},
    {"--write-protect", kEnvWriteProtect, nullptr},
    {"--fail-rewind", kEnvFailRewind, nullptr},
    {"--fail-setblk", kEnvFailSetblk, nullptr},
    {"--fail-rewind-at", kEnvFailRewindAt, CheckCount},
    {"--fail-setblk-at", kEnvFailSetblkAt, CheckCount},
    {"--fail-weof", kEnvFailWeof, nullptr},
    {"--fail-read", kEnvFailRead, CheckCount},
    {"--fail-write", kEnvFailWrite, CheckCount},
    {"--short-write", kEnvShortWrite, CheckShortWrite},
    {"--fail-close", kEnvFailClose, nullptr},
    {"--block-limits", kEnvBlockLimits, CheckBlockLimits},
};

// What the command line of `run` asks for.
struct RunRequest {
  const char* image = nullptr;
  std::string device = kDefaultDevice;
  std::vector<std::pair<const char*, const char*>> faults;
  bool no_medium = false;
  bool require_hidden = false;  // refuse to run where real devices stay in sight
  library::Settings library_options;
  char** command = nullptr;
};

// The value after option argv[*i]; "--" is the end of the options, never
// a value.
const char* OptionValue(int argc, char** argv, int* i) {
  if (*i + 1 == argc || argv[*i + 1][0] == '\0' || strcmp(argv[*i + 1], "--") == 0) {
    Fatal(std::string(argv[*i]) + ": needs a value");
  }
  return argv[++*i];
}

// A path as the program's processes should see it: each of them resolves
// a relative name against its own directory, so it is anchored here, once.
std::string Absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) FatalErrno("current directory");
  return std::string(cwd) + "/" + path;
}

RunRequest Parse(int argc, char** argv) {
  RunRequest request;
  int i = 0;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      if (request.image != nullptr) Fatal(std::string(arg) + ": unexpected argument (the command goes after --)");
      request.image = arg;
      continue;
    }
    if (strcmp(arg, "--device") == 0) {
      request.device = Absolute(OptionValue(argc, argv, &i));
      continue;
    }
    if (strcmp(arg, "--require-hidden-devices") == 0) {
      request.require_hidden = true;
      continue;
    }
    if (library::TakeRunOption(argc, argv, &i, &request.library_options)) continue;
    const FaultOption* fault = nullptr;
    for (const FaultOption& f : kFaults) {
      if (strcmp(arg, f.name) == 0) fault = &f;
    }
    if (fault == nullptr) Fatal(std::string(arg) + ": unknown option or fault");
    const char* value = "1";
    if (fault->check != nullptr) {
      value = OptionValue(argc, argv, &i);
      if (!fault->check(value)) Fatal(std::string(arg) + ": bad value " + value);
    }
    if (fault->env == kEnvNoMedium) request.no_medium = true;
    request.faults.emplace_back(fault->env, value);
  }
  if (request.image == nullptr) UsageError("run: missing IMAGE");
  if (i + 1 >= argc) UsageError("run: missing -- COMMAND");
  request.command = argv + i + 1;
  return request;
}

// The names a program could make a file at: the drive's two (st's stN and
// nstN pair), or a library's changer (its drives are in /dev).
std::vector<std::string> DriveNames(const std::string& device, const library::Settings& environment) {
  for (const auto& [name, value] : environment) {
    if (name == library::kEnvChanger) return {value};
  }
  size_t base = device.rfind('/') + 1;
  std::string partner = device.compare(base, 3, "nst") == 0  ? device.substr(0, base) + device.substr(base + 1)
                        : device.compare(base, 2, "st") == 0 ? device.substr(0, base) + "n" + device.substr(base)
                                                             : device;
  return {device, partner};
}

// What reaches the machine where the namespace cannot be made: whatever
// the preloaded library does not see.
constexpr char kUnserved[] =
    "raw system calls (openat2, syscall, io_uring), posix_spawn file actions, bind of a socket, static and 32-bit "
    "programs and programs started without LD_PRELOAD (env -i, env -u LD_PRELOAD) reach them and can make files "
    "at the drive's names";

// What reaches the machine where the run's processes see the others.
constexpr char kOutside[] =
    "/proc/PID/root and /proc/PID/cwd of a process outside lead to this machine's /dev, where programs started "
    "without LD_PRELOAD can make files at the drive's names";

}  // namespace

int Run(int argc, char** argv) {
  RunRequest request = Parse(argc, argv);
  bool in_library = library::IsLibrary(request.image);
  if (!in_library && !request.library_options.empty()) Fatal(std::string(request.image) + ": not a library");
  char absolute[PATH_MAX];
  if (in_library) {
    absolute[0] = '\0';
  } else if (realpath(request.image, absolute) != nullptr) {
    RefuseUnlessRegular(request.image, /*missing_ok=*/false);
  } else if (request.no_medium) {
    snprintf(absolute, sizeof absolute, "%s", Absolute(request.image).c_str());
  } else {
    FatalErrno(request.image);
  }
  std::string library = FindPreload();
  std::string preload = library;
  const char* old = getenv("LD_PRELOAD");
  if (old != nullptr && old[0] != '\0') preload += std::string(" ") + old;
  // A fault inherited from an outer run must not leak into this one.
  for (const FaultOption& f : kFaults) unsetenv(f.env);
  for (const char* name : library::RunVariables()) unsetenv(name);
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv(kEnvImage, absolute, 1);
  setenv(kEnvDevice, request.device.c_str(), 1);
  // mt, tar and cpio take their default device from TAPE.
  setenv("TAPE", request.device.c_str(), 1);
  for (const auto& [name, value] : request.faults) setenv(name, value, 1);
  library::Settings environment;
  if (in_library) environment = library::LibraryEnvironment(request.image, request.library_options);
  for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
  CheckPreloadLibrary(library);
  CheckCommand(request.command[0], library);
  std::string nodes, why;
  if (HideRealDevices(DriveNames(request.device, environment), &nodes, &why) == Shield::kNotHidden) {
    std::string message = "cannot hide this machine's tape devices and /dev from the command (" + why + ")";
    if (!nodes.empty()) message += ": " + nodes;
    if (request.require_hidden) Fatal(message);
    fprintf(stderr, "vtape: warning: %s; %s\n", message.c_str(), kUnserved);
  } else {
    RunInOwnProcesses(request.command, &why);
    std::string message = "cannot hide the processes outside the run from the command (" + why + ")";
    if (request.require_hidden) Fatal(message);
    fprintf(stderr, "vtape: warning: %s; %s\n", message.c_str(), kOutside);
  }
  return Exec(request.command);
}

}  // namespace vtape::cli
