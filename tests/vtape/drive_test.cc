// The virtual drive's answers, call by call: each case loads an image, runs
// tapeprobe scripts under `vtape run` (one process per script) and checks
// the transcript and the image left behind. The expectations are what the
// kernel's st driver answered on a real drive.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test_support::Block;
using test_support::Hex;
using test_support::LabelRecord;
using test_support::Mark;
using test_support::TapeRecord;
using Script = std::vector<std::string>;

struct DriveCase {
  const char* name;
  std::vector<TapeRecord> before;
  std::vector<std::string> options;  // fault options for vtape run
  std::vector<Script> scripts;       // run one after another on /dev/nst0
  std::vector<std::string> transcript;
  std::optional<std::vector<TapeRecord>> after = std::nullopt;  // unset: image unchanged
  const char* device = "/dev/nst0";
  const char* capacity = nullptr;  // the tape's size, as vtape create --size takes it
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const DriveCase& c, std::ostream* os) { *os << c.name; }

const std::string kVol1 = LabelRecord("VOL1ABC123");
const std::string kHdr1 = LabelRecord("HDR1");
const std::string kHdr2 = LabelRecord("HDR2");

// The transcript line of a read that returned `data`.
std::string Got(const std::string& step, const std::string& data) {
  return step + " -> " + std::to_string(data.size()) + " " + Hex(data);
}

std::string Filled(size_t n, int byte) { return std::string(n, static_cast<char>(byte)); }

// `count` copies of `step`, for scripts and transcripts alike.
std::vector<std::string> Times(size_t count, const std::string& step) { return std::vector<std::string>(count, step); }

template <typename T>
std::vector<T> Join(std::initializer_list<std::vector<T>> parts) {
  std::vector<T> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

class DriveTest : public testing::TestWithParam<DriveCase> {};

TEST_P(DriveTest, AnswersAsTheKernelDriver) {
  const DriveCase& c = GetParam();
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, c.before);
  if (c.capacity != nullptr) test_support::WriteFile(image + ".vtsize", std::string(c.capacity) + "\n");
  std::vector<std::string> transcript;
  for (const Script& script : c.scripts) {
    std::vector<std::string> argv = {test_support::BinaryPath("VTAPE"), "run", image};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.insert(argv.end(), {"--", test_support::BinaryPath("TAPEPROBE"), c.device});
    argv.insert(argv.end(), script.begin(), script.end());
    test_support::CommandResult r = test_support::Run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string& line : Lines(r.out)) transcript.push_back(line);
  }
  EXPECT_EQ(transcript, c.transcript);
  EXPECT_EQ(test_support::ReadAwsFile(image), c.after.value_or(c.before));
}

std::string CaseName(const testing::TestParamInfo<DriveCase>& info) { return info.param.name; }

const std::vector<TapeRecord> kLabels = {Block(kVol1), Block(kHdr1), Block(kHdr2), Mark(), Mark()};

INSTANTIATE_TEST_SUITE_P(
    Reads, DriveTest,
    testing::Values(
        DriveCase{"LabelSetThenEndOfData",
                  kLabels,
                  {},
                  {{"open:ro", "rew", "setblk:0", "read:80", "read:80", "read:80", "read:80", "read:80",
                    "read:80", "read:80", "read:80"}},
                  {"open:ro -> ok", "rew -> 0", "setblk:0 -> 0", Got("read:80", kVol1), Got("read:80", kHdr1),
                   Got("read:80", kHdr2), "read:80 -> 0", "read:80 -> 0", "read:80 -> 0", "read:80 -> -1 EIO",
                   "read:80 -> -1 EIO"}},
        DriveCase{"BlankTapeFailsEveryTime",
                  {},
                  {},
                  {{"open:ro", "read:80", "read:80"}},
                  {"open:ro -> ok", "read:80 -> -1 EIO", "read:80 -> -1 EIO"}},
        DriveCase{"EndOfDataWithoutTapeMark",
                  {Block(kVol1), Block(kHdr1)},
                  {},
                  {{"open:ro", "read:80", "read:80", "read:80", "read:80"}},
                  {"open:ro -> ok", Got("read:80", kVol1), Got("read:80", kHdr1), "read:80 -> -1 EIO",
                   "read:80 -> -1 EIO"}},
        DriveCase{"TwoBlocksThenMarks",
                  {Block(kVol1), Block(kHdr1), Mark(), Mark()},
                  {},
                  {{"open:ro", "read:80", "read:80", "read:80"}},
                  {"open:ro -> ok", Got("read:80", kVol1), Got("read:80", kHdr1), "read:80 -> 0"}},
        DriveCase{"LongerBlockIsPassedOver",
                  {Block(100, 'x'), Block(kVol1)},
                  {},
                  {{"open:ro", "read:80", "status", "read:80"}},
                  {"open:ro -> ok", "read:80 -> -1 ENOMEM", "status -> file 0 block 1 bits ONLINE",
                   Got("read:80", kVol1)}},
        DriveCase{"ShorterBlockReturnsItsLength",
                  {Block(60, 'z')},
                  {},
                  {{"open:ro", "read:80"}},
                  {"open:ro -> ok", Got("read:80", Filled(60, 'z'))}},
        DriveCase{"BiggerBuffersReadOneBlock",
                  {Block(kVol1), Block(kHdr1), Block(kHdr2), Block(kVol1)},
                  {},
                  {{"open:ro", "read:100", "read:159", "read:160", "read:65536"}},
                  {"open:ro -> ok", Got("read:100", kVol1), Got("read:159", kHdr1), Got("read:160", kHdr2),
                   Got("read:65536", kVol1)}},
        DriveCase{"ZeroCountReadsNothing",
                  {Block(kVol1)},
                  {},
                  {{"open:ro", "read:0", "read:80"}},
                  {"open:ro -> ok", "read:0 -> 0", Got("read:80", kVol1)}},
        DriveCase{"StatusFollowsTheReads",
                  {Block(kVol1), Mark(), Mark()},
                  {},
                  {{"open:ro", "status", "read:80", "status", "read:80", "status", "read:80", "status",
                    "read:80", "status"}},
                  {"open:ro -> ok", "status -> file 0 block 0 bits BOT,ONLINE", Got("read:80", kVol1),
                   "status -> file 0 block 1 bits ONLINE", "read:80 -> 0", "status -> file 1 block 0 bits EOF,ONLINE",
                   "read:80 -> 0", "status -> file 2 block 0 bits EOF,ONLINE", "read:80 -> 0",
                   "status -> file 2 block -1 bits EOD,ONLINE"}},
        // st keeps through a close that a tape mark was just passed.
        DriveCase{"ReopenKeepsTheFilemarkJustRead",
                  {Block(kVol1), Mark()},
                  {},
                  {{"open:ro", "read:80", "read:80", "close"}, {"open:ro", "read:80", "read:80"}},
                  {"open:ro -> ok", Got("read:80", kVol1), "read:80 -> 0", "close -> 0", "open:ro -> ok",
                   "read:80 -> 0", "read:80 -> -1 EIO"}},
        DriveCase{"ReopenKeepsTheFilemarkSpacedOver",
                  {Block(kVol1), Mark()},
                  {},
                  {{"open:ro", "fsf:1", "close"}, {"open:ro", "read:80", "status", "read:80"}},
                  {"open:ro -> ok", "fsf:1 -> 0", "close -> 0", "open:ro -> ok", "read:80 -> 0",
                   "status -> file 1 block -1 bits EOD,ONLINE", "read:80 -> -1 EIO"}},
        // st keeps a lost block number, and end of data, through the close.
        DriveCase{"ReopenKeepsALostBlockNumber",
                  {},
                  {},
                  {{"open:ro", "read:80", "close"}, {"open:ro", "status"}},
                  {"open:ro -> ok", "read:80 -> -1 EIO", "close -> 0", "open:ro -> ok",
                   "status -> file 0 block -1 bits ONLINE"}},
        DriveCase{"ReopenKeepsEndOfData",
                  {Block(kVol1), Mark(), Block(kHdr1)},
                  {},
                  {{"open:ro", "eom", "close"}, {"open:ro", "status"}},
                  {"open:ro -> ok", "eom -> 0", "close -> 0", "open:ro -> ok",
                   "status -> file 1 block -1 bits EOD,ONLINE"}},
        DriveCase{"ChainedSegmentsFormOneBlock",
                  {Block(70000, '\x5a'), Mark()},
                  {},
                  {{"open:ro", "read:70000", "read:80"}},
                  {"open:ro -> ok", Got("read:70000", Filled(70000, 0x5a)), "read:80 -> 0"}},
        DriveCase{"RewindAfterEndOfData",
                  {Block(kVol1), Mark()},
                  {},
                  {{"open:ro", "read:80", "read:80", "read:80", "read:80", "rew", "read:80"}},
                  {"open:ro -> ok", Got("read:80", kVol1), "read:80 -> 0", "read:80 -> 0", "read:80 -> -1 EIO",
                   "rew -> 0", Got("read:80", kVol1)}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Writes, DriveTest,
    testing::Values(
        DriveCase{"LabelSetThenTwoMarks",
                  {},
                  {},
                  {{"open:rw", "rew", "setblk:0", "write:80:c1", "write:80:c2", "write:80:c3", "status",
                    "weof:2", "status", "close"}},
                  {"open:rw -> ok", "rew -> 0", "setblk:0 -> 0", "write:80:c1 -> 80", "write:80:c2 -> 80",
                   "write:80:c3 -> 80", "status -> file 0 block 3 bits ONLINE", "weof:2 -> 0",
                   "status -> file 2 block 0 bits EOF,ONLINE", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Block(80, '\xc2'), Block(80, '\xc3'), Mark(), Mark()}},
        DriveCase{"WriteCutsOffTheRest",
                  {Block(kVol1), Block(kHdr1), Block(kHdr2), Block(kVol1), Mark(), Mark()},
                  {},
                  {{"open:rw", "rew", "write:80:c1", "write:80:c2", "write:80:c3", "weof:2", "close"}},
                  {"open:rw -> ok", "rew -> 0", "write:80:c1 -> 80", "write:80:c2 -> 80", "write:80:c3 -> 80",
                   "weof:2 -> 0", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Block(80, '\xc2'), Block(80, '\xc3'), Mark(), Mark()}},
        DriveCase{"WriteInTheMiddle",
                  kLabels,
                  {},
                  {{"open:rw", "read:80", "write:10:aa", "close"}},
                  {"open:rw -> ok", Got("read:80", kVol1), "write:10:aa -> 10", "close -> 0"},
                  std::vector<TapeRecord>{Block(kVol1), Block(10, '\xaa'), Mark()}},
        DriveCase{"CloseAfterWriteAddsOneFilemarkAndStays",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "close"}, {"open:ro", "status", "rew", "read:80", "read:80",
                                                         "read:80", "read:80"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "close -> 0", "open:ro -> ok",
                   "status -> file 1 block 0 bits EOF,ONLINE", "rew -> 0", Got("read:80", Filled(80, 0xc1)),
                   "read:80 -> 0", "read:80 -> 0", "read:80 -> -1 EIO"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        // st remembers the tape mark its close wrote: a new open's first
        // read at end of data returns 0, as right after reading one.
        DriveCase{"NewOpenAfterTheCloseMark",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "close"}, {"open:ro", "status", "read:80", "status", "read:80"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "close -> 0", "open:ro -> ok",
                   "status -> file 1 block 0 bits EOF,ONLINE", "read:80 -> 0", "status -> file 1 block -1 bits EOD,ONLINE",
                   "read:80 -> -1 EIO"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        DriveCase{"CloseAfterWeofAddsNothing",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "weof:1", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "weof:1 -> 0", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        DriveCase{"RewindingNameRewindsAtClose",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "close"}, {"open:ro", "status"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "close -> 0", "open:ro -> ok",
                   "status -> file 0 block 0 bits BOT,ONLINE"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()},
                  "/dev/st0"},
        DriveCase{"RewindAfterWriteWritesAFilemarkFirst",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "rew", "read:80", "read:80", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "rew -> 0", Got("read:80", Filled(80, 0xc1)),
                   "read:80 -> 0", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        DriveCase{"ZeroCountWriteWritesNothing",
                  {},
                  {},
                  {{"open:rw", "write:0", "close"}},
                  {"open:rw -> ok", "write:0 -> 0", "close -> 0"}},
        DriveCase{"PositionKeptAcrossProcesses",
                  {},
                  {},
                  {{"open:wo", "rew", "write:80:c1", "close"}, {"open:wo", "write:80:c2", "close"},
                   {"open:wo", "write:80:c3", "close"}},
                  {"open:wo -> ok", "rew -> 0", "write:80:c1 -> 80", "close -> 0", "open:wo -> ok",
                   "write:80:c2 -> 80", "close -> 0", "open:wo -> ok", "write:80:c3 -> 80", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark(), Block(80, '\xc2'), Mark(), Block(80, '\xc3'),
                                          Mark()}},
        DriveCase{"ReadAfterWriteCancelsTheFilemark",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "read:80", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "read:80 -> -1 EIO", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1')}},
        DriveCase{"SpaceToEndThenAppend",
                  {Block(kVol1), Mark()},
                  {},
                  {{"open:rw", "eom", "status", "write:80:c2", "close"}},
                  {"open:rw -> ok", "eom -> 0", "status -> file 1 block -1 bits EOD,ONLINE", "write:80:c2 -> 80",
                   "close -> 0"},
                  std::vector<TapeRecord>{Block(kVol1), Mark(), Block(80, '\xc2'), Mark()}},
        DriveCase{"LongBlockIsChained",
                  {},
                  {},
                  {{"open:rw", "write:70000:ab", "rew", "read:70000"}},
                  {"open:rw -> ok", "write:70000:ab -> 70000", "rew -> 0", Got("read:70000", Filled(70000, 0xab))},
                  std::vector<TapeRecord>{Block(70000, '\xab'), Mark()}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Descriptors, DriveTest,
    testing::Values(
        DriveCase{"DupToStdinKeepsTheDrive",
                  {},
                  {},
                  {{"open:rw", "dup2:0", "write:80:c1", "close"}},
                  {"open:rw -> ok", "dup2:0 -> ok", "write:80:c1 -> 80", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        DriveCase{"DupKeepsTheDrive",
                  {},
                  {},
                  {{"open:rw", "dup", "write:80:c1", "close"}},
                  {"open:rw -> ok", "dup -> ok", "write:80:c1 -> 80", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        DriveCase{"ExitWithoutCloseReleasesTheDrive",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "exit"}, {"open:ro", "status"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "exit", "open:ro -> ok",
                   "status -> file 1 block 0 bits EOF,ONLINE"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        DriveCase{"SecondOpenIsBusy",
                  {},
                  {},
                  {{"open:ro", "open:ro", "close", "open:ro"}},
                  {"open:ro -> ok", "open:ro -> -1 EBUSY", "close -> 0", "open:ro -> ok"}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Access, DriveTest,
    testing::Values(
        // What the kernel refuses on a character device before st.
        DriveCase{"NoDirectIoMappingExclusiveCreateOrExecution",
                  {Block(kVol1)},
                  {},
                  {{"open:ro:direct", "fopen:wx", "open:ro", "mmap", "execveat", "read:80"}},
                  {"open:ro:direct -> -1 EINVAL", "fopen:wx -> -1 EEXIST", "open:ro -> ok", "mmap -> -1 ENODEV",
                   "execveat -> -1 EACCES", Got("read:80", kVol1)}},
        DriveCase{"ReadOnlyHandleRefusesWrites",
                  {Block(kVol1)},
                  {},
                  {{"open:ro", "write:80:c1", "weof:1", "rew", "read:80"}},
                  {"open:ro -> ok", "write:80:c1 -> -1 EBADF", "weof:1 -> -1 EACCES", "rew -> 0",
                   Got("read:80", kVol1)}},
        DriveCase{"WriteOnlyHandleRefusesReads",
                  {Block(kVol1)},
                  {},
                  {{"open:wo", "read:80"}},
                  {"open:wo -> ok", "read:80 -> -1 EBADF"}},
        DriveCase{"WriteProtectedTapeOpensReadOnly",
                  {Block(kVol1)},
                  {"--write-protect"},
                  {{"open:rw", "open:wo", "open:ro", "status", "rew", "read:80"}},
                  {"open:rw -> -1 EROFS", "open:wo -> -1 EROFS", "open:ro -> ok",
                   "status -> file 0 block 0 bits BOT,WR_PROT,ONLINE", "rew -> 0", Got("read:80", kVol1)}},
        DriveCase{"WriteProtectedNonBlockingOpen",
                  {Block(kVol1)},
                  {"--write-protect"},
                  {{"open:rw:nonblock", "write:80:c1", "weof:1"}},
                  {"open:rw:nonblock -> ok", "write:80:c1 -> -1 EACCES", "weof:1 -> -1 EACCES"}},
        DriveCase{"NoMedium",
                  {},
                  {"--no-medium"},
                  {{"open:ro", "open:ro:nonblock", "read:80", "rew", "status"}},
                  {"open:ro -> -1 ENOMEDIUM", "open:ro:nonblock -> ok", "read:80 -> -1 ENOMEDIUM",
                   "rew -> -1 ENOMEDIUM", "status -> file -1 block -1 bits DR_OPEN"}},
        // tgt's limits, which the kernel's answers were recorded with.
        DriveCase{"BlockLimitsRefuseBeforeTheTapeMoves",
                  {Block(kVol1)},
                  {"--block-limits", "4:1048576"},
                  {{"open:rw", "setblk:0", "setblk:2", "setblk:1048580", "write:3", "write:1048580", "read:2",
                    "read:1048580", "status", "nop", "op:99"}},
                  {"open:rw -> ok", "setblk:0 -> 0", "setblk:2 -> -1 EINVAL", "setblk:1048580 -> -1 EINVAL",
                   "write:3 -> -1 EINVAL", "write:1048580 -> -1 EINVAL", "read:2 -> -1 EINVAL",
                   "read:1048580 -> -1 EINVAL", "status -> file 0 block 0 bits BOT,ONLINE", "nop -> 0",
                   "op:99 -> -1 ENOSYS"}},
        DriveCase{"SpaceForwardOverFilemarks",
                  {Block(kVol1), Mark(), Block(kHdr1), Mark(), Mark()},
                  {},
                  {{"open:ro", "fsf:1", "status", "read:80", "fsf:5", "status"}},
                  {"open:ro -> ok", "fsf:1 -> 0", "status -> file 1 block 0 bits EOF,ONLINE", Got("read:80", kHdr1),
                   "fsf:5 -> -1 EIO", "status -> file 3 block -1 bits EOD,ONLINE"}}),
    CaseName);

const std::vector<TapeRecord> kThreeFiles = {Block(kVol1), Mark(), Block(kHdr1), Mark(), Block(kHdr2), Mark()};

// Backward spacing and the other moves, as st counts them: block -1 after
// spacing back over a tape mark, file and block -1 after a seek.
INSTANTIATE_TEST_SUITE_P(
    Positioning, DriveTest,
    testing::Values(
        DriveCase{"SpaceBackOverFilemarks",
                  kThreeFiles,
                  {},
                  {{"open:ro", "eom", "bsf:2", "status", "read:80", "status", "read:80", "fsf:1", "bsf:5", "status"}},
                  {"open:ro -> ok", "eom -> 0", "bsf:2 -> 0", "status -> file 1 block -1 bits ONLINE", "read:80 -> 0",
                   "status -> file 2 block 0 bits EOF,ONLINE", Got("read:80", kHdr2), "fsf:1 -> 0", "bsf:5 -> -1 EIO",
                   "status -> file 0 block 0 bits BOT,ONLINE"}},
        // Past the stretch the walk reads at a time (256 KiB).
        DriveCase{"SpaceOverALongFile",
                  Join<TapeRecord>({std::vector<TapeRecord>(3000, Block(100, 'x')), {Mark()},
                                    std::vector<TapeRecord>(10, Block(100, 'y'))}),
                  {},
                  {{"open:ro", "fsf:1", "tell", "status", "eom", "tell", "status", "bsr:1", "read:100"}},
                  {"open:ro -> ok", "fsf:1 -> 0", "tell -> 3001", "status -> file 1 block 0 bits EOF,ONLINE", "eom -> 0",
                   "tell -> 3011", "status -> file 1 block -1 bits EOD,ONLINE", "bsr:1 -> 0",
                   Got("read:100", Filled(100, 'y'))}},
        DriveCase{"SpaceOverBlocksStopsAtTapeMarks",
                  {Block(kVol1), Block(kHdr1), Block(kHdr2), Mark(), Block(kVol1)},
                  {},
                  {{"open:ro", "fsr:2", "status", "bsr:1", "read:80", "fsr:5", "status", "bsr:1", "status",
                    "read:80", "bsr:9", "status"}},
                  {"open:ro -> ok", "fsr:2 -> 0", "status -> file 0 block 2 bits ONLINE", "bsr:1 -> 0",
                   Got("read:80", kHdr1), "fsr:5 -> -1 EIO", "status -> file 1 block 0 bits EOF,ONLINE",
                   "bsr:1 -> -1 EIO", "status -> file 0 block -1 bits ONLINE", "read:80 -> 0", "bsr:9 -> -1 EIO",
                   "status -> file 0 block -1 bits ONLINE"}},
        DriveCase{"SpaceToTheOtherSideOfFilemarks",
                  kThreeFiles,
                  {},
                  {{"open:ro", "fsfm:2", "status", "read:80", "bsfm:1", "status", "read:80"}},
                  {"open:ro -> ok", "fsfm:2 -> 0", "status -> file 1 block -1 bits ONLINE", "read:80 -> 0",
                   "bsfm:1 -> 0", "status -> file 2 block 0 bits EOF,ONLINE", Got("read:80", kHdr2)}},
        DriveCase{"SeekAndTell",
                  kThreeFiles,
                  {},
                  {{"open:ro", "seek:4", "tell", "status", "read:80", "seek:9", "status", "seek:0", "status"},
                   {"open:ro", "seek:2", "close"},
                   {"open:ro", "status"}},
                  {"open:ro -> ok", "seek:4 -> 0", "tell -> 4", "status -> file -1 block -1 bits ONLINE",
                   Got("read:80", kHdr2), "seek:9 -> -1 EIO", "status -> file -1 block -1 bits EOD,ONLINE",
                   "seek:0 -> 0", "status -> file 0 block 0 bits BOT,ONLINE", "open:ro -> ok", "seek:2 -> 0",
                   "close -> 0", "open:ro -> ok", "status -> file -1 block -1 bits ONLINE"}},
        // tar -W's verify: st writes the tape mark, then spaces back over it.
        DriveCase{"SpaceBackAfterWriteWritesTheMarkFirst",
                  {},
                  {},
                  {{"open:rw", "write:80:c1", "bsf:1", "status", "read:80", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "bsf:1 -> -1 EIO", "status -> file 0 block 0 bits BOT,ONLINE",
                   Got("read:80", Filled(80, 0xc1)), "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Mark()}},
        DriveCase{"EraseCutsTheTapeAndRewinds",
                  kThreeFiles,
                  {},
                  {{"open:rw", "fsf:1", "erase", "status", "close"}, {"open:ro", "eom", "status"}},
                  {"open:rw -> ok", "fsf:1 -> 0", "erase -> 0", "status -> file 0 block 0 bits BOT,ONLINE",
                   "close -> 0", "open:ro -> ok", "eom -> 0", "status -> file 1 block -1 bits EOD,ONLINE"},
                  std::vector<TapeRecord>{Block(kVol1), Mark()}},
        DriveCase{"OfflineUntilLoad",
                  kThreeFiles,
                  {},
                  {{"open:ro", "fsf:1", "offl", "status", "read:80", "rew", "load", "status"},
                   {"open:ro", "fsf:1", "offl", "close"},
                   {"open:ro", "status"}},
                  {"open:ro -> ok", "fsf:1 -> 0", "offl -> 0", "status -> file -1 block -1 bits DR_OPEN",
                   "read:80 -> -1 ENOMEDIUM", "rew -> -1 ENOMEDIUM", "load -> 0", "status -> file 0 block 0 bits BOT,ONLINE",
                   "open:ro -> ok", "fsf:1 -> 0", "offl -> 0", "close -> 0", "open:ro -> ok",
                   "status -> file 0 block 0 bits BOT,ONLINE"}},
        DriveCase{"RetensionLockAndUnlock",
                  kThreeFiles,
                  {},
                  {{"open:ro", "fsf:2", "lock", "reten", "unlock", "status"}},
                  {"open:ro -> ok", "fsf:2 -> 0", "lock -> 0", "reten -> 0", "unlock -> 0",
                   "status -> file 0 block 0 bits BOT,ONLINE"}},
        // Setmarks (MTFSS 25, MTBSS 26, MTWSM 27), partitions (MTSETPART
        // 33, MTMKPART 34) and compression are features this drive does
        // not have.
        DriveCase{"NoSetmarksNoPartitions",
                  {},
                  {},
                  {{"open:rw", "op:25", "op:26", "op:27", "setpart:1", "op:34"}},
                  {"open:rw -> ok", "op:25 -> -1 EIO", "op:26 -> -1 EIO", "op:27 -> -1 EIO", "setpart:1 -> -1 EINVAL",
                   "op:34 -> -1 EINVAL"}},
        DriveCase{"ModeKeptAcrossOpens",
                  {},
                  {},
                  {{"open:ro", "setblk:512", "setdensity:66", "compression:1", "mode", "close"}, {"open:ro", "mode"}},
                  {"open:ro -> ok", "setblk:512 -> 0", "setdensity:66 -> 0", "compression:1 -> -1 EIO",
                   "mode -> block size 512 density 66", "close -> 0", "open:ro -> ok",
                   "mode -> block size 512 density 66"}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    FixedBlocks, DriveTest,
    testing::Values(
        DriveCase{"WholeBlocksOfTheSizeSet",
                  {},
                  {},
                  {{"open:rw", "setblk:512", "write:1000:aa", "write:1024:aa", "weof:1", "rew", "read:512",
                    "read:1024", "read:1024", "status"}},
                  {"open:rw -> ok", "setblk:512 -> 0", "write:1000:aa -> -1 EINVAL", "write:1024:aa -> 1024",
                   "weof:1 -> 0", "rew -> 0", Got("read:512", Filled(512, 0xaa)),
                   Got("read:1024", Filled(512, 0xaa)), "read:1024 -> 0", "status -> file 1 block 0 bits EOF,ONLINE"},
                  std::vector<TapeRecord>{Block(512, '\xaa'), Block(512, '\xaa'), Mark()}},
        // st's read-ahead hands out the rest of a block to the next read; a
        // move first counts the block as read.
        DriveCase{"ReadAheadSplitsBlocks",
                  {Block(512, 'a'), Block(512, 'b'), Block(512, 'c'), Mark()},
                  {},
                  {{"open:ro", "setblk:512", "read:300", "read:1000", "status", "read:512", "read:512", "read:512"}},
                  {"open:ro -> ok", "setblk:512 -> 0", Got("read:300", Filled(300, 'a')),
                   Got("read:1000", Filled(212, 'a') + Filled(512, 'b') + Filled(276, 'c')),
                   "status -> file 0 block 3 bits ONLINE", "read:512 -> 0", "read:512 -> 0", "read:512 -> -1 EIO"}},
        DriveCase{"BlockOfAnotherSizeStopsTheRead",
                  {Block(512, 'a'), Block(kVol1)},
                  {},
                  {{"open:ro", "setblk:512", "read:1024", "read:1024", "status", "setblk:0", "read:80"}},
                  {"open:ro -> ok", "setblk:512 -> 0", Got("read:1024", Filled(512, 'a')), "read:1024 -> -1 EIO",
                   "status -> file 0 block 1 bits ONLINE", "setblk:0 -> 0", Got("read:80", kVol1)}},
        // The blank check after a block drops it and sets no EOD bit.
        DriveCase{"FailedReadAtEndOfData",
                  {Block(512, 'a')},
                  {},
                  {{"open:ro", "setblk:512", "read:1024", "status"}},
                  {"open:ro -> ok", "setblk:512 -> 0", "read:1024 -> -1 EIO", "status -> file 0 block -1 bits ONLINE"}}),
    CaseName);

// A tape of 64000 bytes holds fifteen blocks of 4000 before the early
// warning (each takes 48 bytes more, the tape's header 1152); the
// sixteenth reaches it, the seventeenth is refused, the eighteenth meets
// the physical end a sixteenth of the size later, and tape marks still fit.
INSTANTIATE_TEST_SUITE_P(
    EndOfTape, DriveTest,
    testing::Values(DriveCase{"EarlyWarningThenTheEnd",
                              {},
                              {},
                              {Join<std::string>({{"open:rw"}, Times(15, "write:4000"),
                                     {"status", "write:4000", "status", "write:4000", "status", "write:4000",
                                      "status", "weof:1", "close"}})},
                              Join<std::string>({{"open:rw -> ok"}, Times(15, "write:4000 -> 4000"),
                                    {"status -> file 0 block 15 bits ONLINE", "write:4000 -> 4000",
                                     "status -> file 0 block 16 bits EOT,ONLINE", "write:4000 -> -1 ENOSPC",
                                     "status -> file 0 block 16 bits EOD,ONLINE", "write:4000 -> -1 ENOSPC",
                                     "status -> file 0 block 16 bits EOT,ONLINE", "weof:1 -> 0", "close -> 0"}}),
                              Join<TapeRecord>({std::vector<TapeRecord>(16, Block(4000, '\0')), {Mark()}}),
                              "/dev/nst0",
                              "64000"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Faults, DriveTest,
    testing::Values(
        DriveCase{"OpenFailsByName", {}, {"--fail-open", "EACCES"}, {{"open:ro"}}, {"open:ro -> -1 EACCES"}},
        DriveCase{"OpenFailsByNumber", {}, {"--fail-open", "16"}, {{"open:rw"}}, {"open:rw -> -1 EBUSY"}},
        DriveCase{"RewindFails",
                  {Block(kVol1)},
                  {"--fail-rewind"},
                  {{"open:ro", "rew", "read:80"}},
                  {"open:ro -> ok", "rew -> -1 EIO", Got("read:80", kVol1)}},
        DriveCase{"SetBlockFails", {}, {"--fail-setblk"}, {{"open:ro", "setblk:0"}}, {"open:ro -> ok", "setblk:0 -> -1 EIO"}},
        DriveCase{"OnlyTheNthRewindAndSetBlockFail",
                  {},
                  {"--fail-rewind-at", "2", "--fail-setblk-at", "3"},
                  {{"open:ro", "rew", "setblk:0", "rew", "setblk:0", "setblk:0", "rew"}},
                  {"open:ro -> ok", "rew -> 0", "setblk:0 -> 0", "rew -> -1 EIO", "setblk:0 -> 0",
                   "setblk:0 -> -1 EIO", "rew -> 0"}},
        DriveCase{"WeofFailsAndCancelsTheCloseFilemark",
                  {},
                  {"--fail-weof"},
                  {{"open:rw", "write:80:c1", "weof:2", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "weof:2 -> -1 EIO", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1')}},
        DriveCase{"WeofFaultAlsoFailsTheRewindFilemark",
                  {},
                  {"--fail-weof"},
                  {{"open:rw", "write:80:c1", "rew", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "rew -> -1 EIO", "close -> -1 EIO"},
                  std::vector<TapeRecord>{Block(80, '\xc1')}},
        DriveCase{"NthReadFailsWithoutMoving",
                  {Block(kVol1), Block(kHdr1)},
                  {"--fail-read", "2"},
                  {{"open:ro", "read:80", "read:80", "read:80"}},
                  {"open:ro -> ok", Got("read:80", kVol1), "read:80 -> -1 EIO", Got("read:80", kHdr1)}},
        DriveCase{"NthWriteFails",
                  {},
                  {"--fail-write", "2"},
                  {{"open:rw", "write:80:c1", "write:80:c2", "write:80:c3", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "write:80:c2 -> -1 EIO", "write:80:c3 -> 80", "close -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Block(80, '\xc3'), Mark()}},
        DriveCase{"FailedWriteStillEarnsTheCloseFilemark",
                  kLabels,
                  {"--fail-write", "1"},
                  {{"open:rw", "rew", "write:80:c1", "close"}},
                  {"open:rw -> ok", "rew -> 0", "write:80:c1 -> -1 EIO", "close -> 0"},
                  std::vector<TapeRecord>{Mark()}},
        DriveCase{"ShortWrite",
                  {},
                  {"--short-write", "2:20"},
                  {{"open:rw", "write:80:c1", "write:80:c2", "weof:2"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "write:80:c2 -> 20", "weof:2 -> 0"},
                  std::vector<TapeRecord>{Block(80, '\xc1'), Block(20, '\xc2'), Mark(), Mark()}},
        DriveCase{"ShortWriteDefaultsToFortyBytes",
                  {},
                  {"--short-write", "1"},
                  {{"open:rw", "write:80:c1", "weof:1"}},
                  {"open:rw -> ok", "write:80:c1 -> 40", "weof:1 -> 0"},
                  std::vector<TapeRecord>{Block(40, '\xc1'), Mark()}},
        DriveCase{"CloseFailsAndLosesTheFilemark",
                  {},
                  {"--fail-close"},
                  {{"open:rw", "write:80:c1", "close"}},
                  {"open:rw -> ok", "write:80:c1 -> 80", "close -> -1 EIO"},
                  std::vector<TapeRecord>{Block(80, '\xc1')}},
        DriveCase{"CloseFailsAfterReading",
                  {},
                  {"--fail-close"},
                  {{"open:ro", "close"}},
                  {"open:ro -> ok", "close -> -1 EIO"}}),
    CaseName);

// ioctl on anything but the drive reaches the C library untouched.
TEST(DrivePassThrough, OtherFilesAnswerNotATypewriter) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  for (const std::string& path : {image, std::string("/dev/null"), dir.path()}) {
    test_support::CommandResult r = test_support::Run(
        {test_support::BinaryPath("VTAPE"), "run", image, "--", test_support::BinaryPath("TAPEPROBE"), path,
         "open:ro", "rew", "status", "close"});
    EXPECT_EQ(r.out, "open:ro -> ok\nrew -> -1 ENOTTY\nstatus -> -1 ENOTTY\nclose -> 0\n") << path;
  }
}

// The drive answers to the name it is given and to its other st name.
TEST(DrivePassThrough, ServesBothNamesOfTheConfiguredDevice) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {Block(kVol1)});
  struct {
    std::string device, opened, answer;
  } cases[] = {
      {"/dev/st0", "/dev/nst0", "open:ro -> ok"},
      {dir.File("st1"), dir.File("nst1"), "open:ro -> ok"},
      {dir.File("nst1"), dir.File("st1"), "open:ro -> ok"},
      {dir.File("nst1"), dir.File("nst9"), "open:ro -> -1 ENOENT"},
  };
  for (const auto& c : cases) {
    test_support::CommandResult r =
        test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--device", c.device, "--",
                           test_support::BinaryPath("TAPEPROBE"), c.opened, "open:ro"});
    EXPECT_EQ(r.out, c.answer + "\n") << c.device << " opened as " << c.opened;
  }
}

// Another process holding the drive makes the open fail as the kernel's
// single-open rule does.
TEST(DriveSharing, DriveInUseElsewhereIsBusy) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  int fd = open(image.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  test_support::CommandResult r = test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--",
                                                     test_support::BinaryPath("TAPEPROBE"), "/dev/nst0", "open:ro"});
  close(fd);
  EXPECT_EQ(r.out, "open:ro -> -1 EBUSY\n");
}

// An image nobody may write is a write-protected tape even for root.
TEST(DriveSharing, ReadOnlyImageIsWriteProtected) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {Block(kVol1)});
  ASSERT_EQ(chmod(image.c_str(), 0444), 0);
  test_support::CommandResult r =
      test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--", test_support::BinaryPath("TAPEPROBE"),
                         "/dev/nst0", "open:rw", "open:ro", "read:80"});
  EXPECT_EQ(r.out, "open:rw -> -1 EROFS\nopen:ro -> ok\n" + Got("read:80", kVol1) + "\n");
}

// Something other than a regular file where the image should be is a drive
// that is not ready, at once: a FIFO would block the open for good. vtape
// run refuses such images itself, so the library is loaded by hand.
TEST(DriveSharing, FifoAsImageIsNotReady) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  ASSERT_EQ(mkfifo(image.c_str(), 0666), 0);
  test_support::CommandResult r =
      test_support::Run({test_support::BinaryPath("TAPEPROBE"), "/dev/nst0", "open:ro", "open:rw", "open:ro:nonblock"},
                        "", {std::string("LD_PRELOAD=") + VTAPE_LIBRARY, "VTAPE_IMAGE=" + image});
  EXPECT_EQ(r.out, "open:ro -> -1 EIO\nopen:rw -> -1 EIO\nopen:ro:nonblock -> -1 EIO\n");
}

// Damage in the image is a medium error where the tape reaches it, and the
// drive leaves the image as it was.
TEST(DriveSharing, CorruptImageReadsAsMediumError) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::string bytes = test_support::EncodeAws({Block(kVol1), Block(kHdr1)});
  bytes.resize(bytes.size() - 10);
  test_support::WriteFile(image, bytes);
  test_support::CommandResult r =
      test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--", test_support::BinaryPath("TAPEPROBE"),
                         "/dev/nst0", "open:rw", "read:80", "read:80", "close"});
  EXPECT_EQ(r.out, "open:rw -> ok\n" + Got("read:80", kVol1) + "\nread:80 -> -1 EIO\nclose -> 0\n");
  EXPECT_EQ(test_support::ReadFile(image), bytes);
}

}  // namespace
