// The three readers on what they must take and what they must refuse.
#include <gtest/gtest.h>

#include <string>

#include "aws_image.h"
#include "ebcdic.h"
#include "input.h"
#include "input_stream.h"
#include "label_text_file.h"
#include "test_support.h"

namespace {

using show::LabelSet;

// Rows as vaklabel saves them: ten for each record of `text` (ASCII).
std::string LabelText(const std::vector<std::string>& records) {
  std::string out;
  char hex[4];
  for (const std::string& record : records)
    for (size_t row = 0; row < 80; row += 8) {
      for (size_t i = row; i < row + 8; ++i) {
        snprintf(hex, sizeof hex, "%02X,", static_cast<unsigned char>(record[i]));
        out += hex;
      }
      out += row == 0 ? "   #" + record.substr(0, 4) + "\n" : "   #\n";
    }
  return out;
}

LabelSet Parse(const std::string& text) {
  show::InputStream in = show::InputStream::FromBytes(text);
  return show::ParseLabelText(in);
}

std::string ParseError(const std::string& text) {
  try {
    Parse(text);
  } catch (const show::InputError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(LabelTextTest, ReadsTheRowsVaklabelWrites) {
  std::vector<std::string> records = {test_support::Record("VOL1ABC123"), test_support::Record("HDR1"), test_support::Record("HDR2")};
  LabelSet set = Parse(LabelText(records));
  EXPECT_EQ(set.records, records);
  EXPECT_TRUE(set.notes.empty());
}

TEST(LabelTextTest, RefusesWhatIsNotWholeRowsOfHexBytes) {
  std::string good = LabelText({test_support::Record("VOL1ABC123"), test_support::Record("HDR1"), test_support::Record("HDR2")});
  std::string lines = good;
  auto cut_after_line = [&](int n) {
    size_t at = 0;
    for (int i = 0; i < n; ++i) at = lines.find('\n', at) + 1;
    return lines.substr(0, at);
  };
  struct ErrorCase {
    std::string text;
    const char* message;
  } const kCases[] = {
      {cut_after_line(25), "truncated: 25 rows, but a record takes 10"},
      {"", "no rows of hex bytes: not a label text file"},
      {"56,4F,4C,31,48,4A,4B,G0,   #VOL1\n", "line 1: 'G0' is not a hex byte"},
      {"56,4F,4C,31,48,4A,   #VOL1\n", "line 1: 6 hex bytes where a row holds 8"},
      {"56,4F,4C,31,48,4A,4B,130,\n", "line 1: '130' is not a hex byte"},
      {"56,4F,4C,31,48,4A,4B,30,31,\n", "line 1: '31,' after the eighth byte is not a # comment"},
      {cut_after_line(3) + "\n" + good.substr(cut_after_line(3).size()), "line 4: empty line among the rows"},
      // Input is quoted escaped and cut short, and no line is taken in whole.
      {"56,\033[31mRED\033[0m,\n", "line 1: '\\x1B[31mRED\\x1B[0m' is not a hex byte"},
      {std::string("56,4F,\0X,\n", 10), "line 1: '\\x00X' is not a hex byte"},
      {"56," + std::string(500, 'J') + ",\n",
       "line 1: 'JJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJJ'... (500 bytes) is not a hex byte"},
      {"56," + std::string(5000, 'J'), "line 1: longer than 1024 characters: not a row of hex bytes"},
  };
  for (const ErrorCase& c : kCases) EXPECT_EQ(ParseError(c.text), c.message) << c.text;
}

TEST(LabelTextTest, LeavesOutTheFillerOfABackupForAnEightCharacterLabel) {
  std::string filler = std::string("\xA5\xAB\x3C\xEE", 4) + std::string(76, '\x81');
  LabelSet set = Parse(LabelText({test_support::Record("VOL1XYZ789"), test_support::Record("HDR1"), test_support::Record("HDR2"), filler}));
  EXPECT_EQ(set.records.size(), 3u);
  EXPECT_EQ(set.notes.size(), 1u);
  // Under the marker the fourth record is the label, whatever it holds.
  set = Parse(LabelText({test_support::Record("VOL1*UHL1*"), test_support::Record("HDR1"), test_support::Record("HDR2"), filler}));
  EXPECT_EQ(set.records.size(), 4u);
}

TEST(EbcdicTest, LabelCharactersTranslateAsVaklabelWritesThem) {
  EXPECT_EQ(show::FromEbcdic("\xE5\xD6\xD3\xF1\xC1\xC2\xC3\xF1\xF2\xF3"), "VOL1ABC123");
  EXPECT_EQ(show::FromEbcdic("\x5C\xE4\xC8\xD3\xF1\x5C\x40\x7C\x7B\x5B\x60\x81"), "*UHL1* @#$-a");
  // Control positions follow vaklabel's table, not code page 037.
  EXPECT_EQ(show::FromEbcdic("\x22\x35"), "\x1C\x1E");
}

class AwsImageTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes) {
    std::string path = dir_.File("image.aws");
    test_support::WriteFile(path, bytes);
    return path;
  }

  std::string ReadError(const std::string& bytes) {
    try {
      show::ReadAwsImage(Write(bytes));
    } catch (const show::InputError& e) {
      return e.what();
    }
    return "(no error)";
  }

  test_support::TempDir dir_;
};

TEST_F(AwsImageTest, ReadsBlocksUpToTheFirstTapeMarkJoiningChainedSegments) {
  std::string big(65536, '\xC1');
  using test_support::Block;
  using test_support::Mark;
  LabelSet set = show::ReadAwsImage(
      Write(test_support::EncodeAws({Block(test_support::LabelRecord("VOL1ABC123")), Block(big), Mark(),
                                     Block(test_support::LabelRecord("HDR1"))})));
  ASSERT_EQ(set.records.size(), 2u);
  EXPECT_EQ(set.records[0], test_support::Record("VOL1ABC123"));
  EXPECT_EQ(set.records[1], std::string(65536, 'A'));
  EXPECT_TRUE(set.ends_with_tape_mark);
}

TEST_F(AwsImageTest, AnEmptyImageIsABlankTape) {
  LabelSet set = show::ReadAwsImage(Write(""));
  EXPECT_TRUE(set.records.empty());
  EXPECT_FALSE(set.ends_with_tape_mark);
}

// A block longer than a drive read takes is passed over as the drive passes
// it: no bytes kept, whatever its size.
TEST_F(AwsImageTest, ABlockLongerThanADriveReadIsNotKept) {
  using test_support::Block;
  LabelSet set = show::ReadAwsImage(Write(test_support::EncodeAws(
      {Block(std::string(65537, '\xC1')), Block(std::string(65536, '\xC1')), test_support::Mark()})));
  ASSERT_EQ(set.records.size(), 2u);
  EXPECT_EQ(set.unread_blocks, std::vector<size_t>{0});
  EXPECT_EQ(set.records[0], "");
  EXPECT_EQ(set.records[1], std::string(65536, 'A'));
}

TEST_F(AwsImageTest, RefusesWhatIsNotAnAwstapeImage) {
  std::string block = test_support::EncodeAws({test_support::Block(test_support::LabelRecord("VOL1ABC123"))});
  std::string compressed = block;
  compressed[5] = '\x01';
  struct ErrorCase {
    std::string bytes;
    const char* message;
  } const kCases[] = {
      {block.substr(0, 50), "offset 0: image ends inside a block"},
      {block.substr(0, 3), "offset 0: image ends inside a block header"},
      {block + block.substr(0, 3), "offset 86: image ends inside a block header"},
      {block + std::string("\x50\x00\x50\x00\xA0\x00", 6) + "VOL1", "offset 86: image ends inside a block"},
      {compressed, "not an AWSTAPE image: its first 6 bytes are no block header"},
      {block + std::string("\x50\x00\x0C\x00\xA0\x00", 6) + std::string(80, '\xC1'),
       "offset 86: not an AWSTAPE header: previous-length field 12 where the header before has length 80"},
      {block + std::string("\x00\x00\x50\x00\xA0\x00", 6), "offset 86: not an AWSTAPE header: an empty block"},
      {block + std::string("\x50\x00\x50\x00\xA0\x02", 6),
       "offset 86: flag byte 02: a compressed (HET) block, not AWSTAPE"},
      {"56,4F,4C,31,48,4A,4B,30,   #VOL1\n", "not an AWSTAPE image: its first 6 bytes are no block header"},
  };
  for (const ErrorCase& c : kCases) EXPECT_EQ(ReadError(c.bytes), c.message) << test_support::Hex(c.bytes);
}

TEST_F(AwsImageTest, KindIsToldByContents) {
  std::string image = Write(test_support::EncodeAws({test_support::Mark()}));
  EXPECT_EQ(show::ResolveKind(image, std::nullopt), show::InputKind::kImage);
  // Cut inside its first block, so that the reader can say where it ends.
  std::string cut = test_support::EncodeAws({test_support::Block(test_support::LabelRecord("VOL1ABC123"))});
  test_support::WriteFile(image, cut.substr(0, 50));
  EXPECT_EQ(show::ResolveKind(image, std::nullopt), show::InputKind::kImage);
  std::string text = dir_.File("x.txt");
  test_support::WriteFile(text, LabelText({test_support::Record("VOL1")}));
  EXPECT_EQ(show::ResolveKind(text, std::nullopt), show::InputKind::kLabelFile);
  std::string empty = dir_.File("empty.prelbl");
  test_support::WriteFile(empty, "");
  EXPECT_EQ(show::ResolveKind(empty, std::nullopt), show::InputKind::kLabelFile);
  EXPECT_EQ(show::ResolveKind("/dev/nst7-missing", std::nullopt), show::InputKind::kDevice);
  EXPECT_THROW(show::ResolveKind(dir_.path(), std::nullopt), show::InputError);
  test_support::WriteFile(text, "plain text");
  EXPECT_THROW(show::ResolveKind(text, std::nullopt), show::InputError);
}

}  // namespace
