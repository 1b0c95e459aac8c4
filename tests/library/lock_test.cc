#include "lock.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "test_support.h"

namespace library {
namespace {

TEST(Lock, OneKeyPerChangerWhateverItsName) {
  test_support::TempDir dir;
  std::ofstream(dir.File("sch0")) << "";
  std::filesystem::create_symlink(dir.File("sch0"), dir.File("changer"));
  std::filesystem::create_symlink("/dev/null", dir.File("null"));
  EXPECT_EQ(ChangerKey(dir.File("changer"), ""), ChangerKey(dir.File("sch0"), ""));
  EXPECT_EQ(ChangerKey(dir.File("null"), ""), "device-1-3");
  EXPECT_EQ(ChangerKey("/dev/null", ""), "device-1-3");
  EXPECT_EQ(ChangerKey("/dev/null", "SN 7/A"), "serial-SN_7_A") << "the changer's serial wins";
  EXPECT_EQ(DefaultLockFile("device-1-3"), "/run/lock/vaklabel-library-device-1-3.lock");
}

// A run killed while a child of its own works: the child keeps the lock,
// and a refusal names it, not the run that took the lock and is gone.
TEST(Lock, RefusalNamesTheLiveHolder) {
  test_support::TempDir dir;
  std::string path = dir.File("lock");
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t run = fork();
  if (run == 0) {
    RunLock lock;
    std::string error;
    if (!lock.Acquire(path, false, &error)) _exit(1);
    pid_t child = fork();
    if (child == 0) {
      pause();
      _exit(0);
    }
    if (write(pipe_fds[1], &child, sizeof child) != sizeof child) _exit(1);
    _exit(0);
  }
  pid_t child = 0;
  ASSERT_EQ(read(pipe_fds[0], &child, sizeof child), static_cast<ssize_t>(sizeof child));
  waitpid(run, nullptr, 0);
  RunLock second;
  std::string error;
  EXPECT_FALSE(second.Acquire(path, false, &error));
  kill(child, SIGKILL);  // not ours to reap: its parent is gone
  EXPECT_NE(error.find("another run (process " + std::to_string(child) + " "), std::string::npos) << error;
  EXPECT_EQ(error.find(std::to_string(run) + " "), std::string::npos) << error;
  EXPECT_NE(error.find("holds " + path + "; wait for it, or give --wait"), std::string::npos) << error;
  RunLock third;
  EXPECT_TRUE(third.Acquire(path, true, &error)) << error;
}

}  // namespace
}  // namespace library
