#include "history.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

namespace library {
namespace {

constexpr long kSecondsPerDay = 24 * 60 * 60;

std::string TimeText(std::time_t time, const char* format, bool utc) {
  std::tm parts{};
  if (utc) {
    gmtime_r(&time, &parts);
  } else {
    localtime_r(&time, &parts);
  }
  char text[64];
  return std::strftime(text, sizeof text, format, &parts) ? text : "";
}

// What a later inventory may take instead of a mount: a label set on the
// tape that this run read or wrote back and that passed every check.
bool Proven(const SlotReport& report) {
  bool carries_set = report.state == TapeState::kLabelled || report.state == TapeState::kLabelledDifferently ||
                     report.state == TapeState::kInitialised || report.outcome == Outcome::kLabelled;
  bool checked = report.outcome == Outcome::kLabelled
                     ? report.verified
                     : report.outcome == Outcome::kRead || report.outcome == Outcome::kUnchanged;
  return carries_set && checked && report.warnings.empty() && !report.label.empty() && !report.label_file.empty();
}

// What the tape holds when the run is done with it.
TapeState StateAtEnd(const SlotReport& report) {
  bool carries_wanted = report.outcome == Outcome::kLabelled || report.outcome == Outcome::kUnchanged;
  return carries_wanted ? TapeState::kLabelled : report.state;
}

bool Recorded(const SlotReport& report) {
  if (report.evidence == "history" || report.barcode.empty()) return false;
  return report.outcome != Outcome::kSkipped && report.outcome != Outcome::kNotDone;
}

nlohmann::json RecordJson(const HistoryRecord& record) {
  return {{"time", record.time},       {"library", record.library},   {"slot", record.slot},
          {"barcode", record.barcode}, {"result", record.result},     {"state", record.state},
          {"label", record.label},     {"verified", record.verified}, {"file", record.file},
          {"created", record.created}, {"expires", record.expires}};
}

std::optional<HistoryRecord> RecordOf(const std::string& line) {
  nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  try {
    HistoryRecord record;
    record.time = json.at("time").get<std::time_t>();
    record.library = BytesOf(json.value("library", ""));
    record.slot = json.at("slot").get<int>();
    record.barcode = BytesOf(json.at("barcode").get<std::string>());
    record.result = json.at("result").get<std::string>();
    record.state = json.at("state").get<std::string>();
    record.label = BytesOf(json.at("label").get<std::string>());
    record.verified = json.at("verified").get<bool>();
    record.file = BytesOf(json.at("file").get<std::string>());
    record.created = BytesOf(json.value("created", ""));
    record.expires = BytesOf(json.value("expires", ""));
    return record;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

TapeState StateNamed(const std::string& name) {
  for (TapeState state : {TapeState::kLabelled, TapeState::kLabelledDifferently, TapeState::kInitialised}) {
    if (name == StateName(state)) return state;
  }
  return TapeState::kUnknown;
}

// Whole seconds, as the records keep time.
std::time_t ModifiedAt(const std::string& path) {
  std::error_code error;
  auto when = std::filesystem::last_write_time(path, error);
  if (error) return 0;
  auto system = std::chrono::file_clock::to_sys(when);
  return std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::system_clock::duration>(system));
}

}  // namespace

bool AppendHistory(const std::string& dir, const std::string& library, const std::vector<SlotReport>& reports,
                   std::time_t now, std::string* error) {
  std::string lines;
  for (const SlotReport& report : reports) {
    if (!Recorded(report)) continue;
    HistoryRecord record{now,
                         library,
                         report.slot,
                         report.barcode,
                         OutcomeName(report.outcome),
                         StateName(StateAtEnd(report)),
                         report.label,
                         Proven(report),
                         report.label_file,
                         report.created,
                         report.expires};
    lines += AsUtf8(RecordJson(record)).dump() + "\n";
  }
  if (lines.empty()) return true;
  std::string path = dir + "/" + kHistoryFile;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  bool written =
      fd >= 0 && write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size()) && fsync(fd) == 0;
  int saved_errno = errno;
  if (fd >= 0 && close(fd) != 0 && written) {
    written = false;
    saved_errno = errno;
  }
  if (!written) *error = "the history " + path + " cannot be kept: " + std::strerror(saved_errno);
  return written;
}

std::vector<HistoryRecord> LoadHistory(const std::string& dir) {
  std::vector<HistoryRecord> records;
  std::ifstream in(dir + "/" + kHistoryFile);
  for (std::string line; std::getline(in, line);) {
    if (std::optional<HistoryRecord> record = RecordOf(line)) records.push_back(*record);
  }
  return records;
}

History::History(std::vector<HistoryRecord> records, std::vector<SavedLabel> saved, const ChangerStatus& status,
                 HistoryRules rules)
    : records_(std::move(records)), saved_(std::move(saved)), rules_(std::move(rules)) {
  for (const SlotStatus& slot : status.slots) {
    if (slot.full && !slot.barcode.empty()) barcodes_.push_back(slot.barcode);
  }
  for (const SlotStatus& slot : status.mail_slots) {
    if (slot.full && !slot.barcode.empty()) barcodes_.push_back(slot.barcode);
  }
  for (const DriveStatus& drive : status.drives) {
    // A cartridge in a drive counts in its home slot, when mtx knows it.
    if (drive.full && !drive.barcode.empty() && !drive.source_slot) barcodes_.push_back(drive.barcode);
  }
}

HistoryVerdict History::Judge(const PlanEntry& entry) const {
  auto no = [](const std::string& why) { return HistoryVerdict{std::nullopt, why}; };
  if (entry.barcode.empty()) return no("the changer read no barcode");
  if (entry.in_drive) return no("the cartridge is in drive " + std::to_string(*entry.in_drive));
  if (std::count(barcodes_.begin(), barcodes_.end(), entry.barcode) > 1)
    return no("barcode " + entry.barcode + " is in more than one place");
  auto last = std::find_if(records_.rbegin(), records_.rend(),
                           [&](const HistoryRecord& record) { return record.barcode == entry.barcode; });
  if (last == records_.rend()) return no("no record");
  const HistoryRecord& record = *last;
  if (record.slot != entry.slot) return no("last recorded in slot " + std::to_string(record.slot));
  if (record.library.empty() || rules_.library.empty()) return no("the record is from an unknown library");
  if (record.library != rules_.library) return no("the record is from another library (" + record.library + ")");
  if (record.result == "refused" || record.result == "failed") return no("the last run " + record.result + " it");
  if (!record.verified || StateNamed(record.state) == TapeState::kUnknown)
    return no("the last record proves no label set");
  if (rules_.max_age_days && rules_.now - record.time > *rules_.max_age_days * kSecondsPerDay)
    return no("the record is older than " + std::to_string(*rules_.max_age_days) + " days");
  auto kept = std::find_if(saved_.begin(), saved_.end(), [&](const SavedLabel& saved) {
    return saved.slot == entry.slot && saved.cartridge == CartridgeName(entry.slot, entry.barcode);
  });
  if (kept == saved_.end()) return no("the labels directory holds no label set of it");
  if (kept->label != record.label || ModifiedAt(kept->file) > record.time)
    return no("the labels directory disagrees with the record (" + kept->file + ")");
  return {record, ""};
}

SlotReport HistoryReport(const PlanEntry& entry, const HistoryRecord& record) {
  SlotReport report;
  report.slot = entry.slot;
  report.barcode = entry.barcode;
  report.state = StateNamed(record.state);
  report.label_found = record.label;
  report.label = record.label;
  report.outcome = Outcome::kRead;
  report.created = record.created;
  report.expires = record.expires;
  report.label_file = record.file;
  report.verified = true;
  report.location = "slot " + std::to_string(entry.slot);
  report.evidence = "history";
  report.evidence_time = TimeText(record.time, "%Y-%m-%dT%H:%M:%SZ", true);
  report.evidence_file = record.file;
  report.detail = "verified " + TimeText(record.time, "%Y-%m-%d %H:%M", false) + " by this library's run";
  return report;
}

SlotReport UnknownReport(const PlanEntry& entry, const std::string& why_not) {
  SlotReport report;
  report.slot = entry.slot;
  report.barcode = entry.barcode;
  report.outcome = Outcome::kNotDone;
  report.location = entry.in_drive ? "drive " + std::to_string(*entry.in_drive) : "slot " + std::to_string(entry.slot);
  report.evidence = "none";
  report.detail = "unknown: no history (" + why_not + ")";
  return report;
}

std::string AuditFinding(const HistoryRecord& record, const SlotReport& read) {
  // A move or a drive that failed says nothing of the tape; its row says so.
  if (read.outcome != Outcome::kRead) return "";
  std::string was = "history says " + record.state + " " + record.label + " (" + record.file + ")";
  if (read.label != record.label || StateName(read.state) != record.state)
    return was + ", the tape " +
           (read.label.empty() ? std::string("is ") + StateName(read.state)
                               : "carries " + read.label + " (" + StateName(read.state) + ")");
  if (read.created != record.created || read.expires != record.expires)
    return was + ", the tape's set was created " + read.created + " and expires " + read.expires;
  return "";
}

}  // namespace library

namespace library {

HistoryAnswers AnswerFromHistory(std::vector<PlanEntry>* plan, const History& history, bool no_mount, size_t audit) {
  HistoryAnswers answers;
  std::vector<std::pair<PlanEntry, HistoryRecord>> answerable;
  std::vector<PlanEntry> rest;
  for (const PlanEntry& entry : *plan) {
    if (entry.disposition != Disposition::kVisit) {
      rest.push_back(entry);
      continue;
    }
    HistoryVerdict verdict = history.Judge(entry);
    if (verdict.record) {
      answerable.emplace_back(entry, *verdict.record);
    } else if (no_mount) {
      answers.reports.push_back(UnknownReport(entry, verdict.why_not));
    } else {
      answers.notices.push_back("slot " + std::to_string(entry.slot) + " " + entry.barcode +
                                ": mounted, no usable history: " + verdict.why_not);
      rest.push_back(entry);
    }
  }
  std::shuffle(answerable.begin(), answerable.end(), std::mt19937(std::random_device()()));
  for (size_t i = 0; i < answerable.size(); ++i) {
    const auto& [entry, record] = answerable[i];
    if (i < audit) {
      answers.audited.push_back(answerable[i]);
      rest.push_back(entry);
    } else {
      answers.reports.push_back(HistoryReport(entry, record));
    }
  }
  std::sort(rest.begin(), rest.end(), [](const PlanEntry& a, const PlanEntry& b) { return a.slot < b.slot; });
  *plan = rest;
  return answers;
}

std::vector<std::string> AuditFindings(const HistoryAnswers& answers, const std::vector<SlotReport>& reports) {
  std::vector<std::string> findings;
  for (const auto& [entry, record] : answers.audited) {
    int slot = entry.slot;  // clang 14 cannot capture a structured binding
    auto read = std::find_if(reports.begin(), reports.end(), [slot](const SlotReport& r) { return r.slot == slot; });
    std::string finding = read == reports.end() ? "" : AuditFinding(record, *read);
    if (!finding.empty())
      findings.push_back("slot " + std::to_string(entry.slot) + " " + entry.barcode + ": " + finding);
  }
  return findings;
}

}  // namespace library
