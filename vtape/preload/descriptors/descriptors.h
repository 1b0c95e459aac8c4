// The program's descriptors that refer to the drive, and how duplicates,
// forked children and executed programs share and release it.
//
// As on the kernel, one open of the drive is one open file description,
// whatever processes its descriptors reach: the descriptor is a small memory
// file that holds the open's state (position, pending filemark, ...), so
// that a child that inherited only the descriptor's number, through fork or
// exec, finds it, and the drive is released when the last descriptor in any
// process goes away.
#ifndef VTAPE_PRELOAD_DESCRIPTORS_DESCRIPTORS_H_
#define VTAPE_PRELOAD_DESCRIPTORS_DESCRIPTORS_H_

#include <cstddef>

#include "preload/st/tape.h"

namespace vtape::preload {

/// Descriptors below this number can be the drive's or the changer's.
inline constexpr int kDescriptorTableSize = 4096;

bool IsTape(int fd);
/// Whether this is a child of vfork (or a clone that shares memory) before
/// its exec: its descriptors are its own, but the library's tables are its
/// parent's, which its closes must leave alone.
bool SharingParentsMemory();
/// IsTape, and the number still the descriptor the drive gave out: one
/// closed where the library could not see it (a raw system call) is
/// forgotten, as its close would have. Call without the lock.
bool IsOpenTape(int fd);
/// After the kernel gave out `fd` to an open the library passed on: a
/// number the table still holds was closed behind its back, and is
/// forgotten. Returns `fd`. Call without the lock.
int Fresh(int fd);
/// close_range(2) (and closefrom) that follows the drive's descriptors
/// and leaves the library's own ones (image, record, library) open.
int CloseRange(unsigned first, unsigned last, int flags);
/// The drive a tape descriptor refers to.
int DriveOf(int fd);

/// A real descriptor for a new open of the changer, with the access mode
/// and close-on-exec flag of `flags`; a negative errno on failure.
int NewTapeDescriptor(int flags);

/// A new open of drive `drive`: its descriptor, as NewTapeDescriptor, with
/// the open's shared state behind it (zeroed); a negative errno on failure.
int NewDriveDescriptor(int flags, int drive);
/// Makes `fd` the first descriptor of `drive` in this process, opened
/// through the rewinding name or the other; the image, open on `image_fd`
/// at `image`, goes to every process that inherits it.
void AdoptTapeDescriptor(int fd, int drive, int image_fd, const char* image, bool rewinding);
/// Undoes NewDriveDescriptor for an open that failed.
void DiscardDriveDescriptor(int fd, int drive);

/// Drive `drive` as this process holds it: the state of its open, locked
/// for this process until the current Locked ends (null when it holds
/// none), and its position record. Call with the lock held.
Drive DriveHeld(int drive);
/// Whether the open of `drive` this process holds came through the
/// rewinding name. Call with the lock held.
bool DriveRewinding(int drive);

/// Records that `newfd`, a fresh duplicate of a descriptor of `drive`,
/// refers to it too. Call with the lock held.
int TrackDup(int newfd, int drive);
/// dup2 (or dup3 with `flags`) where either descriptor may be the drive.
int DupTo(int oldfd, int newfd, int flags, bool is_dup3);
/// After a change of a drive descriptor's close-on-exec flag.
void TrackCloseOnExec(int fd);
/// Drops one descriptor's claim on the drive; the last one in any process
/// releases it. Call with the lock held.
long Untrack(int fd);

/// Takes up the drive's descriptors this program inherited through exec.
void AdoptInherited();

/// Leaves the opens that only close-on-exec descriptors of this process
/// hold, as the exec about to be made drops them: the new program cannot
/// leave them, and the last holder's release writes st's closing tape mark.
/// A failed exec finds those descriptors no longer on the drive.
void LeaveBeforeExec();

/// Lets the child a posix_spawn is about to make inherit the open of
/// `drive` (its state and image), as one of the spawn's file actions gives
/// it a descriptor of the drive the library does not see. Call without the
/// lock; SpawnMade undoes it once the spawn returned.
void OfferToSpawn(int drive);
void SpawnMade(int drive);

/// Leaves the opens this process still holds, at exit; the last holder
/// releases the drive. `flush`: exit flushes the C library's streams
/// (_exit does not).
void ReleaseAtExit(bool flush);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_DESCRIPTORS_DESCRIPTORS_H_
