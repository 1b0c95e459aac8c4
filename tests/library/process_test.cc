#include "process.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace library {
namespace {

// A drive this process has open, with or without close-on-exec, must not
// live on in a child: the next open of the drive would find it busy.
TEST(RunProcess, ChildrenInheritOnlyTheirStandardStreams) {
  for (int flags : {O_RDONLY, O_RDONLY | O_CLOEXEC}) {
    int fd = open("/dev/null", flags);
    ASSERT_GE(fd, 3);
    ProcessResult child = RunProcess({"ls", "/proc/self/fd"});
    close(fd);
    EXPECT_EQ(child.status, 0) << child.err;
    // 3 is the listing's own.
    EXPECT_EQ(child.out, "0\n1\n2\n3\n") << "open flags " << flags;
  }
}

}  // namespace
}  // namespace library
