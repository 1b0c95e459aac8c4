#include "label_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "label_image.h"

namespace {

std::string Row(const char* row) { return std::string(row, kRowSize); }

struct RowCase {
  const char* line;
  const char* after;  // the row that starts as "ABCDEFGH"
};

const RowCase kRowCases[] = {
    {"41,42,43,44,45,46,47,48,   #VOL1\n", "ABCDEFGH"},
    {"61,62", "abCDEFGH"},
    {"61,62,   #HDR1\n", "ab\0DEFGH"},   // the comment is a field with no hex digits
    {"\n", "\0BCDEFGH"},                 // an empty line still has one field
    {"zz,1FF,-1,0x7e,  +31,", "\0\xFF\xFF~1FGH"},
    {"30,,,,31,,", "01CDEFGH"},          // runs of commas are one separator
    {"99999999999999999999,-99999999999999999999", "\xFF\0CDEFGH"},  // clamped to 64 bits
    {"30,31,32,33,34,35,36,37,38,39", "01234567"},  // only eight fields count
};

TEST(TemplateRowTest, StoresEachFieldAndKeepsTheRest) {
  for (const RowCase& c : kRowCases) {
    char row[kRowSize];
    memcpy(row, "ABCDEFGH", kRowSize);
    char line[kTemplateLineSize] = {};
    strncpy(line, c.line, sizeof line - 1);
    LoadTemplateRow(line, row);
    EXPECT_EQ(Row(row), Row(c.after)) << "line: " << c.line;
  }
}

TEST(JoinPathTest, AlwaysAddsOneSlashAndCutsEachPart) {
  char path[kJoinedPathSize];
  JoinPath("/var/labels/", "ABC.prelbl", path);
  EXPECT_STREQ(path, "/var/labels//ABC.prelbl");
  JoinPath("", "f", path);
  EXPECT_STREQ(path, "/f");
  std::string dir(300, 'd'), name(300, 'n');
  JoinPath(dir.c_str(), name.c_str(), path);
  EXPECT_EQ(std::string(path), std::string(255, 'd') + "/" + std::string(255, 'n'));
}

class LabelFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/label_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    tapeLabel = kInitialLabelImage;
  }
  void TearDown() override {
    tapeLabel = kInitialLabelImage;
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  std::vector<std::string> Lines(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }

  std::string dir_;
};

TEST_F(LabelFileTest, SavesTenTaggedLinesPerRecord) {
  saveLabel(dir_.c_str(), "six", 1, 6);
  saveLabel(dir_.c_str(), "eight", 1, 8);
  std::vector<std::string> six = Lines("six"), eight = Lines("eight");
  ASSERT_EQ(six.size(), 30u);
  ASSERT_EQ(eight.size(), 40u);
  EXPECT_EQ(six[0], "56,4F,4C,31,48,4A,4B,30,   #VOL1");
  for (size_t i = 0; i < eight.size(); ++i) {
    const char* tags[] = {"#VOL1", "#HDR1", "#HDR2", "#UHL1"};
    std::string comment = "   " + std::string(i % 10 == 0 ? tags[i / 10] : "#");
    EXPECT_EQ(eight[i].substr(24), comment) << "line " << i + 1;
    if (i < six.size()) {
      EXPECT_EQ(six[i], eight[i]);
    }
  }
  EXPECT_EQ(eight[30], "55,48,4C,31,20,20,20,20,   #UHL1");
}

// The template shipped for blank tapes is the built-in label set, as saved,
// but for HDR1's expiration date: " 00000", none, so the data written after
// the labels is not kept from being overwritten as the built-in " 99365"
// (never expires) would keep it.
TEST_F(LabelFileTest, ShippedTemplateIsTheInitialLabelSetWithoutExpiration) {
  saveLabel(dir_.c_str(), "initial", 1, 6);
  std::ifstream shipped(STANDARD_TEMPLATE), saved(dir_ + "/initial");
  std::stringstream a, b;
  a << shipped.rdbuf();
  b << saved.rdbuf();
  ASSERT_FALSE(a.str().empty());
  std::string expected = b.str();
  const std::string never_expires = "\n39,39,33,36,35,";  // HDR1 columns 49-53
  size_t at = expected.find(never_expires);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(a.str(), expected.replace(at, never_expires.size(), "\n30,30,30,30,30,"));
}

TEST_F(LabelFileTest, EveryByteValueRoundTripsThroughSaveAndLoad) {
  const int templateBytes = kTemplateRecords * kRecordSize;
  for (int start : {0, templateBytes}) {
    for (int i = 0; i < templateBytes; ++i) tapeLabel[i] = static_cast<char>((start + i) & 0xFF);
    auto saved = tapeLabel;
    saveLabel(dir_.c_str(), "roundtrip", 1, 8);
    tapeLabel.fill('\x55');
    loadLabel(dir_.c_str(), "roundtrip", 0);
    EXPECT_EQ(0, memcmp(tapeLabel.data(), saved.data(), templateBytes)) << "start " << start;
    for (int i = templateBytes; i < kLabelImageSize; ++i) ASSERT_EQ(tapeLabel[i], '\x55') << "UHL1 byte " << i;
  }
}

TEST_F(LabelFileTest, ShortTemplateLeavesTheRowsItDoesNotReach) {
  std::ostringstream text;
  for (int i = 0; i < 12; ++i) text << "41,41,41,41,41,41,41,41,   #\n";
  WriteFile("short", text.str());
  loadLabel(dir_.c_str(), "short", 0);
  EXPECT_EQ(std::string(tapeLabel.data(), 96), std::string(96, 'A'));
  EXPECT_EQ(0, memcmp(&tapeLabel[96], &kInitialLabelImage[96], kLabelImageSize - 96));
}

TEST_F(LabelFileTest, ReadsOnlyThirtyLinesAndLongLinesInPieces) {
  // A 300-character line is two pieces: its first 255 characters, then the
  // rest, which fills the next row.
  std::string longLine = "42,42,42,42,42,42,42,42," + std::string(231, ' ') + "43,43,43,43,43,43,43,43,";
  longLine += std::string(300 - longLine.size(), ' ') + "\n";
  std::string text = longLine;
  for (int i = 0; i < 40; ++i) text += "44,44,44,44,44,44,44,44,\n";
  WriteFile("long", text);
  loadLabel(dir_.c_str(), "long", 0);
  EXPECT_EQ(std::string(&tapeLabel[0], 8), "BBBBBBBB");
  EXPECT_EQ(std::string(&tapeLabel[8], 8), "CCCCCCCC");
  EXPECT_EQ(std::string(&tapeLabel[16], 224), std::string(224, 'D'));
  EXPECT_EQ(0, memcmp(&tapeLabel[240], &kInitialLabelImage[240], kRecordSize));
}

TEST_F(LabelFileTest, DumpsTheLoadedRecordsWhileDiagnosticsAreOn) {
  WriteFile("t", "30,31\n");
  testing::internal::CaptureStderr();
  loadLabel(dir_.c_str(), "t", 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.substr(0, err.find('\n') + 1), "### template (" + dir_ + "/t) label data ###\n");
  EXPECT_NE(err.find("[0][0]: 30 31 4C 31 48 4A 4B 30\n"), std::string::npos);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 31);
}

}  // namespace
