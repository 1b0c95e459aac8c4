#include "preload/scsi/sg_io.h"

#include <cerrno>
#include <cstring>

namespace vtape::preload {

namespace {

// SCSI status and Linux's view of it.
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kDriverSense = 0x08;

unsigned MillisecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned>((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
}

}  // namespace

long BeginSgIo(sg_io_hdr_t* io, SgDriver driver, SgCommand* command) {
  if (io == nullptr) return -EFAULT;
  // sg says "not this interface"; the block layer that st hands SG_IO to
  // calls it an invalid argument, and wants a whole six-byte CDB.
  if (io->interface_id != 'S') return driver == SgDriver::kSg ? -ENOSYS : -EINVAL;
  if (io->cmdp == nullptr) return -EFAULT;
  if (io->cmd_len < 6) return driver == SgDriver::kSg ? -EINVAL : -EMSGSIZE;
  // No tool here sends a longer CDB or a scatter-gather list.
  if (io->cmd_len > sizeof command->cdb || io->iovec_count != 0) return -EINVAL;
  clock_gettime(CLOCK_MONOTONIC, &command->start);
  memcpy(command->cdb, io->cmdp, io->cmd_len);
  command->cdb_length = io->cmd_len;
  bool data_in = io->dxfer_direction == SG_DXFER_FROM_DEV || io->dxfer_direction == SG_DXFER_TO_FROM_DEV;
  command->data = data_in && io->dxferp != nullptr ? static_cast<uint8_t*>(io->dxferp) : nullptr;
  command->cap = command->data != nullptr ? io->dxfer_len : 0;
  io->status = io->masked_status = io->msg_status = 0;
  io->host_status = io->driver_status = 0;
  io->sb_len_wr = 0;
  io->info = 0;
  io->resid = static_cast<int>(io->dxfer_len);
  return 0;
}

void EndSgIo(sg_io_hdr_t* io, const SgCommand& command, bool good, const scsi::Sense& sense, size_t length) {
  io->resid = static_cast<int>(io->dxfer_len - (command.data != nullptr ? length : 0));
  if (!good) {
    io->status = kCheckCondition;
    io->masked_status = kCheckCondition >> 1;
    io->driver_status = kDriverSense;
    io->info = SG_INFO_CHECK;
    uint8_t data[32];
    size_t n = scsi::FixedSense(sense, data, sizeof data);
    if (n > io->mx_sb_len) n = io->mx_sb_len;
    if (io->sbp != nullptr) memcpy(io->sbp, data, n);
    io->sb_len_wr = static_cast<unsigned char>(n);
  }
  io->duration = MillisecondsSince(command.start);
}

}  // namespace vtape::preload
