// The tape library the drives and the changer belong to, when `vtape run`
// was given a library folder: its configuration, which cartridge each drive
// holds, the door locks of the drives and the timing model.
#ifndef VTAPE_PRELOAD_LIBRARY_LIBRARY_H_
#define VTAPE_PRELOAD_LIBRARY_LIBRARY_H_

#include <limits.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "library/smc.h"
#include "library/state.h"
#include "drive_identity.h"

namespace vtape::preload {

struct LibraryConfig {
  char dir[PATH_MAX];      // empty: a single drive, no library
  char changer[PATH_MAX];  // the changer's absolute device name
  library::Faults faults;
  const char* protected_tapes;
  bool changer_silent;
  double speedup;  // 0: the library takes no time
};

extern LibraryConfig g_library;

inline bool InLibrary() { return g_library.dir[0] != '\0'; }

/// The open library folder, opened on first use; null with errno set if it
/// cannot be opened.
const library::Handle* LibraryHandle();

/// A turn at the library state: first among this process's threads, which
/// share its file lock and so cannot be told apart by it, then among
/// processes, shared to read and exclusive to change. The state read stays
/// this turn's until it ends. A caller that also holds the process's lock
/// (core/lock.h) takes that first, as every drive call does.
class LibraryTurn {
 public:
  explicit LibraryTurn(bool change);
  ~LibraryTurn();
  LibraryTurn(const LibraryTurn&) = delete;
  LibraryTurn& operator=(const LibraryTurn&) = delete;

  /// False when the library cannot be opened or read (errno says why).
  bool held() const { return handle_ != nullptr; }
  library::State& state();
  const library::Handle& handle() const { return *handle_; }

 private:
  const library::Handle* handle_;
};

/// `drive` in these functions is the st device number N of /dev/nstN, which
/// need not be the drive's element order in the library.

/// What an open of `drive` finds: 0 with the cartridge's image path, whether
/// it is write-protected and the drive's change count; -ENOMEDIUM for an
/// empty drive, -ENOENT for a drive the library does not have, -EIO when the
/// library cannot be read.
long CartridgeIn(int drive, char* image, size_t cap, bool* write_protected, uint64_t* changes);

/// The unit serial number of the library's drive served as st device
/// `drive`; false when the library has no such drive or cannot be read.
bool LibraryDriveSerial(int drive, char (&serial)[kSerialLength + 1]);

/// Nanoseconds until the tape just loaded into `drive` has threaded (timing
/// model); 0 or less when it is ready. Called with the process's lock held.
int64_t ThreadingLeft(int drive);

/// Sleeps `ns` nanoseconds (none when `ns` is 0 or less), through signals.
void SleepFor(int64_t ns);

/// False once the tape opened when the drive's change count was `changes`
/// has been unloaded.
bool StillLoaded(int drive, uint64_t changes);

/// MTLOCK and MTUNLOCK: prevent or allow the changer's removal of the tape.
long SetDoorLock(int drive, bool locked);

/// Tape motions the timing model charges for.
enum class Motion { kLoad, kUnload, kRewind, kPickerMove, kBlock };

/// Sleeps the time `motion` takes on a real LTO drive or library, divided
/// by the speed-up factor; for kBlock, for `bytes` more.
void Spend(Motion motion, size_t bytes = 0);

/// The time `motion` takes in nanoseconds, as Spend would sleep it.
int64_t Duration(Motion motion, size_t bytes = 0);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_LIBRARY_LIBRARY_H_
