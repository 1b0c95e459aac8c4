// What vaklabel-show prints for one input: an aligned table per record and
// the failed checks for people, or one JSON document for scripts.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "label_checks.h"
#include "label_layout.h"
#include "label_set.h"

namespace show {

struct Report {
  std::string input;
  const LabelSet* set;
  const DecodedSet* decoded;
  const std::vector<Finding>* findings;
  /// Differences from vaklabel's form fail the input too.
  bool vaklabel_form_counts = false;
  CheckRules rules;
};

void PrintText(const Report& report, std::ostream& out);
void PrintJson(const Report& report, std::ostream& out);

/// The widest field title among `decoded`'s records, to align them.
size_t TitleWidth(const DecodedSet& decoded);
/// One record as a table of its fields, titles padded to `title_width`.
void PrintRecord(const DecodedRecord& record, size_t title_width, std::ostream& out);
nlohmann::ordered_json RecordJson(const DecodedRecord& record);
nlohmann::ordered_json FindingJson(const Finding& finding);

/// The JSON document for an input that could not be read.
void PrintJsonError(const std::string& input, std::optional<InputKind> kind, const std::string& error,
                    std::ostream& out);

}  // namespace show
