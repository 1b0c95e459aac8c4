#include "preload/entry/sysfs.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "preload/core/drives.h"
#include "preload/core/lock.h"
#include "preload/core/real_libc.h"
#include "preload/descriptors/descriptors.h"
#include "preload/entry/export.h"
#include "preload/library/library.h"
#include "preload/names/device_names.h"
#include "preload/names/generic_node.h"
#include "preload/st/tape.h"

namespace vtape::preload {

namespace {

constexpr char kClassDir[] = "/sys/class/scsi_tape/";

constexpr char kStatsFolder[] = "stats/";
// st's statistics, in the order sysfs lists them.
constexpr const char* kStatistics[] = {"in_flight", "io_ns",     "other_cnt",      "read_byte_cnt", "read_cnt",
                                       "read_ns",   "resid_cnt", "write_byte_cnt", "write_cnt",     "write_ns"};
// The attributes of a drive's folder that are served here, and its folders.
constexpr const char* kDriveEntries[] = {
    "default_blksize", "default_compression", "default_density", "defined", "device", "options", "stats"};

bool IsStatistic(const char* name) {
  for (const char* s : kStatistics) {
    if (strcmp(s, name) == 0) return true;
  }
  return false;
}

// The text of attribute `name` of drive `drive`; false for one st does not
// have. The defaults of the mode are never set here, which st shows as -1.
bool AttributeText(int drive, const char* name, char* text, size_t cap) {
  if (strcmp(name, "options") == 0) {
    Locked lock;
    snprintf(text, cap, "0x%08x\n", CurrentParameters(DriveHeld(drive)).options);
  } else if (strcmp(name, "defined") == 0) {
    snprintf(text, cap, "1\n");
  } else if (strcmp(name, "default_blksize") == 0 || strcmp(name, "default_density") == 0 ||
             strcmp(name, "default_compression") == 0) {
    snprintf(text, cap, "-1\n");
  } else if (strncmp(name, kStatsFolder, sizeof kStatsFolder - 1) == 0 && IsStatistic(name + sizeof kStatsFolder - 1)) {
    // The drive keeps no counts; a drive nothing has gone through since
    // the machine started shows these.
    snprintf(text, cap, "0\n");
  } else {
    return false;
  }
  return true;
}

// "stN", "stNl", "stNm", "stNa" and the same with "n" in front: the drive
// served as st device N.
bool DriveDirectory(const char* name, size_t len, int* drive) {
  if (len > 0 && name[0] == 'n') ++name, --len;
  if (len < 3 || strncmp(name, "st", 2) != 0) return false;
  char* end;
  long n = strtol(name + 2, &end, 10);
  size_t rest = len - static_cast<size_t>(end - name);
  if (end == name + 2 || n < 0 || rest > 1 || (rest == 1 && strchr("lma", *end) == nullptr)) return false;
  // A single drive is st device N of the name it was given (/dev/nst7).
  if (!InLibrary()) {
    if (static_cast<unsigned long>(n) != StNumber(0)) return false;
    n = 0;
  }
  if (n >= kMaxDrives) return false;
  *drive = static_cast<int>(n);
  return true;
}

// The folders of st's class that are served: the class itself, a drive's
// folder, its device and the device's scsi_generic folder (which names its
// sg node), and its statistics. Only read with opendir and readdir, as
// tools look them up; the folders a program has open are these stand-ins
// for DIR.
enum class Folder { kNone, kClass, kDrive, kDevice, kGeneric, kStats };

constexpr int kMaxEntries = 2 + 8 * kMaxDrives;
struct OpenFolder {
  bool open;
  int next;  // entry readdir gives next
  int count;
  dirent entries[kMaxEntries];
};
OpenFolder g_folders[4];

// What `path` names in st's class, and for a drive's folders which drive.
Folder FolderAt(const char* path, int* drive) {
  constexpr size_t kClass = sizeof kClassDir - 2;  // without its slash
  if (path == nullptr || strncmp(path, kClassDir, kClass) != 0) return Folder::kNone;
  char folder[PATH_MAX];
  size_t n = strlen(path);
  while (n > kClass && path[n - 1] == '/') --n;
  if (n >= sizeof folder) return Folder::kNone;
  memcpy(folder, path, n);
  folder[n] = '\0';
  if (n == kClass) return Folder::kClass;
  if (folder[kClass] != '/') return Folder::kNone;
  const char* dir = folder + kClass + 1;
  const char* rest = strchr(dir, '/');
  size_t len = rest != nullptr ? static_cast<size_t>(rest - dir) : strlen(dir);
  if (!DriveDirectory(dir, len, drive)) return Folder::kNone;
  if (rest == nullptr) return Folder::kDrive;
  if (strcmp(rest, "/device") == 0) return Folder::kDevice;
  if (strcmp(rest, "/device/scsi_generic") == 0) return Folder::kGeneric;
  if (strcmp(rest, "/stats") == 0) return Folder::kStats;
  return Folder::kNone;
}

OpenFolder* FolderOf(DIR* dir) {
  for (OpenFolder& f : g_folders) {
    if (reinterpret_cast<DIR*>(&f) == dir && f.open) return &f;
  }
  return nullptr;
}

void Add(OpenFolder* f, const char* name, unsigned char type) {
  if (f->count == kMaxEntries) return;
  dirent& e = f->entries[f->count++];
  e = dirent{};
  e.d_ino = static_cast<ino_t>(f->count);
  e.d_reclen = sizeof e;
  e.d_type = type;
  snprintf(e.d_name, sizeof e.d_name, "%s", name);
}

// The st device numbers of the drives served here.
int DrivesServed(int* numbers) {
  if (!InLibrary()) {
    numbers[0] = static_cast<int>(StNumber(0));
    return 1;
  }
  int n = 0;
  char serial[kSerialLength + 1];
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    if (LibraryDriveSerial(drive, serial)) numbers[n++] = drive;
  }
  return n;
}

void ListFolder(OpenFolder* f, Folder folder, int drive) {
  char name[32];
  switch (folder) {
    case Folder::kClass: {
      int numbers[kMaxDrives];
      int count = DrivesServed(numbers);
      for (int i = 0; i < count; ++i) {
        for (const char* prefix : {"st", "nst"}) {
          for (const char* mode : {"", "l", "m", "a"}) {
            snprintf(name, sizeof name, "%s%d%s", prefix, numbers[i], mode);
            Add(f, name, DT_LNK);
          }
        }
      }
      break;
    }
    case Folder::kDrive:
      for (const char* entry : kDriveEntries) {
        bool folder_entry = strcmp(entry, "stats") == 0 || strcmp(entry, "device") == 0;
        Add(f, entry, folder_entry ? DT_DIR : DT_REG);
      }
      break;
    case Folder::kDevice: Add(f, "scsi_generic", DT_DIR); break;
    case Folder::kGeneric:
      snprintf(name, sizeof name, "sg%d", GenericNumber(drive));
      Add(f, name, DT_DIR);
      break;
    case Folder::kStats:
      for (const char* statistic : kStatistics) Add(f, statistic, DT_REG);
      break;
    case Folder::kNone: break;
  }
}

DIR* OpenClassFolder(Folder folder, int drive) {
  Locked lock;
  for (OpenFolder& f : g_folders) {
    if (f.open) continue;
    f.count = 0;
    Add(&f, ".", DT_DIR);
    Add(&f, "..", DT_DIR);
    ListFolder(&f, folder, drive);
    f.next = 0;
    f.open = true;
    return reinterpret_cast<DIR*>(&f);
  }
  errno = EMFILE;
  return nullptr;
}

// The C library's own function `name`, looked up on first use: opendir
// runs while the library's other functions are still being looked up.
template <typename F>
F Real(F* slot, const char* name) {
  if (*slot == nullptr) *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  return *slot;
}

DIR* (*g_opendir)(const char*);
dirent* (*g_readdir)(DIR*);
int (*g_closedir)(DIR*);
void (*g_rewinddir)(DIR*);
int (*g_dirfd)(DIR*);

// The name of the attribute `path` names in a drive's folder, with the
// drive; null for any other path.
const char* AttributeName(const char* path, int* drive) {
  if (path == nullptr || strncmp(path, kClassDir, sizeof kClassDir - 1) != 0) return nullptr;
  const char* dir = path + sizeof kClassDir - 1;
  const char* slash = strchr(dir, '/');
  if (slash == nullptr || !DriveDirectory(dir, static_cast<size_t>(slash - dir), drive)) return nullptr;
  return slash + 1;
}

}  // namespace

bool StatClassEntry(const char* path, struct stat* out) {
  int drive;
  bool folder = FolderAt(path, &drive) != Folder::kNone;
  if (!folder && !IsDriveAttribute(path)) return false;
  *out = {};
  out->st_mode = folder ? S_IFDIR | 0755 : S_IFREG | 0444;
  out->st_nlink = folder ? 2 : 1;
  out->st_size = folder ? 0 : 4096;
  out->st_blksize = 4096;
  return true;
}

bool IsDriveAttribute(const char* path) {
  int drive;
  const char* name = AttributeName(path, &drive);
  char text[32];
  return name != nullptr && AttributeText(drive, name, text, sizeof text);
}

bool OpenDriveAttribute(const char* path, int flags, long* result) {
  int drive;
  const char* name = AttributeName(path, &drive);
  char text[32];
  if (name == nullptr || !AttributeText(drive, name, text, sizeof text)) return false;
  // The attributes can only be read.
  if ((flags & O_ACCMODE) != O_RDONLY) {
    *result = -EACCES;
    return true;
  }
  int fd = memfd_create("vtape sysfs", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
  size_t n = strlen(text);
  if (fd < 0 || pwrite(fd, text, n, 0) != static_cast<ssize_t>(n)) {
    if (fd >= 0) libc.close(fd);
    *result = -EIO;
    return true;
  }
  *result = fd;
  return true;
}

}  // namespace vtape::preload

using namespace vtape::preload;

VTAPE_EXPORT DIR* opendir(const char* path) {
  int drive = 0;
  Folder folder = FolderAt(path, &drive);
  return folder != Folder::kNone ? OpenClassFolder(folder, drive) : Real(&g_opendir, "opendir")(path);
}

VTAPE_EXPORT dirent* readdir(DIR* dir) {
  OpenFolder* f = FolderOf(dir);
  if (f == nullptr) return Real(&g_readdir, "readdir")(dir);
  return f->next < f->count ? &f->entries[f->next++] : nullptr;
}

VTAPE_EXPORT dirent64* readdir64(DIR* dir) { return reinterpret_cast<dirent64*>(readdir(dir)); }

VTAPE_EXPORT int closedir(DIR* dir) {
  OpenFolder* f = FolderOf(dir);
  if (f == nullptr) return Real(&g_closedir, "closedir")(dir);
  Locked lock;
  f->open = false;
  return 0;
}

VTAPE_EXPORT void rewinddir(DIR* dir) {
  OpenFolder* f = FolderOf(dir);
  if (f == nullptr) return Real(&g_rewinddir, "rewinddir")(dir);
  f->next = 0;
}

// The folder has no descriptor of its own.
VTAPE_EXPORT int dirfd(DIR* dir) {
  if (FolderOf(dir) == nullptr) return Real(&g_dirfd, "dirfd")(dir);
  errno = ENOTSUP;
  return -1;
}
