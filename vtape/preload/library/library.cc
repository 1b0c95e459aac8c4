#include "preload/library/library.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
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
std::atomic<const volatile library::DriveSignal*> g_signals;

// Orders this process's threads at the library (LibraryTurn).
pthread_mutex_t g_turns = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t g_watching_forks = PTHREAD_ONCE_INIT;
// The state a turn reads: one for all, as the threads take turns.
library::State g_state;

// A child forked while another thread had its turn finds the turns free:
// it inherits none of the library lock and reads the state anew.
void FreeTurnsInChild() { pthread_mutex_init(&g_turns, nullptr); }
void WatchForks() { pthread_atfork(nullptr, nullptr, FreeTurnsInChild); }

// Which drive element each st device number is, and its serial: fixed when
// the library was made, so read once.
struct Identities {
  std::atomic<bool> known;
  int element_of[library::kMaxDrives];  // -1: no drive of this library
  char serial[library::kMaxDrives][kSerialLength + 1];
};
Identities g_identities;

void Learn(const library::State& state) {
  if (g_identities.known.load(std::memory_order_acquire)) return;
  for (int& element : g_identities.element_of) element = -1;
  for (int i = 0; i < state.drive_count; ++i) {
    const library::DriveState& d = state.drives[i];
    g_identities.element_of[d.device] = i;
    memcpy(g_identities.serial[d.device], d.serial, sizeof d.serial);
  }
  g_identities.known.store(true, std::memory_order_release);
}

// Reads the state once for the identities; false if it cannot be read.
bool KnowIdentities() {
  if (g_identities.known.load(std::memory_order_acquire)) return true;
  LibraryTurn turn(false);
  if (!turn.held()) return false;
  Learn(turn.state());
  return true;
}

// The drive element served as st device `device`, or -1; inside a turn,
// after Learn.
int LearntElementOf(int device) {
  return device < 0 || device >= library::kMaxDrives ? -1 : g_identities.element_of[device];
}

// The drive element served as st device `device`, or -1; outside a turn.
int ElementOf(int device) { return KnowIdentities() ? LearntElementOf(device) : -1; }

// The library folder, opened once; called with the turns held.
const library::Handle* OpenedHandle() {
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

// Maps the drives' signal file once; null if the library has none. Called
// with the turns held.
const volatile library::DriveSignal* MappedSignals() {
  const volatile library::DriveSignal* signals = g_signals.load();
  if (signals != nullptr) return signals;
  const library::Handle* h = OpenedHandle();
  if (h == nullptr) return nullptr;
  int fd = openat(h->dir_fd, library::kSignalFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  void* map = mmap(nullptr, library::kMaxDrives * sizeof(library::DriveSignal), PROT_READ, MAP_SHARED, fd, 0);
  libc.close(fd);
  if (map == MAP_FAILED) return nullptr;
  signals = static_cast<const volatile library::DriveSignal*>(map);
  g_signals.store(signals);
  return signals;
}

const volatile library::DriveSignal* Signals() {
  const volatile library::DriveSignal* signals = g_signals.load();
  if (signals != nullptr) return signals;
  pthread_mutex_lock(&g_turns);
  signals = MappedSignals();
  pthread_mutex_unlock(&g_turns);
  return signals;
}

}  // namespace

const library::Handle* LibraryHandle() {
  pthread_mutex_lock(&g_turns);
  const library::Handle* h = OpenedHandle();
  int saved = errno;
  pthread_mutex_unlock(&g_turns);
  errno = saved;
  return h;
}

LibraryTurn::LibraryTurn(bool change) : handle_(nullptr) {
  pthread_once(&g_watching_forks, WatchForks);
  pthread_mutex_lock(&g_turns);
  const library::Handle* h = OpenedHandle();
  if (h != nullptr && library::LockAndRead(*h, change, &g_state)) {
    handle_ = h;
    return;
  }
  int saved = errno;
  pthread_mutex_unlock(&g_turns);
  errno = saved;
}

LibraryTurn::~LibraryTurn() {
  if (handle_ == nullptr) return;
  int saved = errno;
  library::Unlock(*handle_);
  pthread_mutex_unlock(&g_turns);
  errno = saved;
}

library::State& LibraryTurn::state() { return g_state; }

long CartridgeIn(int drive, char* image, size_t cap, bool* write_protected, uint64_t* changes) {
  LibraryTurn turn(false);
  if (!turn.held()) return -EIO;
  const library::State& state = turn.state();
  Learn(state);
  int element = LearntElementOf(drive);
  if (element < 0) return -ENOENT;
  // The change count is read in the turn, so it belongs to this tape.
  const volatile library::DriveSignal* signals = MappedSignals();
  *changes = signals != nullptr ? signals[element].changes : 0;
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
  int element = ElementOf(drive);
  if (element < 0) return -EIO;
  LibraryTurn turn(true);
  if (!turn.held()) return -EIO;
  library::DriveState& d = turn.state().drives[element];
  if (d.locked == locked) return 0;
  d.locked = locked;
  return library::Write(turn.handle(), turn.state()) ? 0 : -EIO;
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
