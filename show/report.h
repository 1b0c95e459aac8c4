// What vaklabel-show prints for one input: an aligned table per record and
// the failed checks for people, or one JSON document for scripts.
#pragma once

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
};

void PrintText(const Report& report, std::ostream& out);
void PrintJson(const Report& report, std::ostream& out);

/// The JSON document for an input that could not be read.
void PrintJsonError(const std::string& input, std::optional<InputKind> kind, const std::string& error,
                    std::ostream& out);

}  // namespace show
