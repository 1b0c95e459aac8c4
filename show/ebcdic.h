// EBCDIC to ASCII, the translation vaklabel applies to a label set it reads,
// so that a tape and the label text file saved from it decode alike.
#pragma once

#include <string>
#include <string_view>

namespace show {

std::string FromEbcdic(std::string_view ebcdic);

}  // namespace show
