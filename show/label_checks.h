// The checks of a label set: will a mainframe accept it, will vaklabel
// read it, and would vaklabel have written it this way.
#pragma once

#include <string>
#include <vector>

#include "label_layout.h"
#include "label_set.h"

namespace show {

/// One failed check. `check` is a stable name for scripts: identifiers,
/// record_length, tape_mark, marker, volume_serial, numeric, date,
/// expiration, vaklabel_form.
struct Finding {
  std::string check;
  int record = 0;          // 0: the label set as a whole
  std::string identifier;  // of that record
  std::string field;        // its key; empty for a finding about a whole record or set
  std::string field_title;
  int first = 0;            // the field's columns
  int last = 0;
  std::string reason;
};

std::vector<Finding> CheckLabelSet(const LabelSet& set, const DecodedSet& decoded);

}  // namespace show
