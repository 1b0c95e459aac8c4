#include "tape_tools.h"

#include <gtest/gtest.h>

#include "destroyed_data.h"

namespace library {
namespace {

const std::string kPrepared = "/dev/nst0 open; handle 3\nrewind succeeded\nblocksize set to 0\n";

std::string BlocksRead(int n) {
  std::string lines;
  for (int i = 1; i <= n; ++i) lines += "block " + std::to_string(i) + " read to internal buffer\n";
  return lines;
}

TEST(ReadJudgement, FromVaklabelsStatusAndTrace) {
  struct Case {
    const char* name;
    int status;
    std::string out;
    std::string err;
    Finding finding;
    const char* detail;
  };
  const Case cases[] = {
      {"label", 0, "ABC001\n", kPrepared + BlocksRead(3) + "### previous label data ###\n[0][0]: ...\n",
       Finding::kLabelSet, ""},
      {"blank", 1, "", kPrepared + "read: Input/output error\nread error while reading 1 block\n", Finding::kMaybeBlank,
       "block 1: Input/output error"},
      {"quiet blank", 1, "", "read: Input/output error\n", Finding::kMaybeBlank, "block 1: Input/output error"},
      {"large first block", 1, "", kPrepared + "read: Cannot allocate memory\nread error while reading 1 block\n",
       Finding::kForeign, "block 1 larger than a label record"},
      {"error after one block", 1, "",
       kPrepared + BlocksRead(1) + "read: Input/output error\nread error while reading 2 block\n", Finding::kUnreadable,
       "block 2: Input/output error"},
      {"tape mark early", 1, "", kPrepared + BlocksRead(1) + "no 2 block found during reading \n", Finding::kForeign,
       "tape mark at block 2"},
      {"marker without UHL1", 1, "", kPrepared + BlocksRead(3), Finding::kForeign,
       "VOL1 names a UHL1 record the tape does not have"},
      {"no medium", 1, "", "open:: No medium found\n", Finding::kDriveFault, "open:: No medium found"},
      {"rewind", 1, "", "/dev/nst0 open; handle 3\nioctl error while rewinding tape:Input/output error\n",
       Finding::kDriveFault, "ioctl error while rewinding tape:Input/output error"},
      {"killed", 137, "", kPrepared, Finding::kDriveFault, "vaklabel ended by signal 9"},
      {"set not kept", 1, "",
       kPrepared + BlocksRead(3) + "### previous label data ###\n[0][0]: E5\ncould not write labels/x.lbl file",
       Finding::kNotSaved, "the label set read cannot be kept: vaklabel says \"could not write labels/x.lbl file\""},
      {"label without its trace", 0, "ABC001\n", "", Finding::kUnrecognised,
       "vaklabel's answer is not understood (status 0)"},
      {"failure after the set", 1, "", kPrepared + BlocksRead(3) + "### previous label data ###\n",
       Finding::kUnrecognised, "vaklabel's answer is not understood (status 1, after it read a label set)"},
  };
  for (const Case& c : cases) {
    ProcessResult run{true, c.status, c.out, c.err};
    ReadTrace trace = ParseReadTrace(run);
    std::string detail;
    EXPECT_EQ(JudgeRead(trace, &detail), c.finding) << c.name;
    EXPECT_EQ(detail, c.detail) << c.name;
  }
  ProcessResult labelled{true, 0, "AB12  \n", kPrepared};
  EXPECT_EQ(ParseReadTrace(labelled).label, "AB12  ");
}

// What the drive's answers (file, block, EOD, write-protected, BOT, logical
// position) prove, and what a write from the start destroys.
TEST(DrivePosition, BlankOnlyAtAnEndOfDataAtTheStartAndWhatAWriteDestroys) {
  struct Case {
    const char* name;
    DrivePosition at;
    bool still_at_start;  // after a failed first read
    bool end_at_start;    // after spacing to the end of data
    long kept_blocks;
    const char* destroyed;
  };
  const Case cases[] = {
      {"st on a blank tape",
       {0, -1, true, false, false, 0},
       true,
       true,
       0,
       "nothing: the end of data was at the start"},
      {"30 blocks, no tape mark: st's block number is -1 after spacing",
       {0, -1, true, false, false, 30},
       true,
       false,
       0,
       "30 blocks and no tape mark"},
      {"half a label set", {0, -1, true, false, false, 2}, true, false, 0, "2 blocks and no tape mark"},
      {"a tar archive and its mark", {1, -1, true, false, false, 2}, false, false, 0, "1 block and 1 tape mark"},
      {"a label set and a data set, the set backed up",
       {3, -1, true, false, false, 7},
       false,
       false,
       3,
       "1 block and 3 tape marks after the label set"},
      {"only the label set, backed up", {2, -1, true, false, false, 5}, false, false, 3, ""},
      {"st spaced fast and lost the file number",
       {-1, -1, true, false, false, 9},
       false,
       false,
       0,
       "9 blocks and tape marks"},
      {"no logical position",
       {0, -1, true, false, false, -1},
       true,
       false,
       0,
       "whatever the tape held (the drive did not say where its data ends)"},
      {"a rewinding device is back at BOT",
       {0, 0, false, false, true, 0},
       false,
       false,
       0,
       "whatever the tape held (the drive did not say where its data ends)"},
      {"past the first block",
       {0, 1, false, false, false, 1},
       false,
       false,
       0,
       "whatever the tape held (the drive did not say where its data ends)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StillAtStart(c.at), c.still_at_start) << c.name;
    EXPECT_EQ(EndOfDataAtStart(c.at), c.end_at_start) << c.name;
    EXPECT_EQ(DestroyedData(c.at, c.kept_blocks), c.destroyed) << c.name;
  }
  EXPECT_EQ(DestroyedData(std::nullopt), "whatever the tape held (the drive did not say where its data ends)");
}

TEST(WriteTrace, HowFarTheWriteGot) {
  struct Case {
    const char* name;
    int status;
    std::string err;
    bool opened;
    int blocks;
    const char* error;
  };
  const std::string read_set = kPrepared + BlocksRead(3) + "### previous label data ###\n[0][0]: E5 D6 D3 F1\n";
  const Case cases[] = {
      {"written", 0, read_set + kPrepared + "block 1 written\nblock 2 written\nblock 3 written\nMTIOCTOP succeeded\n",
       true, 3, ""},
      {"backup not kept", 1, read_set + "could not write labels/A_B.prelbl file", false, 0,
       "could not write labels/A_B.prelbl file"},
      {"protected", 1, read_set + "open:: Read-only file system\n", false, 0, "open:: Read-only file system"},
      {"second block", 1,
       kPrepared + "read: Input/output error\nread error while reading 1 block\n" + kPrepared +
           "block 1 written\nwrite: Input/output error\nMTIOCTOP succeeded\n",
       true, 1, "write: Input/output error"},
  };
  for (const Case& c : cases) {
    WriteTrace trace = ParseWriteTrace({true, c.status, "", c.err});
    EXPECT_EQ(trace.tape_opened_to_write, c.opened) << c.name;
    EXPECT_EQ(trace.blocks_written, c.blocks) << c.name;
    EXPECT_EQ(trace.error, c.error) << c.name;
  }
}

TEST(WriteCommand, TemplateAsVaklabelTakesIt) {
  TapeTools tools("vaklabel", "/dev/nst1");
  EXPECT_EQ(tools.WriteCommand("ABC001L8", "/usr/share/vaklabel/standard.lbl"),
            (std::vector<std::string>{"vaklabel", "-c", "/usr/share/vaklabel", "-t", "standard.lbl", "-f", "/dev/nst1",
                                      "-w", "ABC001L8"}));
  EXPECT_EQ(tools.WriteCommand("ABC001", ""),
            (std::vector<std::string>{"vaklabel", "-f", "/dev/nst1", "-w", "ABC001"}));
  EXPECT_EQ(tools.WriteCommand("ABC001", "standard.lbl"),
            (std::vector<std::string>{"vaklabel", "-c", ".", "-t", "standard.lbl", "-f", "/dev/nst1", "-w", "ABC001"}));
}

}  // namespace
}  // namespace library
