#include "preload/entry/sysfs.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// A drive's scsi_generic folder, which holds one entry: the name of its sg
// node. Only read with opendir and readdir, as tools look it up; the
// folders a program has open are these stand-ins for DIR.
struct GenericFolder {
  bool open;
  int next;  // entry readdir gives next
  dirent entries[3];
};
GenericFolder g_folders[4];

constexpr char kGenericFolder[] = "/device/scsi_generic";

// The drive whose scsi_generic folder `path` is, or -1.
int GenericFolderDrive(const char* path) {
  if (path == nullptr || strncmp(path, kClassDir, sizeof kClassDir - 1) != 0) return -1;
  const char* dir = path + sizeof kClassDir - 1;
  const char* slash = strchr(dir, '/');
  int drive;
  if (slash == nullptr || !DriveDirectory(dir, static_cast<size_t>(slash - dir), &drive)) return -1;
  size_t rest = strlen(slash);
  while (rest > sizeof kGenericFolder - 1 && slash[rest - 1] == '/') --rest;
  return rest == sizeof kGenericFolder - 1 && strncmp(slash, kGenericFolder, rest) == 0 ? drive : -1;
}

GenericFolder* FolderOf(DIR* dir) {
  for (GenericFolder& f : g_folders) {
    if (reinterpret_cast<DIR*>(&f) == dir && f.open) return &f;
  }
  return nullptr;
}

void Entry(dirent* e, const char* name) {
  *e = dirent{};
  e->d_ino = 1;
  e->d_reclen = sizeof *e;
  e->d_type = DT_DIR;
  snprintf(e->d_name, sizeof e->d_name, "%s", name);
}

DIR* OpenGenericFolder(int drive) {
  Locked lock;
  for (GenericFolder& f : g_folders) {
    if (f.open) continue;
    char node[16];
    snprintf(node, sizeof node, "sg%d", GenericNumber(drive));
    Entry(&f.entries[0], ".");
    Entry(&f.entries[1], "..");
    Entry(&f.entries[2], node);
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

}  // namespace

bool OpenDriveAttribute(const char* path, int flags, long* result) {
  if (path == nullptr || strncmp(path, kClassDir, sizeof kClassDir - 1) != 0) return false;
  const char* dir = path + sizeof kClassDir - 1;
  const char* slash = strchr(dir, '/');
  int drive;
  if (slash == nullptr || !DriveDirectory(dir, static_cast<size_t>(slash - dir), &drive)) return false;
  char text[32];
  if (!AttributeText(drive, slash + 1, text, sizeof text)) return false;
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
  int drive = GenericFolderDrive(path);
  return drive >= 0 ? OpenGenericFolder(drive) : Real(&g_opendir, "opendir")(path);
}

VTAPE_EXPORT dirent* readdir(DIR* dir) {
  GenericFolder* f = FolderOf(dir);
  if (f == nullptr) return Real(&g_readdir, "readdir")(dir);
  return f->next < 3 ? &f->entries[f->next++] : nullptr;
}

VTAPE_EXPORT dirent64* readdir64(DIR* dir) { return reinterpret_cast<dirent64*>(readdir(dir)); }

VTAPE_EXPORT int closedir(DIR* dir) {
  GenericFolder* f = FolderOf(dir);
  if (f == nullptr) return Real(&g_closedir, "closedir")(dir);
  Locked lock;
  f->open = false;
  return 0;
}

VTAPE_EXPORT void rewinddir(DIR* dir) {
  GenericFolder* f = FolderOf(dir);
  if (f == nullptr) return Real(&g_rewinddir, "rewinddir")(dir);
  f->next = 0;
}

// The folder has no descriptor of its own.
VTAPE_EXPORT int dirfd(DIR* dir) {
  if (FolderOf(dir) == nullptr) return Real(&g_dirfd, "dirfd")(dir);
  errno = ENOTSUP;
  return -1;
}
