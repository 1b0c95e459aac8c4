#include "tape_map_report.h"

#include "report.h"

namespace show {
namespace {

using Json = nlohmann::ordered_json;

std::string Trimmed(const Field* field) {
  if (!field) return "";
  std::string text = field->value;
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(Utf8(text)); }

Json NumberOrNull(const Field* field) { return field && field->number ? Json(*field->number) : Json(nullptr); }

// "FB", "VBS", "U": the record format with its block attribute.
std::string RecordFormat(const MappedDataSet& set) {
  return Trimmed(set.Find("record_format")) + Trimmed(set.Find("block_attribute"));
}

const char* EndName(WalkEnd end) {
  switch (end) {
    case WalkEnd::kEndOfData: return "end_of_data";
    case WalkEnd::kTwoTapeMarks: return "two_tape_marks";
    case WalkEnd::kUnreadable: return "unreadable";
  }
  return "";
}

std::string EndText(const TapeMap& map) {
  std::string after = map.files.empty() ? "at the start" : "after file " + std::to_string(map.files.size());
  switch (map.end) {
    case WalkEnd::kEndOfData: return "the recorded data ends " + after;
    case WalkEnd::kTwoTapeMarks: return "two tape marks close the tape " + after;
    case WalkEnd::kUnreadable: return "the walk stopped at an unreadable block: " + Visible(map.unreadable);
  }
  return "";
}

std::vector<int> FilesOf(const MappedDataSet& set) {
  std::vector<int> files;
  for (int index : {set.header, set.data, set.trailer})
    if (index >= 0) files.push_back(index + 1);
  return files;
}

std::string Count(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string DataText(const DataFile& data) {
  std::string text = Count(data.blocks, "block", "blocks");
  if (data.bytes) text += ", " + Count(*data.bytes, "byte", "bytes");
  if (data.first_block_length) text += ", first block " + Count(*data.first_block_length, "byte", "bytes");
  else if (data.blocks > 0) text += ", first block longer than " + std::to_string(kMaxBlockRead) + " bytes";
  return text;
}

std::string Identifiers(const DecodedSet& labels) {
  std::string text;
  for (const DecodedRecord& record : labels.records) {
    if (!text.empty()) text += ' ';
    text += Visible(record.identifier);
  }
  return text;
}

std::string Described(const Field* field) {
  if (!field) return "";
  return Visible(field->meaning.empty() ? Trimmed(field) : field->meaning);
}

std::string Number(const Field* field) {
  return field && field->number ? std::to_string(*field->number) : Visible(Trimmed(field));
}

std::string Summary(const MappedDataSet& set) {
  std::string text = Visible(Trimmed(set.Find("data_set_identifier")));
  auto add = [&](const std::string& title, const std::string& value) {
    if (!value.empty()) text += ", " + title + " " + value;
  };
  add("sequence", Number(set.Find("data_set_sequence_number")));
  add("volume", Visible(Trimmed(set.Find("data_set_serial"))));
  add("volume sequence", Number(set.Find("volume_sequence_number")));
  add("created", Described(set.Find("creation_date")));
  add("expires", Described(set.Find("expiration_date")));
  add("RECFM", Visible(RecordFormat(set)));
  add("block", Number(set.Find("block_length")));
  add("record", Number(set.Find("record_length")));
  add("system", Visible(Trimmed(set.Find("system_code"))));
  return text;
}

void PrintUserLabels(const DecodedSet& labels, std::ostream& out) {
  for (const DecodedRecord& record : labels.records)
    if (const Field* data = record.Find("user_data"); data && record.identifier != "VOL1")
      out << "    " << Visible(record.identifier) << " " << Quoted(Trimmed(data)) << '\n';
}

void PrintDataSet(const TapeMap& map, const MappedDataSet& set, std::ostream& out) {
  std::vector<int> files = FilesOf(set);
  std::string where = files.size() == 1 ? "file " + std::to_string(files[0])
                                        : "files " + std::to_string(files.front()) + "-" + std::to_string(files.back());
  if (!set.labelled()) {
    out << where << ": unlabelled, " << DataText(map.files[static_cast<size_t>(set.data)].data) << '\n';
    return;
  }
  out << where << ": data set " << Summary(set) << (set.label_set_only ? " (labels only, no data set written)" : "")
      << '\n';
  if (set.header >= 0) {
    out << "  header   " << Identifiers(set.header_labels) << '\n';
    PrintUserLabels(set.header_labels, out);
  }
  if (set.data >= 0) out << "  data     " << DataText(map.files[static_cast<size_t>(set.data)].data) << '\n';
  if (set.trailer >= 0) {
    const Field* count = set.trailer_labels.records.empty() ? nullptr : set.trailer_labels.records[0].Find("block_count");
    out << "  trailer  " << Identifiers(set.trailer_labels) << (count ? ", block count " + Number(count) : "") << '\n';
    PrintUserLabels(set.trailer_labels, out);
  }
}

std::string Where(const MapFinding& found) {
  const Finding& finding = found.finding;
  std::string where = "file " + std::to_string(found.file);
  if (found.data_set > 0) where += ", data set " + std::to_string(found.data_set);
  if (finding.record == 0) return where;
  where += ", " + Visible(finding.identifier);
  if (finding.field.empty()) return where;
  return where + " " + std::to_string(finding.first) +
         (finding.first == finding.last ? "" : "-" + std::to_string(finding.last)) + " " + finding.field_title;
}

void PrintFindings(const std::vector<MapFinding>& findings, bool vaklabel_form, std::ostream& out) {
  for (const MapFinding& found : findings)
    if (IsVaklabelForm(found.finding) == vaklabel_form)
      out << "  " << found.finding.check << ": " << Where(found) << ": " << Visible(found.finding.reason) << '\n';
}

Json LabelsJson(int file, const DecodedSet& labels) {
  if (file < 0) return nullptr;
  Json records = Json::array();
  for (const DecodedRecord& record : labels.records) records.push_back(RecordJson(record));
  return {{"file", file + 1}, {"records", std::move(records)}};
}

Json DataJson(const TapeMap& map, int file) {
  if (file < 0) return nullptr;
  const TapeFile& tape_file = map.files[static_cast<size_t>(file)];
  const DataFile& data = tape_file.data;
  return {{"file", file + 1},
          {"blocks", data.blocks},
          {"bytes", data.bytes ? Json(*data.bytes) : Json(nullptr)},
          {"first_block_length", data.first_block_length ? Json(*data.first_block_length) : Json(nullptr)},
          {"tape_mark", tape_file.tape_mark}};
}

Json DataSetJson(const TapeMap& map, const MappedDataSet& set) {
  const Field* expires = set.Find("expiration_date");
  const Field* created = set.Find("creation_date");
  Json json = {{"number", set.number},
               {"files", FilesOf(set)},
               {"labelled", set.labelled()},
               {"label_set_only", set.label_set_only},
               {"name", TextOrNull(Trimmed(set.Find("data_set_identifier")))},
               {"data_set_sequence", NumberOrNull(set.Find("data_set_sequence_number"))},
               {"volume_serial", TextOrNull(Trimmed(set.Find("data_set_serial")))},
               {"volume_sequence", NumberOrNull(set.Find("volume_sequence_number"))},
               {"created", TextOrNull(created ? created->date : "")},
               {"expires", TextOrNull(expires ? expires->date : "")},
               {"expiration_code", TextOrNull(expires ? expires->date_code : "")},
               {"expiration_value", TextOrNull(expires ? expires->value : "")},
               {"record_format", TextOrNull(RecordFormat(set))},
               {"block_length", NumberOrNull(set.Find("block_length"))},
               {"record_length", NumberOrNull(set.Find("record_length"))},
               {"system_code", TextOrNull(Trimmed(set.Find("system_code")))}};
  json["header"] = LabelsJson(set.header, set.header_labels);
  json["data"] = DataJson(map, set.data);
  json["trailer"] = LabelsJson(set.trailer, set.trailer_labels);
  return json;
}

}  // namespace

void PrintMapText(const MapReport& report, std::ostream& out) {
  const TapeMap& map = *report.map;
  out << Visible(report.input) << " (" << KindName(map.kind) << "): map of " << Count(map.files.size(), "file", "files")
      << "; " << EndText(map) << '\n';
  for (const MappedDataSet& set : map.data_sets) PrintDataSet(map, set, out);
  size_t failures = 0;
  size_t differences = 0;
  for (const MapFinding& found : *report.findings) ++(IsVaklabelForm(found.finding) ? differences : failures);
  out << "checks: " << (failures == 0 ? "all passed" : std::to_string(failures) + " failed") << '\n';
  PrintFindings(*report.findings, false, out);
  if (differences == 0) return;
  out << "as vaklabel writes it: " << Count(differences, "difference", "differences")
      << (report.vaklabel_form_counts ? ", counted as failed\n" : "\n");
  PrintFindings(*report.findings, true, out);
}

void PrintMapJson(const MapReport& report, std::ostream& out) {
  const TapeMap& map = *report.map;
  Json json = {{"input", Utf8(report.input)},
               {"kind", KindName(map.kind)},
               {"files", map.files.size()},
               {"end", EndName(map.end)},
               {"unreadable", TextOrNull(map.unreadable)},
               {"labelled", map.labelled},
               {"passed", MapPasses(*report.findings, report.vaklabel_form_counts)}};
  json["data_sets"] = Json::array();
  for (const MappedDataSet& set : map.data_sets) json["data_sets"].push_back(DataSetJson(map, set));
  json["failed_checks"] = Json::array();
  json["vaklabel_form"] = Json::array();
  for (const MapFinding& found : *report.findings) {
    Json finding = FindingJson(found.finding);
    finding["file"] = found.file;
    finding["data_set"] = found.data_set > 0 ? Json(found.data_set) : Json(nullptr);
    json[IsVaklabelForm(found.finding) ? "vaklabel_form" : "failed_checks"].push_back(std::move(finding));
  }
  out << json.dump() << '\n';
}

}  // namespace show
