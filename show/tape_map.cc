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

bool IsHeader(GroupKind kind) { return kind == GroupKind::kVolume || kind == GroupKind::kHeader; }
bool IsTrailer(GroupKind kind) { return kind == GroupKind::kEndOfFile || kind == GroupKind::kEndOfVolume; }

// A file starting with an 80-byte label that opens a group, in EBCDIC or in
// ASCII, is read as a label group; anything else is data, counted and
// passed over.
bool OpensLabelGroup(TapeEvent event, const std::string& block) {
  if (event != TapeEvent::kBlock || block.size() != kLabelRecordSize) return false;
  std::string_view identifier = std::string_view(block).substr(0, 4);
  return KindOfIdentifier(FromEbcdic(identifier)) != GroupKind::kNone ||
         KindOfIdentifier(identifier) != GroupKind::kNone;
}

// Header group, data file, trailer group, as far as the tape has them; a
// file outside that order stands alone. A data set goes out once the file
// after it has started another, or the walk has ended.
class Assembler {
 public:
  Assembler(TapeMap* map, const std::function<void(const TapeMap&, const MappedDataSet&)>& each)
      : map_(*map), each_(each) {}

  void Take(const TapeFile& file) {
    GroupKind kind = KindOfGroup(file);
    if (IsHeader(kind)) {
      Start().header = file;
      open_ = true;
    } else if (IsTrailer(kind)) {
      if (!open_) Start();
      pending_->trailer = file;
      open_ = false;
    } else if (open_ && !pending_->data) {
      pending_->data = file;
    } else {
      open_ = false;
      Start().data = file;
    }
  }

  void Finish() { Flush(true); }

 private:
  MappedDataSet& Start() {
    Flush(false);
    pending_.emplace().number = ++map_.data_sets;
    return *pending_;
  }

  void Flush(bool last) {
    if (!pending_) return;
    MappedDataSet& set = *pending_;
    if (set.header) set.header_labels = Decode(*set.header->labels);
    if (set.trailer) set.trailer_labels = Decode(*set.trailer->labels);
    set.last = last;
    set.label_set_only = last && map_.end != WalkEnd::kUnreadable && set.header && !set.trailer &&
                         (!set.data || set.data->data.blocks == 0);
    each_(map_, set);
    pending_.reset();
  }

  TapeMap& map_;
  const std::function<void(const TapeMap&, const MappedDataSet&)>& each_;
  std::optional<MappedDataSet> pending_;
  bool open_ = false;  // the pending data set still waits for its data file or trailer
};

class Walker {
 public:
  Walker(TapeReader& reader, TapeMap* map, Assembler* assembler)
      : reader_(reader), map_(*map), assembler_(*assembler) {}

  void Run() {
    for (bool more = true; more;) {
      file_ = TapeFile{};
      file_.number = map_.files + 1;
      try {
        more = ReadFile();
      } catch (const InputError& error) {
        file_.tape_mark = false;
        if (file_.labels || file_.data.blocks > 0) Keep();
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
    if (first == TapeEvent::kEndOfData) {
      if (map_.files == 0) map_.first.emplace().ends_with_tape_mark = false;
      return End(WalkEnd::kEndOfData);
    }
    if (first == TapeEvent::kTapeMark) {
      // A header group's data file may be empty; any other empty file is
      // the second of two tape marks, which close the tape.
      if (map_.files > 0 && !IsHeader(previous_)) return End(WalkEnd::kTwoTapeMarks);
      file_.data.bytes = 0;
    } else if (OpensLabelGroup(first, block)) {
      ReadLabelGroup(block);
    } else {
      file_.data = {1, length, first == TapeEvent::kBlock ? length : std::nullopt};
      if (map_.files == 0) KeepFirstBlock(first, block);
      TakeRest(reader_.SkipFile());
    }
    Keep();
    return file_.tape_mark;
  }

  // The first file as a label set, for the checks a label set gets.
  void KeepFirstBlock(TapeEvent event, const std::string& block) {
    LabelSet& set = map_.first.emplace();
    set.kind = map_.kind;
    set.records.push_back(event == TapeEvent::kBlock ? FromEbcdic(block) : "");
    if (event == TapeEvent::kLongBlock) set.unread_blocks.push_back(0);
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

  // Hands the file on; a trailer group that runs on into the next data
  // set's header labels (no tape mark between them) is two groups.
  void Keep() {
    ++map_.files;
    if (map_.files == 1) {
      map_.labelled = KindOfGroup(file_) == GroupKind::kVolume;
      if (file_.labels) map_.first = *file_.labels;
      if (!map_.first) map_.first.emplace().kind = map_.kind;
      if (!file_.labels) map_.first->ends_with_tape_mark = file_.tape_mark;
      map_.first_decoded = Decode(*map_.first);
    }
    previous_ = KindOfGroup(file_);
    size_t header = IsTrailer(previous_) ? NextHeader(*file_.labels) : 0;
    if (header == 0) {
      assembler_.Take(file_);
      return;
    }
    TapeFile trailer = file_;
    LabelSet& labels = *trailer.labels;
    labels.records.resize(header);
    labels.more_records = false;
    labels.ends_with_tape_mark = false;
    std::erase_if(labels.unread_blocks, [&](size_t i) { return i >= header; });
    trailer.data = {};
    trailer.tape_mark = false;
    assembler_.Take(trailer);
    std::vector<std::string>& records = file_.labels->records;
    records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(header));
    std::erase_if(file_.labels->unread_blocks, [&](size_t i) { return i < header; });
    for (size_t& i : file_.labels->unread_blocks) i -= header;
    previous_ = GroupKind::kHeader;
    assembler_.Take(file_);
  }

  // Where HDR1 starts in a trailer group, or 0.
  static size_t NextHeader(const LabelSet& labels) {
    for (size_t i = 1; i < labels.records.size(); ++i)
      if (Identifier(labels, i) == "HDR1") return i;
    return 0;
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

  bool End(WalkEnd end) {
    map_.end = end;
    return false;
  }

  void Unreadable(const std::string& why) {
    map_.end = WalkEnd::kUnreadable;
    map_.stopped_at = file_.number;
    map_.unreadable = "file " + std::to_string(file_.number) + ": " + why;
  }

  TapeReader& reader_;
  TapeMap& map_;
  Assembler& assembler_;
  TapeFile file_;
  GroupKind previous_ = GroupKind::kNone;
};

}  // namespace

const Field* MappedDataSet::Find(std::string_view key) const {
  for (const DecodedSet* labels : {&header_labels, &trailer_labels})
    for (const DecodedRecord& record : labels->records)
      if (record.identifier != "VOL1")
        if (const Field* field = record.Find(key)) return field;
  return nullptr;
}

bool MappedDataSet::continues() const { return trailer && KindOfGroup(*trailer) == GroupKind::kEndOfVolume; }

std::optional<uint64_t> MappedDataSet::BlockCount() const {
  constexpr uint64_t kLowLimit = 1000000;  // columns 55-60 hold six digits
  if (trailer_labels.records.empty()) return std::nullopt;
  const DecodedRecord& first = trailer_labels.records[0];
  const Field* low = first.Find("block_count");
  const Field* high = first.Find("block_count_high");
  bool high_blank = !high || high->value.find_first_not_of(' ') == std::string::npos;
  if (!low || !low->number || (!high_blank && !high->number)) return std::nullopt;
  return *low->number + (high_blank ? 0 : *high->number * kLowLimit);
}

std::vector<int> MappedDataSet::Files() const {
  std::vector<int> files;
  for (const std::optional<TapeFile>* file : {&header, &data, &trailer})
    if (*file && (files.empty() || files.back() != (*file)->number)) files.push_back((*file)->number);
  return files;
}

GroupKind KindOfGroup(const TapeFile& file) {
  if (!file.labels || file.labels->records.empty()) return GroupKind::kNone;
  return KindOfIdentifier(Identifier(*file.labels, 0));
}

TapeMap MapTape(InputKind kind, TapeReader& reader,
                const std::function<void(const TapeMap&, const MappedDataSet&)>& each) {
  TapeMap map;
  map.kind = kind;
  Assembler assembler(&map, each);
  Walker(reader, &map, &assembler).Run();
  // A blank tape, or one whose first record cannot be read, has no first file.
  if (map.files == 0) {
    if (!map.first) map.first.emplace();
    map.first->kind = kind;
    map.first_decoded = Decode(*map.first);
  }
  assembler.Finish();
  return map;
}

}  // namespace show
