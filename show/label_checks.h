// The checks of a label set: is it a valid IBM standard label set that a
// mainframe accepts, and, apart from that, would vaklabel read a label from
// it and have written it this way.
#pragma once

#include <string>
#include <vector>

#include "label_layout.h"
#include "label_set.h"

namespace show {

/// One failed check. `check` is a stable name for scripts: identifiers,
/// record_length, tape_mark, marker, volume_serial, numeric, code, date,
/// expiration, and vaklabel_form for what vaklabel reads or writes
/// differently, which a valid label set may well show.
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

inline constexpr char kVaklabelForm[] = "vaklabel_form";
inline constexpr char kAsciiLabels[] = "ASCII labels (ANSI/ISO, AL), not EBCDIC standard labels";

/// True when the records stand in the order a label group allows.
bool IdentifiersPass(const std::vector<Finding>& findings);

/// A finding about `record` and its `field`, either of which may be null.
Finding MakeFinding(std::string check, const DecodedRecord* record, const Field* field, std::string reason);

std::vector<Finding> CheckLabelSet(const LabelSet& set, const DecodedSet& decoded);

/// True for a difference from vaklabel's form, false for a failure of the
/// standard.
bool IsVaklabelForm(const Finding& finding);

/// True when no finding counts: a failure of the standard always does, a
/// difference from vaklabel's form only when `vaklabel_form_counts`.
bool Passes(const std::vector<Finding>& findings, bool vaklabel_form_counts);

}  // namespace show
