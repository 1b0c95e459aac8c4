// vtape: creates and lists AWSTAPE images and runs a command with the virtual
// tape drive (libvtape.so) standing in for /dev/nst0.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aws.h"
#include "drive_env.h"

namespace {

// vtape's own failures; 126 and 127 are for the command `run` could not
// execute, as env(1) has them.
constexpr int kExitCorrupt = 1;
constexpr int kExitFailure = 125;
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;

constexpr char kUsage[] =
    "usage: vtape create [--force] IMAGE\n"
    "       vtape list IMAGE\n"
    "       vtape run IMAGE [--device PATH] [FAULT...] -- COMMAND [ARG...]\n"
    "       vtape --help\n";

constexpr char kHelp[] =
    "\n"
    "Keeps a tape in an AWSTAPE image file and plays the Linux tape driver for it.\n"
    "\n"
    "  create IMAGE     make a blank tape; --force replaces an existing file\n"
    "  list IMAGE       show every block (with hex, and EBCDIC text for 80-byte\n"
    "                   blocks), tape mark and the end of data; exit 1 if the\n"
    "                   image is corrupt\n"
    "  run IMAGE        run COMMAND with the drive loaded with IMAGE and exit\n"
    "                   with its status\n"
    "\n"
    "Options of run:\n"
    "  --device PATH        name the drive answers to (default /dev/nst0); the\n"
    "                       matching st/nst name is served too\n"
    "  --fail-open ERRNO    every open of the drive fails with ERRNO (EIO, 5, ...)\n"
    "  --no-medium          no tape loaded: open fails with ENOMEDIUM\n"
    "  --write-protect      tape is write-protected: O_RDWR/O_WRONLY give EROFS\n"
    "  --fail-rewind        MTREW fails with EIO\n"
    "  --fail-setblk        MTSETBLK fails with EIO\n"
    "  --fail-rewind-at N   only the Nth MTREW fails with EIO\n"
    "  --fail-setblk-at N   only the Nth MTSETBLK fails with EIO\n"
    "  --fail-weof          writing tape marks fails with EIO\n"
    "  --fail-read N        the Nth read() of the drive fails with EIO\n"
    "  --fail-write N       the Nth write() of the drive fails with EIO\n"
    "  --short-write N[:BYTES]\n"
    "                       the Nth write() records only BYTES bytes (default 40)\n"
    "  --fail-close         close() of the drive fails with EIO\n"
    "\n"
    "Exit status: 125 for vtape's own errors, 126 if COMMAND cannot be run,\n"
    "127 if it is not found, else COMMAND's status.\n";

[[noreturn]] void Usage(int status) {
  fputs(kUsage, status == 0 ? stdout : stderr);
  if (status == 0) fputs(kHelp, stdout);
  exit(status);
}

[[noreturn]] void Fatal(const std::string& message) {
  fprintf(stderr, "vtape: %s\n", message.c_str());
  exit(kExitFailure);
}

std::string StatePath(const char* image) { return std::string(image) + vtape::kStateSuffix; }

int Create(int argc, char** argv) {
  bool force = false;
  const char* image = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--force") == 0) {
      force = true;
    } else if (argv[i][0] == '-' || image != nullptr) {
      Usage(kExitFailure);
    } else {
      image = argv[i];
    }
  }
  if (image == nullptr) Usage(kExitFailure);
  int fd = open(image, O_WRONLY | O_CREAT | O_CLOEXEC | (force ? 0 : O_EXCL), 0666);
  if (fd < 0 && errno == EEXIST) Fatal(std::string(image) + ": exists (use --force to replace it)");
  if (fd < 0) Fatal(std::string(image) + ": " + strerror(errno));
  // A drive that has this tape open would be left with a stale position.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) Fatal(std::string(image) + ": tape is in use");
  if (ftruncate(fd, 0) != 0) Fatal(std::string(image) + ": " + strerror(errno));
  close(fd);
  std::string state = StatePath(image);
  if (unlink(state.c_str()) != 0 && errno != ENOENT) Fatal(state + ": " + strerror(errno));
  return 0;
}

// EBCDIC (code page 037) to ASCII for the printable characters of labels;
// anything else shows as '.'.
char EbcdicChar(unsigned char c) {
  static constexpr struct {
    unsigned char first, last;
    char ascii;
  } kRuns[] = {
      {0x40, 0x40, ' '}, {0x81, 0x89, 'a'}, {0x91, 0x99, 'j'}, {0xa2, 0xa9, 's'},
      {0xc1, 0xc9, 'A'}, {0xd1, 0xd9, 'J'}, {0xe2, 0xe9, 'S'}, {0xf0, 0xf9, '0'},
  };
  for (const auto& run : kRuns) {
    if (c >= run.first && c <= run.last) return static_cast<char>(run.ascii + (c - run.first));
  }
  static constexpr struct {
    unsigned char ebcdic;
    char ascii;
  } kPunctuation[] = {
      {0x4b, '.'}, {0x4c, '<'}, {0x4d, '('}, {0x4e, '+'}, {0x4f, '|'}, {0x50, '&'}, {0x5a, '!'},
      {0x5b, '$'}, {0x5c, '*'}, {0x5d, ')'}, {0x5e, ';'}, {0x60, '-'}, {0x61, '/'}, {0x6b, ','},
      {0x6c, '%'}, {0x6d, '_'}, {0x6e, '>'}, {0x6f, '?'}, {0x7a, ':'}, {0x7b, '#'}, {0x7c, '@'},
      {0x7d, '\''}, {0x7e, '='}, {0x7f, '"'},
  };
  for (const auto& p : kPunctuation) {
    if (p.ebcdic == c) return p.ascii;
  }
  return '.';
}

void PrintBlock(const unsigned char* data, size_t length) {
  constexpr size_t kRow = 16;
  bool label = length == 80;
  for (size_t row = 0; row < length; row += kRow) {
    printf("  %6zu ", row);
    for (size_t i = row; i < row + kRow; ++i) {
      if (i < length) {
        printf(" %02x", data[i]);
      } else if (label) {
        fputs("   ", stdout);
      }
    }
    if (label) {
      fputs("  |", stdout);
      for (size_t i = row; i < row + kRow && i < length; ++i) putchar(EbcdicChar(data[i]));
      putchar('|');
    }
    putchar('\n');
  }
}

int List(int argc, char** argv) {
  if (argc != 1 || argv[0][0] == '-') Usage(kExitFailure);
  const char* image = argv[0];
  int fd = open(image, O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fatal(std::string(image) + ": " + strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0) Fatal(std::string(image) + ": " + strerror(errno));
  if (!S_ISREG(st.st_mode)) Fatal(std::string(image) + ": not a regular file");
  std::vector<unsigned char> buf(vtape::kMaxSegment);
  off_t at = 0;
  uint16_t prev = 0;
  long blocks = 0, marks = 0;
  for (;;) {
    vtape::Record rec;
    if (!vtape::ReadRecord(fd, at, st.st_size, prev, buf.data(), buf.size(), &rec)) {
      Fatal(std::string(image) + ": " + strerror(errno));
    }
    if (rec.kind == vtape::RecordKind::kBlock && rec.length > buf.size()) {
      buf.resize(rec.length);
      continue;
    }
    switch (rec.kind) {
      case vtape::RecordKind::kBlock:
        ++blocks;
        printf("offset %lld: block %ld, %llu bytes\n", static_cast<long long>(at), blocks,
               static_cast<unsigned long long>(rec.length));
        PrintBlock(buf.data(), rec.length);
        break;
      case vtape::RecordKind::kTapeMark:
        ++marks;
        printf("offset %lld: tape mark\n", static_cast<long long>(at));
        break;
      case vtape::RecordKind::kEnd:
        printf("offset %lld: end of data (%ld blocks, %ld tape marks)\n", static_cast<long long>(at),
               blocks, marks);
        return 0;
      case vtape::RecordKind::kCorrupt:
        fflush(stdout);
        fprintf(stderr, "vtape: %s: corrupt at offset %lld: %s\n", image,
                static_cast<long long>(rec.bad_offset), rec.problem);
        return kExitCorrupt;
    }
    at = rec.next;
    prev = rec.last_length;
  }
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// libvtape.so lives beside vtape in the build tree and under
// LIBDIR/vaklabel once installed.
std::string FindPreload() {
  const char* env = getenv("VTAPE_PRELOAD");
  if (env != nullptr && env[0] != '\0') {
    if (!IsFile(env)) Fatal(std::string(env) + ": no such preload library (VTAPE_PRELOAD)");
    return env;
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) Fatal(std::string("/proc/self/exe: ") + strerror(errno));
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
  return vtape::ParseErrno(v, &e);
}
bool CheckCount(const char* v) {
  long n;
  return vtape::ParseCount(v, &n);
}
bool CheckShortWrite(const char* v) {
  long n;
  size_t bytes;
  return vtape::ParseShortWrite(v, &n, &bytes);
}

constexpr FaultOption kFaults[] = {
    {"--fail-open", vtape::kEnvFailOpen, CheckErrno},
    {"--no-medium", vtape::kEnvNoMedium, nullptr},
    {"--write-protect", vtape::kEnvWriteProtect, nullptr},
    {"--fail-rewind", vtape::kEnvFailRewind, nullptr},
    {"--fail-setblk", vtape::kEnvFailSetblk, nullptr},
    {"--fail-rewind-at", vtape::kEnvFailRewindAt, CheckCount},
    {"--fail-setblk-at", vtape::kEnvFailSetblkAt, CheckCount},
    {"--fail-weof", vtape::kEnvFailWeof, nullptr},
    {"--fail-read", vtape::kEnvFailRead, CheckCount},
    {"--fail-write", vtape::kEnvFailWrite, CheckCount},
    {"--short-write", vtape::kEnvShortWrite, CheckShortWrite},
    {"--fail-close", vtape::kEnvFailClose, nullptr},
};

int Run(int argc, char** argv) {
  const char* image = nullptr;
  const char* device = vtape::kDefaultDevice;
  std::vector<std::pair<const char*, const char*>> settings;
  bool no_medium = false;
  int i = 0;
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (arg[0] != '-') {
      if (image != nullptr) break;
      image = arg;
      continue;
    }
    if (strcmp(arg, "--device") == 0) {
      if (i + 1 == argc || argv[i + 1][0] == '\0') Fatal("--device needs a path");
      device = argv[++i];
      continue;
    }
    const FaultOption* fault = nullptr;
    for (const FaultOption& f : kFaults) {
      if (strcmp(arg, f.name) == 0) fault = &f;
    }
    if (fault == nullptr) Fatal(std::string("unknown option or fault: ") + arg);
    const char* value = "1";
    if (fault->check != nullptr) {
      if (i + 1 == argc) Fatal(std::string(arg) + " needs a value");
      value = argv[++i];
      if (!fault->check(value)) Fatal(std::string("bad value for ") + arg + ": " + value);
    }
    if (strcmp(fault->env, vtape::kEnvNoMedium) == 0) no_medium = true;
    settings.emplace_back(fault->env, value);
  }
  if (image == nullptr || i >= argc) Usage(kExitFailure);
  char absolute[4096];
  if (realpath(image, absolute) == nullptr) {
    if (!no_medium) Fatal(std::string(image) + ": " + strerror(errno));
    snprintf(absolute, sizeof absolute, "%s", image);
  } else if (!IsFile(absolute)) {
    Fatal(std::string(image) + ": not a regular file");
  }
  std::string preload = FindPreload();
  const char* old = getenv("LD_PRELOAD");
  if (old != nullptr && old[0] != '\0') preload += std::string(" ") + old;
  // A fault inherited from an outer run must not leak into this one.
  for (const FaultOption& f : kFaults) unsetenv(f.env);
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv(vtape::kEnvImage, absolute, 1);
  setenv(vtape::kEnvDevice, device, 1);
  for (const auto& [name, value] : settings) setenv(name, value, 1);
  execvp(argv[i], argv + i);
  int error = errno;
  fprintf(stderr, "vtape: %s: %s\n", argv[i], strerror(error));
  return error == ENOENT ? kExitNotFound : kExitCannotRun;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage(kExitFailure);
  const char* command = argv[1];
  if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 || strcmp(command, "help") == 0) {
    Usage(0);
  }
  if (strcmp(command, "create") == 0) return Create(argc - 2, argv + 2);
  if (strcmp(command, "list") == 0) return List(argc - 2, argv + 2);
  if (strcmp(command, "run") == 0) return Run(argc - 2, argv + 2);
  fprintf(stderr, "vtape: unknown command: %s\n", command);
  Usage(kExitFailure);
}
