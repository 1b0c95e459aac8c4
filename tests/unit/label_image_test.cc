#include "label_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Hex(const char* bytes, int count) {
  std::string out;
  char two[4];
  for (int i = 0; i < count; ++i) {
    snprintf(two, sizeof two, i ? " %02X" : "%02X", static_cast<unsigned char>(bytes[i]));
    out += two;
  }
  return out;
}

struct Sample {
  const char* ascii;
  const char* ebcdic;
};

// Typed from the code charts, not derived from the tables under test.
const Sample kSamples[] = {
    {"VOL1", "E5 D6 D3 F1"},
    {"HJK025", "C8 D1 D2 F0 F2 F5"},
    {" *", "40 5C"},
    {"0123456789", "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9"},
    {"ABCDEFGHI", "C1 C2 C3 C4 C5 C6 C7 C8 C9"},
    {"JKLMNOPQR", "D1 D2 D3 D4 D5 D6 D7 D8 D9"},
    {"STUVWXYZ", "E2 E3 E4 E5 E6 E7 E8 E9"},
    {"abcdefghi", "81 82 83 84 85 86 87 88 89"},
    {"\x1C\x1E", "22 35"},
};

TEST(TranslationTest, KnownCharactersTranslateBothWays) {
  for (const Sample& sample : kSamples) {
    char buf[16];
    int n = static_cast<int>(strlen(sample.ascii));
    memcpy(buf, sample.ascii, n);
    ConvertToEbcdic(buf, n);
    EXPECT_EQ(Hex(buf, n), sample.ebcdic) << sample.ascii;
    ConvertToAscii(buf, n);
    EXPECT_EQ(std::string(buf, n), sample.ascii);
  }
}

TEST(TranslationTest, EveryByteSurvivesTheRoundTrip) {
  char all[256];
  for (int b = 0; b < 256; ++b) all[b] = static_cast<char>(b);
  ConvertToEbcdic(all, 256);
  bool seen[256] = {};
  for (char c : all) seen[static_cast<unsigned char>(c)] = true;
  for (int b = 0; b < 256; ++b) EXPECT_TRUE(seen[b]) << "no ASCII byte maps to EBCDIC " << b;
  ConvertToAscii(all, 256);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(static_cast<unsigned char>(all[b]), b);
}

TEST(TranslationTest, NonPositiveCountChangesNothing) {
  char buf[] = "AB";
  ConvertToEbcdic(buf, 0);
  ConvertToAscii(buf, -5);
  EXPECT_STREQ(buf, "AB");
}

// The initial label set, column by column, as a second spelling of it.
TEST(InitialImageTest, HoldsTheBuiltInLabelSet) {
  const std::string expected =
      "VOL1HJK025                                                                      "
      "HDR1                           0001      004039 993650000000TOLV                "
      "HDR2U2621400000 0                                                               "
      "UHL1                                                                            ";
  ASSERT_EQ(expected.size(), 320u);
  EXPECT_EQ(std::string(kInitialLabelImage.data(), kInitialLabelImage.size()), expected);
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override { tapeLabel = kInitialLabelImage; }
  void TearDown() override { tapeLabel = kInitialLabelImage; }
};

TEST_F(DumpTest, PrintsTenRowsPerRecordInUpperCaseHex) {
  tapeLabel[87] = static_cast<char>(0xFF);
  testing::internal::CaptureStderr();
  DumpLabelRecords(3);
  std::string dump = testing::internal::GetCapturedStderr();

  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 30);
  EXPECT_EQ(dump.substr(0, 32), "[0][0]: 56 4F 4C 31 48 4A 4B 30\n");
  EXPECT_NE(dump.find("[1][0]: 48 44 52 31 20 20 20 FF\n"), std::string::npos);
  EXPECT_EQ(dump.substr(dump.size() - 32), "[2][9]: 20 20 20 20 20 20 20 20\n");
}

TEST_F(DumpTest, FourRecordsForAnEightCharacterLabel) {
  testing::internal::CaptureStderr();
  DumpLabelRecords(4);
  std::string dump = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 40);
  EXPECT_NE(dump.find("[3][0]: 55 48 4C 31 20 20 20 20\n"), std::string::npos);
}

}  // namespace
