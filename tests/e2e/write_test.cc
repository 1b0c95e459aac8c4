// Write runs: the bytes on the tape afterwards, the backup and template
// files, and what every failure does to the exit status and the tape.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "e2e.h"

namespace e2e {
namespace {

using test_support::Block;
using test_support::Mark;
using test_support::ReadFile;
using test_support::WriteFile;

const std::string kVol1Xyz789 = Put(kVol1Abc123, 5, "XYZ789");

// The initial UHL1 record after the reader's translation of a tape that had
// no fourth block: the ASCII text taken once more through EBCDIC to ASCII.
const std::string kTranslatedInitialUhl1 = std::string("\xA5\xAB\x3C\xEE") + std::string(76, '\x81');

// The built-in label set, which a blank tape gets its fields from.
const std::string kInitialVol1 = Record("VOL1HJK025");
const std::string kInitialHdr1 = Record("HDR1                           0001      004039 993650000000TOLV");
const std::string kInitialHdr2 = Record("HDR2U2621400000 0");
// The standard template's HDR1: the built-in one without an expiration date.
const std::string kStandardHdr1 = Put(kInitialHdr1, 48, " 00000");

struct RelabelCase {
  const char* name;
  std::vector<TapeRecord> before;
  std::string label;
  std::vector<std::string> after;  // ASCII records; the creation date is added here
};

void PrintTo(const RelabelCase& c, std::ostream* os) { *os << c.name; }

const RelabelCase kRelabels[] = {
    {"SixToSix", SixCharacterTape(), "XYZ789", {kVol1Xyz789, kHdr1, kHdr2}},
    {"SixToEight", SixCharacterTape(), "ABCD5678",
     {Put(kVol1Abc123, 5, "*UHL1*"), kHdr1, kHdr2, Record("UHL1ABCD5678")}},
    {"EightToSixDropsTheOldUhl1", EightCharacterTape(), "XYZ789",
     {Put(kVol1Marker, 5, "XYZ789"), kHdr1, kHdr2}},
    {"EightToEightRebuildsUhl1", EightCharacterTape(Put(Record("UHL1ABCD1234"), 40, "OLD.DATA")), "WXYZ0001",
     {kVol1Marker, kHdr1, kHdr2, Record("UHL1WXYZ0001")}},
    {"DataAfterTheLabelIsGone",
     {LabelBlock(kVol1Abc123), LabelBlock(kHdr1), LabelBlock(kHdr2), Mark(), Block(500, '\x11'), Mark(), Mark()},
     "XYZ789", {kVol1Xyz789, kHdr1, kHdr2}},
    {"LabelWithSpaces", SixCharacterTape(), "AB1  2", {Put(kVol1Abc123, 5, "AB1  2"), kHdr1, kHdr2}},
};

std::vector<TapeRecord> Written(std::vector<std::string> records) {
  records[1] = Put(records[1], 42, Today());
  std::vector<TapeRecord> tape;
  for (const std::string& r : records) tape.push_back(LabelBlock(r));
  tape.push_back(Mark());
  tape.push_back(Mark());
  return tape;
}

class RelabelTest : public VaklabelTest, public testing::WithParamInterface<RelabelCase> {};

TEST_P(RelabelTest, KeepsEveryOtherField) {
  const RelabelCase& c = GetParam();
  LoadTape(c.before);
  CommandResult run = Vaklabel({"-q", "-f", "/dev/nst0", "-w", c.label});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Tape(), Written(c.after));

  CommandResult reread = Vaklabel({"-q", "-f", "/dev/nst0"});
  EXPECT_EQ(reread.out, c.label + "\n");
}

INSTANTIATE_TEST_SUITE_P(Labels, RelabelTest, testing::ValuesIn(kRelabels),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VaklabelTest, DiagnosticsCoverBothPassesOverTheTape) {
  LoadTape(SixCharacterTape());
  CommandResult run = Vaklabel({"-f", "/dev/nst0", "-w", "XYZ789"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(WithoutHandle(run.err), Preparation() + BlocksRead(3) + "### previous label data ###\n" +
                                        Dump({kVol1Abc123, kHdr1, kHdr2}) + Preparation() +
                                        "block 1 written\nblock 2 written\nblock 3 written\nMTIOCTOP succeeded\n");
}

struct BackupCase {
  const char* name;
  std::vector<TapeRecord> before;
  std::string label;
  std::string file;
  std::vector<std::string> records;
};

void PrintTo(const BackupCase& c, std::ostream* os) { *os << c.name; }

const BackupCase kBackups[] = {
    {"SixCharacters", SixCharacterTape(), "XYZ789", "XYZ789_ABC123.prelbl", {kVol1Abc123, kHdr1, kHdr2}},
    {"EightToSixKeepsTheOldUhl1", EightCharacterTape(), "XYZ789", "XYZ789_ABCD1234.prelbl",
     {kVol1Marker, kHdr1, kHdr2, kUhl1Abcd1234}},
    {"SixToEightFromThreeBlocks", SixCharacterTape(), "ABCD5678", "ABCD5678_ABC123.prelbl",
     {kVol1Abc123, kHdr1, kHdr2, kTranslatedInitialUhl1}},
    {"SixToEightFromFourBlocks",
     {LabelBlock(kVol1Abc123), LabelBlock(kHdr1), LabelBlock(kHdr2), LabelBlock(Record("UHL1SPARE")), Mark()},
     "ABCD5678", "ABCD5678_ABC123.prelbl", {kVol1Abc123, kHdr1, kHdr2, Record("UHL1SPARE")}},
    {"OldLabelWithSpaces", SixCharacterTape(Record("VOL1AB12")), "XYZ789", "XYZ789_AB12  .prelbl",
     {Record("VOL1AB12"), kHdr1, kHdr2}},
};

class BackupTest : public VaklabelTest, public testing::WithParamInterface<BackupCase> {};

TEST_P(BackupTest, HoldsTheLabelSetTheTapeHad) {
  const BackupCase& c = GetParam();
  LoadTape(c.before);
  CommandResult run = Vaklabel({"-q", "-b", "-p", File("labels"), "-f", "/dev/nst0", "-w", c.label});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ReadFile(File("labels/" + c.file)), LabelFile(c.records));
}

INSTANTIATE_TEST_SUITE_P(Backups, BackupTest, testing::ValuesIn(kBackups),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VaklabelTest, BackupRestoresTheOldLabelSet) {
  LoadTape(SixCharacterTape());
  ASSERT_EQ(Vaklabel({"-q", "-b", "-p", File("labels"), "-f", "/dev/nst0", "-w", "XYZ789"}).status, 0);
  CommandResult restore =
      Vaklabel({"-q", "-c", File("labels"), "-t", "XYZ789_ABC123.prelbl", "-f", "/dev/nst0", "-w", "ABC123"});
  EXPECT_EQ(restore.status, 0);
  EXPECT_EQ(Tape(), Written({kVol1Abc123, kHdr1, kHdr2}));
}

TEST_F(VaklabelTest, TemplateGivesTheFirstThreeRecords) {
  const std::string vol1 = Put(Record("VOL1TTTTTT"), 38, "TEMPLATE.OWNER");
  const std::string hdr1 = Record("HDR1FROM.TEMPLATE");
  const std::string hdr2 = Record("HDR2V0200000100");
  WriteFile(File("t.lbl"), LabelFile({vol1, hdr1, hdr2, Record("UHL1IGNORED")}));
  LoadTape(EightCharacterTape());

  CommandResult run = Vaklabel({"-q", "-b", "-p", File("b"), "-c", dir_.path(), "-t", "t.lbl", "-f", "/dev/nst0",
                                "-w", "NEWLBL01"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Tape(), Written({Put(vol1, 5, "*UHL1*"), hdr1, hdr2, Record("UHL1NEWLBL01")}));
  EXPECT_EQ(ReadFile(File("b/NEWLBL01_ABCD1234.prelbl")), LabelFile({kVol1Marker, kHdr1, kHdr2, kUhl1Abcd1234}))
      << "the backup holds what the tape had, not the template";
}

TEST_F(VaklabelTest, BlankTapeIsLabelledFromTheStandardTemplate) {
  LoadTape({});
  CommandResult run = Vaklabel({"-q", "-b", "-p", File("b"), "-c", TEMPLATE_DIR, "-t", "standard.lbl", "-f",
                                "/dev/nst0", "-w", "XYZ789"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "read: Input/output error\n");
  EXPECT_EQ(Tape(), Written({Put(kInitialVol1, 5, "XYZ789"), kStandardHdr1, kInitialHdr2}));
  EXPECT_EQ(ReadFile(File("b/XYZ789_.prelbl")), LabelFile({kInitialVol1, kInitialHdr1, kInitialHdr2}))
      << "nothing read: the backup is the built-in set";
  EXPECT_EQ(Vaklabel({"-q", "-f", "/dev/nst0"}).out, "XYZ789\n");
}

// The blocks read before the failure are translated once, so the bytes the
// template leaves to them reach the tape as they were.
TEST_F(VaklabelTest, PartlyReadableTapeKeepsTheBytesThatWereRead) {
  LoadTape({LabelBlock(kVol1Abc123), LabelBlock(kHdr1), Mark(), Mark()});
  const std::string vol1 = Record("VOL1TTTTTT");
  std::string lines = LabelFile({vol1, Record("HDR1FROM.TEMPLATE")});
  size_t end = 0;
  for (int n = 0; n < 12; ++n) end = lines.find('\n', end) + 1;
  WriteFile(File("t.lbl"), lines.substr(0, end));

  CommandResult run = Vaklabel({"-q", "-c", dir_.path(), "-t", "t.lbl", "-f", "/dev/nst0", "-w", "XYZ789"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  std::string hdr1 = kHdr1;
  hdr1.replace(0, 16, "HDR1FROM.TEMPLAT");
  EXPECT_EQ(Tape(), Written({Put(vol1, 5, "XYZ789"), hdr1, kInitialHdr2}));
}

struct FailureCase {
  const char* name;
  std::vector<std::string> faults;
  std::string err;                           // with -q
  std::optional<std::vector<TapeRecord>> after;  // unset: the tape is unchanged
  bool backupMade;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

std::vector<TapeRecord> Blocks(int count, int shortAt = 0) {
  std::vector<TapeRecord> tape = Written({kVol1Xyz789, kHdr1, kHdr2});
  tape.resize(count);
  if (shortAt) tape.back().data.resize(40);
  return tape;
}

std::vector<TapeRecord> WithMarks(std::vector<TapeRecord> tape) {
  tape.push_back(Mark());
  tape.push_back(Mark());
  return tape;
}

const FailureCase kFailures[] = {
    {"ReadError", {"--fail-read", "2"}, "read: Input/output error\n", std::nullopt, false},
    {"WriteProtected", {"--write-protect"}, "open:: Read-only file system\n", std::nullopt, true},
    {"WriterRewindFails", {"--fail-rewind-at", "2"}, "ioctl error while rewinding tape:Input/output error\n",
     std::nullopt, true},
    {"WriterBlockSizeFails", {"--fail-setblk-at", "2"}, "ioctl error while setting blksize:Input/output error\n",
     WithMarks(Blocks(3)), true},
    {"FirstBlockWriteFails", {"--fail-write", "1"}, "write: Input/output error\n", WithMarks({}), true},
    {"SecondBlockWriteFails", {"--fail-write", "2"}, "write: Input/output error\n", WithMarks(Blocks(1)), true},
    {"ShortThirdBlock", {"--short-write", "3"}, "short write of block 3: 40 of 80 bytes written\n",
     WithMarks(Blocks(3, 3)), true},
    {"TapeMarksFail", {"--fail-weof"}, "ioctl error:Input/output error\n", Blocks(3), true},
    {"CloseFails", {"--fail-close"}, "close: Input/output error\n", WithMarks(Blocks(3)), true},
};

class WriteFailureTest : public VaklabelTest, public testing::WithParamInterface<FailureCase> {};

// Whatever the drive does, the run says so in its exit status, and a backup
// asked for exists before the tape is touched.
TEST_P(WriteFailureTest, IsReportedAndEndsWithStatusOne) {
  const FailureCase& c = GetParam();
  LoadTape(SixCharacterTape());
  CommandResult run = Vaklabel({"-q", "-b", "-p", File("b"), "-f", "/dev/nst0", "-w", "XYZ789"}, c.faults);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, c.err);
  EXPECT_EQ(Tape(), c.after.value_or(SixCharacterTape()));
  if (c.backupMade) {
    EXPECT_EQ(ReadFile(File("b/XYZ789_ABC123.prelbl")), LabelFile({kVol1Abc123, kHdr1, kHdr2}));
  }
}

INSTANTIATE_TEST_SUITE_P(Drive, WriteFailureTest, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

struct ReaderFailureCase {
  const char* name;
  std::vector<TapeRecord> tape;
  std::vector<std::string> faults;
};

const ReaderFailureCase kUnreadable[] = {
    {"BlankTape", {}, {}},
    {"TapeMarkAsSecondBlock", {LabelBlock(kVol1Abc123), Mark(), Mark()}, {}},
    {"MarkerWithoutFourthBlock", SixCharacterTape(kVol1Marker), {}},
    {"ReadErrorAtBlock1", SixCharacterTape(), {"--fail-read", "1"}},
};

TEST_F(VaklabelTest, UnreadableTapeIsNotWrittenWithoutATemplate) {
  for (const ReaderFailureCase& c : kUnreadable) {
    LoadTape(c.tape);
    CommandResult run = Vaklabel({"-q", "-b", "-p", File("b"), "-f", "/dev/nst0", "-w", "XYZ789"}, c.faults);
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_EQ(Tape(), c.tape) << c.name;
  }
  EXPECT_NE(access(File("b").c_str(), F_OK), 0) << "no backup is made of a label set that was not read";
}

TEST_F(VaklabelTest, MissingTemplateStopsAfterTheBackup) {
  LoadTape(SixCharacterTape());
  CommandResult run = Vaklabel({"-q", "-b", "-p", File("b"), "-c", dir_.path(), "-t", "none.lbl", "-f",
                                "/dev/nst0", "-w", "XYZ789"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "could not open " + File("none.lbl") + " file");
  EXPECT_EQ(Tape(), SixCharacterTape());
  EXPECT_EQ(ReadFile(File("b/XYZ789_ABC123.prelbl")), LabelFile({kVol1Abc123, kHdr1, kHdr2}));
}

// A directory opens for reading and fails only at the first read; the run
// must stop as for a template that does not open, not write without it.
TEST_F(VaklabelTest, TemplateThatCannotBeReadStopsAfterTheBackup) {
  ASSERT_EQ(mkdir(File("templates").c_str(), 0755), 0);
  const char* const kUnreadable[] = {"templates", ""};  // "" names the template directory itself
  for (const char* name : kUnreadable) {
    LoadTape(SixCharacterTape());
    const std::string image = ReadFile(tape_);
    CommandResult run = Vaklabel({"-q", "-b", "-p", File("b"), "-c", dir_.path(), "-t", name, "-f", "/dev/nst0",
                                  "-w", "XYZ789"});
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_EQ(run.err, "could not open " + File(name) + " file") << name;
    EXPECT_EQ(ReadFile(tape_), image) << name;
    EXPECT_EQ(ReadFile(File("b/XYZ789_ABC123.prelbl")), LabelFile({kVol1Abc123, kHdr1, kHdr2})) << name;
    ASSERT_EQ(unlink(File("b/XYZ789_ABC123.prelbl").c_str()), 0);
  }
}

TEST_F(VaklabelTest, BackupThatCannotBeMadeStopsBeforeTheTape) {
  LoadTape(SixCharacterTape());
  CommandResult run = Vaklabel({"-q", "-b", "-p", File("b"), "-f", "/dev/nst0", "-w", "XY/789"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "could not create " + File("b/XY/789_ABC123.prelbl") + " file");
  EXPECT_EQ(Tape(), SixCharacterTape());
}

}  // namespace
}  // namespace e2e
