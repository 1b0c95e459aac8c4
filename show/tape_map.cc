#include "tape_map.h"

#include "ebcdic.h"

namespace show {
namespace {

GroupKind KindOfIdentifier(std::string_view identifier) {
  if (identifier == "VOL1") return GroupKind::kVolume;
  if (identifier == "HDR1") return GroupKind::kHeader;
  if (identifier == "EOF1") return GroupKind::kEndOfFile;
  if (identifier == "EOV1") return GroupKind::kEndOfVolume;
  return GroupKind::kNone;
}

// A file starting with an 80-byte label that opens a group is read as a
// label group; anything else is data, counted and passed over.
bool OpensLabelGroup(TapeEvent event, const std::string& block) {
  return event == TapeEvent::kBlock && block.size() == kLabelRecordSize &&
         KindOfIdentifier(FromEbcdic(std::string_view(block).substr(0, 4))) != GroupKind::kNone;
}

class Walker {
 public:
  Walker(TapeReader& reader, TapeMap* map) : reader_(reader), map_(*map) {}

  void Run() {
    for (bool more = true; more;) {
      file_ = TapeFile{};
      file_.number = static_cast<int>(map_.files.size()) + 1;
      try {
        more = ReadFile();
      } catch (const InputError& error) {
        file_.tape_mark = false;
        if (file_.labels || file_.data.blocks > 0) map_.files.push_back(file_);
        Unreadable(error.what());
        more = false;
      }
    }
  }

 private:
  // False when the walk ends with this file.
  bool ReadFile() {
    std::string block;
    std::optional<uint64_t> length;
    TapeEvent first = reader_.Read(&block, &length);
    if (first == TapeEvent::kEndOfData) return End(WalkEnd::kEndOfData);
    if (first == TapeEvent::kTapeMark) {
      // A header group's data file may be empty; any other empty file is
      // the second of two tape marks, which close the tape.
      if (!map_.files.empty() && !AfterHeaderGroup()) return End(WalkEnd::kTwoTapeMarks);
      file_.data.bytes = 0;
    } else if (OpensLabelGroup(first, block)) {
      ReadLabelGroup(block);
    } else {
      file_.data = {1, length, first == TapeEvent::kBlock ? length : std::nullopt};
      TakeRest(reader_.SkipFile());
    }
    map_.files.push_back(file_);
    return file_.tape_mark;
  }

  void ReadLabelGroup(std::string block) {
    LabelSet& set = file_.labels.emplace();
    set.kind = map_.kind;
    set.records.push_back(FromEbcdic(block));
    std::optional<uint64_t> length;
    for (;;) {
      TapeEvent event = reader_.Read(&block, &length);
      if (event == TapeEvent::kTapeMark) return;
      if (event == TapeEvent::kEndOfData) {
        set.ends_with_tape_mark = false;
        file_.tape_mark = false;
        End(WalkEnd::kEndOfData);
        return;
      }
      if (set.records.size() == kMaxLabelRecords) {
        set.more_records = true;
        file_.data = {1, length, std::nullopt};
        TakeRest(reader_.SkipFile());
        set.ends_with_tape_mark = file_.tape_mark;
        return;
      }
      if (event == TapeEvent::kLongBlock) set.unread_blocks.push_back(set.records.size());
      set.records.push_back(FromEbcdic(block));
    }
  }

  void TakeRest(const FileRest& rest) {
    file_.data.blocks += rest.blocks;
    file_.data.bytes = file_.data.bytes && rest.bytes ? std::optional(*file_.data.bytes + *rest.bytes) : std::nullopt;
    if (rest.end == TapeEvent::kTapeMark) return;
    file_.tape_mark = false;
    if (rest.error.empty())
      End(WalkEnd::kEndOfData);
    else
      Unreadable(rest.error);
  }

  bool AfterHeaderGroup() const {
    GroupKind kind = KindOfGroup(map_.files.back());
    return kind == GroupKind::kVolume || kind == GroupKind::kHeader;
  }

  bool End(WalkEnd end) {
    map_.end = end;
    return false;
  }

  void Unreadable(const std::string& why) {
    map_.end = WalkEnd::kUnreadable;
    map_.unreadable = "file " + std::to_string(file_.number) + ": " + why;
  }

  TapeReader& reader_;
  TapeMap& map_;
  TapeFile file_;
};

bool IsHeader(GroupKind kind) { return kind == GroupKind::kVolume || kind == GroupKind::kHeader; }
bool IsTrailer(GroupKind kind) { return kind == GroupKind::kEndOfFile || kind == GroupKind::kEndOfVolume; }

// Header group, data file, trailer group, as far as the tape has them; a
// file outside that order stands alone.
void AssembleDataSets(TapeMap* map) {
  std::vector<MappedDataSet>& sets = map->data_sets;
  int open = -1;  // the data set still waiting for its data file or trailer
  auto start = [&]() {
    int index = static_cast<int>(sets.size());
    sets.emplace_back().number = index + 1;
    return index;
  };
  for (int i = 0; i < static_cast<int>(map->files.size()); ++i) {
    GroupKind kind = KindOfGroup(map->files[static_cast<size_t>(i)]);
    if (IsHeader(kind)) {
      open = start();
      sets[static_cast<size_t>(open)].header = i;
    } else if (IsTrailer(kind)) {
      if (open < 0) open = start();
      sets[static_cast<size_t>(open)].trailer = i;
      open = -1;
    } else if (open >= 0 && sets[static_cast<size_t>(open)].data < 0) {
      sets[static_cast<size_t>(open)].data = i;
    } else {
      open = -1;
      sets[static_cast<size_t>(start())].data = i;
    }
  }
}

void DecodeLabels(TapeMap* map) {
  for (MappedDataSet& set : map->data_sets) {
    if (set.header >= 0) set.header_labels = Decode(*map->files[static_cast<size_t>(set.header)].labels);
    if (set.trailer >= 0) set.trailer_labels = Decode(*map->files[static_cast<size_t>(set.trailer)].labels);
  }
  if (map->data_sets.empty() || map->end == WalkEnd::kUnreadable) return;
  MappedDataSet& last = map->data_sets.back();
  const TapeFile* data = last.data >= 0 ? &map->files[static_cast<size_t>(last.data)] : nullptr;
  last.label_set_only = last.header >= 0 && last.trailer < 0 && (!data || data->data.blocks == 0);
}

}  // namespace

const Field* MappedDataSet::Find(std::string_view key) const {
  for (const DecodedSet* labels : {&header_labels, &trailer_labels})
    for (const DecodedRecord& record : labels->records)
      if (record.identifier != "VOL1")
        if (const Field* field = record.Find(key)) return field;
  return nullptr;
}

GroupKind KindOfGroup(const TapeFile& file) {
  if (!file.labels || file.labels->records.empty()) return GroupKind::kNone;
  return KindOfIdentifier(Columns(file.labels->records[0], 1, 4));
}

TapeMap MapTape(InputKind kind, TapeReader& reader) {
  TapeMap map;
  map.kind = kind;
  Walker(reader, &map).Run();
  map.labelled = !map.files.empty() && KindOfGroup(map.files[0]) == GroupKind::kVolume;
  AssembleDataSets(&map);
  DecodeLabels(&map);
  return map;
}

}  // namespace show
