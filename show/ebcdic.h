// EBCDIC to ASCII, the translation vaklabel applies to a label set it reads,
// so that a tape and the label text file saved from it decode alike.
#pragma once

#include <string>
#include <string_view>

namespace show {

std::string FromEbcdic(std::string_view ebcdic);
/// The bytes that were on the tape, from their translation: the table is
/// a one-to-one map.
std::string ToEbcdic(std::string_view ascii);

}  // namespace show
