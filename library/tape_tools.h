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
};

ReadTrace ParseReadTrace(const ProcessResult& run);

/// Where the drive says the tape is, from `mt status`.
struct DrivePosition {
  int file = -1;
  int block = -1;
  bool eod = false;
  bool write_protected = false;
};

std::optional<DrivePosition> ParseMtStatus(std::string_view text);

/// What the read found on the tape.
enum class Finding {
  kLabelSet,     // vaklabel read a label; the decoder decides whether it is a standard set
  kForeign,      // data, but no label set: large blocks, tape marks too early, a broken set
  kUnreadable,   // the tape failed to read
  kMaybeBlank,   // the first read found nothing; blank only if the end of data is at the start
  kDriveFault,   // the drive failed before the tape was read
};

/// Judges a read run on its own. `*detail` says why, for the report.
Finding JudgeRead(const ReadTrace& trace, std::string* detail);

/// After the first block failed, the tape is still at its start: st has lost
/// the position there (file 0, block -1), or reports block 0. Anything
/// further on means the drive passed data.
bool StillAtStart(const DrivePosition& after_read);

/// After spacing to the end of data: blank only when it lies in the first
/// file with no block before it. st reports a blank tape's end of data as
/// file 0, block -1, EOD (it counts no blocks while spacing over tape
/// marks); a tape with data and a tape mark ends in file 1 or later.
bool EndOfDataAtStart(const DrivePosition& at_end);

/// The programs on one drive.
class TapeTools {
 public:
  TapeTools(std::string vaklabel, std::string mt, std::string device)
      : vaklabel_(std::move(vaklabel)), mt_(std::move(mt)), device_(std::move(device)) {}

  const std::string& device() const { return device_; }

  /// vaklabel -r -p DIR -o FILE -f DEV: the label set is kept in DIR/FILE.
  ReadTrace Read(const std::string& dir, const std::string& file) const;

  /// Writes `label`: with `backup_dir` the old set is saved there first
  /// (vaklabel names the file NEW_OLD.prelbl); with a template its records
  /// replace the ones read.
  ProcessResult Write(const std::string& label, const std::string& backup_dir, const std::string& template_path) const;

  std::vector<std::string> WriteCommand(const std::string& label, const std::string& backup_dir,
                                        const std::string& template_path) const;

  std::optional<DrivePosition> Position() const;
  /// Spaces to the end of data; false when the drive refuses.
  bool SpaceToEndOfData() const;

 private:
  std::string vaklabel_;
  std::string mt_;
  std::string device_;
};

}  // namespace library
