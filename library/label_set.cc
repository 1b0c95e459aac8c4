#include "label_set.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "label_file.h"
#include "label_image.h"
#include "tape_label.h"

namespace library {
namespace {

constexpr size_t kRecord = kRecordSize;
// HDR1 columns 42-47, counted from 0 within the record.
constexpr size_t kDateColumn = 41;
// A fifth record is more than vaklabel ever writes.
constexpr int kMostRecords = 4;

std::string Shown(std::string_view bytes) {
  std::string text;
  for (char c : bytes) text += std::isprint(static_cast<unsigned char>(c)) ? c : '.';
  return "'" + text + "'";
}

}  // namespace

std::optional<LabelRecords> ReadLabelFile(const std::string& path, std::string* error) {
  constexpr int kMostRows = kMostRecords * kRowsPerRecord;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), std::fclose);
  // Room for one row more than there can be, to tell a longer file.
  std::string bytes((kMostRows + 1) * kRowSize, ' ');
  int rows = file ? LoadTemplateRows(file.get(), bytes.data(), kMostRows + 1) : -1;
  if (rows < 0) {
    *error = path + " cannot be read";
  } else if (rows > kMostRows) {
    *error = path + " holds more than four records";
  } else if (rows == 0 || rows % kRowsPerRecord != 0) {
    *error = path + " holds " + std::to_string(rows) + " lines, not whole records of ten";
  } else {
    LabelRecords records;
    for (int r = 0; r < rows / kRowsPerRecord; ++r) records.push_back(bytes.substr(r * kRecord, kRecord));
    return records;
  }
  return std::nullopt;
}

std::string LabelFileText(const LabelRecords& records) {
  std::string text;
  for (const std::string& record : records) {
    for (size_t row = 0; row < kRecord; row += kRowSize) {
      char hex[4];
      for (size_t i = row; i < row + kRowSize; ++i) {
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
  char today[kDateBufferSize];
  FormatCreationDate(when, today);
  return std::string(today, kCreationDateLength);
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
      std::string date = got.substr(kDateColumn, kCreationDateLength);
      if (std::find(dates.begin(), dates.end(), date) == dates.end()) {
        return "HDR1 creation date " + Shown(date) + " is not today's";
      }
      want.replace(kDateColumn, kCreationDateLength, date);
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
