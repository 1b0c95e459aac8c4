// What earlier runs proved about each cartridge, kept as one record per
// visit in the labels directory, and whether a record may stand in for a
// mount: an inventory from history answers only what the records prove.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "changer.h"
#include "label_registry.h"
#include "plan.h"
#include "report.h"

namespace library {

/// The file in the labels directory that holds the records, one JSON
/// object a line, oldest first.
inline constexpr char kHistoryFile[] = "history.jsonl";

struct HistoryRecord {
  std::time_t time = 0;  // when the run that proved it ended
  std::string library;   // the changer's unit serial number; "": unknown
  int slot = 0;
  std::string barcode;
  std::string result;  // OutcomeName of the visit
  std::string state;   // StateName of what the tape held
  std::string label;
  bool verified = false;  // a label set read or written back that passed every check
  std::string file;       // the label set the run kept
  std::string created, expires;
};

/// Appends a record for each cartridge of `reports` this run read, wrote,
/// refused or failed (rows answered from history prove nothing new).
bool AppendHistory(const std::string& dir, const std::string& library, const std::vector<SlotReport>& reports,
                   std::time_t now, std::string* error);

/// Every record in `dir`, oldest first; lines that are no record are left out.
std::vector<HistoryRecord> LoadHistory(const std::string& dir);

struct HistoryRules {
  std::string library;  // this changer's unit serial number
  std::time_t now = 0;
  std::optional<long> max_age_days;
};

/// The record that may answer for the cartridge of `entry`, or why none
/// may: the rule the manual gives, checked in its order.
struct HistoryVerdict {
  std::optional<HistoryRecord> record;
  std::string why_not;
};

class History {
 public:
  History(std::vector<HistoryRecord> records, std::vector<SavedLabel> saved, const ChangerStatus& status,
          HistoryRules rules);
  HistoryVerdict Judge(const PlanEntry& entry) const;

 private:
  std::vector<HistoryRecord> records_;
  std::vector<SavedLabel> saved_;
  std::vector<std::string> barcodes_;  // every barcode the changer shows, once per place
  HistoryRules rules_;
};

/// The row of a cartridge answered by `record`, moving nothing.
SlotReport HistoryReport(const PlanEntry& entry, const HistoryRecord& record);
/// The row of a cartridge neither mounted nor answered.
SlotReport UnknownReport(const PlanEntry& entry, const std::string& why_not);

/// What an audit's read of the tape says that the record does not; "" when
/// they agree. Nothing to say of a cartridge the run did not read.
std::string AuditFinding(const HistoryRecord& record, const SlotReport& read);

}  // namespace library

namespace library {

/// What history answers of a plan, and which cartridges it answers are to
/// be mounted all the same.
struct HistoryAnswers {
  std::vector<SlotReport> reports;  // answered, or unknown with no mount
  std::vector<std::pair<PlanEntry, HistoryRecord>> audited;
  std::vector<std::string> notices;  // why each mounted cartridge is
};

/// Takes out of `plan` each cartridge `history` answers but `audit` of them
/// (chosen at random; kAuditAll-like counts take all) and, with `no_mount`,
/// each one it cannot answer.
HistoryAnswers AnswerFromHistory(std::vector<PlanEntry>* plan, const History& history, bool no_mount, size_t audit);

/// One finding per audited cartridge whose tape differs from its record.
std::vector<std::string> AuditFindings(const HistoryAnswers& answers, const std::vector<SlotReport>& reports);

}  // namespace library
