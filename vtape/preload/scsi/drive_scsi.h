// The drive as a SCSI device: what a program reaches with SG_IO and the
// other SCSI ioctls that st hands on to the device (sg_inq, tapeinfo, a
// library tool asking a tape device for its serial number).
#ifndef VTAPE_PRELOAD_SCSI_DRIVE_SCSI_H_
#define VTAPE_PRELOAD_SCSI_DRIVE_SCSI_H_

#include "preload/scsi/sg_io.h"

namespace vtape::preload {

/// One SCSI command to drive `drive` through SG_IO, the header checked as
/// `driver` checks it: st's block layer, or the drive's sg node.
long DriveScsiCommand(int drive, SgDriver driver, sg_io_hdr_t* io);

/// True for the ioctls st passes to the SCSI layer rather than answering
/// itself.
bool IsScsiRequest(unsigned long request);

/// Answers one of them on a descriptor of `drive` (its st device number):
/// SG_IO, SG_GET_VERSION_NUM, SG_SET_TIMEOUT, SG_GET_TIMEOUT,
/// SCSI_IOCTL_GET_IDLUN, SCSI_IOCTL_GET_BUS_NUMBER. A count, or a negative
/// errno.
long DriveScsiIoctl(int drive, unsigned long request, void* arg);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_SCSI_DRIVE_SCSI_H_
