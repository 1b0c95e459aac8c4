// Which paths a program opens name the drive.
#ifndef VTAPE_PRELOAD_DEVICE_NAMES_H_
#define VTAPE_PRELOAD_DEVICE_NAMES_H_

#include <cstddef>

namespace vtape::preload {

enum class DeviceName { kOther, kRewinding, kNonRewinding };

/// Builds the absolute, normalised form of `path` opened relative to `dirfd`
/// (no "//", "." or ".."; links are not followed).
bool AbsolutePath(int dirfd, const char* path, char* out, size_t cap);

/// Which of the drive's names, if any, `path` relative to `dirfd` is.
DeviceName NameOf(int dirfd, const char* path);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_DEVICE_NAMES_H_
