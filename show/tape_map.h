// The map of a whole tape: every tape file from the start to where the
// recorded data ends, the label groups read in full, the data files only
// counted, and the files put together into data sets as IBM standard
// labels lay them out (header group, data file, trailer group). Each data
// set goes to the caller as soon as the walk has passed it, so that a tape
// of any number of files is mapped in the memory of one data set.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "label_layout.h"
#include "label_set.h"

namespace show {

/// What the rest of a file held, past the records a reader looked at.
struct FileRest {
  uint64_t blocks = 0;
  /// Unknown on a drive, which counts blocks without reading them.
  std::optional<uint64_t> bytes;
  /// kTapeMark or kEndOfData: what ended the file.
  TapeEvent end = TapeEvent::kTapeMark;
  /// Why a block could not be read, where that ended the file.
  std::string error;
};

/// Where the map reads from: a drive or an image, record by record or a
/// whole file at a time.
class TapeReader {
 public:
  virtual ~TapeReader() = default;
  /// The next record: a block's first kMaxBlockRead bytes go to `block`
  /// and its length, when known, to `length`. Throws InputError for a
  /// record that cannot be read.
  virtual TapeEvent Read(std::string* block, std::optional<uint64_t>* length) = 0;
  /// Passes over the rest of the current file and past its tape mark.
  virtual FileRest SkipFile() = 0;
};

struct DataFile {
  uint64_t blocks = 0;
  std::optional<uint64_t> bytes;
  /// Unknown when longer than kMaxBlockRead, or for an empty file.
  std::optional<uint64_t> first_block_length;
};

struct TapeFile {
  int number = 0;  // from 1
  /// A label group: its records, or its first ones when it holds more.
  std::optional<LabelSet> labels;
  /// The blocks a data file holds; for a label group, those past its records.
  DataFile data;
  /// Ended by a tape mark, not by the end of the data, a bad block, or
  /// (for a trailer group) the next data set's header labels.
  bool tape_mark = true;
};

enum class WalkEnd { kEndOfData, kTwoTapeMarks, kUnreadable };

/// One data set, or one file that no labels describe. A trailer group and
/// the header group after it share a file where no tape mark parts them.
struct MappedDataSet {
  int number = 0;  // from 1, in the order on tape
  std::optional<TapeFile> header;
  std::optional<TapeFile> data;
  std::optional<TapeFile> trailer;
  DecodedSet header_labels;
  DecodedSet trailer_labels;
  /// Header labels and nothing after them, as vaklabel leaves a tape or as
  /// a volume is initialised: no data set written yet.
  bool label_set_only = false;
  /// Nothing follows it on the tape (as far as the walk got).
  bool last = false;

  bool labelled() const { return header || trailer; }
  /// VOL1 and a dummy HDR1 of zeros: an initialised volume, not a data set.
  bool initialised() const { return header_labels.initialised && !trailer; }
  /// Its trailer is an end-of-volume group: it goes on on the next volume.
  bool continues() const;
  /// The field `key` of the header's (or else the trailer's) first label.
  const Field* Find(std::string_view key) const;
  /// The trailer's block count: EOF1/EOV1 columns 55-60, with the high-order
  /// digits of columns 77-80; none where the columns hold no number.
  std::optional<uint64_t> BlockCount() const;
  /// The file numbers it spans, in tape order, each once.
  std::vector<int> Files() const;
};

/// The walk as far as it has got.
struct TapeMap {
  InputKind kind = InputKind::kImage;
  int files = 0;
  WalkEnd end = WalkEnd::kEndOfData;
  /// kUnreadable: which file and why.
  std::string unreadable;
  /// kUnreadable: the file the walk stopped in.
  int stopped_at = 0;
  /// The tape starts with a volume label.
  bool labelled = false;
  /// The first file as vaklabel-show reads a label set without --map: its
  /// label records, or a data file's first block; empty for a blank tape.
  std::optional<LabelSet> first;
  DecodedSet first_decoded;
  int data_sets = 0;
};

/// Walks the tape through `reader` from its start, giving each data set to
/// `each` as soon as the walk is past it; a bad record ends the walk
/// (kUnreadable) with what was found before it.
TapeMap MapTape(InputKind kind, TapeReader& reader,
                const std::function<void(const TapeMap&, const MappedDataSet&)>& each);

/// The label group kinds a file can start: VOL1 (with the first data set's
/// header labels), HDR1, EOF1 or EOV1, in EBCDIC or ASCII.
enum class GroupKind { kNone, kVolume, kHeader, kEndOfFile, kEndOfVolume };
GroupKind KindOfGroup(const TapeFile& file);

}  // namespace show
