// A SCSI command that reaches a device through the SG_IO ioctl, and its
// completion written back into the program's sg_io_hdr as Linux writes it.
// The changer (sg) and the drives (st, through the block layer's SCSI
// ioctls) fill the same output fields the same way; they differ in how they
// refuse a malformed header.
#ifndef VTAPE_PRELOAD_SCSI_SG_IO_H_
#define VTAPE_PRELOAD_SCSI_SG_IO_H_

#include <scsi/sg.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "scsi.h"

namespace vtape::preload {

/// The driver the program talks to.
enum class SgDriver { kSg, kTape };

struct SgCommand {
  uint8_t cdb[16];
  size_t cdb_length;
  /// Where data-in goes and how much fits; null and 0 for other commands.
  uint8_t* data;
  size_t cap;
  timespec start;
};

/// Checks the header as `driver` does and takes the command out of it; 0,
/// or a negative errno for the ioctl.
long BeginSgIo(sg_io_hdr_t* io, SgDriver driver, SgCommand* command);

/// Writes the outcome: status GOOD, or CHECK CONDITION with `sense` in the
/// sense buffer; `length` bytes of data were transferred.
void EndSgIo(sg_io_hdr_t* io, const SgCommand& command, bool good, const scsi::Sense& sense, size_t length);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_SCSI_SG_IO_H_
