// The tape drive itself: st's answers to open, read, write, the magnetic
// tape ioctls and the release, over the AWSTAPE image. Results are
// kernel-style: a count, or a negative errno.
#ifndef VTAPE_PRELOAD_ST_TAPE_H_
#define VTAPE_PRELOAD_ST_TAPE_H_

#include <limits.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "preload/image/position.h"

namespace vtape::preload {

// st's end-of-file state, reduced to what the calls can tell apart:
// a tape mark just passed forwards (ST_FM), the early warning reported by
// the last write (ST_EOM_OK), the ENOSPC that followed it (ST_EOD_1), end
// of data (ST_EOD).
enum class Eof { kNone, kFileMark, kEarlyWarning, kSpaceRefused, kEndOfData };

// The one open of a drive (st allows a single open at a time), shared by
// every process its descriptors reach.
struct DriveState {
  bool in_use;
  char image[PATH_MAX];  // the tape's image, while it is open
  bool in_library;
  int number;
  uint64_t changes;     // the library's change count when the tape was opened
  int image_fd;
  bool read_only;       // opened O_RDONLY
  bool write_only;      // opened O_WRONLY
  bool rewinding;       // opened through the st name
  bool no_medium;       // opened O_NONBLOCK without a tape
  bool unloaded;        // MTOFFL took the tape out of this open's reach
  bool write_protected;
  off_t size;
  Place at;
  bool pending_write;   // last operation was a write: close adds a filemark
  Eof eof;
  bool block_unknown;   // st lost count of the block number (-1)
  bool file_unknown;    // ... and of the file number (after a seek)
  size_t partial;       // bytes of the fixed block at `at` a read already handed out
  Place end;            // where the data ends; offset -1 until known
  Settings settings;
  size_t min_block, max_block;
  uint64_t capacity;    // early warning beyond this many bytes; 0: no end
};

/// One drive as st works it: the state of its open (null when this process
/// holds no open of it) and its position record. Passed to every call, so
/// that no call acts on a drive it was not given.
struct Drive {
  int number;
  DriveState* state;
  Keeper keeper;
};

/// What an open found before it takes a descriptor: the tape (its image
/// open and locked for this open) or none, and how it may be used.
struct Medium {
  char image[PATH_MAX];
  int image_fd;  // -1: no tape
  off_t size;
  bool no_medium;
  bool write_protected;
  uint64_t changes;  // the library's change count for the tape
};

/// The part of st_open before the drive is taken: the checks of `flags`,
/// exclusive use, the tape and its write protection. 0 with `*m` filled, or
/// a negative errno with nothing held.
long FindTape(const Drive& drive, int flags, Medium* m);
/// Lets go of what FindTape found, for an open that failed after it.
void DropTape(const Medium& m);
/// Takes `drive`, its open's state fresh, for the tape `m` through the
/// rewinding name or the other; reads where the tape is. -EIO, with the
/// tape let go of and the state cleared, when that cannot be known.
long StartOpen(Drive& drive, const Medium& m, bool rewinding, int flags);

long TapeRead(Drive& drive, void* buf, size_t count);
long TapeWrite(Drive& drive, const void* buf, size_t count);
long TapeIoctl(Drive& drive, unsigned long request, void* arg);

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

/// The parameters of `drive` as they stand, opened or not.
DriveParameters CurrentParameters(const Drive& drive);
/// The records (blocks and tape marks) before the tape's position, as
/// MTIOCPOS counts them, whether an open holds the drive or not;
/// -ENOMEDIUM without a tape.
long TapeRecords(const Drive& drive);

/// What the kernel does when the last descriptor of the drive goes away: the
/// filemark after a write, then the rewind of the st name.
long ReleaseDrive(Drive& drive);
/// What a process that holds no descriptor of the drive any more, while
/// others still do, lets go of.
void LeaveDrive(Drive& drive);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_ST_TAPE_H_
