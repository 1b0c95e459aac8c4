#include "label_layout.h"

#include <span>

#include "ebcdic.h"
#include "label_date.h"

namespace show {
namespace {

// A one-character code and what it stands for.
struct Code {
  char code;
  const char* meaning;
};

// The code lists of z/OS DFSMS "Using Magnetic Tapes" for IBM standard
// labels; a blank code is listed where the layout gives it a meaning.
constexpr Code kVolumeSecurity[] = {{'0', "no security protection"}};
constexpr Code kSecurity[] = {{'0', "no password protection"},
                              {'1', "password needed to read, write or delete"},
                              {'3', "password needed to write or delete"},
                              {' ', "not recorded (z/VSE leaves the column blank)"}};
constexpr Code kRecordFormat[] = {{'F', "fixed length"}, {'V', "variable length"}, {'U', "undefined length"}};
constexpr Code kDensity[] = {{'0', "200 bpi"},  {'1', "556 bpi"},  {'2', "800 bpi"},
                             {'3', "1600 bpi"}, {'4', "6250 bpi"}, {' ', "not recorded (cartridge)"}};
constexpr Code kPosition[] = {{'0', "no volume switch"}, {'1', "a volume switch has occurred"}};
constexpr Code kControlCharacter[] = {
    {'A', "ANSI control characters"}, {'M', "machine control characters"}, {' ', "no control characters"}};
// What B, S and R say depends on the record format: S is "standard" (no
// short blocks) for fixed-length records and "spanned" for variable-length.
constexpr Code kBlockAttributeFixed[] = {
    {'B', "blocked"}, {'S', "standard"}, {'R', "blocked standard"}, {' ', "unblocked"}};
constexpr Code kBlockAttributeVariable[] = {
    {'B', "blocked"}, {'S', "spanned"}, {'R', "blocked and spanned"}, {' ', "unblocked, not spanned"}};
// Undefined-length records are neither blocked nor spanned.
constexpr Code kBlockAttributeUndefined[] = {{' ', "unblocked"}};
constexpr Code kBlockAttributeOther[] = {{'B', "blocked"},
                                         {'S', "standard (fixed length) or spanned (variable length)"},
                                         {'R', "blocked standard (fixed length) or blocked and spanned (variable)"},
                                         {' ', "unblocked"}};
constexpr Code kCheckpoint[] = {{'C', "secure checkpoint data set"}, {' ', "not a secure checkpoint data set"}};

enum class DateRole { kNone, kCreation, kExpiration };

enum class Kind { kText, kNumber, kCoded, kDate };

struct FieldFormat {
  int first;
  int last;
  const char* key;
  const char* title;
  Kind kind = Kind::kText;
  std::span<const Code> codes = {};  // kCoded: the values that are allowed
  DateRole date = DateRole::kNone;
};

constexpr FieldFormat Number(int first, int last, const char* key, const char* title) {
  return {first, last, key, title, Kind::kNumber};
}
constexpr FieldFormat Coded(int first, const char* key, const char* title, std::span<const Code> codes) {
  return {first, first, key, title, Kind::kCoded, codes};
}
constexpr FieldFormat Date(int first, const char* key, const char* title, DateRole role) {
  return {first, first + 5, key, title, Kind::kDate, {}, role};
}

constexpr FieldFormat kIdentifier[] = {{1, 3, "label_identifier", "label identifier"},
                                     {4, 4, "label_number", "label number"}};

constexpr FieldFormat kVol1[] = {
    kIdentifier[0],
    kIdentifier[1],
    {5, 10, "volume_serial", "volume serial"},
    {11, 11, "volume_security", "volume security (accessibility)", Kind::kText, kVolumeSecurity},
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
    Number(28, 31, "volume_sequence_number", "volume sequence number"),
    Number(32, 35, "data_set_sequence_number", "data set sequence number"),
    Number(36, 39, "generation_number", "generation number"),
    Number(40, 41, "version_number", "version number of generation"),
    Date(42, "creation_date", "creation date", DateRole::kCreation),
    Date(48, "expiration_date", "expiration date", DateRole::kExpiration),
    Coded(54, "data_set_security", "data set security", kSecurity),
    Number(55, 60, "block_count", "block count"),
    {61, 73, "system_code", "system code"},
    {74, 76, "reserved_74_76", "reserved"},
    Number(77, 80, "block_count_high", "block count, high-order digits"),
};

constexpr FieldFormat kHdr2[] = {
    kIdentifier[0],
    kIdentifier[1],
    Coded(5, "record_format", "record format", kRecordFormat),
    Number(6, 10, "block_length", "block length"),
    Number(11, 15, "record_length", "record length"),
    Coded(16, "density", "tape density", kDensity),
    Coded(17, "data_set_position", "data set position", kPosition),
    {18, 34, "job_step", "job and job step"},
    {35, 36, "recording_technique", "tape recording technique"},
    Coded(37, "control_character", "control character", kControlCharacter),
    {38, 38, "reserved_38", "reserved"},
    Coded(39, "block_attribute", "block attribute", kBlockAttributeOther),
    {40, 42, "reserved_40_42", "reserved"},
    {43, 47, "device_serial", "device serial number"},
    Coded(48, "checkpoint", "checkpoint data set identifier", kCheckpoint),
    {49, 70, "reserved_49_70", "reserved"},
    Number(71, 80, "large_block_length", "large block length"),
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
// ASCII (ANSI X3.27, ISO 1001) labels, as z/OS writes them with LABEL=AL:
// the data set labels keep the EBCDIC labels' columns and names wherever
// they hold the same thing, so that a script reads either alike.
constexpr Code kAsciiRecordFormat[] = {
    {'F', "fixed length"}, {'D', "variable length"}, {'S', "spanned"}, {'U', "undefined length"}};

constexpr FieldFormat kAsciiVol1[] = {
    kIdentifier[0],
    kIdentifier[1],
    {5, 10, "volume_serial", "volume identifier"},
    {11, 11, "volume_accessibility", "volume accessibility"},
    {12, 24, "reserved_12_24", "reserved"},
    {25, 37, "implementation_identifier", "implementation identifier"},
    {38, 51, "owner", "owner identifier"},
    {52, 79, "reserved_52_79", "reserved"},
    {80, 80, "label_standard_version", "label standard version"},
};

constexpr FieldFormat kAsciiHdr1[] = {
    kIdentifier[0],
    kIdentifier[1],
    {5, 21, "data_set_identifier", "file identifier"},
    {22, 27, "data_set_serial", "file set identifier (first volume)"},
    Number(28, 31, "volume_sequence_number", "file section number"),
    Number(32, 35, "data_set_sequence_number", "file sequence number"),
    Number(36, 39, "generation_number", "generation number"),
    Number(40, 41, "version_number", "generation version number"),
    Date(42, "creation_date", "creation date", DateRole::kCreation),
    Date(48, "expiration_date", "expiration date", DateRole::kExpiration),
    {54, 54, "accessibility", "accessibility"},
    Number(55, 60, "block_count", "block count"),
    {61, 73, "system_code", "implementation identifier"},
    {74, 76, "reserved_74_76", "reserved"},
    Number(77, 80, "block_count_high", "block count, high-order digits"),
};

constexpr FieldFormat kAsciiHdr2[] = {
    kIdentifier[0],
    kIdentifier[1],
    Coded(5, "record_format", "record format", kAsciiRecordFormat),
    Number(6, 10, "block_length", "block length"),
    Number(11, 15, "record_length", "record length"),
    {16, 50, "system_use", "reserved for system use"},
    Number(51, 52, "buffer_offset", "buffer offset length"),
    {53, 80, "reserved_53_80", "reserved"},
};

constexpr FieldFormat kUnknown[] = {{1, 4, "identifier", "identifier"}, {5, 80, "contents", "contents"}};
constexpr FieldFormat kOther[] = {kIdentifier[0], kIdentifier[1], {5, 80, "contents", "contents"}};

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
  if (IsNumbered(identifier, "VOL", '2', '9'))
    return {kOther, "volume label " + number + ", an additional volume label z/OS neither writes nor reads"};
  if (identifier == "HDR1") return {kHdr1, "data set label 1"};
  if (identifier == "HDR2") return {kHdr2, "data set label 2"};
  if (IsNumbered(identifier, "HDR", '3', '9')) return {kHdrN, "data set label " + number};
  if (identifier == "UHL1" && marker) return {kUhl1Label, "user header label 1, holding the label"};
  if (IsNumbered(identifier, "UHL", '1', '8')) return {kUhlN, "user header label " + number};
  // Trailer labels repeat their header labels' layouts; EOF1 and EOV1 fill in the block count.
  if (identifier == "EOF1" || identifier == "EOV1") return {kHdr1, "trailer label 1"};
  if (identifier == "EOF2" || identifier == "EOV2") return {kHdr2, "trailer label 2"};
  if (IsNumbered(identifier, "EOF", '3', '9') || IsNumbered(identifier, "EOV", '3', '9'))
    return {kHdrN, "trailer label " + number};
  if (IsNumbered(identifier, "UTL", '1', '8')) return {kUhlN, "user trailer label " + number};
  return {kUnknown, "not a header label"};
}

// ASCII labels have layouts of their own; the data set labels keep the
// columns of the EBCDIC ones.
Layout AsciiLayoutOf(std::string_view identifier) {
  Layout layout = LayoutOf(identifier, false);
  if (identifier == "VOL1") layout.fields = kAsciiVol1;
  if (identifier == "HDR1" || identifier == "EOF1" || identifier == "EOV1") layout.fields = kAsciiHdr1;
  if (identifier == "HDR2" || identifier == "EOF2" || identifier == "EOV2") layout.fields = kAsciiHdr2;
  layout.title += " (ASCII)";
  return layout;
}

std::string CodeList(std::span<const Code> codes) {
  std::string list;
  for (const Code& code : codes)
    list += (list.empty() ? "" : ", ") + (code.code == ' ' ? std::string("blank") : std::string(1, code.code));
  return list;
}

std::span<const Code> BlockAttributeCodes(char record_format) {
  if (record_format == 'F') return kBlockAttributeFixed;
  if (record_format == 'V') return kBlockAttributeVariable;
  if (record_format == 'U') return kBlockAttributeUndefined;
  return kBlockAttributeOther;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Above 9999 z/OS writes a data set sequence number as '?' and the number
// in three binary bytes, which the EBCDIC table must not have changed.
bool DecodeBinarySequence(Field* field, bool ascii) {
  if (ascii || field->key != "data_set_sequence_number" || field->value.size() != 4 || field->value[0] != '?')
    return false;
  field->value.replace(1, 3, ToEbcdic(field->value.substr(1)));
  uint64_t number = 0;
  for (size_t i = 1; i < 4; ++i) number = number << 8 | static_cast<unsigned char>(field->value[i]);
  field->number = number;
  field->meaning = std::to_string(number) + " (binary)";
  return true;
}

const char* DateCode(LabelDate::Kind kind) {
  switch (kind) {
    case LabelDate::Kind::kDate: return "calendar";
    case LabelDate::Kind::kNone: return "none";
    case LabelDate::Kind::kNeverExpires: return "never_expires";
    case LabelDate::Kind::kTapeManagement: return "tape_management";
    case LabelDate::Kind::kInvalid: break;
  }
  return "";
}

void Interpret(const FieldFormat& format, std::span<const Code> codes, bool ascii, Field* field) {
  for (const Code& code : codes)
    if (field->value.size() == 1 && field->value[0] == code.code) field->meaning = code.meaning;
  switch (format.kind) {
    case Kind::kText: return;
    case Kind::kCoded: field->codes = CodeList(codes); return;
    case Kind::kNumber:
      field->numeric = true;
      if (DecodeBinarySequence(field, ascii)) return;
      if (AllDigits(field->value)) field->number = std::stoull(field->value);
      return;
    case Kind::kDate: break;
  }
  LabelDate date = ParseLabelDate(field->value, format.date == DateRole::kExpiration);
  field->meaning = Describe(date);
  field->date_code = DateCode(date.kind);
  if (date.kind == LabelDate::Kind::kDate) field->date = field->meaning;
}

DecodedRecord DecodeRecord(int number, const LabelSet& set, const DecodedSet& decoded) {
  const std::string& translated = set.records[static_cast<size_t>(number - 1)];
  const std::string text = decoded.ascii ? ToEbcdic(translated) : translated;
  DecodedRecord record;
  record.number = number;
  record.identifier = Columns(text, 1, 4);
  record.length = text.size();
  if (set.IsUnread(static_cast<size_t>(number - 1))) {
    record.title = "a block too long to read";
    record.unread = true;
    return record;
  }
  Layout layout = decoded.ascii ? AsciiLayoutOf(record.identifier) : LayoutOf(record.identifier, decoded.marker);
  record.title = layout.title;
  for (const FieldFormat& format : layout.fields) {
    if (static_cast<size_t>(format.first) > text.size()) break;
    Field field;
    field.key = format.key;
    field.title = format.title;
    field.first = format.first;
    field.last = format.last;
    field.value = Columns(text, format.first, format.last);
    std::span<const Code> codes = format.codes;
    if (field.key == "block_attribute") codes = BlockAttributeCodes(Columns(text, 5, 5)[0]);
    Interpret(format, codes, decoded.ascii, &field);
    if (number == 1 && decoded.marker && field.key == "volume_serial")
      field.meaning = "UHL1 marker: the label is in UHL1";
    record.fields.push_back(std::move(field));
  }
  return record;
}

// IEHINITT and its kin leave VOL1, a HDR1 of zeros and a tape mark.
bool IsInitialised(const LabelSet& set) {
  return set.records.size() == 2 && set.ends_with_tape_mark && Columns(set.records[0], 1, 4) == "VOL1" &&
         set.records[1].size() == kLabelRecordSize && Columns(set.records[1], 1, 4) == "HDR1" &&
         set.records[1].find_first_not_of('0', 4) == std::string::npos;
}

// z/VSE may end a label group after HDR1.
bool IsVseSet(const LabelSet& set) {
  return set.records.size() == 2 && set.ends_with_tape_mark && Columns(set.records[0], 1, 4) == "VOL1" &&
         Columns(set.records[1], 1, 4) == "HDR1";
}

bool OpensGroup(std::string_view identifier) {
  return identifier == "VOL1" || identifier == "HDR1" || identifier == "EOF1" || identifier == "EOV1";
}

}  // namespace

// ASCII (ANSI/ISO) labels read through the EBCDIC table: the bytes on the
// tape start with VOL1, HDR1, EOF1 or EOV1 in ASCII.
bool IsAsciiSet(const LabelSet& set) {
  return !set.records.empty() && !set.IsUnread(0) && !OpensGroup(Columns(set.records[0], 1, 4)) &&
         OpensGroup(ToEbcdic(Columns(set.records[0], 1, 4)));
}

std::string Identifier(const LabelSet& set, size_t index) {
  std::string identifier = Columns(set.records[index], 1, 4);
  return IsAsciiSet(set) ? ToEbcdic(identifier) : identifier;
}

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

std::string Quoted(std::string_view text) {
  constexpr size_t kShown = 40;
  // Appending to one string, not prefixing a temporary, keeps GCC 12's -Wrestrict false alarm away in Release builds.
  std::string quoted = "'";
  if (text.size() <= kShown) return quoted.append(text).append("'");
  return quoted.append(text.substr(0, kShown)).append("'... (" + std::to_string(text.size()) + " bytes)");
}

DecodedSet Decode(const LabelSet& set) {
  DecodedSet decoded;
  decoded.marker = !set.records.empty() && Columns(set.records[0], 5, 10) == kUhl1Marker;
  decoded.initialised = IsInitialised(set);
  decoded.vse = !decoded.initialised && IsVseSet(set);
  decoded.ascii = IsAsciiSet(set);
  for (size_t i = 0; i < set.records.size(); ++i)
    decoded.records.push_back(DecodeRecord(static_cast<int>(i + 1), set, decoded));
  if (decoded.initialised) decoded.records[1].title = "data set label 1, a dummy: no data set yet";
  decoded.vaklabel = ReadAsVaklabel(set);
  return decoded;
}

}  // namespace show
