// The medium changer's command set (SCSI Media Changer Commands, SMC-3), as
// pure functions: a command descriptor block and the library state in, the
// data, the sense and the changed state out. What the real changer target
// and mtx showed decides where the standard leaves a choice.
#ifndef VTAPE_LIBRARY_SMC_H_
#define VTAPE_LIBRARY_SMC_H_

#include <cstddef>
#include <cstdint>

#include "library/state.h"
#include "scsi.h"

namespace vtape::library {

using scsi::Sense;

/// Faults of the library hardware, set for a run.
struct Faults {
  /// Comma-separated barcodes: labels the reader cannot read.
  const char* unreadable;
  /// Comma-separated barcodes: every move of these cartridges fails.
  const char* stuck;
  /// Bit N set: drive N fails to load a cartridge.
  unsigned failing_drives;
};

struct Reply {
  /// False: CHECK CONDITION with `sense`.
  bool good;
  Sense sense;
  /// Bytes placed in the data buffer.
  size_t length;
  /// The state changed and must be written back.
  bool changed;
  /// A cartridge was moved: from and to these element addresses.
  bool moved;
  int from;
  int to;
};

/// Carries out one command on `state`. Data-in commands fill `data` up to
/// `cap` bytes (the allocation length in the CDB limits it further).
Reply Execute(State* state, const Faults& faults, const uint8_t* cdb, size_t cdb_length, uint8_t* data,
              size_t cap);

/// True if `barcode` is one of the comma-separated `list`.
bool InList(const char* list, const char* barcode);

enum class ElementType { kNone = 0, kPicker = 1, kSlot = 2, kImportExport = 3, kDrive = 4 };

/// What the element at `address` is, and its index among its kind.
ElementType ElementAt(const State& state, int address, int* index);

}  // namespace vtape::library

#endif  // VTAPE_LIBRARY_SMC_H_
