#include "label_set.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace library {
namespace {

LabelRecords StandardTemplate() {
  std::ifstream in(STANDARD_TEMPLATE);
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  auto records = ParseLabelFile(text.str(), &error);
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

TEST(LabelFile, RefusesWhatVaklabelDoesNotWrite) {
  std::string row = "56,4F,4C,31,48,4A,4B,30,   #VOL1\n";
  std::string error;
  EXPECT_FALSE(ParseLabelFile("", &error));
  EXPECT_FALSE(ParseLabelFile(row, &error));  // one row, not a record
  EXPECT_NE(error.find("not whole records"), std::string::npos);
  std::string record;
  for (int i = 0; i < 10; ++i) record += row;
  EXPECT_TRUE(ParseLabelFile(record, &error));
  record.replace(3, 2, "G1");
  EXPECT_FALSE(ParseLabelFile(record, &error));
  EXPECT_EQ(error, "line 1 is not eight hex bytes");
}

TEST(CreationDate, VaklabelsForm) {
  EXPECT_EQ(CreationDate(946684800), "000001");   // 2000-01-01 00:00:00 UTC
  EXPECT_EQ(CreationDate(1735689599), "024366");  // the last second of leap year 2024
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
