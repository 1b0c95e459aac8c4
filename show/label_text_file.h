// Label text files as vaklabel saves them (.lbl, .prelbl): per 80-byte
// record ten rows of eight hex bytes, each followed by a comma, then a
// comment. The bytes are already ASCII.
#pragma once

#include <string>
#include <string_view>

#include "input_stream.h"
#include "label_set.h"

namespace show {

/// Reads the label text file at `path`; throws InputError for a file that
/// cannot be read or is not one: a row that is not eight hex bytes, or rows
/// that do not make whole records.
LabelSet ReadLabelTextFile(const std::string& path);

/// The same from an open stream; reads no more than a label set's rows.
LabelSet ParseLabelText(InputStream& in);

/// True when `head`, the start of a file, begins like a row of hex bytes.
bool LooksLikeLabelText(std::string_view head);

}  // namespace show
