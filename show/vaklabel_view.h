// The label vaklabel itself would print from a tape: it reads four blocks
// into an 80-byte slot each, and what fails there fails for it.
#pragma once

#include <optional>
#include <string>

#include "label_set.h"

namespace show {

struct VaklabelView {
  /// What vaklabel prints: six or eight characters, up to a NUL among them.
  std::optional<std::string> label;
  /// 6 in VOL1, or 8 in UHL1 under the marker.
  int length = 0;
  bool in_uhl1 = false;
  /// Why it reads none, when it reads none.
  std::string why_none;
};

/// Reads `set` as vaklabel reads the tape it came from (a label file as the
/// tape it was saved from).
VaklabelView ReadAsVaklabel(const LabelSet& set);

}  // namespace show
