// Hand-typed label sets, good ones and one per check, against the fields
// they decode to and the checks that fail.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ebcdic.h"
#include "label_checks.h"
#include "label_layout.h"
#include "label_set.h"
#include "test_support.h"

namespace {

using show::LabelSet;

using test_support::Put;
using test_support::Record;

const std::string kVol1 = Put(Record("VOL1ABC123"), 42, "OPERATIONS");
const std::string kVol1Marker = Record("VOL1*UHL1*");
// Created 2025-05-03, expires 2026-05-03.
const std::string kHdr1 = Put(Put(Put(Put(Record("HDR1PAYROLL.2026"), 22, "ABC12300010001"), 42, "0251230261230000000"),
                                  61, "IBM OS/VS 370"),
                              77, "0000");
const std::string kHdr2 = Put(Record("HDR2F0800000080 0"), 39, "B");
const std::string kUhl1 = Record("UHL1ABCD1234");

std::string Hdr1Dates(std::string_view creation, std::string_view expiration) {
  return Put(Put(kHdr1, 42, creation), 48, expiration);
}

// As z/OS writes them: a 1999 creation date (blank century digit), job and
// step, 1600 bpi, fixed-length blocked standard records.
const std::string kZosHdr1 = Put(Hdr1Dates(" 99123", " 99365"), 61, "IBM OS/VS 370");
const std::string kZosHdr2 = Put(Put(Record("HDR2F3200000080301PAYJOB  /STEP1   "), 37, "  R"), 71, "0000000000");
const std::string kDummyHdr1 = "HDR1" + std::string(76, '0');
// A data set sequence number in binary: '?' and three bytes, as the
// EBCDIC-to-ASCII table leaves them.
std::string BinarySequence(uint32_t number) {
  return "?" + show::FromEbcdic(std::string{static_cast<char>(number >> 16), static_cast<char>(number >> 8),
                                            static_cast<char>(number)});
}
const std::string kBigSequence = BinarySequence(70000);
// ASCII labels as the EBCDIC table turns them.
const std::string kAsciiVol1 = show::FromEbcdic(kVol1);
const std::string kAsciiSerial = show::FromEbcdic("ABC123");

struct SetCase {
  const char* name;
  std::vector<std::string> records;
  const char* label;                  // nullptr: vaklabel reads none
  std::vector<std::string> failures;  // check@record.field, as CheckLabelSet finds them
  bool tape_mark = true;
  bool more_records = false;
  bool mainframe = false;  // judged by a mainframe's rules alone
};

const SetCase kSets[] = {
    {"six characters", {kVol1, kHdr1, kHdr2}, "ABC123", {}},
    // This project's own convention passes; a mainframe reads the marker as
    // the volume serial.
    {"eight characters", {kVol1Marker, kHdr1, kHdr2, kUhl1}, "ABCD1234", {}},
    {"eight characters, by a mainframe's rules",
     {kVol1Marker, kHdr1, kHdr2, kUhl1},
     "ABCD1234",
     {"volume_serial@1.volume_serial"},
     true,
     false,
     true},
    {"whole label group",
     {kVol1, kHdr1, kHdr2, Record("HDR3SYSTEM DATA"), Record("UHL1ANYTHING AT ALL"), Record("UHL2")},
     "ABC123",
     {}},
    {"short serial, blanks after it", {Put(kVol1, 5, "AB12  "), kHdr1, kHdr2}, "AB12  ", {}},
    {"national characters and hyphen", {Put(kVol1, 5, "@#$-01"), kHdr1, kHdr2}, "@#$-01", {}},
    {"never expires, leap day", {kVol1, Hdr1Dates("024366", " 99365"), kHdr2}, "ABC123", {}},
    {"tape management date, no expiration", {kVol1, Hdr1Dates("026001", " 98000"), kHdr2}, "ABC123", {}},
    {"blank tape", {}, nullptr, {"identifiers@0.", "vaklabel_form@0."}, false},
    {"tape mark first", {}, nullptr, {"identifiers@0.", "vaklabel_form@0."}},
    // vaklabel takes the label from the first record, whatever it is.
    {"HDR1 first", {kHdr1, kVol1, kHdr2}, "PAYROL", {"identifiers@1."}},
    {"z/VSE: VOL1, HDR1, tape mark", {kVol1, kHdr1}, nullptr, {"vaklabel_form@0."}},
    {"HDR2 missing, no tape mark",
     {kVol1, kHdr1},
     nullptr,
     {"identifiers@0.", "tape_mark@0.", "vaklabel_form@0."},
     false},
    {"ASCII labels",
     {kAsciiVol1, show::FromEbcdic(kHdr1), show::FromEbcdic(kHdr2)},
     kAsciiSerial.c_str(),
     {"identifiers@0."}},
    {"EOF1 after the header labels", {kVol1, kHdr1, kHdr2, Record("EOF1")}, "ABC123", {"identifiers@4."}},
    {"record format U, blocked",
     {kVol1, kHdr1, Put(Put(kHdr2, 5, "U"), 39, "B")},
     "ABC123",
     {"code@3.block_attribute"}},
    {"initialised volume, dummy HDR1", {kVol1, kDummyHdr1}, nullptr, {"vaklabel_form@0."}},
    {"z/OS set from 1999", {kVol1, kZosHdr1, kZosHdr2}, "ABC123", {"vaklabel_form@2.creation_date"}},
    {"binary sequence number 65535", {kVol1, Put(kHdr1, 32, BinarySequence(65535)), kHdr2}, "ABC123", {}},
    {"binary sequence number 70000",
     {kVol1, Put(kHdr1, 32, kBigSequence), kHdr2},
     "ABC123",
     {"numeric@2.data_set_sequence_number"}},
    {"binary sequence number 5",
     {kVol1, Put(kHdr1, 32, BinarySequence(5)), kHdr2},
     "ABC123",
     {"numeric@2.data_set_sequence_number"}},
    {"unlabelled data tape",
     {std::string(20480, 'f'), std::string(20480, 'f'), std::string(20480, 'f')},
     nullptr,
     {"identifiers@1.", "record_length@1.", "record_length@2.", "record_length@3.", "tape_mark@0.", "vaklabel_form@0."},
     false},
    {"short first block", {kVol1.substr(0, 60), kHdr1, kHdr2}, "ABC123", {"record_length@1."}},
    {"fourth block longer than 80 bytes",
     {kVol1, kHdr1, kHdr2, Record("UHL1") + "LONGER"},
     nullptr,
     {"record_length@4.", "vaklabel_form@0."}},
    {"four blocks, no tape mark: vaklabel reads only four",
     {kVol1, kHdr1, kHdr2, kUhl1},
     "ABC123",
     {"tape_mark@0."},
     false},
    {"record format X", {kVol1, kHdr1, Put(kHdr2, 5, "X")}, "ABC123", {"code@3.record_format"}},
    {"density 9", {kVol1, kHdr1, Put(kHdr2, 16, "9")}, "ABC123", {"code@3.density"}},
    {"security 5", {kVol1, Put(kHdr1, 54, "5"), kHdr2}, "ABC123", {"code@2.data_set_security"}},
    {"data set position 7", {kVol1, kHdr1, Put(kHdr2, 17, "7")}, "ABC123", {"code@3.data_set_position"}},
    {"control character Q", {kVol1, kHdr1, Put(kHdr2, 37, "Q")}, "ABC123", {"code@3.control_character"}},
    {"block attribute Z", {kVol1, kHdr1, Put(kHdr2, 39, "Z")}, "ABC123", {"code@3.block_attribute"}},
    {"checkpoint Q", {kVol1, kHdr1, Put(kHdr2, 48, "Q")}, "ABC123", {"code@3.checkpoint"}},
    {"HDR3 after UHL1", {kVol1, kHdr1, kHdr2, Record("UHL1"), Record("HDR3")}, "ABC123", {"identifiers@5."}},
    {"more than a label group", {kVol1, kHdr1, kHdr2}, "ABC123", {"identifiers@0."}, true, true},
    {"short record", {kVol1, kHdr1, kHdr2.substr(0, 79)}, "ABC123", {"record_length@3."}},
    {"no tape mark", {kVol1, kHdr1, kHdr2}, nullptr, {"tape_mark@0.", "vaklabel_form@0."}, false},
    {"marker without UHL1", {kVol1Marker, kHdr1, kHdr2}, nullptr, {"marker@1.volume_serial", "vaklabel_form@0."}},
    {"marker, HDR3 fourth", {kVol1Marker, kHdr1, kHdr2, Record("HDR3ABCD1234")}, "ABCD1234", {"marker@4."}},
    {"lower-case serial", {Put(kVol1, 5, "abc123"), kHdr1, kHdr2}, "abc123", {"volume_serial@1.volume_serial"}},
    {"blank inside serial", {Put(kVol1, 5, "AB 123"), kHdr1, kHdr2}, "AB 123", {"volume_serial@1.volume_serial"}},
    {"blank serial", {Put(kVol1, 5, "      "), kHdr1, kHdr2}, "      ", {"volume_serial@1.volume_serial"}},
    {"asterisk in UHL1 label",
     {kVol1Marker, kHdr1, kHdr2, Record("UHL1ABCD*234")},
     "ABCD*234",
     {"volume_serial@4.label"}},
    {"block length not numeric", {kVol1, kHdr1, Put(kHdr2, 6, "08A00")}, "ABC123", {"numeric@3.block_length"}},
    {"volume sequence half blank",
     {kVol1, Put(kHdr1, 28, "01  "), kHdr2},
     "ABC123",
     {"numeric@2.volume_sequence_number"}},
    {"day 366 of 2025", {kVol1, Hdr1Dates("025366", "026123"), kHdr2}, "ABC123", {"date@2.creation_date"}},
    {"century digit 2", {kVol1, Hdr1Dates("025123", "226123"), kHdr2}, "ABC123", {"date@2.expiration_date"}},
    {"expires before creation",
     {kVol1, Hdr1Dates("026123", "025123"), kHdr2},
     "ABC123",
     {"expiration@2.expiration_date"}},
    {"creation in the 1900s",
     {kVol1, Hdr1Dates(" 98123", "026123"), kHdr2},
     "ABC123",
     {"vaklabel_form@2.creation_date"}},
    {"no creation date", {kVol1, Hdr1Dates("000000", "026123"), kHdr2}, "ABC123", {"vaklabel_form@2.creation_date"}},
    {"UHL1 not blank after the label",
     {kVol1Marker, kHdr1, kHdr2, Put(kUhl1, 40, "X")},
     "ABCD1234",
     {"vaklabel_form@4.user_data"}},
};

std::vector<std::string> Failures(const std::vector<show::Finding>& findings) {
  std::vector<std::string> out;
  for (const show::Finding& f : findings) out.push_back(f.check + "@" + std::to_string(f.record) + "." + f.field);
  return out;
}

TEST(LabelSetTest, EachSetDecodesAndChecksAsExpected) {
  for (const SetCase& c : kSets) {
    LabelSet set;
    set.kind = show::InputKind::kImage;
    set.records = c.records;
    set.ends_with_tape_mark = c.tape_mark;
    set.more_records = c.more_records;
    show::DecodedSet decoded = show::Decode(set);
    EXPECT_EQ(decoded.vaklabel.label.value_or("(none)"), c.label ? c.label : "(none)") << c.name;
    EXPECT_EQ(Failures(show::CheckLabelSet(set, decoded, {c.mainframe})), c.failures) << c.name;
  }
}

TEST(LabelSetTest, FieldsComeFromTheirColumnsWithTheirMeanings) {
  struct FieldCase {
    std::vector<std::string> records;
    size_t record;
    const char* key;
    const char* value;
    const char* meaning;
    std::optional<uint64_t> number;
  } const kFields[] = {
      {{kVol1}, 0, "volume_serial", "ABC123", "", {}},
      {{kVol1}, 0, "owner", "OPERATIONS", "", {}},
      {{kVol1, kHdr1}, 1, "data_set_identifier", "PAYROLL.2026     ", "", {}},
      {{kVol1, kHdr1}, 1, "data_set_serial", "ABC123", "", {}},
      {{kVol1, kHdr1}, 1, "volume_sequence_number", "0001", "", 1},
      {{kVol1, kHdr1}, 1, "creation_date", "025123", "2025-05-03", {}},
      {{kVol1, kHdr1}, 1, "data_set_security", "0", "no password protection", {}},
      {{kVol1, kHdr1}, 1, "system_code", "IBM OS/VS 370", "", {}},
      {{kVol1, kHdr1}, 1, "block_count_high", "0000", "", 0},
      {{kVol1, Put(kHdr1, 32, kBigSequence)}, 1, "data_set_sequence_number", R"(?\x01\x11p)", "70000 (binary)", 70000},
      {{kVol1, kHdr1, kHdr2}, 2, "record_format", "F", "fixed length", {}},
      {{kVol1, kHdr1, kHdr2}, 2, "block_length", "08000", "", 8000},
      {{kVol1, kHdr1, Put(kHdr2, 6, " 8000")}, 2, "block_length", " 8000", "", {}},
      {{kVol1, kHdr1, kHdr2}, 2, "block_attribute", "B", "blocked", {}},
      {{kVol1, kHdr1, Put(kHdr2, 39, "S")}, 2, "block_attribute", "S", "standard", {}},
      {{kVol1, kHdr1, Put(kHdr2, 39, "R")}, 2, "block_attribute", "R", "blocked standard", {}},
      {{kVol1, kHdr1, Put(Put(kHdr2, 5, "V"), 39, "S")}, 2, "block_attribute", "S", "spanned", {}},
      {{kVol1, kHdr1, Put(Put(kHdr2, 5, "V"), 39, "R")}, 2, "block_attribute", "R", "blocked and spanned", {}},
      {{kVol1, kHdr1, kZosHdr2}, 2, "density", "3", "1600 bpi", {}},
      // ASCII labels keep the EBCDIC data set labels' columns and names.
      {{kAsciiVol1, show::FromEbcdic(kHdr1)}, 1, "expiration_date", "026123", "2026-05-03", {}},
      {{kAsciiVol1, show::FromEbcdic(kHdr1)}, 1, "data_set_sequence_number", "0001", "", 1},
      {{kAsciiVol1, show::FromEbcdic(kHdr1), show::FromEbcdic(Put(kHdr2, 5, "D"))},
       2,
       "record_format",
       "D",
       "variable length",
       {}},
      {{kAsciiVol1}, 0, "owner", "    OPERATIONS", "", {}},
  };
  for (const FieldCase& c : kFields) {
    LabelSet set;
    set.records = c.records;
    show::DecodedSet decoded = show::Decode(set);
    const show::Field* field = decoded.records.at(c.record).Find(c.key);
    ASSERT_NE(field, nullptr) << c.key;
    EXPECT_EQ(show::Visible(field->value), c.value) << c.key;
    EXPECT_EQ(field->meaning, c.meaning) << c.key << " " << c.value;
    EXPECT_EQ(field->number, c.number) << c.key << " " << c.value;
  }
}

TEST(LabelSetTest, TitlesNameEveryLabelKind) {
  struct TitleCase {
    std::string record;
    const char* title;
  } const kTitles[] = {
      {Record("EOF1"), "trailer label 1"},
      {Record("EOV2"), "trailer label 2"},
      {Record("UTL3"), "user trailer label 3"},
      {Record("VOL2"), "volume label 2, an additional volume label z/OS neither writes nor reads"},
      {Record("DATA"), "not a header label"},
      {kAsciiVol1, "volume label (ASCII)"},
      {show::FromEbcdic(Record("EOF1")), "trailer label 1 (ASCII)"},
  };
  for (const TitleCase& c : kTitles) {
    LabelSet set;
    set.records = {c.record};
    EXPECT_EQ(show::Decode(set).records.at(0).title, c.title) << c.title;
  }
}

TEST(LabelSetTest, DatesShowAsCalendarDays) {
  struct DateCase {
    const char* field;
    const char* shown;
    const char* code;
  } const kDates[] = {
      {"026001", "2026-01-01", "calendar"},
      {"024060", "2024-02-29", "calendar"},
      {"025365", "2025-12-31", "calendar"},
      {" 99365", "never expires", "never_expires"},
      {"100001", "2100-01-01", "calendar"},
      {"000000", "no date", "none"},
      {" 98000", "kept under tape management control", "tape_management"},
      {"025400", "", ""},
  };
  for (const DateCase& c : kDates) {
    LabelSet set;
    set.records = {kVol1, Hdr1Dates("026001", c.field), kHdr2};
    show::DecodedSet decoded = show::Decode(set);
    const show::Field* field = decoded.records.at(1).Find("expiration_date");
    EXPECT_EQ(field->meaning, c.shown) << c.field;
    EXPECT_EQ(field->date_code, c.code) << c.field;
  }
}

}  // namespace
