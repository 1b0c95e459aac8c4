#include "tape_map_checks.h"

#include <algorithm>

namespace show {
namespace {

std::string Blocks(uint64_t count) { return std::to_string(count) + (count == 1 ? " block" : " blocks"); }

std::string FileName(int number) { return "file " + std::to_string(number); }

// What a trailer label must repeat from its header label.
bool IsRepeated(const Field& field) {
  return field.key != "label_identifier" && field.key != "block_count" && field.key != "block_count_high";
}

std::string Prefix(const DecodedSet& labels) {
  return labels.records.empty() ? "EOF" : labels.records[0].identifier.substr(0, 3);
}

const DecodedRecord* Record(const DecodedSet& labels, std::string_view identifier) {
  for (const DecodedRecord& record : labels.records)
    if (record.identifier == identifier) return &record;
  return nullptr;
}

// Each series in order (HDR1, HDR2, HDR3-HDR9, then UHL1-UHL8; the same for
// trailers).
std::vector<std::string> Successors(const std::string& previous, const std::string& label, const std::string& user) {
  if (previous.empty()) return {label + "1"};
  char n = previous.size() == 4 ? previous[3] : '0';
  std::string next(1, static_cast<char>(n + 1));
  if (previous == label + "1") return {label + "2"};
  if (previous.starts_with(label) && n >= '2' && n < '9') return {label + next, user + "1"};
  if (previous == label + "9") return {user + "1"};
  if (previous.starts_with(user) && n >= '1' && n < '8') return {user + next};
  return {};
}

int FirstFileOf(const MappedDataSet& set) {
  for (const std::optional<TapeFile>* file : {&set.header, &set.data, &set.trailer})
    if (*file) return (*file)->number;
  return 0;
}

const TapeFile& LastBeforeTrailer(const MappedDataSet& set) { return set.data ? *set.data : *set.header; }

std::string MissingTrailer(const MappedDataSet& set) {
  const TapeFile& last = LastBeforeTrailer(set);
  if (!last.tape_mark)
    return "no trailer labels: the recorded data ends in " + FileName(last.number) + " without a tape mark";
  return "no trailer label group (EOF1 or EOV1) after " + FileName(last.number);
}

}  // namespace

void MapChecker::Add(std::string check, int file, const MappedDataSet* set, const DecodedRecord* record,
                     const Field* field, std::string reason) {
  found_.push_back({file, set ? set->number : 0, MakeFinding(std::move(check), record, field, std::move(reason))});
}

// The first file gets what vaklabel-show gives it without the map, so that
// the map fails a blank tape or data where labels belong alike. A walk that
// could not read even the first record has said so already.
void MapChecker::FirstFile(const TapeMap& map) {
  if (first_checked_) return;
  first_checked_ = true;
  if (map.files == 0 && map.end == WalkEnd::kUnreadable) return;
  int data_set = map.data_sets > 0 ? 1 : 0;
  for (Finding& finding : CheckLabelSet(*map.first, map.first_decoded, rules_))
    found_.push_back({map.files > 0 ? 1 : 0, data_set, std::move(finding)});
}

std::vector<MapFinding> MapChecker::DataSet(const TapeMap& map, const MappedDataSet& set) {
  FirstFile(map);
  Place(map, set);
  if (set.header && set.header->number > 1) GroupOrder(set, *set.header, set.header_labels, "HDR", "UHL");
  if (set.trailer) GroupOrder(set, *set.trailer, set.trailer_labels, Prefix(set.trailer_labels), "UTL");
  Trailer(map, set);
  Sequence(set);
  if (set.labelled()) {
    const Field* sequence = set.Find("data_set_sequence_number");
    previous_ = Labelled{set.number, set.continues(), sequence ? sequence->number : std::nullopt,
                         set.trailer ? set.trailer->number : 0};
  }
  last_ = Last{set.number, set.label_set_only || !set.trailer, set.continues(), set.trailer ? set.trailer->number : 0,
               set.trailer && set.trailer->tape_mark};
  return Taken();
}

// Header group, data file, trailer group, each closed by a tape mark.
void MapChecker::Place(const TapeMap& map, const MappedDataSet& set) {
  if (previous_ && previous_->end_of_volume)
    Add("labels", FirstFileOf(set), &set, nullptr, nullptr,
        "a file after the end-of-volume group of data set " + std::to_string(previous_->number));
  if (map.labelled && !set.labelled())
    Add("labels", set.data->number, &set, nullptr, nullptr, "data where a header label group belongs");
  if (!set.header && set.trailer)
    Add("labels", set.trailer->number, &set, nullptr, nullptr,
        "a trailer label group with no header label group before it");
  if (set.header && previous_ && previous_->trailer_file == set.header->number)
    Add("tape_marks", set.header->number, &set, nullptr, nullptr,
        "no tape mark between the trailer labels of data set " + std::to_string(previous_->number) +
            " and these header labels");
  if (set.header && set.trailer && !set.data)
    Add("tape_marks", set.trailer->number, &set, nullptr, nullptr,
        "the trailer labels follow the header labels' tape mark: no tape mark closes a data file between them");
}

// Each series in order, every label 80 bytes.
void MapChecker::GroupOrder(const MappedDataSet& set, const TapeFile& file, const DecodedSet& labels,
                            const std::string& label, const std::string& user) {
  std::string previous;
  for (const DecodedRecord& record : labels.records) {
    std::vector<std::string> allowed = Successors(previous, label, user);
    if (std::find(allowed.begin(), allowed.end(), record.identifier) == allowed.end())
      Add("labels", file.number, &set, &record, nullptr,
          Quoted(record.identifier) + " where " + (allowed.empty() ? "no label" : allowed.front()) + " belongs");
    else if (record.length != kLabelRecordSize)
      Add("record_length", file.number, &set, &record, nullptr,
          std::to_string(record.length) + " bytes, where a label has " + std::to_string(kLabelRecordSize));
    previous = record.identifier;
  }
  if (file.labels->more_records)
    Add("labels", file.number, &set, nullptr, nullptr, "more blocks than a label group holds");
}

void MapChecker::Trailer(const TapeMap& map, const MappedDataSet& set) {
  if (!set.header) return;
  if (!set.trailer) {
    // Where the walk stopped at a bad block, whatever follows is unknown.
    bool cut_short = set.last && map.end == WalkEnd::kUnreadable;
    if (!set.label_set_only && !cut_short)
      Add("trailer", LastBeforeTrailer(set).number, &set, nullptr, nullptr, MissingTrailer(set));
    return;
  }
  BlockCount(set);
  std::string prefix = Prefix(set.trailer_labels);
  // z/VSE may write HDR1 alone; where HDR2 was written, EOF2 (EOV2) repeats it.
  if (Record(set.header_labels, "HDR2") && !Record(set.trailer_labels, prefix + "2"))
    Add("trailer", set.trailer->number, &set, nullptr, nullptr,
        "no " + prefix + "2 in the trailer labels, where the header labels have HDR2");
  for (const DecodedRecord& trailer : set.trailer_labels.records) {
    if (trailer.identifier != prefix + "1" && trailer.identifier != prefix + "2") continue;
    const DecodedRecord* header = Record(set.header_labels, "HDR" + trailer.identifier.substr(3));
    if (header) Repeated(set, *header, trailer);
  }
}

void MapChecker::BlockCount(const MappedDataSet& set) {
  const DecodedRecord* first = set.trailer_labels.records.empty() ? nullptr : &set.trailer_labels.records[0];
  const Field* low = first ? first->Find("block_count") : nullptr;
  if (!low || !set.data || !set.data->tape_mark) return;
  std::optional<uint64_t> count = set.BlockCount();
  if (!count) {
    Add("block_count", set.trailer->number, &set, first, low, Quoted(low->value) + " is not a block count");
    return;
  }
  uint64_t blocks = set.data->data.blocks;
  if (*count != blocks)
    Add("block_count", set.trailer->number, &set, first, low,
        std::to_string(*count) + ", where the data file (" + FileName(set.data->number) + ") holds " + Blocks(blocks));
}

void MapChecker::Repeated(const MappedDataSet& set, const DecodedRecord& header, const DecodedRecord& trailer) {
  for (const Field& field : trailer.fields) {
    const Field* source = header.Find(field.key);
    if (IsRepeated(field) && source && source->value != field.value)
      Add("trailer", set.trailer->number, &set, &trailer, &field,
          Quoted(field.value) + ", where " + header.identifier + " has " + Quoted(source->value));
  }
}

void MapChecker::Sequence(const MappedDataSet& set) {
  if (!previous_ || !set.header) return;
  const Field* now = set.Find("data_set_sequence_number");
  const std::optional<uint64_t>& before = previous_->sequence;
  if (!before || !now || !now->number || *now->number == *before + 1) return;
  Add("sequence", set.header->number, &set, Record(set.header_labels, "HDR1"), now,
      std::to_string(*now->number) + ", where the data set before it has " + std::to_string(*before));
}

// Two tape marks after the last trailer group, or an end-of-volume group
// and its tape mark; an unreadable block has already said what it can.
std::vector<MapFinding> MapChecker::End(const TapeMap& map) {
  FirstFile(map);
  if (!map.labelled || map.end == WalkEnd::kUnreadable || !last_ || last_->open_end) return Taken();
  std::string problem;
  if (last_->trailer_file != map.files)
    problem = "the recorded data ends without two tape marks after the last trailer labels";
  else if (!last_->trailer_tape_mark)
    problem = std::string("no tape mark after the ") + (last_->end_of_volume ? "end-of-volume" : "trailer") +
              " labels of data set " + std::to_string(last_->number) + ": the recorded data ends right after them";
  else if (!last_->end_of_volume && map.end != WalkEnd::kTwoTapeMarks)
    problem = "the recorded data ends after one tape mark after the last trailer labels, where two close the tape";
  if (!problem.empty()) Add("tape_end", map.files, nullptr, nullptr, nullptr, problem);
  return Taken();
}

std::vector<MapFinding> MapChecker::Taken() {
  std::vector<MapFinding> taken;
  taken.swap(found_);
  return taken;
}

bool MapPasses(const std::vector<MapFinding>& findings, bool vaklabel_form_counts) {
  return std::all_of(findings.begin(), findings.end(),
                     [&](const MapFinding& f) { return IsVaklabelForm(f.finding) && !vaklabel_form_counts; });
}

}  // namespace show
