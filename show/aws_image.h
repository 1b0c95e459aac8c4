// AWSTAPE images: every block segment and tape mark behind a 6-byte header
// (two little-endian lengths, two flag bytes); the end of the file is the
// end of the recorded data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "label_set.h"

namespace show {

class InputStream;

/// Reads the label blocks at the start of the image at `path`; throws
/// InputError when it cannot be read or is not an AWSTAPE image. An empty
/// image is a blank tape: no records, no tape mark.
LabelSet ReadAwsImage(const std::string& path);
/// The same from an open stream, read front to back.
LabelSet ReadAwsImage(InputStream& in);

/// True when `head`, the first bytes of a file, is a valid first AWSTAPE
/// header: a whole block or a tape mark, no compression, no previous block.
/// The block itself may be cut short; the reader then says where.
bool LooksLikeAwsImage(std::string_view head);

}  // namespace show
