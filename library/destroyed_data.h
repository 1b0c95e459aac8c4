// What a write at the start of a tape puts out of reach: everything up to
// the tape's end of data. Said in the drive's own units, so that an
// operator can tell a label set from a backup that is gone.
#pragma once

#include <optional>
#include <string>

#include "tape_tools.h"

namespace library {

/// "2 blocks and no tape mark", from where the drive put the end of data;
/// the words that follow "overwrote". `kept_blocks`: the first blocks are a
/// label set kept in a backup, and only what follows them is counted; ""
/// when nothing does.
std::string DestroyedData(const std::optional<DrivePosition>& end_of_data, long kept_blocks = 0);

}  // namespace library
