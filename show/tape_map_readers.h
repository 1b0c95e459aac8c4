// What the map walks: an image read front to back, every block's length
// summed, or a drive, where a data file is passed over with one spacing
// operation and counted from the logical positions before and after it.
#pragma once

#include <memory>
#include <string>

#include "label_set.h"
#include "tape_map.h"

namespace show {

/// A reader of the tape or image at `path`; throws InputError when it
/// cannot be opened as `kind`, or for a label file, which holds no tape.
std::unique_ptr<TapeReader> OpenTapeReader(const std::string& path, InputKind kind);

}  // namespace show
