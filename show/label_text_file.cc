#include "label_text_file.h"

#include <algorithm>
#include <optional>

#include "ebcdic.h"
#include "input_stream.h"
#include "label_image.h"
#include "label_layout.h"

namespace show {
namespace {

constexpr size_t kBytesPerRow = 8;
constexpr size_t kRowsPerRecord = kLabelRecordSize / kBytesPerRow;
// Past this many rows a file is no label set, so reading stops there
// rather than taking in a file of any size; the same for lines, blank or
// not, and for the length of one line (a row and a comment).
constexpr size_t kMaxRows = (kMaxLabelRecords + 1) * kRowsPerRecord;
constexpr size_t kMaxLines = 2 * kMaxRows;
constexpr size_t kMaxLineLength = 1024;

// What vaklabel saves as the fourth record when a three-record label set is
// backed up for a new eight-character label: its built-in UHL1 record passed
// through the EBCDIC-to-ASCII table, never a block that was on the tape.
std::string BackupFiller() {
  constexpr int kUhl1 = 3;
  return FromEbcdic(std::string_view(kInitialLabelImage.data() + kUhl1 * kRecordSize, kRecordSize));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string RowError(size_t line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

bool IsBlank(std::string_view text) { return text.find_first_not_of(" \t\r") == std::string_view::npos; }

// Appends the eight bytes of one row; everything after the eighth comma is
// the comment, which must be blank or start with '#'.
void ParseRow(std::string_view row, size_t line, std::string* bytes) {
  std::string_view data = row.substr(0, row.find('#'));
  size_t at = 0;
  for (size_t n = 0; n < kBytesPerRow; ++n) {
    size_t end = data.find(',', at);
    // vaklabel ends every byte with a comma; a last byte without one is
    // still whole.
    if (end == std::string_view::npos && n + 1 == kBytesPerRow) end = data.find_first_of(" \t", at);
    if (end == std::string_view::npos) end = data.size();
    std::string_view field = data.substr(at, end - at);
    if (at >= data.size() || IsBlank(field))
      throw InputError(RowError(line, std::to_string(n) + " hex bytes where a row holds 8"));
    if (field.size() != 2 || HexDigit(field[0]) < 0 || HexDigit(field[1]) < 0)
      throw InputError(RowError(line, Quoted(field) + " is not a hex byte"));
    bytes->push_back(static_cast<char>(HexDigit(field[0]) * 16 + HexDigit(field[1])));
    at = std::min(end + 1, data.size());
  }
  std::string_view rest = row.substr(at);
  size_t text = rest.find_first_not_of(" \t");
  if (text != std::string_view::npos && rest[text] != '#')
    throw InputError(RowError(line, Quoted(rest.substr(text)) + " after the eighth byte is not a # comment"));
}

// A backup of a six-character label set for an eight-character label ends
// in vaklabel's filler record; it was never a label, so it is not shown.
void DropBackupFiller(LabelSet* set) {
  if (set->records.size() != 4 || set->records[0].compare(4, kUhl1Marker.size(), kUhl1Marker) == 0) return;
  if (set->records[3] != BackupFiller()) return;
  set->records.pop_back();
  set->notes.push_back(
      "record 4 is the filler vaklabel saves after a three-record label set for an eight-character label; not a "
      "label record");
}

}  // namespace

bool LooksLikeLabelText(std::string_view head) {
  return head.size() >= 3 && HexDigit(head[0]) >= 0 && HexDigit(head[1]) >= 0 && head[2] == ',';
}

LabelSet ParseLabelText(InputStream& in) {
  std::string bytes;
  size_t rows = 0;
  size_t blank_lines = 0;
  size_t number = 0;
  while (rows < kMaxRows && number < kMaxLines) {
    std::optional<std::string> next = in.ReadLine(kMaxLineLength, number + 1);
    if (!next) break;
    const std::string& line = *next;
    ++number;
    // Blank lines are tolerated only at the end, where an editor may leave one.
    if (IsBlank(line)) {
      ++blank_lines;
      continue;
    }
    if (blank_lines > 0) throw InputError(RowError(number - 1, "empty line among the rows"));
    ParseRow(line, number, &bytes);
    ++rows;
  }
  if (rows == 0) throw InputError("no rows of hex bytes: not a label text file");
  if (rows % kRowsPerRecord != 0)
    throw InputError("truncated: " + std::to_string(rows) + " rows, but a record takes " +
                     std::to_string(kRowsPerRecord));

  LabelSet set;
  set.kind = InputKind::kLabelFile;
  for (size_t at = 0; at < bytes.size(); at += kLabelRecordSize) {
    if (set.records.size() == kMaxLabelRecords) {
      set.more_records = true;
      break;
    }
    set.records.push_back(bytes.substr(at, kLabelRecordSize));
  }
  DropBackupFiller(&set);
  return set;
}

LabelSet ReadLabelTextFile(const std::string& path) {
  InputStream in(path);
  return ParseLabelText(in);
}

}  // namespace show
