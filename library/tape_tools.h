// vaklabel and st's own answers on one drive: the command lines this
// command runs, the ioctls it asks the drive, and what their answers mean
// for the tape in the drive.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process.h"

namespace library {

/// What a vaklabel read run said, taken from its exit status, standard output
/// and the trace it writes on standard error.
struct ReadTrace {
  bool ran = false;            // vaklabel started and ended by itself
  int status = -1;
  std::string label;           // the label printed on success
  int blocks_read = 0;         // "block N read to internal buffer"
  int missing_block = 0;       // "no N block found": a tape mark at block N
  int error_block = 0;         // "read error while reading N block"
  std::string read_error;      // the system's text after "read: "
  std::string device_error;    // open, rewind or block-size failure: the drive, not the tape
  bool set_read = false;       // vaklabel took what it read for a label set ("### previous label data ###")
  std::string save_error;      // it could not keep that set in the labels directory
};

ReadTrace ParseReadTrace(const ProcessResult& run);

/// Where the drive says the tape is: st's status (MTIOCGET) and the
/// logical position (MTIOCPOS, the drive's READ POSITION).
struct DrivePosition {
  int file = -1;   // tape marks passed; -1 when st does not know
  int block = -1;  // blocks into the file; -1 when st does not know
  bool eod = false;
  bool write_protected = false;
  bool bot = false;
  long logical = -1;  // blocks and tape marks from the start; -1 when the drive does not say
};

/// What the read found on the tape.
enum class Finding {
  kLabelSet,      // vaklabel read a label; the decoder decides whether it is a standard set
  kForeign,       // data, but no label set: large blocks, tape marks too early, a broken set
  kUnreadable,    // the tape failed to read
  kMaybeBlank,    // the first read found nothing; blank only if the end of data is at the start
  kDriveFault,    // the drive failed before the tape was read
  kNotSaved,      // a label set was read but could not be kept in the labels directory
  kUnrecognised,  // vaklabel answered in a way none of the above explains
};

/// Judges a read run on its own. `*detail` says why, for the report.
Finding JudgeRead(const ReadTrace& trace, std::string* detail);

/// After the first block failed, st has lost the position at the start of
/// the tape: file 0, block -1, not at BOT. A rewinding device reports BOT,
/// block 0 after every close whatever the tape holds, and anything further
/// on means the drive passed data: neither proves a blank tape.
bool StillAtStart(const DrivePosition& after_read);

/// After spacing to the end of data: blank only when the drive puts the end
/// of data at logical position 0. st's block number is -1 after spacing
/// there whatever the tape holds, so only READ POSITION tells data from
/// none.
bool EndOfDataAtStart(const DrivePosition& at_end);

/// What a write run said. vaklabel runs it with its trace on, so how far it
/// got is known: whether the old set was kept and the tape opened to write.
struct WriteTrace {
  bool ran = false;  // vaklabel started and ended by itself
  int status = -1;
  bool tape_opened_to_write = false;  // the second open: the read before the write is done
  int blocks_written = 0;
  std::string error;  // its last message
};

WriteTrace ParseWriteTrace(const ProcessResult& run);

/// The first blocks of a tape as the drive returned them.
struct TapeStart {
  std::vector<std::optional<std::string>> blocks;  // in order; nothing: a tape mark
  std::string error;                               // why the reading stopped before `limit`: "" when it did not
};

/// The label records at the start of a tape: its leading 80-byte blocks
/// before a tape mark, when the first is a VOL1 in EBCDIC or in ASCII
/// (`*ascii`); in the text vaklabel saves (EBCDIC read as ASCII).
std::vector<std::string> LeadingLabelRecords(const TapeStart& start, bool* ascii);

/// "" when the tape starts with `count` blocks of 80 bytes, then a tape
/// mark, then another tape mark or data (`closed`: another tape mark, as a
/// write leaves them); else where it does not.
std::string ProveSetShape(const TapeStart& start, size_t count, bool closed);

/// The first `count` blocks (all 80 bytes) in the text vaklabel saves.
std::vector<std::string> RecordsOf(const TapeStart& start, size_t count);

/// The programs on one drive.
class TapeTools {
 public:
  TapeTools(std::string vaklabel, std::string device) : vaklabel_(std::move(vaklabel)), device_(std::move(device)) {}

  const std::string& device() const { return device_; }

  /// vaklabel -r -p DIR -o FILE -f DEV: the label set is kept in DIR/FILE;
  /// with no FILE only the label is read.
  ReadTrace Read(const std::string& dir, const std::string& file) const;

  /// Writes `label`; with a template its records replace the ones read.
  /// The caller keeps the old set first: vaklabel's own backup is made in
  /// the same run as the write, too late to refuse the tape.
  WriteTrace Write(const std::string& label, const std::string& template_path) const;

  std::vector<std::string> WriteCommand(const std::string& label, const std::string& template_path) const;

  /// Asks the drive where the tape is; nothing when it cannot be opened or
  /// does not answer.
  std::optional<DrivePosition> Position() const;
  /// Spaces to the end of data and says where that is; nothing when the
  /// drive refuses.
  std::optional<DrivePosition> SpaceToEndOfData() const;

  /// Prevents (MTLOCK) or allows (MTUNLOCK) the removal of the tape. st keeps
  /// a lock asked for explicitly across close and open, so it holds from one
  /// open to the next; "" when the drive agreed, else why not.
  std::string PreventRemoval(bool prevent) const;

  /// Rewinds and reads the tape's first blocks as the drive returns them,
  /// each at its true length, up to `limit` blocks and tape marks.
  TapeStart ReadStart(int limit) const;

 private:
  std::optional<DrivePosition> Ask(bool space_to_end) const;

  std::string vaklabel_;
  std::string device_;
};

}  // namespace library
