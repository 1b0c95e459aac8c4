// What the C library functions this library replaces have in common.
#ifndef VTAPE_PRELOAD_ENTRY_ENTRY_POINTS_H_
#define VTAPE_PRELOAD_ENTRY_ENTRY_POINTS_H_

#include "preload/entry/export.h"

namespace vtape::preload {

/// False, with EFAULT, for a call made while the real functions are still
/// being looked up: there is nothing to pass it to yet.
bool Ready();

/// Turns a kernel-style result (negative errno) into the C convention and
/// restores the caller's errno on success, hiding internal calls.
long Finish(long result, int saved_errno);

/// Answers whether `path` opened relative to `dirfd` is the drive, and if so
/// opens it with `flags`, leaving the C-style result in `*result`.
bool TryOpenTape(int dirfd, const char* path, int flags, int* result);

/// Points the C library's standard streams whose descriptor the program
/// inherited as the drive's at streams through the drive, as fdopen would.
void StandardStreamsOnTheDrive();

/// After descriptor `fd` was replaced: a standard stream on it goes through
/// the drive while the descriptor is the drive's (a shell's redirection of a
/// builtin), and back to the C library's own when it is not. Call without
/// the lock.
void StandardStreamFollows(int fd);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_ENTRY_ENTRY_POINTS_H_
