#include "ebcdic.h"

#include "label_image.h"

namespace show {

// vaklabel's own table, the exact inverse of the one it writes with: with
// any other a tape and the label file saved from it would decode to
// different text wherever a byte is not a letter, digit or blank.
std::string FromEbcdic(std::string_view ebcdic) {
  std::string ascii(ebcdic.size(), '\0');
  for (size_t i = 0; i < ebcdic.size(); ++i) {
    ascii[i] = static_cast<char>(EbcdicToAscii[static_cast<unsigned char>(ebcdic[i])]);
  }
  return ascii;
}

}  // namespace show
