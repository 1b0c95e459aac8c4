// The tape drive itself: st's answers to open, read, write, the magnetic
// tape ioctls and the release, over the AWSTAPE image. Results are
// kernel-style: a count, or a negative errno.
#ifndef VTAPE_PRELOAD_ST_TAPE_H_
#define VTAPE_PRELOAD_ST_TAPE_H_

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>

namespace vtape::preload {

extern pthread_mutex_t g_lock;

/// Unlocks the shared state of the opens taken under the current Locked.
void UnlockSharedStates();

/// Holds the one lock over the drive and the descriptor table in this
/// process; the state of an open, shared with other processes, is locked
/// on first use until it ends.
class Locked {
 public:
  Locked() { pthread_mutex_lock(&g_lock); }
  ~Locked() {
    UnlockSharedStates();
    pthread_mutex_unlock(&g_lock);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

/// Drives a process can serve: one, or those of a library.
inline constexpr int kMaxDrives = 8;

/// Opens drive `drive` through its rewinding or non-rewinding name: the part
/// of st_open a drive needs (medium, write protection, exclusive use).
/// Returns the program's new descriptor.
long OpenTape(int drive, bool rewinding, int flags);

long TapeRead(int drive, void* buf, size_t count);
long TapeWrite(int drive, const void* buf, size_t count);
long TapeIoctl(int drive, unsigned long request, void* arg);

/// What the drive would answer READ BLOCK LIMITS and MODE SENSE with: its
/// block limits, and the mode the tape is in (block size 0: variable).
struct DriveParameters {
  size_t min_block;
  size_t max_block;
  long block_size;
  int density;
  bool compression;  // always false: the drive stores data as written, and has no compression
  int drive_buffer;  // buffered mode, MODE SENSE's header byte 2 bits 4-6
  bool write_protected;
  bool loaded;  // an open of the drive has a tape; otherwise the rest is the defaults
  unsigned options;  // st's MT_ST_* booleans, as its options attribute shows them
};

/// The parameters of drive `drive` as they stand. Call with the lock held,
/// as TapeIoctl holds it.
DriveParameters CurrentParameters(int drive);
/// The records (blocks and tape marks) before the tape's position, as
/// MTIOCPOS counts them, whether an open holds the drive or not;
/// -ENOMEDIUM without a tape.
long TapeRecords(int drive);
/// Whether the open in use came through the rewinding name.
bool DriveRewinding(int drive);

/// What the kernel does when the last descriptor of the drive goes away: the
/// filemark after a write, then the rewind of the st name.
long ReleaseDrive(int drive);
/// What a process that holds no descriptor of the drive any more, while
/// others still do, lets go of.
void LeaveDrive(int drive);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_ST_TAPE_H_
