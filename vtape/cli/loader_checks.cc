#include "loader_checks.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"

namespace vtape::cli {

namespace {

// The kernel follows at most this many "#!" interpreters in a row.
constexpr int kMaxInterpreters = 4;

// Enough of a file's start for an ELF header or a "#!" line.
struct FileStart {
  unsigned char bytes[256];
  size_t size = 0;
};

bool ReadStart(const std::string& path, FileStart* start) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? pread(fd, start->bytes, sizeof start->bytes, 0) : -1;
  close(fd);
  if (n < 0) return false;
  start->size = static_cast<size_t>(n);
  return true;
}

bool IsElf(const FileStart& start) {
  return start.size >= sizeof(Elf64_Ehdr) && memcmp(start.bytes, ELFMAG, SELFMAG) == 0;
}

// Class, byte order and machine, as raw bytes: two objects agree on
// them exactly when the loader can put one into the other's process.
bool SameMachine(const FileStart& a, const FileStart& b) {
  return a.bytes[EI_CLASS] == b.bytes[EI_CLASS] && a.bytes[EI_DATA] == b.bytes[EI_DATA] &&
         memcmp(a.bytes + offsetof(Elf64_Ehdr, e_machine), b.bytes + offsetof(Elf64_Ehdr, e_machine), 2) == 0;
}

// A program with no PT_INTERP entry is started by the kernel alone: no
// dynamic loader, so nothing is preloaded.
template <class Ehdr, class Phdr>
bool HasInterpreter(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  Ehdr header;
  bool found = true;
  if (pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
      header.e_phentsize == sizeof(Phdr)) {
    std::vector<Phdr> table(header.e_phnum);
    size_t bytes = table.size() * sizeof(Phdr);
    if (pread(fd, table.data(), bytes, static_cast<off_t>(header.e_phoff)) == static_cast<ssize_t>(bytes)) {
      found = false;
      for (const Phdr& entry : table) found = found || entry.p_type == PT_INTERP;
    }
  }
  close(fd);
  return found;
}

bool HasInterpreter(const std::string& path, const FileStart& start) {
  return start.bytes[EI_CLASS] == ELFCLASS64 ? HasInterpreter<Elf64_Ehdr, Elf64_Phdr>(path)
                                             : HasInterpreter<Elf32_Ehdr, Elf32_Phdr>(path);
}

// The first word of a "#!" line, or "" for any other file.
std::string Interpreter(const FileStart& start) {
  if (start.size < 2 || start.bytes[0] != '#' || start.bytes[1] != '!') return "";
  std::string line(reinterpret_cast<const char*>(start.bytes) + 2, start.size - 2);
  size_t begin = line.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return line.substr(begin, line.find_first_of(" \t\n", begin) - begin);
}

// The file execvp would run for `command`, or "" when there is none.
std::string FindCommand(const char* command) {
  if (strchr(command, '/') != nullptr) return command;
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
  for (size_t begin = 0; begin <= dirs.size();) {
    size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(begin, end - begin);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + command;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    begin = end + 1;
  }
  return "";
}

// In secure-execution mode the loader ignores LD_PRELOAD entries with a
// slash, and ours always has one.
bool GainsPrivileges(const std::string& path) {
  struct stat st;
  struct statvfs fs;
  if (stat(path.c_str(), &st) != 0) return false;
  if (statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_NOSUID) != 0) return false;
  if ((st.st_mode & S_ISUID) != 0 && st.st_uid != getuid()) return true;
  if ((st.st_mode & S_ISGID) != 0 && st.st_gid != getgid()) return true;
  return getuid() != 0 && getxattr(path.c_str(), "security.capability", nullptr, 0) > 0;
}

[[noreturn]] void WouldRunWithout(const std::string& path, const char* why) {
  Fatal(path + ": " + why + "; it would run without the virtual drive");
}

}  // namespace

void CheckPreloadLibrary(const std::string& library) {
  if (library.empty() || library[0] != '/') {
    Fatal(library + ": the preload library needs an absolute path; the drive would not be loaded");
  }
  if (library.find_first_of(": \t\n") != std::string::npos) {
    Fatal(library +
          ": the dynamic loader splits LD_PRELOAD at spaces and colons; the drive would not be loaded "
          "(put the library where its path has neither, and set VTAPE_PRELOAD)");
  }
  // The loader answers best whether it can load the library: it is loaded
  // here once, and its start-up reads the drive's settings as the
  // command's processes will. exec then leaves it behind.
  if (dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL) == nullptr) {
    Fatal(std::string(dlerror()) + "; the drive would not be loaded");
  }
}

void CheckCommand(const char* command, const std::string& library) {
  FileStart lib;
  if (!ReadStart(library, &lib)) FatalErrno(library);
  std::string path = FindCommand(command);
  for (int depth = 0; depth <= kMaxInterpreters && !path.empty(); ++depth) {
    FileStart start;
    if (!ReadStart(path, &start)) return;
    if (IsElf(start)) {
      if (!SameMachine(start, lib)) WouldRunWithout(path, "built for another machine or word size than the drive");
      if (!HasInterpreter(path, start)) WouldRunWithout(path, "statically linked");
      if (GainsPrivileges(path)) WouldRunWithout(path, "set-user-ID, set-group-ID or with file capabilities");
      return;
    }
    path = Interpreter(start);
  }
}

}  // namespace vtape::cli
