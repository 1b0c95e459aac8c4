// The program's descriptors that refer to the drive, and how duplicates and
// closes of them share and release it.
#ifndef VTAPE_PRELOAD_DESCRIPTORS_H_
#define VTAPE_PRELOAD_DESCRIPTORS_H_

namespace vtape::preload {

bool IsTape(int fd);
/// The drive a tape descriptor refers to.
int DriveOf(int fd);

/// A real descriptor for a new open of the drive, with the access mode and
/// close-on-exec flag of `flags`; a negative errno on failure.
int NewTapeDescriptor(int flags);
/// Makes `fd` the first descriptor of `drive`, owned by this process.
void AdoptTapeDescriptor(int fd, int drive);

/// Moves an internal descriptor out of the low numbers the program expects.
int MoveHigh(int fd);

/// Records that `newfd`, a fresh duplicate of a descriptor of `drive`,
/// refers to it too. Call with the lock held.
int TrackDup(int newfd, int drive);
/// dup2 (or dup3 with `flags`) where either descriptor may be the drive.
int DupTo(int oldfd, int newfd, int flags, bool is_dup3);
/// Drops one descriptor's claim on the drive; the last one releases it.
/// Call with the lock held.
long Untrack(int fd);

/// Releases the drives this process opened and still holds, at exit.
void ReleaseAtExit();

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_DESCRIPTORS_H_
