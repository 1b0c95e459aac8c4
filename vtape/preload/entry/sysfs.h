// The attributes st publishes for each drive under /sys/class/scsi_tape,
// which mt stshowoptions reads: served from the drive, since a machine
// without a tape drive has none.
#ifndef VTAPE_PRELOAD_ENTRY_SYSFS_H_
#define VTAPE_PRELOAD_ENTRY_SYSFS_H_

#include <sys/stat.h>

namespace vtape::preload {

/// When `path` names such an attribute of a drive served here
/// (/sys/class/scsi_tape/stN/options and the like, N the drive, any mode
/// suffix), opens it: `*result` is a descriptor holding its text, or a
/// negative errno. False for any other path.
bool OpenDriveAttribute(const char* path, int flags, long* result);

/// True when `path` names such an attribute: stdio opens it through
/// OpenDriveAttribute too (od and fopen read them so).
bool IsDriveAttribute(const char* path);

/// When `path` names one of st's class folders served here, or an
/// attribute in one, fills `*out` as sysfs shows it (a folder, or a
/// read-only file of a page); false for any other path.
bool StatClassEntry(const char* path, struct stat* out);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_ENTRY_SYSFS_H_
