// The library's medium changer, as a program sees it through the kernel's
// sg (or ch) driver: a character device that takes SCSI commands through the
// SG_IO ioctl. The commands themselves are library/smc.h's.
#ifndef VTAPE_PRELOAD_SCSI_CHANGER_H_
#define VTAPE_PRELOAD_SCSI_CHANGER_H_

namespace vtape::preload {

/// Opens the changer: a new descriptor, or a negative errno.
long OpenChanger(int flags);

bool IsChanger(int fd);

/// Forgets `fd` as the changer before the program's close of it.
void ForgetChanger(int fd);

/// The ioctls sg answers that mtx and its kin use: SG_IO, SG_GET_VERSION_NUM,
/// SG_SET_TIMEOUT, SG_GET_TIMEOUT, SG_GET_SCSI_ID, SCSI_IOCTL_GET_IDLUN;
/// ENOTTY for the rest.
long ChangerIoctl(unsigned long request, void* arg);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_SCSI_CHANGER_H_
