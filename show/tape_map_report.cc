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

template <typename T>
Json ValueOrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

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

std::string Count(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string EndText(const TapeMap& map) {
  std::string after = map.files == 0 ? "at the start" : "after file " + std::to_string(map.files);
  switch (map.end) {
    case WalkEnd::kEndOfData: return "the recorded data ends " + after;
    case WalkEnd::kTwoTapeMarks: return "two tape marks close the tape " + after;
    case WalkEnd::kUnreadable: return "the walk stopped at an unreadable block: " + Visible(map.unreadable);
  }
  return "";
}

// The tape's own volume serial (VOL1) and, under the marker, the
// eight-character label (UHL1), as vaklabel reads them.
struct Volume {
  std::string serial;
  std::optional<std::string> label;
  int label_length = 0;
};

Volume VolumeOf(const TapeMap& map) {
  Volume volume;
  if (!map.labelled) return volume;
  const DecodedSet& first = map.first_decoded;
  volume.serial = Trimmed(first.records[0].Find("volume_serial"));
  if (first.vaklabel.label) {
    volume.label = first.vaklabel.label;
    volume.label_length = first.vaklabel.length;
  }
  return volume;
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
  if (text.empty()) text = "(no name)";
  auto add = [&](const std::string& title, const std::string& value) {
    if (!value.empty()) text += ", " + title + " " + value;
  };
  add("sequence", Number(set.Find("data_set_sequence_number")));
  add("first volume", Visible(Trimmed(set.Find("data_set_serial"))));
  add("volume sequence", Number(set.Find("volume_sequence_number")));
  add("created", Described(set.Find("creation_date")));
  add("expires", Described(set.Find("expiration_date")));
  add("RECFM", Visible(RecordFormat(set)));
  add("block", Number(set.Find("block_length")));
  add("record", Number(set.Find("record_length")));
  add("system", Visible(Trimmed(set.Find("system_code"))));
  return text;
}

std::string BlockCountText(const MappedDataSet& set) {
  if (std::optional<uint64_t> count = set.BlockCount()) return ", block count " + std::to_string(*count);
  const Field* low = set.trailer_labels.records.empty() ? nullptr : set.trailer_labels.records[0].Find("block_count");
  return low ? ", block count " + Visible(Quoted(low->value)) : "";
}

std::string FilesText(const MappedDataSet& set) {
  std::vector<int> files = set.Files();
  return files.size() == 1 ? "file " + std::to_string(files[0])
                           : "files " + std::to_string(files.front()) + "-" + std::to_string(files.back());
}

std::string Where(const MapFinding& found) {
  const Finding& finding = found.finding;
  std::string where = found.file > 0 ? "file " + std::to_string(found.file) : "tape";
  if (found.data_set > 0) where += ", data set " + std::to_string(found.data_set);
  if (finding.record == 0) return where;
  where += ", " + Visible(finding.identifier);
  if (finding.field.empty()) return where;
  return where + " " + std::to_string(finding.first) +
         (finding.first == finding.last ? "" : "-" + std::to_string(finding.last)) + " " + finding.field_title;
}

class TextPrinter : public MapPrinter {
 public:
  TextPrinter(const MapReport& report, std::ostream& out) : report_(report), out_(out) {}

  void DataSet(const TapeMap& map, const MappedDataSet& set) override {
    Head(map);
    if (!set.labelled()) {
      out_ << FilesText(set) << ": unlabelled, " << DataText(set.data->data) << '\n';
      return;
    }
    if (set.initialised())
      out_ << FilesText(set) << ": initialised volume, no data set written yet (VOL1 and a dummy HDR1 of zeros)\n";
    else
      out_ << FilesText(set) << ": data set " << Summary(set)
           << (set.label_set_only ? " (labels only, no data set written)" : "")
           << (set.continues() ? " (continues on the next volume)" : "") << '\n';
    if (set.header) {
      out_ << "  header   " << Identifiers(set.header_labels) << '\n';
      UserLabels(set.header_labels);
    }
    if (set.data) out_ << "  data     " << DataText(set.data->data) << '\n';
    if (set.trailer) {
      out_ << "  trailer  " << Identifiers(set.trailer_labels) << BlockCountText(set) << '\n';
      UserLabels(set.trailer_labels);
    }
  }

  void Finish(const TapeMap& map, const std::vector<MapFinding>& findings) override {
    Head(map);
    out_ << "end: " << Count(static_cast<uint64_t>(map.files), "file", "files") << "; " << EndText(map) << '\n';
    size_t failures = 0;
    size_t differences = 0;
    for (const MapFinding& found : findings) ++(IsVaklabelForm(found.finding) ? differences : failures);
    out_ << "checks: " << (failures == 0 ? "all passed" : std::to_string(failures) + " failed");
    if (map.end == WalkEnd::kUnreadable)
      out_ << " as far as the walk went: it stopped in file " << map.stopped_at << ", and what follows is unchecked";
    out_ << '\n';
    Findings(findings, false);
    if (differences == 0) return;
    out_ << "as vaklabel writes it: " << Count(differences, "difference", "differences")
         << (report_.vaklabel_form_counts ? ", counted as failed\n" : "\n");
    Findings(findings, true);
  }

 private:
  void Head(const TapeMap& map) {
    if (head_done_) return;
    head_done_ = true;
    Volume volume = VolumeOf(map);
    out_ << Visible(report_.input) << " (" << KindName(map.kind) << "): ";
    if (!map.labelled) {
      out_ << "no volume label\n";
    } else {
      out_ << "volume " << Visible(volume.serial);
      if (volume.label && volume.label_length == 8)
        out_ << ", label " << Visible(*volume.label) << " (eight characters, in UHL1)";
      out_ << (map.first_decoded.ascii ? " (ASCII labels)" : "") << '\n';
    }
    for (const std::string& note : Notes(*map.first, map.first_decoded, report_.rules))
      out_ << "note: " << Visible(note) << '\n';
  }

  // The eight-character label heads the map; only what else a user label holds is shown here.
  void UserLabels(const DecodedSet& labels) {
    for (const DecodedRecord& record : labels.records) {
      const Field* data = record.Find("user_data");
      if (!data || record.identifier == "VOL1" || (record.Find("label") && Trimmed(data).empty())) continue;
      out_ << "    " << Visible(record.identifier) << " " << Visible(Quoted(Trimmed(data))) << '\n';
    }
  }

  void Findings(const std::vector<MapFinding>& findings, bool vaklabel_form) {
    for (const MapFinding& found : findings)
      if (IsVaklabelForm(found.finding) == vaklabel_form)
        out_ << "  " << found.finding.check << ": " << Where(found) << ": " << Visible(found.finding.reason) << '\n';
  }

  const MapReport& report_;
  std::ostream& out_;
  bool head_done_ = false;
};

Json LabelsJson(const std::optional<TapeFile>& file, const DecodedSet& labels) {
  if (!file) return nullptr;
  Json records = Json::array();
  for (const DecodedRecord& record : labels.records) records.push_back(RecordJson(record));
  return {{"file", file->number}, {"records", std::move(records)}};
}

Json DataJson(const std::optional<TapeFile>& file) {
  if (!file) return nullptr;
  const DataFile& data = file->data;
  return {{"file", file->number},
          {"blocks", data.blocks},
          {"bytes", ValueOrNull(data.bytes)},
          {"first_block_length", ValueOrNull(data.first_block_length)},
          {"tape_mark", file->tape_mark}};
}

Json DataSetJson(const MappedDataSet& set) {
  const Field* expires = set.Find("expiration_date");
  const Field* created = set.Find("creation_date");
  Json serial = TextOrNull(Trimmed(set.Find("data_set_serial")));
  Json json = {{"number", set.number},
               {"files", set.Files()},
               {"labelled", set.labelled()},
               {"label_set_only", set.label_set_only},
               {"initialised", set.initialised()},
               {"ascii", set.header_labels.ascii || set.trailer_labels.ascii},
               {"continues", set.continues()},
               {"name", TextOrNull(Trimmed(set.Find("data_set_identifier")))},
               {"data_set_sequence", NumberOrNull(set.Find("data_set_sequence_number"))},
               {"volume_serial", serial},
               {"first_volume_serial", serial},
               {"volume_sequence", NumberOrNull(set.Find("volume_sequence_number"))},
               {"created", TextOrNull(created ? created->date : "")},
               {"expires", TextOrNull(expires ? expires->date : "")},
               {"expiration_code", TextOrNull(expires ? expires->date_code : "")},
               {"expiration_value", TextOrNull(expires ? expires->value : "")},
               {"record_format", TextOrNull(RecordFormat(set))},
               {"block_length", NumberOrNull(set.Find("block_length"))},
               {"record_length", NumberOrNull(set.Find("record_length"))},
               {"system_code", TextOrNull(Trimmed(set.Find("system_code")))},
               {"block_count", ValueOrNull(set.BlockCount())}};
  json["header"] = LabelsJson(set.header, set.header_labels);
  json["data"] = DataJson(set.data);
  json["trailer"] = LabelsJson(set.trailer, set.trailer_labels);
  return json;
}

// One JSON object written member by member, each value dumped by the JSON
// library, so that the data sets need never be held all at once.
class JsonPrinter : public MapPrinter {
 public:
  JsonPrinter(const MapReport& report, std::ostream& out) : report_(report), out_(out) {}

  void DataSet(const TapeMap& map, const MappedDataSet& set) override {
    Head(map);
    out_ << (data_sets_ == 0 ? "" : ",") << DataSetJson(set).dump();
    ++data_sets_;
  }

  void Finish(const TapeMap& map, const std::vector<MapFinding>& findings) override {
    Head(map);
    Json failed = Json::array();
    Json differences = Json::array();
    for (const MapFinding& found : findings) {
      Json finding = FindingJson(found.finding);
      finding["file"] = found.file > 0 ? Json(found.file) : Json(nullptr);
      finding["data_set"] = found.data_set > 0 ? Json(found.data_set) : Json(nullptr);
      (IsVaklabelForm(found.finding) ? differences : failed).push_back(std::move(finding));
    }
    out_ << ']';
    Member("files", map.files);
    Member("end", EndName(map.end));
    Member("unreadable", TextOrNull(map.unreadable));
    Member("checks_stopped_at_file", map.end == WalkEnd::kUnreadable ? Json(map.stopped_at) : Json(nullptr));
    Member("passed", MapPasses(findings, report_.vaklabel_form_counts));
    Member("failed_checks", failed);
    Member("vaklabel_form", differences);
    out_ << "}\n";
  }

 private:
  void Member(const char* key, const Json& value) {
    out_ << (members_ == 0 ? "{" : ",") << Json(key).dump() << ':' << value.dump();
    ++members_;
  }

  void Head(const TapeMap& map) {
    if (members_ > 0) return;
    Volume volume = VolumeOf(map);
    Json notes = Json::array();
    for (const std::string& note : Notes(*map.first, map.first_decoded, report_.rules)) notes.push_back(Utf8(note));
    Member("input", Utf8(report_.input));
    Member("kind", KindName(map.kind));
    Member("labelled", map.labelled);
    Member("volume_serial", map.labelled ? Json(Utf8(volume.serial)) : Json(nullptr));
    Member("label", volume.label ? Json(Utf8(*volume.label)) : Json(nullptr));
    Member("label_length", volume.label ? Json(volume.label_length) : Json(nullptr));
    Member("initialised", map.first_decoded.initialised);
    Member("ascii", map.first_decoded.ascii);
    Member("notes", notes);
    out_ << ",\"data_sets\":[";
  }

  const MapReport& report_;
  std::ostream& out_;
  int members_ = 0;
  uint64_t data_sets_ = 0;
};

}  // namespace

std::unique_ptr<MapPrinter> MapTextPrinter(const MapReport& report, std::ostream& out) {
  return std::make_unique<TextPrinter>(report, out);
}

std::unique_ptr<MapPrinter> MapJsonPrinter(const MapReport& report, std::ostream& out) {
  return std::make_unique<JsonPrinter>(report, out);
}

}  // namespace show
