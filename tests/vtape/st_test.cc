// st's MTIOCTOP operations driven in-process, without a preload: one row a
// case, each on a fresh tape in a temporary folder holding two blocks, a
// tape mark, a block and a tape mark (then end of data).

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive_env.h"
#include "preload/core/config.h"
#include "preload/core/real_libc.h"
#include "preload/st/tape.h"
#include "test_support.h"

namespace vtape::preload {
namespace {

struct Op {
  short op;
  int count;
};

struct Row {
  const char* name;
  std::vector<Op> ops;
  long result;  // of the last operation
  long file;    // MTIOCGET's file and block numbers after it (-1: not known)
  long block;
  long records;  // MTIOCPOS's logical object after it
};

// The drive as the descriptor table would hand it to st: its open's state
// and position record, here in this process's own memory.
class StDrive {
 public:
  explicit StDrive(const std::string& image) {
    g_config = Config{};
    snprintf(g_config.image, sizeof g_config.image, "%s", image.c_str());
    g_config.min_block = kDefaultMinBlock;
    g_config.max_block = kDefaultMaxBlock;
    drive_ = Drive{0, state_.get(), Keeper{record_.get(), &record_fd_}};
  }
  ~StDrive() {
    if (opened_) ReleaseDrive(drive_);
  }

  long Open() {
    Medium medium;
    long found = FindTape(drive_, O_RDWR, &medium);
    if (found < 0) return found;
    long started = StartOpen(drive_, medium, false, O_RDWR);
    opened_ = started == 0;
    return started;
  }
  long Write(const std::string& block) { return TapeWrite(drive_, block.data(), block.size()); }
  long Do(Op op) {
    mtop m = {op.op, op.count};
    return TapeIoctl(drive_, MTIOCTOP, &m);
  }
  mtget Status() {
    mtget status{};
    EXPECT_EQ(TapeIoctl(drive_, MTIOCGET, &status), 0);
    return status;
  }
  long Records() {
    mtpos pos{};
    EXPECT_EQ(TapeIoctl(drive_, MTIOCPOS, &pos), 0);
    return pos.mt_blkno;
  }

 private:
  std::unique_ptr<DriveState> state_ = std::make_unique<DriveState>();
  std::unique_ptr<KeeperState> record_ = std::make_unique<KeeperState>();
  int record_fd_ = -1;
  Drive drive_;
  bool opened_ = false;
};

class StTest : public testing::TestWithParam<Row> {
 protected:
  static void SetUpTestSuite() { ResolveLibC(); }
};

TEST_P(StTest, Operation) {
  const Row& row = GetParam();
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteFile(image, "");
  StDrive drive(image);
  ASSERT_EQ(drive.Open(), 0);
  ASSERT_EQ(drive.Write("b0"), 2);
  ASSERT_EQ(drive.Write("b1"), 2);
  ASSERT_EQ(drive.Do({MTWEOF, 1}), 0);
  ASSERT_EQ(drive.Write("b2"), 2);
  ASSERT_EQ(drive.Do({MTWEOF, 1}), 0);
  ASSERT_EQ(drive.Do({MTREW, 1}), 0);
  long result = 0;
  for (const Op& op : row.ops) result = drive.Do(op);
  EXPECT_EQ(result, row.result);
  mtget status = drive.Status();
  EXPECT_EQ(status.mt_fileno, row.file);
  EXPECT_EQ(status.mt_blkno, row.block);
  EXPECT_EQ(drive.Records(), row.records);
}

const Row kRows[] = {
    {"SpaceOverOneMark", {{MTFSF, 1}}, 0, 1, 0, 3},
    {"SpaceOverBothMarks", {{MTFSF, 2}}, 0, 2, 0, 5},
    {"SpacePastEndOfData", {{MTFSF, 3}}, -EIO, 2, -1, 5},
    {"SpaceBlocksStopAfterMark", {{MTFSR, 3}}, -EIO, 1, 0, 3},
    {"SpaceBackOverMark", {{MTFSF, 1}, {MTBSF, 1}}, 0, 0, -1, 2},
    {"SpaceBackBlocksStopAtMark", {{MTFSF, 2}, {MTBSR, 1}}, -EIO, 1, -1, 4},
    {"SpaceBackAtBot", {{MTBSF, 1}}, -EIO, 0, 0, 0},
    {"EndOfData", {{MTEOM, 1}}, 0, 2, -1, 5},
    {"WriteMarkAtEndOfData", {{MTFSF, 2}, {MTWEOF, 1}}, 0, 3, 0, 6},
    {"WriteMarkCutsTheRest", {{MTFSR, 1}, {MTWEOF, 1}, {MTEOM, 1}}, 0, 1, -1, 2},
    {"Seek", {{MTSEEK, 3}}, 0, -1, -1, 3},
    {"RewindAfterSeek", {{MTSEEK, 4}, {MTREW, 1}}, 0, 0, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, StTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vtape::preload
