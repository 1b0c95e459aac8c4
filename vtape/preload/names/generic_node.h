// Each drive's node of the kernel's SCSI generic driver, /dev/sgN: the same
// device as the tape's st nodes, reached without st, so it opens whether or
// not st has the drive open, and takes SCSI commands through SG_IO only.
// Tools find it through /sys/class/scsi_tape/nstN/device/scsi_generic/.
#ifndef VTAPE_PRELOAD_NAMES_GENERIC_NODE_H_
#define VTAPE_PRELOAD_NAMES_GENERIC_NODE_H_

namespace vtape::preload {

/// The N of /dev/sgN of drive `drive`: its st number, or one more from
/// where the changer was given an sg name, so that the two never meet.
int GenericNumber(int drive);

/// When `path` relative to `dirfd` is a drive's sg node, opens it: `*result`
/// is the new descriptor or a negative errno. False for any other path.
bool OpenGenericNode(int dirfd, const char* path, int flags, long* result);

/// Whether `fd` is an sg node of a drive, and which.
bool GenericNodeOf(int fd, int* drive);

/// sg's ioctls on drive `drive`'s node: a count, or a negative errno.
long GenericNodeIoctl(int drive, unsigned long request, void* arg);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_NAMES_GENERIC_NODE_H_
