// The state of a virtual tape library: which cartridge sits in which storage
// slot or drive, kept in the library folder so that every process (each mtx
// call, each program on a drive) sees the same library.
//
// Shared by the preload library and the vtape command, so it uses no heap
// and no C++ runtime: fixed-size tables and the C library only.
#ifndef VTAPE_LIBRARY_STATE_H_
#define VTAPE_LIBRARY_STATE_H_

#include <cstddef>
#include <cstdint>

#include "drive_identity.h"

namespace vtape::library {

inline constexpr int kMaxDrives = 8;
inline constexpr int kMaxSlots = 1000;
/// A volume tag (barcode) as libraries print them: at most 10 characters.
inline constexpr size_t kMaxBarcode = 10;

/// Element addresses as the real changer target numbers them.
inline constexpr int kPickerAddress = 1;
inline constexpr int kFirstDriveAddress = 2;
inline constexpr int kFirstSlotAddress = 1000;

/// Files in the library folder.
inline constexpr char kStateFile[] = "library.state";
/// Locked (fcntl, per process) around every change; never replaced, unlike
/// the state file.
inline constexpr char kLockFile[] = "library.lock";
/// flock()ed while the picker carries a cartridge (the timing model).
inline constexpr char kPickerLockFile[] = "picker.lock";
/// Per drive, a DriveSignal at offset drive * sizeof(DriveSignal); updated in
/// place, so programs can map it and see every change.
inline constexpr char kSignalFile[] = "library.signals";
/// Suffix of each cartridge's tape image, named after its barcode.
inline constexpr char kImageSuffix[] = ".aws";

/// A place that can hold one cartridge; an empty barcode means empty.
struct Place {
  char barcode[kMaxBarcode + 1];
};

struct DriveState {
  Place tape;
  /// Storage slot index the cartridge came from, -1 when unknown.
  int source;
  /// Removal prevented at the drive (mt lock): the changer cannot unload it.
  bool locked;
  /// The host's st device number N of the drive (/dev/nstN): a host numbers
  /// its tape devices in its own order, not the library's.
  int device;
  /// The unit serial number, fixed when the library is made.
  char serial[kSerialLength + 1];
};

struct State {
  int slot_count;
  int drive_count;
  /// PREVENT ALLOW MEDIUM REMOVAL on the changer itself.
  bool prevent_removal;
  Place slots[kMaxSlots];
  DriveState drives[kMaxDrives];
};

/// The changer's unit serial number (INQUIRY VPD page 80h), fixed with the
/// library: its drives' unit number and "CH", e.g. VT5C09E3CH. "" for a
/// library made before its drives had serials of their own.
void ChangerSerial(const State& state, char (&out)[kSerialLength + 1]);

/// True for 1 to kMaxBarcode characters from A-Z and 0-9: what LTO-style
/// labels use, and safe as a file name.
bool ValidBarcode(const char* text);

/// Renders the state as text into `out`; returns the length, or 0 if it
/// does not fit.
size_t FormatState(const State& state, char* out, size_t cap);
/// Parses what FormatState wrote, or a state from before drives had device
/// numbers and serials of their own (drive I is then /dev/nstI, with unit
/// number 0). False for anything else, including a cartridge in two places,
/// which a sound library never has, and two drives with one device number
/// or serial.
bool ParseState(const char* text, State* state);

/// What a program holding a drive open needs to know at every call.
struct DriveSignal {
  /// Counts loads and unloads: a change means the tape it opened is gone.
  uint64_t changes;
  /// CLOCK_REALTIME nanoseconds when the loaded tape is ready (timing model).
  int64_t ready_at_ns;
};

/// The state file and its lock, opened for one library folder.
struct Handle {
  int dir_fd;
  int lock_fd;
};

/// Opens the library in `dir`; false with errno set when it is not one.
bool Open(const char* dir, Handle* handle);
void Close(Handle* handle);

/// Takes the library lock (shared to read, exclusive to change), reads the
/// state and keeps the lock until Unlock. False with errno set (EIO for a
/// damaged state file). The lock is the process's: its threads must take
/// turns around LockAndRead and Unlock, which also share one buffer.
bool LockAndRead(const Handle& handle, bool exclusive, State* state);
void Unlock(const Handle& handle);

/// Replaces the state file with `state` while the exclusive lock is held:
/// written to a temporary file, flushed, then renamed over the old one, so a
/// process killed at any instant leaves either the old state or the new.
bool Write(const Handle& handle, const State& state);

/// Announces a load or unload of `drive`, ready at `ready_at_ns`; call with
/// the exclusive lock held and before writing the new state.
bool SignalChange(const Handle& handle, int drive, int64_t ready_at_ns);

/// Writes a new library's first state; fails if one exists.
bool Create(const char* dir, const State& state);

/// Index of the drive or slot holding `barcode`, or -1.
int FindInDrive(const State& state, const char* barcode);
int FindInSlot(const State& state, const char* barcode);

}  // namespace vtape::library

#endif  // VTAPE_LIBRARY_STATE_H_
