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
inline constexpr char kInitialisedNote[] = "an initialised volume: VOL1 and a dummy HDR1, no data set written yet";
inline constexpr char kVseNote[] = "a z/VSE label set: VOL1 and HDR1 with no HDR2, as z/VSE may write them";
inline constexpr char kEightCharacterNote[] =
    "an eight-character label in UHL1, this project's own convention: a mainframe reads the volume serial *UHL1* "
    "(--mainframe judges by a mainframe's rules alone)";

/// Whose rules judge the set: with `mainframe`, the UHL1 marker is a volume
/// serial like any other, and fails as one.
struct CheckRules {
  bool mainframe = false;
};

/// True when the records stand in the order a label group allows.
bool IdentifiersPass(const std::vector<Finding>& findings);

/// A finding about `record` and its `field`, either of which may be null.
Finding MakeFinding(std::string check, const DecodedRecord* record, const Field* field, std::string reason);

std::vector<Finding> CheckLabelSet(const LabelSet& set, const DecodedSet& decoded, CheckRules rules = {});

/// What the operator should know about a set that passes as it is: the
/// reader's notes, an initialised volume, a z/VSE set, the eight-character form.
std::vector<std::string> Notes(const LabelSet& set, const DecodedSet& decoded, CheckRules rules);

/// True for a difference from vaklabel's form, false for a failure of the
/// standard.
bool IsVaklabelForm(const Finding& finding);

/// True when no finding counts: a failure of the standard always does, a
/// difference from vaklabel's form only when `vaklabel_form_counts`.
bool Passes(const std::vector<Finding>& findings, bool vaklabel_form_counts);

}  // namespace show
