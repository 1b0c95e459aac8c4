// Saving the label records while reading (-p DIR -o FILE): the file, the
// directory it goes in, and every way saving can fail.
#include <sys/stat.h>
#include <unistd.h>

#include "e2e.h"

namespace e2e {
namespace {

TEST_F(VaklabelTest, SavesTheRecordsInUseBeforePrintingTheLabel) {
  LoadTape(SixCharacterTape());
  CommandResult run = Vaklabel({"-q", "-r", "-p", File("labels"), "-o", "six.lbl", "-f", "/dev/nst0"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "ABC123\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(test_support::ReadFile(File("labels/six.lbl")), LabelFile({kVol1Abc123, kHdr1, kHdr2}));

  LoadTape(EightCharacterTape());
  run = Vaklabel({"-r", "-p", File("labels"), "-o", "eight.lbl", "-f", "/dev/nst0"});
  EXPECT_EQ(run.out, "ABCD1234\n");
  EXPECT_EQ(test_support::ReadFile(File("labels/eight.lbl")),
            LabelFile({kVol1Marker, kHdr1, kHdr2, kUhl1Abcd1234}));
}

TEST_F(VaklabelTest, SavedFileReplacesAnOlderOne) {
  LoadTape(SixCharacterTape());
  test_support::WriteFile(File("out.lbl"), std::string(5000, 'x'));
  ASSERT_EQ(Vaklabel({"-q", "-p", dir_.path(), "-o", "out.lbl", "-f", "/dev/nst0"}).status, 0);
  EXPECT_EQ(test_support::ReadFile(File("out.lbl")), LabelFile({kVol1Abc123, kHdr1, kHdr2}));
}

struct SaveFailure {
  const char* name;
  std::string dir;   // relative to the test directory; "" stays empty
  std::string file;
  std::string err;   // %d stands for the test directory
};

void PrintTo(const SaveFailure& c, std::ostream* os) { *os << c.name; }

const SaveFailure kSaveFailures[] = {
    {"ParentOfDirectoryMissing", "missing/labels", "out.lbl", "could not create %d/missing/labels directory"},
    {"EmptyDirectory", "", "out.lbl", "could not create  directory"},
    {"DirectoryIsAPlainFile", "plain", "out.lbl", "could not create %d/plain/out.lbl file"},
    {"EmptyFileName", "labels", "", "could not create %d/labels/ file"},
    {"DiskFull", "full", "out.lbl", "could not write %d/full/out.lbl file"},
};

class SaveFailureTest : public VaklabelTest, public testing::WithParamInterface<SaveFailure> {};

// A failed save ends the run before the label is printed, so a script never
// takes a label whose records were not kept.
TEST_P(SaveFailureTest, EndsTheRunWithNothingOnStandardOutput) {
  const SaveFailure& c = GetParam();
  LoadTape(SixCharacterTape());
  test_support::WriteFile(File("plain"), "");
  ASSERT_EQ(mkdir(File("full").c_str(), 0777), 0);
  ASSERT_EQ(symlink("/dev/full", File("full/out.lbl").c_str()), 0);
  mkdir(File("labels").c_str(), 0777);

  std::string dir = c.dir.empty() ? "" : File(c.dir);
  CommandResult run = Vaklabel({"-q", "-r", "-p", dir, "-o", c.file, "-f", "/dev/nst0"});
  std::string err = c.err;
  if (size_t at = err.find("%d"); at != std::string::npos) err.replace(at, 2, dir_.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, err);
}

INSTANTIATE_TEST_SUITE_P(Files, SaveFailureTest, testing::ValuesIn(kSaveFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// A write error that only shows when the buffered file is flushed: the file
// size limit makes the kernel refuse every byte. The rewinding name, because
// the limit would refuse the drive's position record on the other one too.
TEST_F(VaklabelTest, WriteErrorOnFlushIsReported) {
  LoadTape(SixCharacterTape());
  std::string command = "ulimit -f 0; trap '' XFSZ; exec \"$@\"";
  CommandResult run = test_support::Run({"sh", "-c", command, "sh", test_support::BinaryPath("VTAPE"), "run", tape_,
                                         "--", test_support::BinaryPath("VAKLABEL"), "-q", "-p", dir_.path(), "-o",
                                         "out.lbl", "-f", "/dev/st0"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "could not write " + File("out.lbl") + " file");
}

}  // namespace
}  // namespace e2e
