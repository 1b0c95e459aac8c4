#include "preload/scsi/changer.h"

#include <fcntl.h>
#include <limits.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "drive_env.h"
#include "library/smc.h"
#include "library/state.h"
#include "preload/core/lock.h"
#include "preload/core/real_libc.h"
#include "preload/descriptors/descriptors.h"
#include "preload/library/library.h"
#include "preload/scsi/sg_io.h"

namespace vtape::preload {

namespace {

// Descriptors below this number can be the changer.
constexpr int kMaxFds = 4096;
// What SG_GET_VERSION_NUM gives on Linux 6.1 (sg 3.5.36).
constexpr int kSgVersion = 30536;
constexpr uint8_t kMoveMedium = 0xA5;
constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
constexpr uint16_t kHostTimeOut = 0x03;  // DID_TIME_OUT
// The state itself cannot be read or written: the target's own failure.
constexpr library::Sense kInternalFailure = {scsi::kHardwareError, 0x44, 0x00};

bool g_is_changer[kMaxFds];
// SG_SET_TIMEOUT's value, kept as sg keeps it per descriptor; one suffices.
int g_timeout;

// The cartridge that has just gone into a drive starts at BOT, file 0, as
// st does after the drive's unit attention: its old position is dropped.
void ForgetPosition(const library::Handle& h, const char* barcode) {
  char name[library::kMaxBarcode + 32];
  snprintf(name, sizeof name, "%s%s%s", barcode, library::kImageSuffix, kStateSuffix);
  unlinkat(h.dir_fd, name, 0);
}

// Records a completed move: the drives it touched see their change count
// move on (a program holding the old tape open notices), the loaded tape
// forgets its position, then the new state replaces the old in one rename.
bool Commit(const library::Handle& h, const library::State& after, const library::Reply& reply) {
  int index;
  const int touched[] = {reply.from, reply.to};
  for (int address : touched) {
    if (library::ElementAt(after, address, &index) != library::ElementType::kDrive) continue;
    bool loading = address == reply.to;
    int64_t ready = 0;
    if (loading) {
      timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      ready = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec + Duration(Motion::kLoad);
    }
    if (!library::SignalChange(h, index, ready)) return false;
    if (loading) ForgetPosition(h, after.drives[index].tape.barcode);
  }
  return library::Write(h, after);
}

// A move that the robot will carry out: a drive ejects first, then the one
// picker (shared by every thread and process, so an flock on a descriptor of
// its own) takes its time.
int TakePickerForMove(const library::Handle& h, bool from_drive) {
  if (from_drive) Spend(Motion::kUnload);
  int fd = openat(h.dir_fd, library::kPickerLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) continue;
  }
  Spend(Motion::kPickerMove);
  return fd;
}

library::Reply Refusal(const library::Sense& sense) { return library::Reply{false, sense, 0, false, false, 0, 0}; }

// Runs one command against the library state in a turn of its own; a
// change is committed only when `change` took the turn to change. For a
// move, `from_drive` tells whether it takes a cartridge out of a drive.
library::Reply InTurn(bool change, const uint8_t* cdb, size_t cdb_length, uint8_t* data, size_t cap, bool* from_drive) {
  // The process's lock first, as around every drive's turn, so that the
  // two are always taken in one order.
  Locked lock;
  LibraryTurn turn(change);
  if (!turn.held()) return Refusal(kInternalFailure);
  library::State& state = turn.state();
  int index;
  if (from_drive != nullptr) {
    *from_drive = library::ElementAt(state, cdb[4] << 8 | cdb[5], &index) == library::ElementType::kDrive;
  }
  library::Reply reply = library::Execute(&state, g_library.faults, cdb, cdb_length, data, cap);
  if (change && reply.changed && !Commit(turn.handle(), state, reply)) reply = Refusal(kInternalFailure);
  return reply;
}

library::Reply ExecuteLocked(const uint8_t* cdb, size_t cdb_length, uint8_t* data, size_t cap) {
  bool changes = cdb[0] == kMoveMedium || cdb[0] == kPreventAllowMediumRemoval;
  int picker = -1;
  if (cdb[0] == kMoveMedium && cdb_length >= 12 && g_library.speedup > 0) {
    // A move the changer refuses at once costs no robot time.
    bool from_drive;
    library::Reply trial = InTurn(false, cdb, cdb_length, nullptr, 0, &from_drive);
    if (!trial.good) return trial;
    const library::Handle* h = LibraryHandle();
    if (h == nullptr) return Refusal(kInternalFailure);
    picker = TakePickerForMove(*h, from_drive);
  }
  library::Reply reply = InTurn(changes, cdb, cdb_length, data, cap, nullptr);
  if (picker >= 0) libc.close(picker);
  return reply;
}

long ScsiCommand(sg_io_hdr_t* io) {
  SgCommand command;
  long r = BeginSgIo(io, SgDriver::kSg, &command);
  if (r != 0) return r;
  if (g_library.changer_silent) {
    // The command timed out and the host gave up on it: no status, no data.
    io->host_status = kHostTimeOut;
    io->info = SG_INFO_CHECK;
    io->duration = io->timeout;
    return 0;
  }
  library::Reply reply = ExecuteLocked(command.cdb, command.cdb_length, command.data, command.cap);
  EndSgIo(io, command, reply.good, reply.sense, reply.length);
  return 0;
}

}  // namespace

long OpenChanger(int flags) {
  // The same kind of stand-in descriptor as the drive's.
  int fd = NewTapeDescriptor(flags);
  if (fd < 0) return fd;
  g_is_changer[fd] = true;
  return fd;
}

bool IsChanger(int fd) { return fd >= 0 && fd < kMaxFds && g_is_changer[fd]; }

void ForgetChanger(int fd) {
  if (IsChanger(fd)) g_is_changer[fd] = false;
}

long ChangerIoctl(unsigned long request, void* arg) {
  switch (request) {
    case SG_IO:
      return ScsiCommand(static_cast<sg_io_hdr_t*>(arg));
    case SG_GET_VERSION_NUM:
      if (arg == nullptr) return -EFAULT;
      memcpy(arg, &kSgVersion, sizeof kSgVersion);
      return 0;
    case SG_SET_TIMEOUT:
      if (arg == nullptr) return -EFAULT;
      memcpy(&g_timeout, arg, sizeof g_timeout);
      return g_timeout < 0 ? -EIO : 0;
    case SG_GET_TIMEOUT:
      return g_timeout;
    case SG_GET_SCSI_ID: {
      if (arg == nullptr) return -EFAULT;
      sg_scsi_id id{};
      id.scsi_type = 8;  // medium changer
      id.h_cmd_per_lun = 1;
      id.d_queue_depth = 1;
      memcpy(arg, &id, sizeof id);
      return 0;
    }
    case SCSI_IOCTL_GET_IDLUN: {
      // Target 0, LUN 0 on host 0: mtx puts the LUN into its commands.
      if (arg == nullptr) return -EFAULT;
      const int idlun[2] = {0, 0};
      memcpy(arg, idlun, sizeof idlun);
      return 0;
    }
    default:
      return -ENOTTY;
  }
}

}  // namespace vtape::preload
