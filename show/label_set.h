// What one input holds: the label records found before the first tape mark,
// in ASCII, and how the reading ended. Every reader (tape device, AWSTAPE
// image, label text file) produces one, so the decoding and the checks never
// know where a label set came from.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace show {

enum class InputKind { kDevice, kImage, kLabelFile };

/// The kind's name in messages and in the JSON output.
const char* KindName(InputKind kind);

/// A label group holds at most VOL1, HDR1-HDR9 and UHL1-UHL8.
inline constexpr size_t kMaxLabelRecords = 18;
inline constexpr size_t kLabelRecordSize = 80;
/// The most of one block a reader takes in: a drive is read with a buffer
/// of this size, and a longer block in an image is passed over the same way,
/// so that an image and a drive holding the same tape show the same.
inline constexpr size_t kMaxBlockRead = 65536;

struct LabelSet {
  InputKind kind = InputKind::kLabelFile;
  /// One entry per block, or per 80-byte record of a label file, in ASCII;
  /// empty for a block longer than kMaxBlockRead.
  std::vector<std::string> records;
  /// Which records (from 0) are blocks longer than kMaxBlockRead, not read.
  std::vector<size_t> unread_blocks;
  /// False when the end of the recorded data came before any tape mark.
  bool ends_with_tape_mark = true;
  /// True when a block followed the eighteenth record: more than a label group holds.
  bool more_records = false;
  /// What the reader left out, and why, for the operator.
  std::vector<std::string> notes;

  bool IsUnread(size_t record) const;
};

/// An input that cannot be read. The message says why; the caller names the
/// input. what() has the message's bytes outside printable ASCII escaped, for
/// a terminal; message() keeps them, for JSON, which escapes them itself.
class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message);
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

/// What reading one record off a tape found.
enum class TapeEvent { kBlock, kLongBlock, kTapeMark, kEndOfData };

/// Reads label blocks through `next` (which fills its argument for kBlock;
/// kLongBlock is a block longer than kMaxBlockRead) up to the first tape
/// mark, translating each from EBCDIC; stops after one block more than a
/// label group can hold.
LabelSet CollectLabelBlocks(InputKind kind, const std::function<TapeEvent(std::string*)>& next);

}  // namespace show
