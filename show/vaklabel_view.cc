#include "vaklabel_view.h"

#include <array>

#include "ebcdic.h"
#include "label_image.h"
#include "label_layout.h"

namespace show {
namespace {

constexpr size_t kReads = 4;
constexpr size_t kSerialColumn = 5;
constexpr size_t kUhl1Label = 3 * kRecordSize + 4;

VaklabelView None(std::string why) {
  VaklabelView view;
  view.why_none = std::move(why);
  return view;
}

std::string Block(size_t n) { return "block " + std::to_string(n + 1); }

}  // namespace

VaklabelView ReadAsVaklabel(const LabelSet& set) {
  // vaklabel starts from its built-in image, still ASCII, and translates the
  // whole image once all four reads are done: a slot a short block or no
  // block filled keeps that image's bytes, translated as if they were EBCDIC.
  std::string image = FromEbcdic(std::string_view(kInitialLabelImage.data(), kInitialLabelImage.size()));
  bool three_blocks = false;
  for (size_t n = 0; n < kReads; ++n) {
    if (n == set.records.size()) {
      if (!set.ends_with_tape_mark)
        return None((n == 0 ? std::string("the tape is blank") : "the recorded data ends after " + Block(n - 1)) +
                    ": its read of " + Block(n) + " fails (Input/output error)");
      if (n + 1 < kReads)
        return None("it needs three label blocks; the tape mark comes after " + std::to_string(n) +
                    (n == 1 ? " block" : " blocks"));
      three_blocks = true;
      break;
    }
    const std::string& block = set.records[n];
    if (set.IsUnread(n) || block.size() > kRecordSize)
      return None(Block(n) +
                  (set.IsUnread(n) ? " is longer than " + std::to_string(kMaxBlockRead) + " bytes"
                                   : " has " + std::to_string(block.size()) + " bytes") +
                  ": its 80-byte read fails (Cannot allocate memory)");
    image.replace(n * kRecordSize, block.size(), block);
  }
  bool marker = image.compare(kSerialColumn - 1, kUhl1Marker.size(), kUhl1Marker) == 0;
  if (marker && three_blocks) return None("VOL1 carries the UHL1 marker but no fourth block follows");
  VaklabelView view;
  view.length = marker ? kLongLabelLength : kShortLabelLength;
  view.in_uhl1 = marker;
  std::string label = image.substr(marker ? kUhl1Label : kSerialColumn - 1, static_cast<size_t>(view.length));
  view.label = label.substr(0, label.find('\0'));
  return view;
}

}  // namespace show
