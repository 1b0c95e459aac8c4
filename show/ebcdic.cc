#include "ebcdic.h"

#include "label_image.h"

namespace show {

namespace {

std::string Translate(const unsigned char (&table)[256], std::string_view text) {
  std::string translated(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i)
    translated[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
  return translated;
}

}  // namespace

// vaklabel's own table, the exact inverse of the one it writes with: with
// any other a tape and the label file saved from it would decode to
// different text wherever a byte is not a letter, digit or blank.
std::string FromEbcdic(std::string_view ebcdic) { return Translate(EbcdicToAscii, ebcdic); }

std::string ToEbcdic(std::string_view ascii) { return Translate(AsciiToEbcdic, ascii); }

}  // namespace show
