// Which paths a program opens name the drive.
#ifndef VTAPE_PRELOAD_DEVICE_NAMES_H_
#define VTAPE_PRELOAD_DEVICE_NAMES_H_

#include <sys/stat.h>

#include <cstddef>

namespace vtape::preload {

enum class DeviceName { kOther, kRewinding, kNonRewinding };

/// Builds the absolute, normalised form of `path` opened relative to `dirfd`
/// (no "//", "." or ".."; links are not followed).
bool AbsolutePath(int dirfd, const char* path, char* out, size_t cap);

/// Which of the drive's names, if any, `path` relative to `dirfd` is, and
/// the drive it names (0 but in a library).
DeviceName NameOf(int dirfd, const char* path, int* drive = nullptr);

/// Buffer size a program learns from stat of a character device node.
inline constexpr int kDeviceBlockSize = 4096;

/// What stat says of the device node of drive `drive` under `name` (not
/// kOther): a character device with st's device number, major 9, minor 128
/// more for the non-rewinding name.
void StatDevice(DeviceName name, int drive, struct stat* out);
void StatxDevice(DeviceName name, int drive, struct statx* out);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_DEVICE_NAMES_H_
