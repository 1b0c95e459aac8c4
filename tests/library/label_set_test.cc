#include "label_set.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace library {
namespace {

LabelRecords StandardTemplate() {
  std::string error;
  auto records = ReadLabelFile(STANDARD_TEMPLATE, &error);
  EXPECT_TRUE(records) << error;
  return records.value_or(LabelRecords{});
}

TEST(LabelFile, StandardTemplateIsThreeRecords) {
  LabelRecords records = StandardTemplate();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].substr(0, 10), "VOL1HJK025");
  EXPECT_EQ(records[1].substr(41, 6), "004039");
  EXPECT_EQ(records[2].substr(0, 5), "HDR2U");
}

// The bytes of each row are vaklabel's to read; which files hold label
// sets at all is the library's.
TEST(LabelFile, RefusesWhatVaklabelDoesNotWrite) {
  const std::string row = "56,4F,4C,31,48,4A,4B,30,   #VOL1\n";
  auto rows = [&](int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += row;
    return text;
  };
  struct Case {
    std::string text;
    size_t records;
    const char* error;
  };
  const Case cases[] = {
      {"", 0, "holds 0 lines, not whole records of ten"},
      {row, 0, "holds 1 lines, not whole records of ten"},
      {rows(10), 1, ""},
      {rows(40), 4, ""},
      {rows(41), 0, "holds more than four records"},
  };
  test_support::TempDir dir;
  for (const Case& c : cases) {
    test_support::WriteFile(dir.File("set.lbl"), c.text);
    std::string error;
    auto records = ReadLabelFile(dir.File("set.lbl"), &error);
    EXPECT_EQ(records ? records->size() : 0, c.records) << c.error;
    EXPECT_EQ(error, c.records ? "" : dir.File("set.lbl") + " " + c.error);
  }
  std::string error;
  EXPECT_FALSE(ReadLabelFile(dir.File("."), &error)) << "a directory opens, and fails to read";
  EXPECT_EQ(error, dir.File(".") + " cannot be read");
}

// vaklabel puts only the first six characters of its date on the tape.
TEST(CreationDate, WhatVaklabelWrites) {
  EXPECT_EQ(CreationDate(946684800), "000001");   // 2000-01-01 00:00:00 UTC
  EXPECT_EQ(CreationDate(4102444800), "010000");  // 2100-01-01: "0100001" cut short
}

TEST(Verify, SixAndEightCharacterLabels) {
  LabelRecords source = StandardTemplate();
  LabelRecords six = ExpectedAfterWrite(source, "ABC001");
  ASSERT_EQ(six.size(), 3u);
  EXPECT_EQ(six[0].substr(0, 10), "VOL1ABC001");
  LabelRecords eight = ExpectedAfterWrite(source, "ABC001L8");
  ASSERT_EQ(eight.size(), 4u);
  EXPECT_EQ(eight[0].substr(0, 10), "VOL1*UHL1*");
  EXPECT_EQ(eight[3], "UHL1ABC001L8" + std::string(68, ' '));
  // From an eight-character set to six: UHL1 is no longer written.
  EXPECT_EQ(ExpectedAfterWrite(eight, "XYZ001").size(), 3u);

  LabelRecords written = eight;
  written[1].replace(41, 6, "026341");
  EXPECT_EQ(CompareWritten(eight, written, {"026341"}), "");
  EXPECT_EQ(CompareWritten(eight, written, {"026342", "026343"}), "HDR1 creation date '026341' is not today's");
  written[2][20] = 'X';
  EXPECT_EQ(CompareWritten(eight, written, {"026341"}),
            "HDR2 differs from column 21: read back 'X           ', meant '            '");
  EXPECT_EQ(CompareWritten(eight, six, {"004039"}), "read back 3 label records, wrote 4");
}

}  // namespace
}  // namespace library
