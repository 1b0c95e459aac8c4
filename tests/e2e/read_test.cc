// Read runs: the label printed, the exit status and every message, for each
// way a tape can start.
#include "e2e.h"

namespace e2e {
namespace {

using test_support::Block;
using test_support::Mark;

struct ReadCase {
  const char* name;
  std::vector<TapeRecord> tape;
  std::vector<std::string> faults;
  int status;
  std::string out;
  std::string quietErr;  // standard error with -q
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

const std::string kShortVol1 = test_support::Ebcdic("VOL1XYZ789") + std::string(50, '\x40');

const ReadCase kReadCases[] = {
    {"SixCharacterLabel", SixCharacterTape(), {}, 0, "ABC123\n", ""},
    {"EightCharacterLabel", EightCharacterTape(), {}, 0, "ABCD1234\n", ""},
    {"FourBlocksWithoutMarkerGiveSixCharacters",
     {LabelBlock(kVol1Abc123), LabelBlock(kHdr1), LabelBlock(kHdr2), LabelBlock(kUhl1Abcd1234), Mark()},
     {}, 0, "ABC123\n", ""},
    {"SerialWithTrailingSpaces", SixCharacterTape(Record("VOL1AB12")), {}, 0, "AB12  \n", ""},
    {"ThreeBlocksThenEndOfData",  // no tape mark: the fourth read fails
     {LabelBlock(kVol1Abc123), LabelBlock(kHdr1), LabelBlock(kHdr2)}, {}, 1, "", "read: Input/output error\n"},
    {"ShortFirstBlockIsAccepted", {Block(kShortVol1), LabelBlock(kHdr1), LabelBlock(kHdr2), Mark()}, {}, 0,
     "XYZ789\n", ""},
    {"MarkerWithoutFourthBlock", SixCharacterTape(kVol1Marker), {}, 1, "", ""},
    {"TapeMarkAsFirstBlock", {Mark(), Mark()}, {}, 1, "", ""},
    {"TapeMarkAsSecondBlock", {LabelBlock(kVol1Abc123), Mark(), Mark()}, {}, 1, "", ""},
    {"TapeMarkAsThirdBlock", {LabelBlock(kVol1Abc123), LabelBlock(kHdr1), Mark()}, {}, 1, "", ""},
    {"BlankTape", {}, {}, 1, "", "read: Input/output error\n"},
    {"OversizeFirstBlock", {Block(84, '\x40'), LabelBlock(kHdr1), LabelBlock(kHdr2), Mark()}, {}, 1, "",
     "read: Cannot allocate memory\n"},
    {"ReadErrorAtBlock1", SixCharacterTape(), {"--fail-read", "1"}, 1, "", "read: Input/output error\n"},
    {"ReadErrorAtBlock2", SixCharacterTape(), {"--fail-read", "2"}, 1, "", "read: Input/output error\n"},
    {"ReadErrorAtBlock3", SixCharacterTape(), {"--fail-read", "3"}, 1, "", "read: Input/output error\n"},
    {"ReadErrorAtBlock4", EightCharacterTape(), {"--fail-read", "4"}, 1, "", "read: Input/output error\n"},
    {"NoTapeLoaded", SixCharacterTape(), {"--no-medium"}, 1, "", "open:: No medium found\n"},
    {"DeviceNotPermitted", SixCharacterTape(), {"--fail-open", "EACCES"}, 1, "", "open:: Permission denied\n"},
    {"DriveBusy", SixCharacterTape(), {"--fail-open", "EBUSY"}, 1, "", "open:: Device or resource busy\n"},
    {"RewindFails", SixCharacterTape(), {"--fail-rewind"}, 1, "",
     "ioctl error while rewinding tape:Input/output error\n"},
    {"BlockSizeFails", SixCharacterTape(), {"--fail-setblk"}, 1, "",
     "ioctl error while setting blksize:Input/output error\n"},
    {"WriteProtectedTapeReads", SixCharacterTape(), {"--write-protect"}, 0, "ABC123\n", ""},
};

class ReadTest : public VaklabelTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTest, PrintsTheLabelOrFails) {
  const ReadCase& c = GetParam();
  LoadTape(c.tape);
  CommandResult run = Vaklabel({"-q", "-f", "/dev/nst0"}, c.faults);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.err, c.quietErr);
  EXPECT_EQ(Tape(), c.tape) << "a read must leave the tape as it was";
}

INSTANTIATE_TEST_SUITE_P(Tapes, ReadTest, testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct DiagnosticsCase {
  const char* name;
  std::vector<TapeRecord> tape;
  std::vector<std::string> faults;
  std::string err;
};

void PrintTo(const DiagnosticsCase& c, std::ostream* os) { *os << c.name; }

const DiagnosticsCase kDiagnosticsCases[] = {
    {"SixCharacterLabel", SixCharacterTape(), {},
     Preparation() + BlocksRead(3) + "### previous label data ###\n" + Dump({kVol1Abc123, kHdr1, kHdr2})},
    {"EightCharacterLabel", EightCharacterTape(), {},
     Preparation() + BlocksRead(4) + "### previous label data ###\n" +
         Dump({kVol1Marker, kHdr1, kHdr2, kUhl1Abcd1234})},
    {"MarkerWithoutFourthBlockHasNoDump", SixCharacterTape(kVol1Marker), {}, Preparation() + BlocksRead(3)},
    {"TapeMarkAsSecondBlock", {LabelBlock(kVol1Abc123), Mark()}, {},
     Preparation() + BlocksRead(1) + "no 2 block found during reading \n"},
    {"ReadErrorAtBlock3", SixCharacterTape(), {"--fail-read", "3"},
     Preparation() + BlocksRead(2) + "read: Input/output error\nread error while reading 3 block\n"},
    {"BlockSizeFails", SixCharacterTape(), {"--fail-setblk"},
     "/dev/nst0 open; handle N\nrewind succeeded\nioctl error while setting blksize:Input/output error\n"},
};

class DiagnosticsTest : public VaklabelTest, public testing::WithParamInterface<DiagnosticsCase> {};

TEST_P(DiagnosticsTest, ReportEachStepOnStandardError) {
  const DiagnosticsCase& c = GetParam();
  LoadTape(c.tape);
  CommandResult run = Vaklabel({"-f", "/dev/nst0"}, c.faults);
  EXPECT_EQ(WithoutHandle(run.err), c.err);
}

INSTANTIATE_TEST_SUITE_P(Tapes, DiagnosticsTest, testing::ValuesIn(kDiagnosticsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VaklabelTest, RegularFileIsNotATape) {
  LoadTape(SixCharacterTape());
  test_support::WriteFile(File("plain"), "VOL1");
  CommandResult run = Vaklabel({"-f", File("plain")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(WithoutHandle(run.err),
            File("plain") + " open; handle N\nioctl error while rewinding tape:Inappropriate ioctl for device\n");
  EXPECT_EQ(Vaklabel({"-q", "-f", File("plain")}).err, "ioctl error while rewinding tape:Inappropriate ioctl for device\n");
}

TEST_F(VaklabelTest, MissingDevicePath) {
  LoadTape(SixCharacterTape());
  CommandResult run = Vaklabel({"-q", "-f", File("no-such-device")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "open:: No such file or directory\n");
}

}  // namespace
}  // namespace e2e
