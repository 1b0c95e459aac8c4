// A write to the image that another program changed after the drive looked
// at it: the write fails with EIO and takes its own bytes off again, so the
// image is what the other program left, never a record after a hole. The
// change is made between the drive's check and its write by calling the
// write with the drive's idea of the image's end, as the drive would.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws.h"
#include "test_support.h"

namespace vtape {
namespace {

// What another program does to an image holding one 80-byte block.
struct Change {
  const char* name;
  void (*apply)(const std::string& image);
};

// What the drive then writes at the end it knows.
struct Write {
  const char* name;
  size_t length;  // of each block; 0: a tape mark
  size_t count;
};

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

const Change kChanges[] = {
    {"CutToNothing", [](const std::string& image) { ASSERT_EQ(truncate(image.c_str(), 0), 0); }},
    {"CutIntoTheBlock", [](const std::string& image) { ASSERT_EQ(truncate(image.c_str(), 40), 0); }},
    {"Grown", [](const std::string& image) { std::ofstream(image, std::ios::app) << "other program"; }},
    {"Removed", [](const std::string& image) { ASSERT_EQ(unlink(image.c_str()), 0); }},
};

const Write kWrites[] = {{"Block", 80, 1}, {"FixedBlocks", 512, 3}, {"ChainedBlock", 70000, 1}, {"TapeMark", 0, 0}};

class ChangedUnderWrite : public testing::TestWithParam<std::tuple<Change, Write>> {};

TEST_P(ChangedUnderWrite, FailsAndLeavesTheOtherProgramsImage) {
  const auto& [change, write] = GetParam();
  test_support::TempDir dir;
  const std::string image = dir.File("tape.aws");
  int fd = open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const std::vector<char> data(write.length * write.count + 80, 'd');
  off_t end;
  uint16_t last;
  const ImageCalls calls;
  ASSERT_TRUE(WriteBlocks(calls, fd, 0, 0, data.data(), 80, 1, &end, &last));
  change.apply(image);
  const std::string left = Contents(image);
  errno = 0;
  bool written = write.length == 0
                     ? WriteTapeMark(calls, fd, end, last, &end)
                     : WriteBlocks(calls, fd, end, last, data.data(), write.length, write.count, &end, &last);
  EXPECT_FALSE(written);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(Contents(image), left);
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Rows, ChangedUnderWrite,
                         testing::Combine(testing::ValuesIn(kChanges), testing::ValuesIn(kWrites)),
                         [](const testing::TestParamInfo<ChangedUnderWrite::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace vtape
