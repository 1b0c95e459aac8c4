#include "device_shield.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"

namespace vtape::cli {

namespace {

// The drivers that reach a tape drive or a changer, by their fixed majors:
// st and osst (tape), sch (changer), sg (any SCSI device). bsg's major is
// given out at boot; its nodes have a directory of their own.
constexpr unsigned kMajors[] = {9, 206, 86, 21};
constexpr char kDevices[] = "/dev";
constexpr char kBsgDirectory[] = "/bsg";  // in a mount of /dev
// Where the covering socket is made, on a tmpfs mounted there only while
// the mounts are set up.
constexpr char kScratch[] = "/tmp";

bool IsDriveMajor(unsigned major) {
  for (unsigned m : kMajors) {
    if (m == major) return true;
  }
  return false;
}

// The character devices in `dir` and the folders below it (a few levels;
// links are not followed) that `wanted` accepts by major (all of them when
// it is null). d_type spares a stat of every other entry.
void CollectNodes(const std::string& dir, bool (*wanted)(unsigned), int depth, std::vector<std::string>* nodes) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* entry = readdir(d)) {
    if (entry->d_name[0] == '.' || entry->d_type == DT_LNK) continue;
    if (entry->d_type != DT_CHR && entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
    struct stat st;
    if (fstatat(dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string path = dir + "/" + entry->d_name;
    if (S_ISDIR(st.st_mode) && depth > 0) CollectNodes(path, wanted, depth - 1, nodes);
    if (S_ISCHR(st.st_mode) && (wanted == nullptr || wanted(major(st.st_rdev)))) nodes->push_back(path);
  }
  closedir(d);
}

// The mounts of device nodes, whether /dev must first become one of its
// own, and the nodes in them to cover.
struct DeviceFolders {
  std::vector<std::string> mounts;
  bool bind_devices;
  std::vector<std::string> nodes;
};

bool WriteProcFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

// Maps this process's own user and group to themselves, the one mapping an
// unprivileged process may write.
bool MapIdentity(uid_t uid, gid_t gid) {
  return WriteProcFile("/proc/self/setgroups", "deny") &&
         WriteProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
         WriteProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// A socket nobody listens on: open() of it fails with ENXIO, as st's open
// does for a drive that is not there. Each node is held before the scratch
// tmpfs goes over /tmp, where a drive's folder may be.
bool CoverWithSocket(const std::vector<std::string>& nodes) {
  std::vector<int> held;
  for (const std::string& node : nodes) {
    // A link that leads nowhere has nothing to cover.
    int fd = open(node.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0) held.push_back(fd);
  }
  bool covered = true;
  if (mount("vtape", kScratch, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=4k,mode=0700") == 0) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/absent", kScratch);
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    covered = sock >= 0 && bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    for (int fd : held) {
      std::string target = "/proc/self/fd/" + std::to_string(fd);
      covered = covered && mount(address.sun_path, target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    if (sock >= 0) close(sock);
    // The bind mounts keep the socket; the tmpfs leaves the command's view.
    umount2(kScratch, MNT_DETACH);
  } else {
    covered = false;
  }
  for (int fd : held) close(fd);
  return covered;
}

// Where mountinfo writes a space, tab, newline or backslash of a path as
// an octal escape.
std::string Unescape(const char* field) {
  std::string path;
  for (const char* p = field; *p != '\0'; ++p) {
    if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' && p[3] <= '7') {
      path += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
      p += 3;
    } else {
      path += *p;
    }
  }
  return path;
}

// Every mount of the file system /dev is on and of devtmpfs (the kernel's
// own /dev, which a container's /dev need not be), /dev first: a chroot's
// or container's /dev, bound or mounted elsewhere, holds the same nodes and
// makes files at the same names. A /dev that is no mount of its own is
// made one first (`*bind_devices`); then its file system is the root's,
// whose other mounts are not device folders.
std::vector<std::string> DeviceMounts(bool* bind_devices) {
  std::vector<std::string> mounts = {kDevices}, same_file_system;
  *bind_devices = true;
  struct stat devices;
  FILE* table = fopen("/proc/self/mountinfo", "re");
  if (table == nullptr || stat(kDevices, &devices) != 0) {
    if (table != nullptr) fclose(table);
    return mounts;
  }
  char* line = nullptr;
  size_t cap = 0;
  while (getline(&line, &cap, table) > 0) {
    unsigned major_number, minor_number;
    char point[PATH_MAX * 4], type[64];
    const char* fields = strstr(line, " - ");
    if (sscanf(line, "%*d %*d %u:%u %*s %4095s", &major_number, &minor_number, point) != 3 || fields == nullptr ||
        sscanf(fields, " - %63s", type) != 1) {
      continue;
    }
    std::string path = Unescape(point);
    if (path == kDevices) {
      *bind_devices = false;
    } else if (strcmp(type, "devtmpfs") == 0) {
      mounts.push_back(path);
    } else if (makedev(major_number, minor_number) == devices.st_dev) {
      same_file_system.push_back(path);
    }
  }
  free(line);
  fclose(table);
  if (!*bind_devices) mounts.insert(mounts.end(), same_file_system.begin(), same_file_system.end());
  return mounts;
}

// A read-only mount of device nodes: no program, whatever way it takes to
// the kernel, makes a file at a drive's name there. The mount is changed
// where it is, so that a working directory already in it is covered too;
// the mounts under it (pts, shm, mqueue) stay as they are, and so do its
// other flags, which a user namespace may not take away.
bool ReadOnly(const std::string& mount_point) {
  struct statvfs vfs;
  if (statvfs(mount_point.c_str(), &vfs) != 0) return false;
  unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
  const std::pair<unsigned long, unsigned long> kept[] = {{ST_NOSUID, MS_NOSUID},         {ST_NODEV, MS_NODEV},
                                                          {ST_NOEXEC, MS_NOEXEC},         {ST_NOATIME, MS_NOATIME},
                                                          {ST_NODIRATIME, MS_NODIRATIME}, {ST_RELATIME, MS_RELATIME}};
  for (const auto& [has, keep] : kept) {
    if ((vfs.f_flag & has) != 0) flags |= keep;
  }
  return mount(nullptr, mount_point.c_str(), nullptr, flags, nullptr) == 0;
}

// Nothing mounted here may reach the namespace vtape came from, so the
// mounts go only where they cannot propagate back.
bool CoverInPrivate(const DeviceFolders& folders) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) return false;
  if (folders.bind_devices && mount(kDevices, kDevices, nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
  for (const std::string& m : folders.mounts) {
    // A node bound elsewhere (a container's /dev/null over a file of
    // /proc) makes no files; a tape node so bound is among the covered.
    struct stat st;
    if (stat(m.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !ReadOnly(m)) return false;
  }
  return CoverWithSocket(folders.nodes);
}

// A folder of a device file system that the command would inherit as a
// descriptor (`exec 9</dev`): opened before the run, it leads to the
// machine's mounts, which the namespace leaves writable and uncovered.
struct InheritedFolder {
  int fd;
  std::string path;
  int flags;
  bool close_on_exec;
};

std::vector<InheritedFolder> InheritedDeviceFolders(const std::vector<std::string>& mounts) {
  std::vector<dev_t> devices;
  for (const std::string& m : mounts) {
    struct stat st;
    if (stat(m.c_str(), &st) == 0) devices.push_back(st.st_dev);
  }
  std::vector<InheritedFolder> folders;
  DIR* table = opendir("/proc/self/fd");
  if (table == nullptr) return folders;
  while (const dirent* entry = readdir(table)) {
    int fd = atoi(entry->d_name);
    struct stat st;
    if (entry->d_name[0] == '.' || fd == dirfd(table) || fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    bool on_devices = false;
    for (dev_t d : devices) on_devices = on_devices || d == st.st_dev;
    char path[PATH_MAX];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    if (!on_devices || n <= 0) continue;
    folders.push_back(
        {fd, std::string(path, static_cast<size_t>(n)), fcntl(fd, F_GETFL), (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0});
  }
  closedir(table);
  return folders;
}

// Puts the namespace's own mount of each folder under its descriptor.
void ReopenInside(const std::vector<InheritedFolder>& folders) {
  for (const InheritedFolder& f : folders) {
    int fresh = open(f.path.c_str(), (f.flags & O_PATH) | O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fresh < 0) FatalErrno("descriptor " + std::to_string(f.fd) + " (" + f.path + ") in the run's namespace");
    if (dup3(fresh, f.fd, f.close_on_exec ? O_CLOEXEC : 0) < 0) FatalErrno("descriptor " + std::to_string(f.fd));
    close(fresh);
  }
}

// Runs in a child, so that a machine that refuses a step (user namespaces
// disabled, or allowed without capabilities) leaves vtape as it was.
bool BuildNamespaces(uid_t uid, gid_t gid, const DeviceFolders& folders) {
  return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && MapIdentity(uid, gid) && CoverInPrivate(folders);
}

// Joining a mount namespace moves the working directory to its root.
bool Join(pid_t child, const char* cwd) {
  std::string ns = "/proc/" + std::to_string(child) + "/ns/";
  int user = open((ns + "user").c_str(), O_RDONLY | O_CLOEXEC);
  int mnt = open((ns + "mnt").c_str(), O_RDONLY | O_CLOEXEC);
  bool joined_user = user >= 0 && mnt >= 0 && setns(user, CLONE_NEWUSER) == 0;
  bool joined = joined_user && setns(mnt, CLONE_NEWNS) == 0;
  if (user >= 0) close(user);
  if (mnt >= 0) close(mnt);
  // Half joined, vtape no longer knows what the command would see.
  if (joined_user && !joined) FatalErrno("joining the mount namespace without real devices");
  if (joined && chdir(cwd) != 0) FatalErrno(cwd);
  return joined;
}

// An unprivileged process builds the namespaces in a child and joins them
// once they are complete; the child's errno says why it could not.
bool HideThroughChild(const DeviceFolders& folders, std::string* why) {
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return false;
  int ready[2], release[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return false;
  if (pipe2(release, O_CLOEXEC) != 0) {
    close(ready[0]);
    close(ready[1]);
    return false;
  }
  uid_t uid = geteuid();
  gid_t gid = getegid();
  pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(release[1]);
    int error = BuildNamespaces(uid, gid, folders) ? 0 : errno;
    ssize_t ignored = write(ready[1], &error, sizeof error);
    // The namespaces must live until vtape has joined them.
    char byte;
    ignored = read(release[0], &byte, 1);
    (void)ignored;
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  int error = EAGAIN;
  bool built = child > 0 && read(ready[0], &error, sizeof error) == sizeof error && error == 0;
  bool joined = built && Join(child, cwd);
  if (!built) *why = strerror(error);
  close(ready[0]);
  close(release[1]);
  if (child > 0) waitpid(child, nullptr, 0);
  return joined;
}

}  // namespace

Shield HideRealDevices(const std::vector<std::string>& names, std::string* listed, std::string* why) {
  DeviceFolders folders;
  folders.mounts = DeviceMounts(&folders.bind_devices);
  for (const std::string& m : folders.mounts) {
    struct stat st;
    if (stat(m.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && IsDriveMajor(major(st.st_rdev))) {
      folders.nodes.push_back(m);
    }
    CollectNodes(m, IsDriveMajor, 8, &folders.nodes);
    CollectNodes(m + kBsgDirectory, nullptr, 0, &folders.nodes);
  }
  for (const std::string& node : folders.nodes) *listed += (listed->empty() ? "" : ", ") + node;
  // What the machine has at a drive's name outside /dev; there the
  // read-only /dev does not reach.
  for (const std::string& name : names) {
    struct stat st;
    if (name.rfind("/dev/", 0) != 0 && lstat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      folders.nodes.push_back(name);
    }
  }
  // Root needs no user namespace, and one would cost it the files of users
  // it does not map; a mount namespace of its own keeps root and working
  // directory, also in a chroot.
  std::vector<InheritedFolder> inherited = InheritedDeviceFolders(folders.mounts);
  bool hidden = geteuid() != 0 ? HideThroughChild(folders, why) : unshare(CLONE_NEWNS) == 0 && CoverInPrivate(folders);
  if (hidden) ReopenInside(inherited);
  if (!hidden && why->empty()) *why = strerror(errno);
  return hidden ? Shield::kHidden : Shield::kNotHidden;
}

}  // namespace vtape::cli
