// Which paths a program opens name the drive.
#ifndef VTAPE_PRELOAD_NAMES_DEVICE_NAMES_H_
#define VTAPE_PRELOAD_NAMES_DEVICE_NAMES_H_

#include <sys/stat.h>

#include <cstddef>

namespace vtape::preload {

enum class DeviceName { kOther, kRewinding, kNonRewinding };

/// Notes the folders the configured names are in by device and inode
/// (after the configuration is loaded).
void NoteDeviceFolders();

/// Which of the drive's names, if any, `path` relative to `dirfd` leads to
/// as the kernel resolves it (symbolic links, "/proc/self/root", a drive's
/// descriptor as "/proc/self/fd/N"; the names themselves are never looked
/// up on the machine), and the drive it names (0 but in a library).
/// `*error`, when given, is what the kernel answers instead: ENOTDIR for a
/// drive's name used as a directory ("/dev/nst0/"), ENXIO for a real tape
/// or changer node of the machine, which a program under the drive never
/// reaches; ENAMETOOLONG for a path the walk cannot hold (a working
/// directory or link beyond PATH_MAX), which never goes to the kernel
/// unchecked; 0 otherwise. Without `follow_last`, a symbolic link as the last
/// component is the link (lstat, unlink, rename).
DeviceName NameOf(int dirfd, const char* path, int* drive = nullptr, int* error = nullptr, bool follow_last = true);

/// Whether `path` relative to `dirfd` leads to the library's changer.
bool NamesChanger(int dirfd, const char* path);
/// NamesChanger, and a library with a changer to name.
bool IsChangerName(int dirfd, const char* path);

/// The st number N of /dev/nstN that drive `drive` is served as.
unsigned StNumber(int drive);

/// Buffer size a program learns from stat of a character device node.
inline constexpr int kDeviceBlockSize = 4096;

/// What stat says of the device node of drive `drive` under `name` (not
/// kOther): a character device with st's device number, major 9, minor 128
/// more for the non-rewinding name.
void StatDevice(DeviceName name, int drive, struct stat* out);
void StatxDevice(DeviceName name, int drive, struct statx* out);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_NAMES_DEVICE_NAMES_H_
