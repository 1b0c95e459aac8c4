#include "preload/library/library.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "preload/core/internal_descriptors.h"
#include "preload/core/real_libc.h"

namespace vtape::preload {

LibraryConfig g_library;

namespace {

library::Handle g_handle = {-1, -1};
const volatile library::DriveSignal* g_signals;

// Which drive element each st device number is, and its serial: fixed when
// the library was made, so read once.
struct Identities {
  bool known;
  int element_of[library::kMaxDrives];  // -1: no drive of this library
  char serial[library::kMaxDrives][kSerialLength + 1];
};
Identities g_identities;

void Learn(const library::State& state) {
  if (g_identities.known) return;
  for (int& element : g_identities.element_of) element = -1;
  for (int i = 0; i < state.drive_count; ++i) {
    const library::DriveState& d = state.drives[i];
    g_identities.element_of[d.device] = i;
    memcpy(g_identities.serial[d.device], d.serial, sizeof d.serial);
  }
  g_identities.known = true;
}

// Reads the state once for the identities; false if it cannot be read.
bool KnowIdentities() {
  if (g_identities.known) return true;
  const library::Handle* h = LibraryHandle();
  static library::State state;
  if (h == nullptr || !library::LockAndRead(*h, false, &state)) return false;
  library::Unlock(*h);
  Learn(state);
  return true;
}

// The drive element served as st device `device`, or -1.
int ElementOf(int device) {
  if (device < 0 || device >= library::kMaxDrives || !KnowIdentities()) return -1;
  return g_identities.element_of[device];
}

// Seconds a real library takes, after an LTO-8 half-height drive's data
// sheet (load to ready about 15 s, unload about 17 s, 300 MB/s) and the
// robot of a mid-size library (about 10 s from slot to drive). Rewinding a
// label set near the start of the tape takes a few seconds, not the 98 s
// from the far end.
constexpr double kLoadSeconds = 15;
constexpr double kUnloadSeconds = 17;
constexpr double kRewindSeconds = 3;
constexpr double kPickerMoveSeconds = 10;
// Each block costs the command's round trip plus its bytes at the drive's rate.
constexpr double kBlockSeconds = 0.002;
constexpr double kBytesPerSecond = 300e6;

int64_t Now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Maps the drives' signal file once; null if the library has none.
const volatile library::DriveSignal* Signals() {
  if (g_signals != nullptr) return g_signals;
  const library::Handle* h = LibraryHandle();
  if (h == nullptr) return nullptr;
  int fd = openat(h->dir_fd, library::kSignalFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  void* map = mmap(nullptr, library::kMaxDrives * sizeof(library::DriveSignal), PROT_READ, MAP_SHARED, fd, 0);
  libc.close(fd);
  if (map == MAP_FAILED) return nullptr;
  g_signals = static_cast<const volatile library::DriveSignal*>(map);
  return g_signals;
}

}  // namespace

const library::Handle* LibraryHandle() {
  if (g_handle.dir_fd >= 0) return &g_handle;
  library::Handle h;
  if (!library::Open(g_library.dir, &h)) return nullptr;
  h.dir_fd = MoveHigh(h.dir_fd);
  h.lock_fd = MoveHigh(h.lock_fd);
  g_handle = h;
  KeepInternal(g_handle.dir_fd, &g_handle.dir_fd);
  KeepInternal(g_handle.lock_fd, &g_handle.lock_fd);
  return &g_handle;
}

long CartridgeIn(int drive, char* image, size_t cap, bool* write_protected, uint64_t* changes) {
  const library::Handle* h = LibraryHandle();
  static library::State state;
  if (h == nullptr || !library::LockAndRead(*h, false, &state)) return -EIO;
  Learn(state);
  int element = ElementOf(drive);
  // The change count is read under the lock, so it belongs to this tape.
  const volatile library::DriveSignal* signals = Signals();
  *changes = signals != nullptr && element >= 0 ? signals[element].changes : 0;
  library::Unlock(*h);
  if (element < 0) return -ENOENT;
  const char* barcode = state.drives[element].tape.barcode;
  if (barcode[0] == '\0') return -ENOMEDIUM;
  int n = snprintf(image, cap, "%s/%s%s", g_library.dir, barcode, library::kImageSuffix);
  if (n < 0 || static_cast<size_t>(n) >= cap) return -EIO;
  *write_protected = library::InList(g_library.protected_tapes, barcode);
  return 0;
}

int64_t ThreadingLeft(int drive) {
  const volatile library::DriveSignal* signals = Signals();
  int element = ElementOf(drive);
  return signals != nullptr && element >= 0 ? signals[element].ready_at_ns - Now() : 0;
}

void SleepFor(int64_t ns) {
  if (ns <= 0) return;
  timespec ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) continue;
}

bool StillLoaded(int drive, uint64_t changes) {
  const volatile library::DriveSignal* signals = Signals();
  int element = ElementOf(drive);
  return signals == nullptr || element < 0 || signals[element].changes == changes;
}

long SetDoorLock(int drive, bool locked) {
  const library::Handle* h = LibraryHandle();
  static library::State state;
  int element = ElementOf(drive);
  if (element < 0 || h == nullptr || !library::LockAndRead(*h, true, &state)) return -EIO;
  long result = 0;
  if (state.drives[element].locked != locked) {
    state.drives[element].locked = locked;
    if (!library::Write(*h, state)) result = -EIO;
  }
  library::Unlock(*h);
  return result;
}

bool LibraryDriveSerial(int drive, char (&serial)[kSerialLength + 1]) {
  if (ElementOf(drive) < 0) return false;
  memcpy(serial, g_identities.serial[drive], sizeof serial);
  return true;
}

int64_t Duration(Motion motion, size_t bytes) {
  if (g_library.speedup <= 0) return 0;
  // In the order of Motion.
  constexpr double kSeconds[] = {kLoadSeconds, kUnloadSeconds, kRewindSeconds, kPickerMoveSeconds, kBlockSeconds};
  double seconds = kSeconds[static_cast<int>(motion)];
  if (motion == Motion::kBlock) seconds += static_cast<double>(bytes) / kBytesPerSecond;
  return static_cast<int64_t>(seconds / g_library.speedup * 1e9);
}

void Spend(Motion motion, size_t bytes) { SleepFor(Duration(motion, bytes)); }

}  // namespace vtape::preload
