// Reading the label set off a drive through the Linux tape driver, as
// vaklabel does: open read-only, rewind, variable block mode, one read per
// block, close. Nothing is ever written to the tape.
#pragma once

#include <string>

#include "label_set.h"

namespace show {

/// Throws InputError naming the step that failed (open, rewind, block
/// size, a read) with the system's reason.
LabelSet ReadTapeDevice(const std::string& path);

}  // namespace show
