#include "tape_tools.h"

#include <gtest/gtest.h>

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

TEST(MtStatus, PositionAndBits) {
  auto where = ParseMtStatus(
      "SCSI 2 tape drive:\nFile number=0, block number=-1, partition=0.\n"
      "Tape block size 0 bytes. Density code 0x0 (default).\nSoft error count since last status=0\n"
      "General status bits on (1010000):\n ONLINE IM_REP_EN\n");
  ASSERT_TRUE(where);
  EXPECT_EQ(where->file, 0);
  EXPECT_EQ(where->block, -1);
  EXPECT_FALSE(where->eod);
  EXPECT_TRUE(StillAtStart(*where));

  where = ParseMtStatus(
      "SCSI 2 tape drive:\nFile number=0, block number=0, partition=0.\n"
      "General status bits on (9010000):\n EOD ONLINE IM_REP_EN WR_PROT\n");
  ASSERT_TRUE(where);
  EXPECT_TRUE(where->eod);
  EXPECT_TRUE(where->write_protected);
  EXPECT_FALSE(EndOfDataAtStart(*where)) << "st counts no block at a blank tape's end of data";
  EXPECT_FALSE(StillAtStart(*where));
  EXPECT_FALSE(ParseMtStatus("mt: /dev/nst0: No medium found\n"));
  where = ParseMtStatus("drive type = 114\ndrive status = 1476395008\nsense key error = 0\nresidue count = 0\n"
                        "file number = 2\nblock number = 7\n");
  ASSERT_TRUE(where) << "GNU mt";
  EXPECT_EQ(where->file, 2);
  EXPECT_EQ(where->block, 7);
}

TEST(MtStatus, OnlyAnEndOfDataAtTheStartIsBlank) {
  EXPECT_FALSE(EndOfDataAtStart({1, 0, true, false}));
  EXPECT_FALSE(EndOfDataAtStart({0, 5, true, false}));
  EXPECT_TRUE(EndOfDataAtStart({0, -1, true, false}));   // st on a blank tape
  EXPECT_FALSE(EndOfDataAtStart({0, -1, false, false}));
  EXPECT_FALSE(EndOfDataAtStart({1, -1, true, false}));  // data and a tape mark before the end
  EXPECT_FALSE(StillAtStart({0, 1, false, false}));
  EXPECT_FALSE(StillAtStart({1, -1, true, false}));
  // A rewinding device is back at BOT after every close, whatever it holds.
  EXPECT_FALSE(StillAtStart({0, 0, false, false, true}));
  EXPECT_FALSE(EndOfDataAtStart({0, 0, false, false, true}));
  EXPECT_FALSE(EndOfDataAtStart({0, -1, true, false, true}));
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
  TapeTools tools("vaklabel", "mt", "/dev/nst1");
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
