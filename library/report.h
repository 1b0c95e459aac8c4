// What became of each slot: the progress line as a tape finishes, the table
// for people and the JSON document for scripts.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tape_contents.h"

namespace library {

enum class TapeState {
  kUnknown,   // not read
  kLabelled,  // carries its barcode's label (or the one meant for it)
  kLabelledDifferently,
  kBlank,
  kUnreadable,
  kForeign,      // data, but not a standard label set
  kInitialised,  // VOL1, a dummy HDR1 and a tape mark: ready for its first data set
  kCleaning,
  kEmpty,
};

enum class Outcome {
  kRead,       // inventory: read and put back
  kLabelled,   // written and verified
  kUnchanged,  // already carried the label meant for it
  kRefused,
  kFailed,
  kSkipped,    // empty slot or cleaning cartridge
  kNotDone,    // interrupted, or no drive left
};

struct SlotReport {
  int slot = 0;
  std::string barcode;
  TapeState state = TapeState::kUnknown;  // what the first read found
  std::string label_found;
  std::string wanted;   // label runs: the label meant for it
  std::string label;    // the label on the tape at the end, when known
  Outcome outcome = Outcome::kNotDone;
  std::string detail;
  std::string created;  // of the label set on the tape at the end
  std::string expires;
  std::vector<std::string> warnings;  // the decoder's failed checks
  std::string label_file;
  std::string backup_file;
  std::string map_file;                                // the map of the tape kept before a write over data
  std::optional<std::vector<DataSetFound>> data_sets;  // what that map found; nothing when none was made
  bool verified = false;
  std::string location;  // where the cartridge is now: "slot 12", "drive 1"
  std::vector<int> same_label;  // the other slots whose cartridges carry `label`
  /// Where the row's word on the tape comes from: "" a read in this run (or
  /// none), "history" an earlier run's record, "none" neither.
  std::string evidence;
  std::string evidence_time;  // of the record, UTC, ISO 8601
  std::string evidence_file;
};

const char* StateName(TapeState state);
const char* OutcomeName(Outcome outcome);

/// "[12/100] slot 12 ABC012L8: labelled ABC012L8, backup saved"
std::string ProgressLine(const SlotReport& report, size_t done, size_t total);

/// The result column: what happened, in a few words.
std::string ResultText(const SlotReport& report);

/// Aligned table, one row per slot in the order given, with a closing count.
std::string ReportTable(const std::vector<SlotReport>& reports);

/// {"slots": [one object per slot], "summary": {...}}.
nlohmann::json ReportJson(const std::string& command, const std::vector<SlotReport>& reports, int exit_status);

/// Fills in `same_label` of every report whose label another one carries
/// too; true when there is any.
bool FlagDuplicateLabels(std::vector<SlotReport>* reports);

/// True when the slot ended as the run asked.
bool EndedAsAsked(const SlotReport& report);

/// Bytes from tapes, changers and files, shown as vaklabel-show shows label
/// bytes: every byte outside printable ASCII as \xHH, a line feed too, so
/// that no label can add a line (a row, a notice) of its own. Every line
/// the command prints goes through it.
std::string Visible(std::string_view text);

/// Visible for text this command laid out over several lines: each line
/// escaped on its own.
std::string VisibleLines(std::string_view text);

/// For JSON: every string of `document` taken as bytes, each byte the
/// character with that code, so that any byte survives in valid UTF-8.
nlohmann::json AsUtf8(nlohmann::json document);

/// The bytes a string of vaklabel-show's JSON stands for: the inverse of
/// what AsUtf8 does to one string.
std::string BytesOf(std::string_view utf8);

}  // namespace library
