#include "tape_map_checks.h"

#include <algorithm>

namespace show {
namespace {

constexpr uint64_t kLowBlockCountLimit = 1000000;  // columns 55-60 hold six digits

std::string Blocks(uint64_t count) { return std::to_string(count) + (count == 1 ? " block" : " blocks"); }

// What a trailer label must repeat from its header label.
bool IsRepeated(const Field& field) {
  return field.key != "label_identifier" && field.key != "block_count" && field.key != "block_count_high";
}

class MapChecker {
 public:
  explicit MapChecker(const TapeMap& map) : map_(map) {}

  std::vector<MapFinding> Run() {
    if (map_.labelled) CheckVolumeLabelSet();
    const MappedDataSet* previous = nullptr;
    for (const MappedDataSet& set : map_.data_sets) {
      CheckPlace(set, previous);
      if (set.header > 0) CheckGroupOrder(set, set.header, set.header_labels, "HDR", "UHL");
      if (set.trailer >= 0)
        CheckGroupOrder(set, set.trailer, set.trailer_labels, Prefix(set.trailer_labels), "UTL");
      CheckTrailer(set);
      CheckSequence(set, previous);
      if (set.labelled()) previous = &set;
    }
    CheckTapeEnd();
    return std::move(findings_);
  }

 private:
  void Add(std::string check, int file, const MappedDataSet* set, const DecodedRecord* record, const Field* field,
           std::string reason) {
    findings_.push_back(
        {file + 1, set ? set->number : 0, MakeFinding(std::move(check), record, field, std::move(reason))});
  }

  const TapeFile& File(int index) const { return map_.files[static_cast<size_t>(index)]; }

  static std::string FileName(int index) { return "file " + std::to_string(index + 1); }

  static std::string Prefix(const DecodedSet& labels) {
    return labels.records.empty() ? "EOF" : labels.records[0].identifier.substr(0, 3);
  }

  static const DecodedRecord* Record(const DecodedSet& labels, std::string_view identifier) {
    for (const DecodedRecord& record : labels.records)
      if (record.identifier == identifier) return &record;
    return nullptr;
  }

  void CheckVolumeLabelSet() {
    const MappedDataSet& first = map_.data_sets.front();
    for (Finding& finding : CheckLabelSet(*File(0).labels, first.header_labels))
      findings_.push_back({1, first.number, std::move(finding)});
  }

  // Header group, data file, trailer group, each closed by a tape mark.
  void CheckPlace(const MappedDataSet& set, const MappedDataSet* previous) {
    if (previous && previous->trailer >= 0 && KindOfGroup(File(previous->trailer)) == GroupKind::kEndOfVolume)
      Add("labels", First(set), &set, nullptr, nullptr,
          "a file after the end-of-volume group of data set " + std::to_string(previous->number));
    if (map_.labelled && set.header < 0 && set.trailer < 0)
      Add("labels", set.data, &set, nullptr, nullptr, "data where a header label group belongs");
    if (set.header < 0 && set.trailer >= 0)
      Add("labels", set.trailer, &set, nullptr, nullptr, "a trailer label group with no header label group before it");
    if (set.header >= 0 && set.trailer >= 0 && set.data < 0)
      Add("tape_marks", set.trailer, &set, nullptr, nullptr,
          "the trailer labels follow the header labels' tape mark: no tape mark closes a data file between them");
  }

  static int First(const MappedDataSet& set) { return set.header >= 0 ? set.header : set.data >= 0 ? set.data : set.trailer; }

  // Each series in order (HDR1, HDR2, HDR3-HDR9, then UHL1-UHL8; the same
  // for trailers), every label 80 bytes.
  void CheckGroupOrder(const MappedDataSet& set, int file, const DecodedSet& labels, const std::string& label,
                       const std::string& user) {
    std::string previous;
    for (const DecodedRecord& record : labels.records) {
      std::vector<std::string> allowed = Successors(previous, label, user);
      if (std::find(allowed.begin(), allowed.end(), record.identifier) == allowed.end())
        Add("labels", file, &set, &record, nullptr,
            Quoted(record.identifier) + " where " + (allowed.empty() ? "no label" : allowed.front()) + " belongs");
      else if (record.length != kLabelRecordSize)
        Add("record_length", file, &set, &record, nullptr,
            std::to_string(record.length) + " bytes, where a label has " + std::to_string(kLabelRecordSize));
      previous = record.identifier;
    }
    if (File(file).labels->more_records)
      Add("labels", file, &set, nullptr, nullptr, "more blocks than a label group holds");
  }

  static std::vector<std::string> Successors(const std::string& previous, const std::string& label,
                                             const std::string& user) {
    if (previous.empty()) return {label + "1"};
    char n = previous.size() == 4 ? previous[3] : '0';
    std::string next(1, static_cast<char>(n + 1));
    if (previous == label + "1") return {label + "2"};
    if (previous.starts_with(label) && n >= '2' && n < '9') return {label + next, user + "1"};
    if (previous == label + "9") return {user + "1"};
    if (previous.starts_with(user) && n >= '1' && n < '8') return {user + next};
    return {};
  }

  void CheckTrailer(const MappedDataSet& set) {
    if (set.header < 0) return;
    if (set.trailer < 0) {
      // Where the walk stopped at a bad block, whatever follows is unknown.
      bool cut_short = &set == &map_.data_sets.back() && map_.end == WalkEnd::kUnreadable;
      if (!set.label_set_only && !cut_short) Add("trailer", Last(set), &set, nullptr, nullptr, MissingTrailer(set));
      return;
    }
    CheckBlockCount(set);
    for (const DecodedRecord& trailer : set.trailer_labels.records) {
      bool repeats = trailer.identifier == Prefix(set.trailer_labels) + "1" ||
                     trailer.identifier == Prefix(set.trailer_labels) + "2";
      if (!repeats) continue;
      const DecodedRecord* header = Record(set.header_labels, "HDR" + trailer.identifier.substr(3));
      if (header) CheckRepeated(set, *header, trailer);
    }
  }

  static int Last(const MappedDataSet& set) { return set.data >= 0 ? set.data : set.header; }

  std::string MissingTrailer(const MappedDataSet& set) const {
    const TapeFile& last = File(Last(set));
    if (!last.tape_mark)
      return "no trailer labels: the recorded data ends in " + FileName(Last(set)) + " without a tape mark";
    return "no trailer label group (EOF1 or EOV1) after " + FileName(Last(set));
  }

  void CheckBlockCount(const MappedDataSet& set) {
    const DecodedRecord* first = set.trailer_labels.records.empty() ? nullptr : &set.trailer_labels.records[0];
    const Field* low = first ? first->Find("block_count") : nullptr;
    if (!low || set.data < 0 || !File(set.data).tape_mark) return;
    const Field* high = first->Find("block_count_high");
    bool high_blank = !high || high->value.find_first_not_of(' ') == std::string::npos;
    if (!low->number || (!high_blank && !high->number)) {
      Add("block_count", set.trailer, &set, first, low, Quoted(low->value) + " is not a block count");
      return;
    }
    uint64_t count = *low->number + (high_blank ? 0 : *high->number * kLowBlockCountLimit);
    uint64_t blocks = File(set.data).data.blocks;
    if (count != blocks)
      Add("block_count", set.trailer, &set, first, low,
          std::to_string(count) + ", where the data file (" + FileName(set.data) + ") holds " + Blocks(blocks));
  }

  void CheckRepeated(const MappedDataSet& set, const DecodedRecord& header, const DecodedRecord& trailer) {
    for (const Field& field : trailer.fields) {
      const Field* source = header.Find(field.key);
      if (IsRepeated(field) && source && source->value != field.value)
        Add("trailer", set.trailer, &set, &trailer, &field,
            Quoted(field.value) + ", where " + header.identifier + " has " + Quoted(source->value));
    }
  }

  void CheckSequence(const MappedDataSet& set, const MappedDataSet* previous) {
    if (!previous || set.header < 0) return;
    const Field* before = previous->Find("data_set_sequence_number");
    const Field* now = set.Find("data_set_sequence_number");
    if (!before || !now || !before->number || !now->number || *now->number == *before->number + 1) return;
    Add("sequence", set.header, &set, Record(set.header_labels, "HDR1"), now,
        std::to_string(*now->number) + ", where the data set before it has " + std::to_string(*before->number));
  }

  // Two tape marks after the last trailer group, or an end-of-volume group
  // and its tape mark; an unreadable block has already said what it can.
  void CheckTapeEnd() {
    if (!map_.labelled || map_.end == WalkEnd::kUnreadable || map_.data_sets.empty()) return;
    const MappedDataSet& last = map_.data_sets.back();
    if (last.label_set_only || last.trailer < 0) return;
    const TapeFile& trailer = File(last.trailer);
    bool end_of_volume = KindOfGroup(trailer) == GroupKind::kEndOfVolume;
    bool closed = end_of_volume ? trailer.tape_mark : map_.end == WalkEnd::kTwoTapeMarks;
    if (!closed || last.trailer + 1 != static_cast<int>(map_.files.size()))
      Add("tape_end", static_cast<int>(map_.files.size()) - 1, nullptr, nullptr, nullptr,
          end_of_volume ? "no tape mark after the end-of-volume labels"
                        : "the recorded data ends without two tape marks after the last trailer labels");
  }

  const TapeMap& map_;
  std::vector<MapFinding> findings_;
};

}  // namespace

std::vector<MapFinding> CheckTapeMap(const TapeMap& map) { return MapChecker(map).Run(); }

bool MapPasses(const std::vector<MapFinding>& findings, bool vaklabel_form_counts) {
  return std::all_of(findings.begin(), findings.end(),
                     [&](const MapFinding& f) { return IsVaklabelForm(f.finding) && !vaklabel_form_counts; });
}

}  // namespace show
