#include "label_layout.h"

#include <span>

#include "label_date.h"

namespace show {
namespace {

// A one-character code and what it stands for.
struct Code {
  char code;
  const char* meaning;
};

constexpr Code kSecurity[] = {{'0', "no password protection"},
                              {'1', "password needed to read, write or delete"},
                              {'3', "password needed to write or delete"}};
constexpr Code kRecordFormat[] = {{'F', "fixed length"}, {'V', "variable length"}, {'U', "undefined length"}};
constexpr Code kDensity[] = {{'0', "200 bpi"}, {'1', "556 bpi"}, {'2', "800 bpi"}, {'3', "1600 bpi"}, {'4', "6250 bpi"}};
constexpr Code kPosition[] = {{'0', "no volume switch"}, {'1', "a volume switch has occurred"}};
constexpr Code kControlCharacter[] = {{'A', "ANSI control characters"}, {'M', "machine control characters"}};
constexpr Code kBlockAttribute[] = {{'B', "blocked"}, {'S', "spanned"}, {'R', "blocked and spanned"}};
constexpr Code kCheckpoint[] = {{'C', "secure checkpoint data set"}};

enum class DateRole { kNone, kCreation, kExpiration };

struct FieldFormat {
  int first;
  int last;
  const char* key;
  const char* title;
  std::span<const Code> codes = {};
  DateRole date = DateRole::kNone;
};

constexpr FieldFormat kIdentifier[] = {{1, 3, "label_identifier", "label identifier"},
                                     {4, 4, "label_number", "label number"}};

constexpr FieldFormat kVol1[] = {
    kIdentifier[0],
    kIdentifier[1],
    {5, 10, "volume_serial", "volume serial"},
    {11, 11, "volume_security", "volume security (accessibility)"},
    {12, 16, "vtoc_pointer", "VTOC pointer (disks only)"},
    {17, 41, "reserved_17_41", "reserved"},
    {42, 51, "owner", "owner name and address code"},
    {52, 80, "reserved_52_80", "reserved"},
};

constexpr FieldFormat kHdr1[] = {
    kIdentifier[0],
    kIdentifier[1],
    {5, 21, "data_set_identifier", "data set identifier"},
    {22, 27, "data_set_serial", "data set serial (first volume)"},
    {28, 31, "volume_sequence_number", "volume sequence number"},
    {32, 35, "data_set_sequence_number", "data set sequence number"},
    {36, 39, "generation_number", "generation number"},
    {40, 41, "version_number", "version number of generation"},
    {42, 47, "creation_date", "creation date", {}, DateRole::kCreation},
    {48, 53, "expiration_date", "expiration date", {}, DateRole::kExpiration},
    {54, 54, "data_set_security", "data set security", kSecurity},
    {55, 60, "block_count", "block count"},
    {61, 73, "system_code", "system code"},
    {74, 76, "reserved_74_76", "reserved"},
    {77, 80, "block_count_high", "block count, high-order digits"},
};

constexpr FieldFormat kHdr2[] = {
    kIdentifier[0],
    kIdentifier[1],
    {5, 5, "record_format", "record format", kRecordFormat},
    {6, 10, "block_length", "block length"},
    {11, 15, "record_length", "record length"},
    {16, 16, "density", "tape density", kDensity},
    {17, 17, "data_set_position", "data set position", kPosition},
    {18, 34, "job_step", "job and job step"},
    {35, 36, "recording_technique", "tape recording technique"},
    {37, 37, "control_character", "control character", kControlCharacter},
    {38, 38, "reserved_38", "reserved"},
    {39, 39, "block_attribute", "block attribute", kBlockAttribute},
    {40, 42, "reserved_40_42", "reserved"},
    {43, 47, "device_serial", "device serial number"},
    {48, 48, "checkpoint", "checkpoint data set identifier", kCheckpoint},
    {49, 70, "reserved_49_70", "reserved"},
    {71, 80, "large_block_length", "large block length"},
};

// HDR3-HDR9 are only checked for their identification and order by the
// systems that read them.
constexpr FieldFormat kHdrN[] = {kIdentifier[0], kIdentifier[1], {5, 80, "contents", "contents"}};
constexpr FieldFormat kUhlN[] = {kIdentifier[0], kIdentifier[1], {5, 80, "user_data", "user data"}};
// The UHL1 record vaklabel writes for an eight-character label.
constexpr FieldFormat kUhl1Label[] = {
    kIdentifier[0],
    kIdentifier[1],
    {5, 12, "label", "eight-character label"},
    {13, 80, "user_data", "user data"},
};
constexpr FieldFormat kUnknown[] = {{1, 4, "identifier", "identifier"}, {5, 80, "contents", "contents"}};

bool IsNumbered(std::string_view identifier, std::string_view prefix, char low, char high) {
  return identifier.size() == 4 && identifier.substr(0, 3) == prefix && identifier[3] >= low && identifier[3] <= high;
}

struct Layout {
  std::span<const FieldFormat> fields;
  std::string title;
};

Layout LayoutOf(std::string_view identifier, bool marker) {
  std::string number(1, identifier.size() == 4 ? identifier[3] : '?');
  if (identifier == "VOL1") return {kVol1, "volume label"};
  if (identifier == "HDR1") return {kHdr1, "data set label 1"};
  if (identifier == "HDR2") return {kHdr2, "data set label 2"};
  if (IsNumbered(identifier, "HDR", '3', '9')) return {kHdrN, "data set label " + number};
  if (identifier == "UHL1" && marker) return {kUhl1Label, "user header label 1, holding the label"};
  if (IsNumbered(identifier, "UHL", '1', '8')) return {kUhlN, "user header label " + number};
  return {kUnknown, "not a header label"};
}

void Interpret(const FieldFormat& format, Field* field) {
  for (const Code& code : format.codes)
    if (field->value.size() == 1 && field->value[0] == code.code) field->meaning = code.meaning;
  if (format.date == DateRole::kNone) return;
  LabelDate date = ParseLabelDate(field->value, format.date == DateRole::kExpiration);
  field->meaning = Describe(date);
  if (date.kind == LabelDate::Kind::kDate) field->date = field->meaning;
}

DecodedRecord DecodeRecord(int number, const std::string& text, bool marker) {
  DecodedRecord record;
  record.number = number;
  record.identifier = Columns(text, 1, 4);
  record.length = text.size();
  Layout layout = LayoutOf(record.identifier, marker);
  record.title = layout.title;
  for (const FieldFormat& format : layout.fields) {
    if (static_cast<size_t>(format.first) > text.size()) break;
    Field field{format.key, format.title, format.first, format.last, Columns(text, format.first, format.last), "", ""};
    Interpret(format, &field);
    if (number == 1 && marker && field.key == "volume_serial") field.meaning = "UHL1 marker: the label is in UHL1";
    record.fields.push_back(std::move(field));
  }
  return record;
}

// The label as vaklabel reads it: it needs three records, and a fourth
// for the marker, whatever their identifiers.
std::optional<std::string> CurrentLabel(const LabelSet& set, bool marker) {
  if (set.records.size() < 3) return std::nullopt;
  if (!marker) return Columns(set.records[0], 5, 10);
  if (set.records.size() < 4) return std::nullopt;
  return Columns(set.records[3], 5, 12);
}

}  // namespace

const Field* DecodedRecord::Find(std::string_view key) const {
  for (const Field& field : fields)
    if (field.key == key) return &field;
  return nullptr;
}

std::string Columns(std::string_view record, int first, int last) {
  size_t from = static_cast<size_t>(first - 1);
  if (from >= record.size()) return "";
  return std::string(record.substr(from, static_cast<size_t>(last - first + 1)));
}

std::string Visible(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      shown += c;
    } else {
      shown += "\\x";
      shown += kDigits[b >> 4];
      shown += kDigits[b & 15];
    }
  }
  return shown;
}

DecodedSet Decode(const LabelSet& set) {
  DecodedSet decoded;
  decoded.marker = !set.records.empty() && Columns(set.records[0], 5, 10) == kUhl1Marker;
  for (size_t i = 0; i < set.records.size(); ++i)
    decoded.records.push_back(DecodeRecord(static_cast<int>(i + 1), set.records[i], decoded.marker));
  decoded.label = CurrentLabel(set, decoded.marker);
  return decoded;
}

}  // namespace show
