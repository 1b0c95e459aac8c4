// AWSTAPE images: every block segment and tape mark behind a 6-byte header
// (two little-endian lengths, two flag bytes); the end of the file is the
// end of the recorded data.
#pragma once

#include <cstdint>
#include <functional>
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

/// Reads tape records one at a time: a block's first kMaxBlockRead bytes
/// (kLongBlock for a longer one) and its whole length in bytes.
using RecordReader = std::function<TapeEvent(std::string* block, uint64_t* length)>;

/// The records of the image on `in`, which must outlive the reader; it
/// throws InputError where the image is damaged or ends inside a record.
RecordReader ReadAwsRecords(InputStream& in);

/// True when `head`, the first bytes of a file, is a valid first AWSTAPE
/// header: a whole block or a tape mark, no compression, no previous block.
/// The block itself may be cut short; the reader then says where.
bool LooksLikeAwsImage(std::string_view head);

}  // namespace show
