// Label sets as vaklabel saves them in label text files, and what a label set
// must look like after vaklabel has written a new label over it: the check
// that every write did what was meant.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace library {

/// Records of 80 ASCII bytes: VOL1, HDR1, HDR2 and, for eight-character
/// labels, UHL1.
using LabelRecords = std::vector<std::string>;

/// The records of a label text file: ten rows of eight hex bytes per record.
/// Nothing, with `*error`, for a file that is not a whole number of records.
std::optional<LabelRecords> ParseLabelFile(std::string_view text, std::string* error);

/// The records as vaklabel saves them: the inverse of ParseLabelFile.
std::string LabelFileText(const LabelRecords& records);

/// The label a set carries: the VOL1 volume serial, or the UHL1 label when
/// VOL1 holds the *UHL1* marker.
std::string LabelOf(const LabelRecords& records);

/// The creation date vaklabel writes for `when`: 0yyddd in UTC.
std::string CreationDate(std::time_t when);

/// The records vaklabel writes when it puts `label` over `source` (the set
/// read from the tape, or the template): the label in the VOL1 volume serial
/// or, for eight characters, the *UHL1* marker there and the label in a new
/// UHL1 record. The creation date is left as `source` has it.
LabelRecords ExpectedAfterWrite(LabelRecords source, const std::string& label);

/// "" when `written` holds `expected` with one of `dates` as its creation
/// date; otherwise where they first differ.
std::string CompareWritten(const LabelRecords& expected, const LabelRecords& written,
                           const std::vector<std::string>& dates);

}  // namespace library
