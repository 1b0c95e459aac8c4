#include "report.h"

#include <algorithm>
#include <map>

#include "label_layout.h"

namespace library {
namespace {

std::string Cell(const std::string& text) { return text.empty() ? "-" : Visible(text); }

nlohmann::json OrNull(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

nlohmann::json DataSetsJson(const std::optional<std::vector<DataSetFound>>& data_sets) {
  if (!data_sets) return nullptr;
  nlohmann::json list = nlohmann::json::array();
  for (const DataSetFound& set : *data_sets) {
    list.push_back({{"name", OrNull(set.name)},
                    {"file", set.file},
                    {"blocks", set.blocks},
                    {"created", OrNull(set.created)},
                    {"expires", OrNull(set.expires)},
                    {"expiration_field", set.expiration},
                    {"kept_because", OrNull(set.kept_until)}});
  }
  return list;
}

}  // namespace

const char* StateName(TapeState state) {
  switch (state) {
    case TapeState::kUnknown: return "unknown";
    case TapeState::kLabelled: return "labelled";
    case TapeState::kLabelledDifferently: return "labelled-differently";
    case TapeState::kBlank: return "blank";
    case TapeState::kUnreadable: return "unreadable";
    case TapeState::kForeign: return "not-a-label-set";
    case TapeState::kInitialised: return "initialised";
    case TapeState::kCleaning: return "cleaning";
    case TapeState::kEmpty: return "empty";
  }
  return "unknown";
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kRead: return "read";
    case Outcome::kLabelled: return "labelled";
    case Outcome::kUnchanged: return "unchanged";
    case Outcome::kRefused: return "refused";
    case Outcome::kFailed: return "failed";
    case Outcome::kSkipped: return "skipped";
    case Outcome::kNotDone: return "not-done";
  }
  return "not-done";
}

bool EndedAsAsked(const SlotReport& report) {
  switch (report.outcome) {
    case Outcome::kRead:
    case Outcome::kLabelled:
    case Outcome::kUnchanged:
    case Outcome::kSkipped:
      return true;
    default:
      return false;
  }
}

bool FlagDuplicateLabels(std::vector<SlotReport>* reports) {
  std::map<std::string, std::vector<int>> slots;
  for (const SlotReport& r : *reports) {
    if (!r.label.empty()) slots[r.label].push_back(r.slot);
  }
  bool any = false;
  for (SlotReport& r : *reports) {
    if (r.label.empty() || slots[r.label].size() < 2) continue;
    for (int slot : slots[r.label]) {
      if (slot != r.slot) r.same_label.push_back(slot);
    }
    any = true;
  }
  return any;
}

namespace {

std::string ResultWithoutDuplicates(const SlotReport& r) {
  auto with_detail = [&](std::string text) { return r.detail.empty() ? text : text + ": " + r.detail; };
  switch (r.outcome) {
    case Outcome::kRead:
      switch (r.state) {
        case TapeState::kLabelled: return "carries " + r.label;
        case TapeState::kLabelledDifferently: return "carries " + r.label + ", not its barcode";
        case TapeState::kBlank: return "blank";
        case TapeState::kUnreadable: return with_detail("unreadable");
        case TapeState::kForeign: return with_detail("not a label set");
        case TapeState::kInitialised: return "initialised, volume " + r.label_found;
        default: return with_detail("read");
      }
    case Outcome::kLabelled:
      // What the write destroyed is part of what happened.
      return with_detail("labelled " + r.label + (r.backup_file.empty() ? "" : ", backup saved"));
    case Outcome::kUnchanged: return "already labelled " + r.label;
    case Outcome::kRefused: return with_detail("refused");
    case Outcome::kFailed: return with_detail("failed");
    case Outcome::kSkipped: return r.state == TapeState::kCleaning ? "skipped: cleaning cartridge" : "empty slot";
    case Outcome::kNotDone: return with_detail("not done");
  }
  return "";
}

}  // namespace

std::string ResultText(const SlotReport& r) {
  std::string text = r.evidence == "history" ? "labelled " + r.label + ", from history: " + r.detail
                     : r.evidence == "none"  ? r.detail
                                             : ResultWithoutDuplicates(r);
  for (size_t i = 0; i < r.same_label.size(); ++i) {
    text += (i == 0 ? "; the same label as slot " : ", ") + std::to_string(r.same_label[i]);
  }
  return text;
}

std::string Visible(std::string_view text) { return show::Visible(text); }

std::string VisibleLines(std::string_view text) {
  std::string shown;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    shown += Visible(text.substr(start, end - start));
    if (end < text.size()) shown += '\n';
    start = end + 1;
  }
  return shown;
}

nlohmann::json AsUtf8(nlohmann::json document) {
  if (document.is_structured()) {
    for (nlohmann::json& value : document) value = AsUtf8(std::move(value));
  } else if (document.is_string()) {
    document = show::Utf8(document.get_ref<const std::string&>());
  }
  return document;
}

std::string BytesOf(std::string_view utf8) {
  std::string bytes;
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto lead = static_cast<unsigned char>(utf8[i]);
    bool one_byte_code = (lead == 0xC2 || lead == 0xC3) && i + 1 < utf8.size() &&
                         (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80;
    bytes += one_byte_code ? static_cast<char>(((lead & 0x03) << 6) | (utf8[++i] & 0x3F)) : utf8[i];
  }
  return bytes;
}

std::string ProgressLine(const SlotReport& r, size_t done, size_t total) {
  // Built up in steps: GCC 12's optimiser warns (-Wrestrict) about a chain
  // that starts with a literal here.
  std::string line = "[";
  line += std::to_string(done) + "/" + std::to_string(total) + "] slot " + std::to_string(r.slot) + " ";
  line += (r.barcode.empty() ? "(no barcode)" : r.barcode) + ": " + ResultText(r);
  return line;
}

std::string ReportTable(const std::vector<SlotReport>& reports) {
  std::vector<std::vector<std::string>> rows{{"SLOT", "BARCODE", "FOUND", "LABEL", "CREATED", "EXPIRES", "RESULT"}};
  for (const SlotReport& r : reports) {
    std::string state = StateName(r.state);
    std::replace(state.begin(), state.end(), '-', ' ');
    rows.push_back({r.slot == 0 ? "-" : std::to_string(r.slot), Cell(r.barcode), state, Cell(r.label), Cell(r.created),
                    Cell(r.expires), Visible(ResultText(r))});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    table += line + "\n";
  }
  std::map<Outcome, int> counts;
  for (const SlotReport& r : reports) ++counts[r.outcome];
  std::string summary;
  for (const auto& [outcome, count] : counts) {
    summary += (summary.empty() ? "" : ", ") + std::to_string(count) + " " + OutcomeName(outcome);
  }
  table += std::to_string(reports.size()) + " slots: " + summary + "\n";
  for (const SlotReport& r : reports) {
    if (r.location.empty() || r.location == "slot " + std::to_string(r.slot)) continue;
    std::string whose = r.slot != 0         ? "slot " + std::to_string(r.slot) + ": the cartridge"
                        : r.barcode.empty() ? "a cartridge of unknown home"
                                            : r.barcode + " (home unknown)";
    table += Visible(whose + " is in " + r.location) + "\n";
  }
  return table;
}

nlohmann::json ReportJson(const std::string& command, const std::vector<SlotReport>& reports, int exit_status) {
  nlohmann::json slots = nlohmann::json::array();
  nlohmann::json counts = nlohmann::json::object();
  for (const char* name : {"read", "labelled", "unchanged", "refused", "failed", "skipped", "not-done"}) {
    counts[name] = 0;
  }
  for (const SlotReport& r : reports) {
    counts[OutcomeName(r.outcome)] = counts[OutcomeName(r.outcome)].get<int>() + 1;
    slots.push_back({{"slot", r.slot == 0 ? nlohmann::json() : nlohmann::json(r.slot)},
                     {"barcode", OrNull(r.barcode)},
                     {"state", StateName(r.state)},
                     {"label_found", OrNull(r.label_found)},
                     {"wanted", OrNull(r.wanted)},
                     {"label", OrNull(r.label)},
                     {"result", OutcomeName(r.outcome)},
                     {"detail", OrNull(r.detail)},
                     {"created", OrNull(r.created)},
                     {"expires", OrNull(r.expires)},
                     {"warnings", r.warnings},
                     {"label_file", OrNull(r.label_file)},
                     {"backup_file", OrNull(r.backup_file)},
                     {"map_file", OrNull(r.map_file)},
                     {"data_sets", DataSetsJson(r.data_sets)},
                     {"verified", r.verified},
                     {"location", OrNull(r.location)},
                     {"same_label_as", r.same_label},
                     {"evidence", !r.evidence.empty()              ? OrNull(r.evidence == "none" ? "" : r.evidence)
                                  : r.state == TapeState::kUnknown ? nlohmann::json()
                                                                   : nlohmann::json("read")},
                     {"evidence_time", OrNull(r.evidence_time)},
                     {"evidence_file", OrNull(r.evidence_file)}});
  }
  nlohmann::json summary = {{"command", command}, {"slots", reports.size()}, {"exit_status", exit_status}};
  summary.update(counts);
  return {{"slots", slots}, {"summary", summary}};
}

}  // namespace library
