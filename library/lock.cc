#include "lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "process.h"

namespace library {
namespace {

std::string FileName(const std::string& text) {
  std::string name;
  for (char c : text) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// /proc/PID/fdinfo/FD lists a "lock:" line for the locks that descriptor
// holds; a process still waiting for the lock has the file open without one.
bool HoldsLock(const std::string& fdinfo) {
  std::ifstream in(fdinfo);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("lock:")) return true;
  }
  return false;
}

// The program as it was started: argv[0] without its directory.
std::string ProcessName(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/cmdline");
  std::string name;
  std::getline(in, name, '\0');
  return name.substr(name.find_last_of('/') + 1);
}

bool OpensFile(const std::string& pid, const struct stat& file) {
  std::string fd_dir = "/proc/" + pid + "/fd";
  DIR* fds = opendir(fd_dir.c_str());
  if (fds == nullptr) return false;
  bool holds = false;
  while (const dirent* entry = readdir(fds)) {
    if (!IsNumber(entry->d_name)) continue;
    struct stat st;
    if (stat((fd_dir + "/" + entry->d_name).c_str(), &st) != 0) continue;
    if (st.st_dev != file.st_dev || st.st_ino != file.st_ino) continue;
    if (HoldsLock("/proc/" + pid + "/fdinfo/" + entry->d_name)) {
      holds = true;
      break;
    }
  }
  closedir(fds);
  return holds;
}

}  // namespace

RunLock::~RunLock() {
  if (fd_ < 0) return;
  KeepInChildren(-1);
  close(fd_);
}

bool RunLock::Acquire(const std::string& path, bool wait, std::string* error) {
  // Not close-on-exec, and kept in every child: mtx and vaklabel inherit
  // the lock, so a run killed while they work keeps the library until they
  // have finished too.
  fd_ = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd_ < 0) {
    *error = "cannot open lock file " + path + ": " + std::strerror(errno);
    return false;
  }
  int rc;
  do {
    rc = flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    // The holder's pid, for the operator who finds the lock taken.
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd_, 0) == 0 && write(fd_, pid.data(), pid.size()) < 0) {
      // The lock holds without the note.
    }
    KeepInChildren(fd_);
    return true;
  }
  if (errno != EWOULDBLOCK) {
    *error = "cannot lock " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string holders = LockHolders(fd_);
  *error =
      "another run (process " + (holders.empty() ? "?" : holders) + ") holds " + path + "; wait for it, or give --wait";
  return false;
}

std::string ChangerKey(const std::string& changer, const std::string& serial) {
  if (!serial.empty()) return "serial-" + FileName(serial);
  char resolved[PATH_MAX];
  bool found = realpath(changer.c_str(), resolved) != nullptr;
  struct stat st;
  if (found && stat(resolved, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
    return "device-" + std::to_string(major(st.st_rdev)) + "-" + std::to_string(minor(st.st_rdev));
  }
  return "path" + FileName(found ? resolved : changer);
}

std::string DefaultLockFile(const std::string& key) { return "/run/lock/vaklabel-library-" + key + ".lock"; }

std::string LockHolders(int fd) {
  struct stat file;
  if (fstat(fd, &file) != 0) return "";
  std::string self = std::to_string(getpid());
  std::string holders;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return "";
  while (const dirent* entry = readdir(proc)) {
    if (!IsNumber(entry->d_name) || entry->d_name == self || !OpensFile(entry->d_name, file)) continue;
    holders += (holders.empty() ? "" : ", ") + std::string(entry->d_name) + " " + ProcessName(entry->d_name);
  }
  closedir(proc);
  return holders;
}

}  // namespace library
