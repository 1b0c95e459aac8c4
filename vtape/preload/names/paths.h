// Paths as the drive compares them: absolute and normalised, without
// asking the machine what is at the name itself.
#ifndef VTAPE_PRELOAD_NAMES_PATHS_H_
#define VTAPE_PRELOAD_NAMES_PATHS_H_

#include <cstddef>

namespace vtape::preload {

/// Builds the absolute, normalised form of `path` opened relative to `dirfd`
/// (no "//", "." or ".."; links are not followed).
bool AbsolutePath(int dirfd, const char* path, char* out, size_t cap);

/// The absolute name the drive answers to for `path` as configured: its
/// folders as the kernel resolves them (links, ".."), so that a name
/// through a linked folder is compared by where it leads; the last
/// component as given, the drive whatever the machine has there.
bool ConfiguredName(const char* path, char* out, size_t cap);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_NAMES_PATHS_H_
