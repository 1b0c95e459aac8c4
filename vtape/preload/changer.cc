#include "changer.h"

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

#include "../drive_env.h"
#include "../library/smc.h"
#include "../library/state.h"
#include "descriptors.h"
#include "device_names.h"
#include "library.h"
#include "real_libc.h"

namespace vtape::preload {

namespace {

// Descriptors below this number can be the changer.
constexpr int kMaxFds = 4096;
// What SG_GET_VERSION_NUM gives on Linux 6.1 (sg 3.5.36).
constexpr int kSgVersion = 30536;
constexpr uint8_t kMoveMedium = 0xA5;
constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
// SCSI status and sg's view of it.
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kDriverSense = 0x08;
constexpr uint16_t kHostTimeOut = 0x03;  // DID_TIME_OUT
// The state itself cannot be read or written: the target's own failure.
constexpr library::Sense kInternalFailure = {library::kHardwareError, 0x44, 0x00};

bool g_is_changer[kMaxFds];
// SG_SET_TIMEOUT's value, kept as sg keeps it per descriptor; one suffices.
int g_timeout;

struct Timer {
  timespec start;
  Timer() { clock_gettime(CLOCK_MONOTONIC, &start); }
  unsigned Milliseconds() const {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned>((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
  }
};

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
// picker (shared by every process, so an flock) takes its time.
int TakePickerForMove(const library::Handle& h, const uint8_t* cdb, const library::State& state) {
  int index;
  int from = cdb[4] << 8 | cdb[5];
  if (library::ElementAt(state, from, &index) == library::ElementType::kDrive) Spend(Motion::kUnload);
  int fd = openat(h.dir_fd, library::kPickerLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) continue;
  }
  Spend(Motion::kPickerMove);
  return fd;
}

library::Reply Refusal(const library::Sense& sense) { return library::Reply{false, sense, 0, false, false, 0, 0}; }

// Runs one command against the library state under its lock.
library::Reply ExecuteLocked(const uint8_t* cdb, size_t cdb_length, uint8_t* data, size_t cap) {
  static library::State state, after;
  const library::Handle* h = LibraryHandle();
  if (h == nullptr) return Refusal(kInternalFailure);
  bool changes = cdb[0] == kMoveMedium || cdb[0] == kPreventAllowMediumRemoval;
  int picker = -1;
  if (cdb[0] == kMoveMedium && cdb_length >= 12 && g_library.speedup > 0) {
    // A move the changer refuses at once costs no robot time.
    if (!library::LockAndRead(*h, false, &state)) return Refusal(kInternalFailure);
    after = state;
    library::Reply trial = library::Execute(&after, g_library.faults, cdb, cdb_length, nullptr, 0);
    library::Unlock(*h);
    if (!trial.good) return trial;
    picker = TakePickerForMove(*h, cdb, state);
  }
  library::Reply reply = Refusal(kInternalFailure);
  if (library::LockAndRead(*h, changes, &state)) {
    after = state;
    reply = library::Execute(&after, g_library.faults, cdb, cdb_length, data, cap);
    if (reply.changed && !Commit(*h, after, reply)) reply = Refusal(kInternalFailure);
    library::Unlock(*h);
  }
  if (picker >= 0) libc.close(picker);
  return reply;
}

long ScsiCommand(sg_io_hdr_t* io) {
  if (io == nullptr) return -EFAULT;
  if (io->interface_id != 'S') return -ENOSYS;
  if (io->cmdp == nullptr || io->cmd_len < 6 || io->cmd_len > 16) return -EINVAL;
  // Scatter-gather lists are not needed by any changer tool.
  if (io->iovec_count != 0) return -EINVAL;
  Timer timer;
  io->status = io->masked_status = io->msg_status = 0;
  io->host_status = io->driver_status = 0;
  io->sb_len_wr = 0;
  io->info = 0;
  bool data_in = io->dxfer_direction == SG_DXFER_FROM_DEV || io->dxfer_direction == SG_DXFER_TO_FROM_DEV;
  size_t cap = data_in && io->dxferp != nullptr ? io->dxfer_len : 0;
  io->resid = static_cast<int>(io->dxfer_len);
  if (g_library.changer_silent) {
    // The command timed out and the host gave up on it: no status, no data.
    io->host_status = kHostTimeOut;
    io->info = SG_INFO_CHECK;
    io->duration = io->timeout;
    return 0;
  }
  uint8_t cdb[16];
  memcpy(cdb, io->cmdp, io->cmd_len);
  library::Reply reply = ExecuteLocked(cdb, io->cmd_len, static_cast<uint8_t*>(io->dxferp), cap);
  io->resid = static_cast<int>(io->dxfer_len - (data_in ? reply.length : 0));
  if (!reply.good) {
    io->status = kCheckCondition;
    io->masked_status = kCheckCondition >> 1;
    io->driver_status = kDriverSense;
    io->info = SG_INFO_CHECK;
    uint8_t sense[32];
    size_t length = library::FixedSense(reply.sense, sense, sizeof sense);
    if (length > io->mx_sb_len) length = io->mx_sb_len;
    if (io->sbp != nullptr) memcpy(io->sbp, sense, length);
    io->sb_len_wr = static_cast<unsigned char>(length);
  }
  io->duration = timer.Milliseconds();
  return 0;
}

}  // namespace

bool IsChangerName(int dirfd, const char* path) {
  char abs[PATH_MAX];
  return InLibrary() && path != nullptr && AbsolutePath(dirfd, path, abs, sizeof abs) &&
         strcmp(abs, g_library.changer) == 0;
}

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
