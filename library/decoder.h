// vaklabel-show on a label file vaklabel saved: whether it is a standard
// label set, and its dates, as the decoder reports them.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace library {

struct Decoded {
  bool ran = false;        // the decoder answered with a document
  bool standard = false;   // the identifiers are those of a standard label set
  bool initialised = false;          // VOL1 and a dummy HDR1 before a tape mark
  std::vector<std::string> records;  // the 80 columns of each, put together from its fields
  std::string created;
  std::string expires;
  std::vector<std::string> problems;  // checks that failed, as "field: reason"
  std::string error;
};

/// Reads one decoder document (its --json output for one input).
Decoded FromDecoderJson(const nlohmann::json& document);

/// Runs `decoder --json FILE`.
Decoded Decode(const std::string& decoder, const std::string& file);

}  // namespace library
