#include "report.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace show {
namespace {

using Json = nlohmann::ordered_json;

std::string TrimRight(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string ColumnRange(int first, int last) {
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

// Names a label only where the records are a label group: what vaklabel
// takes from a data block or a foreign label is no label.
std::string LabelLine(const Report& report) {
  std::string line = Visible(report.input) + " (" + KindName(report.set->kind) + "): ";
  const VaklabelView& vaklabel = report.decoded->vaklabel;
  if (report.decoded->ascii) return line + kAsciiLabels;
  if (!IdentifiersPass(*report.findings)) return line + "no standard label set";
  if (!vaklabel.label) return line + "no label vaklabel can read";
  return line + "label " + Visible(TrimRight(*vaklabel.label)) +
         (vaklabel.in_uhl1 ? " (eight characters, in UHL1)" : " (six characters, in VOL1)");
}

std::string Where(const Finding& finding) {
  if (finding.record == 0) return "label set";
  std::string where = "record " + std::to_string(finding.record) + " (" + Visible(finding.identifier) + ")";
  if (finding.field.empty()) return where;
  return Visible(finding.identifier) + " " + ColumnRange(finding.first, finding.last) + " " + finding.field_title;
}

}  // namespace

size_t TitleWidth(const DecodedSet& decoded) {
  size_t width = 0;
  for (const DecodedRecord& record : decoded.records)
    for (const Field& field : record.fields) width = std::max(width, field.title.size());
  return width;
}

void PrintRecord(const DecodedRecord& record, size_t title_width, std::ostream& out) {
  constexpr size_t kColumnsWidth = 7;
  out << Visible(record.identifier) << "  " << record.title;
  if (record.unread)
    out << " (more than " << kMaxBlockRead << " bytes)";
  else if (record.length != kLabelRecordSize)
    out << " (" << record.length << " bytes)";
  out << '\n';
  for (const Field& field : record.fields) {
    std::string line = "  " + ColumnRange(field.first, field.last);
    line.resize(2 + kColumnsWidth, ' ');
    line += field.title;
    line.resize(2 + kColumnsWidth + title_width + 2, ' ');
    std::string value = Visible(field.meaning.empty() ? TrimRight(field.value) : field.value);
    line += value;
    if (!field.meaning.empty()) {
      line.resize(line.size() - value.size() + std::max<size_t>(value.size(), field.last - field.first + 1) + 2, ' ');
      line += field.meaning;
    }
    out << TrimRight(line) << '\n';
  }
}

namespace {

Json Columns(int first, int last) { return Json::array({first, last}); }

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

}  // namespace

Json RecordJson(const DecodedRecord& record) {
  Json fields = Json::object();
  for (const Field& field : record.fields)
    fields[field.key] = {{"columns", Columns(field.first, field.last)},
                         {"title", field.title},
                         {"value", Utf8(field.value)},
                         {"meaning", TextOrNull(field.meaning)},
                         {"date", TextOrNull(field.date)},
                         {"date_code", TextOrNull(field.date_code)},
                         {"number", field.number ? Json(*field.number) : Json(nullptr)}};
  return {{"number", record.number},
          {"identifier", Utf8(record.identifier)},
          {"title", record.title},
          {"length", record.unread ? Json(nullptr) : Json(record.length)},
          {"fields", std::move(fields)}};
}

Json FindingJson(const Finding& finding) {
  Json json = {{"check", finding.check}, {"record", nullptr}, {"identifier", nullptr},
               {"field", nullptr},       {"columns", nullptr}, {"reason", Utf8(finding.reason)}};
  if (finding.record != 0) {
    json["record"] = finding.record;
    json["identifier"] = Utf8(finding.identifier);
  }
  if (!finding.field.empty()) {
    json["field"] = finding.field;
    json["columns"] = Columns(finding.first, finding.last);
  }
  return json;
}

namespace {

void Emit(const Json& json, std::ostream& out) { out << json.dump() << '\n'; }

std::vector<Finding> Select(const std::vector<Finding>& findings, bool vaklabel_form) {
  std::vector<Finding> selected;
  for (const Finding& finding : findings)
    if (IsVaklabelForm(finding) == vaklabel_form) selected.push_back(finding);
  return selected;
}

void PrintFindings(const std::vector<Finding>& findings, std::ostream& out) {
  for (const Finding& finding : findings)
    out << "  " << finding.check << ": " << Where(finding) << ": " << Visible(finding.reason) << '\n';
}

}  // namespace

void PrintText(const Report& report, std::ostream& out) {
  out << LabelLine(report) << '\n';
  for (const std::string& note : Notes(*report.set, *report.decoded, report.rules)) out << "note: " << note << '\n';
  size_t title_width = TitleWidth(*report.decoded);
  for (const DecodedRecord& record : report.decoded->records) PrintRecord(record, title_width, out);
  std::vector<Finding> failures = Select(*report.findings, false);
  std::vector<Finding> differences = Select(*report.findings, true);
  if (failures.empty())
    out << "checks: all passed\n";
  else
    out << "checks: " << failures.size() << " failed\n";
  PrintFindings(failures, out);
  if (differences.empty()) return;
  out << "as vaklabel writes it: " << differences.size() << (differences.size() == 1 ? " difference" : " differences")
      << (report.vaklabel_form_counts ? ", counted as failed\n" : "\n");
  PrintFindings(differences, out);
}

void PrintJson(const Report& report, std::ostream& out) {
  const DecodedSet& decoded = *report.decoded;
  Json json = {{"input", Utf8(report.input)}, {"kind", KindName(report.set->kind)}};
  const VaklabelView& vaklabel = decoded.vaklabel;
  json["label"] = vaklabel.label ? Json(Utf8(*vaklabel.label)) : Json(nullptr);
  json["label_length"] = vaklabel.label ? Json(vaklabel.length) : Json(nullptr);
  json["passed"] = Passes(*report.findings, report.vaklabel_form_counts);
  json["initialised"] = decoded.initialised;
  json["vse"] = decoded.vse;
  json["ascii"] = decoded.ascii;
  json["notes"] = Notes(*report.set, *report.decoded, report.rules);
  json["records"] = Json::array();
  for (const DecodedRecord& record : decoded.records) json["records"].push_back(RecordJson(record));
  json["failed_checks"] = Json::array();
  json["vaklabel_form"] = Json::array();
  for (const Finding& finding : *report.findings)
    json[IsVaklabelForm(finding) ? "vaklabel_form" : "failed_checks"].push_back(FindingJson(finding));
  Emit(json, out);
}

void PrintJsonError(const std::string& input, std::optional<InputKind> kind, const std::string& error,
                    std::ostream& out) {
  Json json = {{"input", Utf8(input)}, {"kind", kind ? Json(KindName(*kind)) : Json(nullptr)}, {"error", Utf8(error)}};
  Emit(json, out);
}

}  // namespace show
