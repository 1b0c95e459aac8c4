// Feeds arbitrary bytes to vaklabel-show's readers: after the first byte,
// as an AWSTAPE image when that byte is even, as a label text file when it
// is odd. Properties: no crash or sanitizer report; what it prints for
// people, and any reason it refuses the input, is printable ASCII and line
// ends only, whatever the input held; the JSON document parses.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "aws_image.h"
#include "input_stream.h"
#include "label_checks.h"
#include "label_layout.h"
#include "label_set.h"
#include "label_text_file.h"
#include "report.h"

namespace {

void RequirePrintable(const std::string& text) {
  for (char c : text)
    if (c != '\n' && (c < 0x20 || c > 0x7E)) abort();
}

show::LabelSet Read(const uint8_t* data, size_t size) {
  show::InputStream in = show::InputStream::FromBytes(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  return data[0] % 2 == 0 ? show::ReadAwsImage(in) : show::ParseLabelText(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  show::LabelSet set;
  try {
    set = Read(data, size);
  } catch (const show::InputError& error) {
    RequirePrintable(error.what());
    return 0;
  }
  show::DecodedSet decoded = show::Decode(set);
  show::CheckRules rules{data[0] % 8 < 4};
  std::vector<show::Finding> findings = show::CheckLabelSet(set, decoded, rules);
  show::Report report{"input", &set, &decoded, &findings, data[0] % 4 < 2, rules};
  std::ostringstream text;
  show::PrintText(report, text);
  RequirePrintable(text.str());
  std::ostringstream json;
  show::PrintJson(report, json);
  if (!nlohmann::json::accept(json.str())) abort();
  return 0;
}
