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

std::string LabelLine(const Report& report) {
  std::string line = report.input + " (" + KindName(report.set->kind) + "): ";
  const DecodedSet& decoded = *report.decoded;
  if (!decoded.label) return line + "no label vaklabel can read";
  return line + "label " + Visible(TrimRight(*decoded.label)) +
         (decoded.marker ? " (eight characters, in UHL1)" : " (six characters, in VOL1)");
}

std::string Where(const Finding& finding) {
  if (finding.record == 0) return "label set";
  std::string where = "record " + std::to_string(finding.record) + " (" + Visible(finding.identifier) + ")";
  if (finding.field.empty()) return where;
  return Visible(finding.identifier) + " " + ColumnRange(finding.first, finding.last) + " " + finding.field_title;
}

size_t TitleWidth(const DecodedSet& decoded) {
  size_t width = 0;
  for (const DecodedRecord& record : decoded.records)
    for (const Field& field : record.fields) width = std::max(width, field.title.size());
  return width;
}

void PrintRecord(const DecodedRecord& record, size_t title_width, std::ostream& out) {
  constexpr size_t kColumnsWidth = 7;
  out << Visible(record.identifier) << "  " << record.title;
  if (record.length != kLabelRecordSize) out << " (" << record.length << " bytes)";
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

// Label bytes are single bytes whatever they hold; as Latin-1 code points
// every one of them survives in valid UTF-8.
std::string Utf8(std::string_view bytes) {
  std::string text;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | (b >> 6));
      text += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return text;
}

Json Columns(int first, int last) { return Json::array({first, last}); }

Json RecordJson(const DecodedRecord& record) {
  Json fields = Json::object();
  for (const Field& field : record.fields) {
    Json entry = {{"columns", Columns(field.first, field.last)}, {"title", field.title}, {"value", Utf8(field.value)}};
    if (!field.meaning.empty()) entry["meaning"] = field.meaning;
    if (!field.date.empty()) entry["date"] = field.date;
    fields[field.key] = std::move(entry);
  }
  return {{"number", record.number},
          {"identifier", Utf8(record.identifier)},
          {"title", record.title},
          {"length", record.length},
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

void Emit(const Json& json, std::ostream& out) { out << json.dump() << '\n'; }

}  // namespace

void PrintText(const Report& report, std::ostream& out) {
  out << LabelLine(report) << '\n';
  for (const std::string& note : report.set->notes) out << "note: " << note << '\n';
  size_t title_width = TitleWidth(*report.decoded);
  for (const DecodedRecord& record : report.decoded->records) PrintRecord(record, title_width, out);
  const std::vector<Finding>& findings = *report.findings;
  if (findings.empty()) {
    out << "checks: all passed\n";
    return;
  }
  out << "checks: " << findings.size() << " failed\n";
  for (const Finding& finding : findings)
    out << "  " << finding.check << ": " << Where(finding) << ": " << Visible(finding.reason) << '\n';
}

void PrintJson(const Report& report, std::ostream& out) {
  const DecodedSet& decoded = *report.decoded;
  Json json = {{"input", Utf8(report.input)}, {"kind", KindName(report.set->kind)}};
  json["label"] = decoded.label ? Json(Utf8(*decoded.label)) : Json(nullptr);
  json["label_length"] = decoded.label ? Json(decoded.marker ? 8 : 6) : Json(nullptr);
  json["passed"] = report.findings->empty();
  json["notes"] = report.set->notes;
  json["records"] = Json::array();
  for (const DecodedRecord& record : decoded.records) json["records"].push_back(RecordJson(record));
  json["failed_checks"] = Json::array();
  for (const Finding& finding : *report.findings) json["failed_checks"].push_back(FindingJson(finding));
  Emit(json, out);
}

void PrintJsonError(const std::string& input, std::optional<InputKind> kind, const std::string& error,
                    std::ostream& out) {
  Json json = {{"input", Utf8(input)}, {"kind", kind ? Json(KindName(*kind)) : Json(nullptr)}, {"error", Utf8(error)}};
  Emit(json, out);
}

}  // namespace show
