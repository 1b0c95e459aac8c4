#include "label_set.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace library {
namespace {

constexpr size_t kRecord = 80;
constexpr size_t kRow = 8;
// HDR1 columns 42-47, counted from 0 within the record.
constexpr size_t kDateColumn = 41;
constexpr size_t kDateLength = 6;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One row: eight "XX," fields, then the comment vaklabel puts after them.
bool ParseRow(std::string_view line, std::string* bytes) {
  if (line.size() < kRow * 3) return false;
  for (size_t i = 0; i < kRow; ++i) {
    int high = HexDigit(line[3 * i]);
    int low = HexDigit(line[3 * i + 1]);
    if (high < 0 || low < 0 || line[3 * i + 2] != ',') return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

std::string Shown(std::string_view bytes) {
  std::string text;
  for (char c : bytes) text += std::isprint(static_cast<unsigned char>(c)) ? c : '.';
  return "'" + text + "'";
}

}  // namespace

std::optional<LabelRecords> ParseLabelFile(std::string_view text, std::string* error) {
  std::string bytes;
  size_t start = 0;
  int line_number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (!ParseRow(line, &bytes)) {
      *error = "line " + std::to_string(line_number) + " is not eight hex bytes";
      return std::nullopt;
    }
  }
  if (bytes.empty() || bytes.size() % kRecord != 0) {
    *error = "holds " + std::to_string(line_number) + " lines, not whole records of ten";
    return std::nullopt;
  }
  LabelRecords records;
  for (size_t at = 0; at < bytes.size(); at += kRecord) records.push_back(bytes.substr(at, kRecord));
  return records;
}

std::string LabelFileText(const LabelRecords& records) {
  std::string text;
  for (const std::string& record : records) {
    for (size_t row = 0; row < kRecord; row += kRow) {
      char hex[4];
      for (size_t i = row; i < row + kRow; ++i) {
        std::snprintf(hex, sizeof hex, "%02X,", static_cast<unsigned char>(i < record.size() ? record[i] : ' '));
        text += hex;
      }
      text += "   #" + (row == 0 ? record.substr(0, 4) : "") + "\n";
    }
  }
  return text;
}

std::string LabelOf(const LabelRecords& records) {
  if (records.empty()) return "";
  if (records[0].compare(4, 6, "*UHL1*") == 0) return records.size() > 3 ? records[3].substr(4, 8) : "";
  return records[0].substr(4, 6);
}

std::string CreationDate(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[16];
  std::snprintf(text, sizeof text, "0%02d%03d", (utc.tm_year - 100) % 100, utc.tm_yday + 1);
  return text;
}

LabelRecords ExpectedAfterWrite(LabelRecords source, const std::string& label) {
  source.resize(label.size() == 8 ? 4 : 3, std::string(kRecord, ' '));
  if (label.size() == 8) {
    source[0].replace(4, 6, "*UHL1*");
    source[3] = "UHL1" + label + std::string(kRecord - 12, ' ');
  } else {
    source[0].replace(4, 6, label);
  }
  return source;
}

std::string CompareWritten(const LabelRecords& expected, const LabelRecords& written,
                           const std::vector<std::string>& dates) {
  static const char* const kNames[] = {"VOL1", "HDR1", "HDR2", "UHL1"};
  if (written.size() != expected.size()) {
    return "read back " + std::to_string(written.size()) + " label records, wrote " +
           std::to_string(expected.size());
  }
  for (size_t r = 0; r < expected.size(); ++r) {
    std::string want = expected[r];
    std::string got = written[r];
    if (r == 1) {
      std::string date = got.substr(kDateColumn, kDateLength);
      if (std::find(dates.begin(), dates.end(), date) == dates.end()) {
        return "HDR1 creation date " + Shown(date) + " is not today's";
      }
      want.replace(kDateColumn, kDateLength, date);
    }
    if (want != got) {
      size_t column = std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
      return std::string(kNames[r]) + " differs from column " + std::to_string(column + 1) + ": read back " +
             Shown(got.substr(column, 12)) + ", meant " + Shown(want.substr(column, 12));
    }
  }
  return "";
}

}  // namespace library
