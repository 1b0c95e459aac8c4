// The position record: where the tape is, kept in a small file beside the
// image (IMAGE.vtpos) so that the next open, in any process, finds the tape
// where the last completed operation left it, even when the process that
// made it was killed at any instant. docs/virtual-drive.md describes the
// file.
#ifndef VTAPE_PRELOAD_IMAGE_POSITION_H_
#define VTAPE_PRELOAD_IMAGE_POSITION_H_

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

namespace vtape::preload {

/// A record boundary in the image and what st counts there.
struct Place {
  off_t offset;   // bytes of the image before it
  uint16_t prev;  // length field of the header just before it (0 at BOT and after a tape mark)
  long file;      // tape marks before it
  long block;     // blocks since the last of them
  long records;   // blocks and tape marks before it
};

/// What st knows beside the place, kept through a close of the non-rewinding
/// name: whether it lost count of the block number (spacing to end of data,
/// a failed read there, spacing back over a tape mark) or of the file number
/// too (a seek), whether it stands at end of data, and whether the close
/// has just written a tape mark (the next read at end of data returns 0).
enum class Counting { kKnown, kBlockLost, kEndOfData, kAfterMark, kPositionLost };

/// What the drive and st keep between opens beside the place, changed only
/// by the ioctls that set them: the drive's mode (block size, density,
/// buffering) and st's options (MT_ST_* booleans, as
/// /sys/class/scsi_tape/nstN/options shows them).
struct Settings {
  long block_size;  // 0: variable-block mode
  int density;
  int drive_buffer;
  unsigned options;
};

/// st's options on a drive it has just found: buffered and asynchronous
/// writes, read-ahead, and backspacing by records (a SCSI-2 or later drive).
Settings DefaultSettings();

/// A record says where the tape is, or that it is at the end of data, where
/// a write began.
enum class Mode { kAt, kEnd };

/// One record as it is (or is to be) in the file.
struct Saved {
  Mode mode;
  Place place;
  Counting counting;   // kEnd: whether the block number was lost before the write
  uintmax_t dev, ino;  // the image's identity
  long long size;      // kAt: the image's size; kEnd: its size before the cut
  long long sec;       // kAt: its modification time
  long nsec;
  Place end;  // kAt: where the data ends in the image as stamped; offset -1 if not known
  Settings settings;
};

/// The record of one drive's open, shared by the processes that hold it.
struct KeeperState {
  char path[PATH_MAX + 16];
  bool elsewhere;      // in the user's runtime directory, not beside the image
  char cannot[128];    // why it cannot be written; empty if it can
  int open_error;      // errno of the last failed open of the file
  bool rewinding;
  int image_fd;
  struct stat image;  // the image as last seen
  bool image_fresh;   // nothing written to it since
  // What the file holds (BOT when it holds no record at all), and whether
  // that describes this image.
  Saved disk;
  bool disk_valid;
  // What the next record is to say beside the place.
  Settings settings;
  Place end;
};

/// One drive's position record: the state the processes that hold its open
/// share, and this process's own descriptor of the file (-1 until opened).
struct Keeper {
  KeeperState* state;
  int* fd;
};

/// Moves `place` over one record that ends at `next`, whose last header has
/// length `last`.
void Pass(Place* place, bool tape_mark, off_t next, uint16_t last);

/// Each drive keeps its own record, `k`.
///
/// Opens the record of `image`, which the drive has just opened and
/// locked on `image_fd`, and finds where the tape is, and how long the image
/// is once a write cut short by a kill has been cut off.
/// `rewinding`: opened through the name that rewinds at release, so BOT is
/// recorded at once. False when that cannot be recorded: the open fails
/// with EIO.
/// `settings` are those the record keeps, or DefaultSettings(); `end`,
/// when the record knows it for the image as it is, where the data ends
/// (`end->offset` is -1 otherwise).
bool OpenRecord(const Keeper& k, const char* image, int image_fd, bool rewinding, Place* place, Counting* counting,
                off_t* size, Settings* settings, Place* end);

/// Records that the tape is at `place`, known as `counting` says, before
/// the operation that took it there returns. False when it cannot be: the
/// operation fails with EIO and the tape stays where the record says.
bool RecordPlace(const Keeper& k, const Place& place, Counting counting);

/// Whether the drive's image is still the tape the drive knows: there,
/// and at least `size` bytes long. An image cut short or removed under the
/// open drive fails reads and writes with EIO, the tape where it was.
bool ImageIntact(const Keeper& k, off_t size);

/// Prepares a write at `place`: records that the tape will be at the end of
/// data (its block number known as `counting` says) and cuts the image off
/// at `place` when it goes on beyond (`*size`). False, with EIO for the
/// write, when either cannot be done.
bool StartWrite(const Keeper& k, const Place& place, Counting counting, off_t* size);

/// Records where the release leaves the tape and closes the record.
bool CloseRecord(const Keeper& k, const Place& place, Counting counting);
/// Closes this process's own descriptor of the record.
void LeaveRecord(const Keeper& k);

/// The settings the record beside `image` keeps, for a drive nobody here
/// has open; DefaultSettings() without one.
Settings KeptSettings(const char* image);
/// The records (blocks and tape marks) before the place the record beside
/// `image` keeps; 0 (BOT) without one.
long KeptRecords(const char* image);

/// Records new settings at once. False when they cannot be recorded.
bool RecordSettings(const Keeper& k, const Settings& settings);

/// Notes where the data ends, for the records written from now on, so that
/// a later space to end of data need not walk the image; `end` null: not
/// known. Kept only while the image stays as it is when recorded.
void NoteEnd(const Keeper& k, const Place* end);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_IMAGE_POSITION_H_
