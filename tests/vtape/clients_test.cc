// Programs nobody here wrote, Debian's mt (mt-st) and coreutils dd, used
// under the drive as one would use them on a real one; and programs killed
// half-way, which must leave an image vtape still reads.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test_support::Block;
using test_support::Mark;
using test_support::TapeRecord;

class ClientsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(test_support::Run({"sh", "-c", "command -v mt && command -v dd"}).status, 0)
        << "mt (package mt-st) and dd are needed; scripts/setup.sh installs them";
    ASSERT_EQ(test_support::Run({test_support::BinaryPath("VTAPE"), "create", image_}).status, 0);
  }

  // Runs one command with the drive loaded, as a shell user would.
  test_support::CommandResult Under(std::vector<std::string> command, const std::string& input = "",
                                    std::vector<std::string> faults = {}) {
    std::vector<std::string> argv = {test_support::BinaryPath("VTAPE"), "run", image_};
    argv.insert(argv.end(), faults.begin(), faults.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return test_support::Run(argv, input);
  }

  test_support::TempDir dir_;
  std::string image_ = dir_.File("tape.aws");
};

const std::string kFirst(80, 'a');
const std::string kSecond(80, 'b');
const std::string kThird(80, 'c');

TEST_F(ClientsTest, SeparateDdWritesAndMtTapeMarks) {
  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "rewind"}).status, 0);
  for (const std::string& data : {kFirst, kSecond + kThird}) {
    test_support::CommandResult r = Under({"dd", "of=/dev/nst0", "bs=80", "status=none"}, data);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "weof", "1"}).status, 0);
  // Each dd closed after writing, so each left one filemark of its own.
  EXPECT_EQ(test_support::ReadAwsFile(image_),
            (std::vector<TapeRecord>{Block(kFirst), Mark(), Block(kSecond), Block(kThird), Mark(), Mark()}));

  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "rewind"}).status, 0);
  std::vector<std::string> read = {"dd", "if=/dev/nst0", "bs=100", "status=none"};
  EXPECT_EQ(Under(read).out, kFirst);
  EXPECT_EQ(Under(read).out, kSecond + kThird);
  test_support::CommandResult empty = Under(read);
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
  test_support::CommandResult past_end = Under(read);
  EXPECT_EQ(past_end.status, 1);
  EXPECT_NE(past_end.err.find("Input/output error"), std::string::npos) << past_end.err;
}

TEST_F(ClientsTest, MtSpacesOverTapeMarksAndReportsStatus) {
  test_support::WriteAwsFile(image_, {Block(kFirst), Mark(), Block(kSecond), Mark()});
  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "fsf", "1"}).status, 0);
  test_support::CommandResult status = Under({"mt", "-f", "/dev/nst0", "status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("File number=1, block number=0"), std::string::npos) << status.out;
  EXPECT_EQ(Under({"dd", "if=/dev/nst0", "bs=80", "status=none"}).out, kSecond);
}

TEST_F(ClientsTest, BlockLongerThanDdBufferIsAnError) {
  test_support::WriteAwsFile(image_, {Block(std::string(100, 'x')), Mark()});
  test_support::CommandResult r = Under({"dd", "if=/dev/st0", "bs=80", "status=none"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Cannot allocate memory"), std::string::npos) << r.err;
}

TEST_F(ClientsTest, RewindingDeviceStartsOverEachTime) {
  for (const std::string& data : {kFirst, kSecond}) {
    ASSERT_EQ(Under({"dd", "of=/dev/st0", "bs=80", "status=none"}, data).status, 0);
  }
  EXPECT_EQ(test_support::ReadAwsFile(image_), (std::vector<TapeRecord>{Block(kSecond), Mark()}));
}

TEST_F(ClientsTest, WriteProtectedTapeRefusesMtWeof) {
  test_support::CommandResult r = Under({"mt", "-f", "/dev/nst0", "weof"}, "", {"--write-protect"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("/dev/nst0: Read-only file system"), std::string::npos) << r.err;
  EXPECT_EQ(test_support::ReadFile(image_), "");
}

TEST_F(ClientsTest, MtOnARegularFileIsNotATape) {
  test_support::CommandResult r = Under({"mt", "-f", image_, "rewind"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Inappropriate ioctl for device"), std::string::npos) << r.err;
}

// SIGKILL skips every exit path of the program, so whatever it had written
// must already be a whole image.
TEST_F(ClientsTest, KilledWriterLeavesAReadableImage) {
  const std::vector<std::vector<std::string>> scripts = {
      {"open:rw", "write:80:c1", "write:80:c2", "kill"},
      {"open:rw", "rew", "write:80:c3", "weof:1", "write:70000:c4", "kill"},
  };
  const std::vector<std::vector<TapeRecord>> expected = {
      {Block(80, '\xc1'), Block(80, '\xc2')},
      {Block(80, '\xc3'), Mark(), Block(70000, '\xc4')},
  };
  for (size_t i = 0; i < scripts.size(); ++i) {
    std::vector<std::string> command = {test_support::BinaryPath("TAPEPROBE"), "/dev/nst0"};
    command.insert(command.end(), scripts[i].begin(), scripts[i].end());
    EXPECT_EQ(Under(command).status, 128 + 9);
    test_support::CommandResult list = test_support::Run({test_support::BinaryPath("VTAPE"), "list", image_});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(test_support::ReadAwsFile(image_), expected[i]);
  }
}

}  // namespace
