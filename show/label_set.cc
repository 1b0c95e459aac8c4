#include "label_set.h"

#include <algorithm>

#include "ebcdic.h"
#include "label_layout.h"

namespace show {

const char* KindName(InputKind kind) {
  switch (kind) {
    case InputKind::kDevice:
      return "device";
    case InputKind::kImage:
      return "image";
    case InputKind::kLabelFile:
      return "label-file";
  }
  return "?";
}

LabelSet CollectLabelBlocks(InputKind kind, const std::function<TapeEvent(std::string*)>& next) {
  LabelSet set;
  set.kind = kind;
  std::string block;
  for (;;) {
    TapeEvent event = next(&block);
    if (event == TapeEvent::kTapeMark) break;
    if (event == TapeEvent::kEndOfData) {
      set.ends_with_tape_mark = false;
      break;
    }
    if (set.records.size() == kMaxLabelRecords) {
      set.more_records = true;
      break;
    }
    if (event == TapeEvent::kLongBlock) set.unread_blocks.push_back(set.records.size());
    set.records.push_back(FromEbcdic(block));
  }
  return set;
}

InputError::InputError(const std::string& message) : std::runtime_error(Visible(message)), message_(message) {}

bool LabelSet::IsUnread(size_t record) const {
  return std::find(unread_blocks.begin(), unread_blocks.end(), record) != unread_blocks.end();
}

}  // namespace show
