// vaklabel and mt on one drive: the command lines this command runs, and
// what their answers mean for the tape in the drive.
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

/// Where the drive says the tape is, from `mt status`.
struct DrivePosition {
  int file = -1;
  int block = -1;
  bool eod = false;
  bool write_protected = false;
  bool bot = false;
};

std::optional<DrivePosition> ParseMtStatus(std::string_view text);

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

/// After spacing to the end of data: blank only when st says EOD in the
/// first file with no block before it (file 0, block -1, EOD). A tape with
/// data and a tape mark ends in file 1 or later; a rewinding device is back
/// at BOT and proves nothing.
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

/// The programs on one drive.
class TapeTools {
 public:
  TapeTools(std::string vaklabel, std::string mt, std::string device)
      : vaklabel_(std::move(vaklabel)), mt_(std::move(mt)), device_(std::move(device)) {}

  const std::string& device() const { return device_; }

  /// vaklabel -r -p DIR -o FILE -f DEV: the label set is kept in DIR/FILE.
  ReadTrace Read(const std::string& dir, const std::string& file) const;

  /// Writes `label`; with a template its records replace the ones read.
  /// The caller keeps the old set first: vaklabel's own backup is made in
  /// the same run as the write, too late to refuse the tape.
  WriteTrace Write(const std::string& label, const std::string& template_path) const;

  std::vector<std::string> WriteCommand(const std::string& label, const std::string& template_path) const;

  std::optional<DrivePosition> Position() const;
  /// Spaces to the end of data; false when the drive refuses.
  bool SpaceToEndOfData() const;

 private:
  std::string vaklabel_;
  std::string mt_;
  std::string device_;
};

}  // namespace library
