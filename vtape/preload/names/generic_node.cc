#include "preload/names/generic_node.h"

#include <fcntl.h>
#include <limits.h>
#include <scsi/sg.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "preload/core/drives.h"
#include "preload/core/real_libc.h"
#include "preload/library/library.h"
#include "preload/names/device_names.h"
#include "preload/names/paths.h"
#include "preload/scsi/drive_scsi.h"

namespace vtape::preload {

namespace {

constexpr char kNodePrefix[] = "/dev/sg";
// The memory file behind a node's descriptor is named after the drive, so
// that the descriptor says itself which node it is, through dup, fork and
// exec, and a closed number reused for another file is never taken for it.
constexpr char kMemoryPrefix[] = "vtape-sg-drive-";
// What SG_GET_VERSION_NUM gives on Linux 6.1 (sg 3.5.36).
constexpr int kSgVersion = 30536;
constexpr int kPeripheralTypeTape = 1;

// The number N of an sg name of the changer, or -1.
int ChangerGenericNumber() {
  if (!InLibrary() || strncmp(g_library.changer, kNodePrefix, sizeof kNodePrefix - 1) != 0) return -1;
  const char* digits = g_library.changer + sizeof kNodePrefix - 1;
  char* end;
  long n = strtol(digits, &end, 10);
  return end != digits && *end == '\0' && n >= 0 && n < INT_MAX ? static_cast<int>(n) : -1;
}

bool DriveExists(int drive) {
  if (!InLibrary()) return drive == 0;
  char image[PATH_MAX];
  bool write_protected;
  uint64_t changes;
  return CartridgeIn(drive, image, sizeof image, &write_protected, &changes) != -ENOENT;
}

// The drive whose node is /dev/sgN, or -1.
int DriveOfNumber(long n) {
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    if (GenericNumber(drive) == n && DriveExists(drive)) return drive;
  }
  return -1;
}

// The drive `path` names as its sg node, or -1.
int NamedDrive(int dirfd, const char* path) {
  char abs[PATH_MAX];
  if (path == nullptr || !AbsolutePath(dirfd, path, abs, sizeof abs)) return -1;
  if (strncmp(abs, kNodePrefix, sizeof kNodePrefix - 1) != 0) return -1;
  const char* digits = abs + sizeof kNodePrefix - 1;
  if (*digits < '0' || *digits > '9') return -1;
  char* end;
  long n = strtol(digits, &end, 10);
  return *end == '\0' ? DriveOfNumber(n) : -1;
}

}  // namespace

int GenericNumber(int drive) {
  int n = static_cast<int>(InLibrary() ? static_cast<unsigned>(drive) : StNumber(drive));
  int changer = ChangerGenericNumber();
  return changer >= 0 && n >= changer ? n + 1 : n;
}

bool OpenGenericNode(int dirfd, const char* path, int flags, long* result) {
  int drive = NamedDrive(dirfd, path);
  if (drive < 0) return false;
  // As for the tape's nodes: the kernel refuses these before the driver.
  if ((flags & O_DIRECTORY) != 0 || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) || (flags & O_DIRECT) != 0) {
    *result = (flags & O_DIRECTORY) != 0 ? -ENOTDIR : (flags & O_DIRECT) != 0 ? -EINVAL : -EEXIST;
    return true;
  }
  char name[32];
  snprintf(name, sizeof name, "%s%d", kMemoryPrefix, drive);
  int fd = memfd_create(name, MFD_ALLOW_SEALING | ((flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0));
  if (fd < 0) {
    *result = -errno;
    return true;
  }
  libc.fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
  *result = fd;
  return true;
}

bool GenericNodeOf(int fd, int* drive) {
  char link[64], target[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  constexpr char kMemfd[] = "/memfd:";
  size_t prefix = sizeof kMemfd - 1 + sizeof kMemoryPrefix - 1;
  if (strncmp(target, kMemfd, sizeof kMemfd - 1) != 0 ||
      strncmp(target + sizeof kMemfd - 1, kMemoryPrefix, sizeof kMemoryPrefix - 1) != 0 || target[prefix] < '0' ||
      target[prefix] > '9') {
    return false;
  }
  *drive = target[prefix] - '0';
  return *drive < kMaxDrives;
}

long GenericNodeIoctl(int drive, unsigned long request, void* arg) {
  switch (request) {
    case SG_IO: return DriveScsiCommand(drive, SgDriver::kSg, static_cast<sg_io_hdr_t*>(arg));
    case SG_GET_VERSION_NUM:
      if (arg == nullptr) return -EFAULT;
      memcpy(arg, &kSgVersion, sizeof kSgVersion);
      return 0;
    case SG_GET_SCSI_ID: {
      if (arg == nullptr) return -EFAULT;
      sg_scsi_id id{};
      id.scsi_type = kPeripheralTypeTape;
      id.h_cmd_per_lun = 1;
      id.d_queue_depth = 1;
      memcpy(arg, &id, sizeof id);
      return 0;
    }
    default: return IsScsiRequest(request) ? DriveScsiIoctl(drive, request, arg) : -ENOTTY;
  }
}

}  // namespace vtape::preload
