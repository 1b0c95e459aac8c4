// One open of the drive, shared as the kernel shares an open file: shell
// redirections, descriptors inherited through fork and exec, dump's forked
// writers; and tapes that a kill or the operator left in a state a program
// must still be able to read: a block cut short, a read-only image.

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test_support::Block;
using test_support::PrivateTmpfs;
using test_support::Mark;
using test_support::TapeRecord;
using Tape = std::vector<TapeRecord>;

test_support::CommandResult Under(const std::string& image, const std::string& script,
                                  const std::vector<std::string>& env = {}) {
  return test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--", "sh", "-c", script}, "", env);
}

struct SharingCase {
  const char* name;
  Tape before;
  const char* script;  // run by sh -c in the case's directory, with the drive
  const char* out;     // standard output
  Tape after;
};

void PrintTo(const SharingCase& c, std::ostream* os) { *os << c.name; }

// Each case runs at a soft descriptor limit: the library's own descriptors
// stand where a program's closes, dup2s and close_ranges reach at a low one.
class SharingTest : public testing::TestWithParam<std::tuple<SharingCase, int>> {};

TEST_P(SharingTest, OneOpenFileForEveryProcess) {
  const auto& [c, limit] = GetParam();
  struct rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_max < static_cast<rlim_t>(limit)) GTEST_SKIP() << "the hard descriptor limit is " << lim.rlim_max;
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, c.before);
  test_support::CommandResult r =
      Under(image, "ulimit -Sn " + std::to_string(limit) + " && cd " + dir.path() + " && " + c.script);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(test_support::ReadAwsFile(image), c.after);
}

const Tape kTwoBlocks = {Block("first\n"), Block("second\n"), Mark()};
const Tape kReused = {Block("tape-data"), Mark(), Block("more"), Mark()};

const SharingCase kSharingCases[] = {
    // The shell opens the drive; cat only inherits it.
    SharingCase{"ReadThroughRedirection", kTwoBlocks, "cat < /dev/nst0", "first\nsecond\n", kTwoBlocks},
    SharingCase{"WriteThroughRedirection", {}, "echo hello > /dev/nst0", "", {Block("hello\n"), Mark()}},
    SharingCase{"DuplicatedIntoStandardInput", kTwoBlocks, "exec 3</dev/nst0; dd bs=64 status=none <&3",
                "first\nsecond\n", kTwoBlocks},
    // Parent, forked child, parent: each block where the last left the
    // tape, and one filemark when the last descriptor goes.
    SharingCase{"ForkedChildWritesInTurn",
                {},
                "exec 3>/dev/nst0; printf 1234567890 >&3; (printf %020d 0 >&3); printf %030d 0 >&3",
                "",
                {Block("1234567890"), Block(std::string(20, '0')), Block(std::string(30, '0')), Mark()}},
    // A program that wrote exits before the shell that opened the
    // drive; the release waits for the shell.
    SharingCase{"ReleasedByTheLastHolder",
                {},
                "exec 3>/dev/nst0; sh -c 'printf abc >&3'; printf def >&3",
                "",
                {Block("abc"), Block("def"), Mark()}},
    // Programs that use the C library's standard streams, whose data
    // moves by internal calls: printf(1) writes, sed reads.
    SharingCase{"StandardInputOfAProgram", kTwoBlocks, "sed s/e/E/ < /dev/nst0", "first\nsEcond\n", kTwoBlocks},
    SharingCase{"StandardOutputOfAProgram", {}, "env printf abc > /dev/nst0", "", {Block("abc"), Mark()}},
    SharingCase{"TwoReadersShareThePlace", kTwoBlocks, "exec 3</dev/nst0; head -c 6 <&3; head -c 7 <&3",
                "first\nsecond\n", kTwoBlocks},
    // A number closed however the program closes it, then given to
    // another file, takes that file's data there, never to the tape;
    // the drive is released on the way, and still opens.
    SharingCase{"ClosedByCloseRange", {}, LIBC_CLIENT " reuse /dev/nst0 close_range && cat log.txt", "log\n", kReused},
    SharingCase{"ClosedByClosefrom", {}, LIBC_CLIENT " reuse /dev/nst0 closefrom && cat log.txt", "log\n", kReused},
    SharingCase{"ClosedByARawCall", {}, LIBC_CLIENT " reuse /dev/nst0 syscall && cat log.txt", "log\n", kReused},
    SharingCase{"ClosedUnseen", {}, LIBC_CLIENT " reuse /dev/nst0 inline && cat log.txt", "log\n", kReused},
    SharingCase{"EveryDescriptorClosedByRange",
                {},
                LIBC_CLIENT " reuse /dev/nst0 close_range_all && cat log.txt",
                "log\n",
                kReused},
    // A program that closes every descriptor but the drive's, as
    // daemons do, has the drive still, and its log gets none of it.
    SharingCase{"OthersClosedInALoop",
                {},
                LIBC_CLIENT " spare /dev/nst0 loop && cat log.txt",
                "log\n",
                {Block("tape-data"), Block("more"), Mark()}},
    SharingCase{"OthersTakenByDup2ThenClosed",
                {},
                LIBC_CLIENT " spare /dev/nst0 dup2 && cat log.txt",
                "log\n",
                {Block("tape-data"), Block("more"), Mark()}},
    SharingCase{"OthersClosedByRange",
                {},
                LIBC_CLIENT " spare /dev/nst0 close_range && cat log.txt",
                "log\n",
                {Block("tape-data"), Block("more"), Mark()}},
    // bash opens the drive and moves it onto the number named.
    SharingCase{"MovedOntoThreeByBash",
                {},
                "bash -c 'exec 3>/dev/nst0; printf abc | dd status=none >&3'",
                "",
                {Block("abc"), Mark()}},
    // A builtin writes through the C library's stdout, on descriptor 1
    // while the redirection lasts.
    SharingCase{"BuiltinOfBash", {}, "bash -c 'echo hi > /dev/nst0; echo after'", "after\n", {Block("hi\n"), Mark()}},
    // posix_spawn hands the drive on where the library does not see it.
    SharingCase{"GivenToASpawnedChild",
                {},
                LIBC_CLIENT " spawn-dup /dev/nst0",
                "",
                {Block("parent"), Block("child\n"), Block("again"), Mark()}},
    SharingCase{"SpawnedChildHoldsTheOpen",
                {},
                LIBC_CLIENT " spawn-leave /dev/nst0",
                "",
                {Block("parent"), Block("child\n"), Mark()}},
    // subprocess closes every descriptor in its vfork child, whose closes
    // are of its own copies, not the parent's drive.
    SharingCase{"VforkChildClosesItsCopies",
                {},
                "python3 -c \"import os, subprocess; fd = os.open('/dev/nst0', os.O_WRONLY); "
                "subprocess.run(['true']); os.write(fd, b'after'); os.close(fd)\"",
                "",
                {Block("after"), Mark()}},
    SharingCase{"SpawnedByPython",
                {},
                "printf py > in.txt && python3 -c \"import os; fd = os.open('/dev/nst0', os.O_WRONLY); "
                "p = os.posix_spawnp('dd', ['dd', 'if=in.txt', 'status=none'], os.environ, "
                "file_actions=[(os.POSIX_SPAWN_DUP2, fd, 1)]); os.close(fd); os.waitpid(p, 0)\"",
                "",
                {Block("py"), Mark()}},
    SharingCase{
        "ReleasedWhenAnExecDropsTheLastCopy", {}, LIBC_CLIENT " fork-exec /dev/nst0", "", {Block("parent"), Mark()}},
    // Without the library the descriptor is an empty sealed file: no
    // state to read, nothing to write, and the drive goes on.
    SharingCase{"BehindTheLibrarysBack",
                {},
                "exec 3>/dev/nst0; echo one >&3; env -u LD_PRELOAD sh -c 'echo two >&3' 2>/dev/null || echo refused; "
                "env -u LD_PRELOAD cat /proc/self/fd/3 | wc -c; echo three >&3",
                "refused\n0\n",
                {Block("one\n"), Block("three\n"), Mark()}},
    // ... and the open's state it inherits reads only (flags end in 0).
    SharingCase{"StateReadOnlyWithoutTheLibrary",
                {},
                "exec 3>/dev/nst0; env -u LD_PRELOAD sh -c 'cd /proc/self/fd; for f in *; do "
                "case $(readlink $f) in \"/memfd:vtape open\"*) sed -n \"s/^flags:.*\\(.\\)$/\\1/p\" "
                "../fdinfo/$f;; esac; done'; sh -c 'echo two >&3'",
                "0\n",
                {Block("two\n"), Mark()}},
    // An image cut short or removed under the open drive: EIO.
    SharingCase{"ImageCutShort",
                {},
                "exec 3>/dev/nst0; echo one >&3; truncate -s 0 tape.aws; "
                "{ echo two >&3; } 2>/dev/null || echo failed",
                "failed\n",
                {}},
    SharingCase{"ImageRemoved", kTwoBlocks,
                "exec 3</dev/nst0; head -c 6 <&3; cp tape.aws saved; rm tape.aws; "
                "cat <&3 2>/dev/null || echo failed; mv saved tape.aws",
                "first\nfailed\n", kTwoBlocks}};

INSTANTIATE_TEST_SUITE_P(Cases, SharingTest,
                         testing::Combine(testing::ValuesIn(kSharingCases), testing::Values(64, 1024, 20000)),
                         [](const testing::TestParamInfo<SharingTest::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "At" +
                                  std::to_string(std::get<1>(info.param));
                         });

// dump writes through forked processes that take turns on one descriptor;
// on the kernel the tape restores byte for byte, and so it must here.
TEST(DumpTest, SmallFileSystemRestoresByteForByte) {
  if (test_support::Run({"sh", "-c", "command -v dump && command -v restore && command -v mkfs.ext4"}).status != 0) {
    GTEST_SKIP() << "dump, restore (package dump) and mkfs.ext4 (e2fsprogs) are needed; scripts/setup.sh installs them";
  }
  test_support::TempDir dir;
  std::string fs = dir.File("fs.img");
  test_support::WriteFile(dir.File("text"), "hello\n");
  std::string big;
  for (int i = 0; i < 40000; ++i) big += std::to_string(i * 7919 % 65521) + ",";
  test_support::WriteFile(dir.File("big"), big);
  ASSERT_EQ(test_support::Run({"sh", "-c",
                               "truncate -s 4M " + fs + " && mkfs.ext4 -q -F " + fs + " && debugfs -w -R 'write " +
                                   dir.File("text") + " text' " + fs + " && debugfs -w -R 'write " + dir.File("big") +
                                   " big' " + fs})
                .status,
            0);
  // dump reads a file system from a block device; a regular file it takes
  // for a directory of the one it lies on.
  test_support::CommandResult loop = test_support::Run({"losetup", "--find", "--show", "--read-only", fs});
  if (loop.status != 0) GTEST_SKIP() << "no loop device here: " << loop.err;
  std::string device = loop.out.substr(0, loop.out.find('\n'));
  std::string image = dir.File("tape.aws");
  ASSERT_EQ(test_support::Run({test_support::BinaryPath("VTAPE"), "create", image}).status, 0);
  test_support::CommandResult dumped = Under(image, "dump -0 -f /dev/nst0 " + device);
  test_support::Run({"losetup", "--detach", device});
  ASSERT_EQ(dumped.status, 0) << dumped.err;
  std::string restored = dir.File("restored");
  ASSERT_EQ(mkdir(restored.c_str(), 0755), 0);
  test_support::CommandResult restore = Under(image, "cd " + restored + " && mt rewind && restore -r -f /dev/nst0");
  ASSERT_EQ(restore.status, 0) << restore.err;
  EXPECT_EQ(test_support::ReadFile(restored + "/text"), "hello\n");
  EXPECT_EQ(test_support::ReadFile(restored + "/big"), big);
}

// A kill in the middle of a write of more than a page can leave part of a
// block; the drive loses it, as a drive loses a write it did not finish, on
// the next open whatever its mode.
TEST(TornBlockTest, CutOffAtTheNextOpen) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::string vtape = test_support::BinaryPath("VTAPE");
  std::string probe = test_support::BinaryPath("TAPEPROBE");
  ASSERT_EQ(test_support::Run({vtape, "create", image}).status, 0);
  test_support::Run({vtape, "run", image, "--", probe, "/dev/nst0", "open:wo", "write:70000:42", "kill"});
  std::string whole = test_support::ReadFile(image);
  // What a kill part-way through the next block's pwritev leaves.
  test_support::WriteFile(image, whole + test_support::EncodeAws({Block(70000, 'x')}).substr(0, 5000));
  test_support::CommandResult status =
      test_support::Run({vtape, "run", image, "--", probe, "/dev/nst0", "open:ro", "status", "read:80", "eom"});
  EXPECT_EQ(status.out, "open:ro -> ok\nstatus -> file 0 block 1 bits ONLINE\nread:80 -> -1 EIO\neom -> 0\n");
  EXPECT_EQ(test_support::ReadFile(image), whole);
  EXPECT_EQ(test_support::Run({vtape, "list", image}).status, 0);
}

// st counts blocks on only from a known number: after spacing to end of
// data a write leaves it unknown, also when a kill cut the program short.
TEST(TornBlockTest, BlockNumberStaysUnknownAfterAKilledWriteAtEndOfData) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::string vtape = test_support::BinaryPath("VTAPE");
  std::string probe = test_support::BinaryPath("TAPEPROBE");
  test_support::WriteAwsFile(image, {Block("one"), Mark()});
  test_support::Run({vtape, "run", image, "--", probe, "/dev/nst0", "open:rw", "eom", "write:100", "kill"});
  test_support::CommandResult status =
      test_support::Run({vtape, "run", image, "--", probe, "/dev/nst0", "open:ro", "status"});
  EXPECT_EQ(status.out, "open:ro -> ok\nstatus -> file 1 block -1 bits ONLINE\n");
}

// One tape under two names (a hard link) is one tape with one position.
TEST(HardLinkTest, BothNamesShareOnePosition) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws"), other = dir.File("other.aws"), runtime = dir.File("run");
  test_support::WriteAwsFile(image, {Block("one"), Mark(), Block("two"), Mark()});
  ASSERT_EQ(link(image.c_str(), other.c_str()), 0);
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime};
  ASSERT_EQ(Under(image, "mt fsf 1", env).status, 0);
  EXPECT_EQ(Under(other, "cat /dev/nst0", env).out, "two");
  EXPECT_NE(Under(image, "mt status", env).out.find("File number=2, block number=0"), std::string::npos);
}

// An image on a read-only mount is a write-protected cartridge: it reads and
// moves, its place kept in the runtime directory, and refuses writes.
TEST(ReadOnlyImageTest, ReadsAndMovesLikeAWriteProtectedCartridge) {
  test_support::TempDir dir;
  std::string mounted = dir.File("ro");
  struct Unmount {
    std::string where;
    ~Unmount() { umount2(where.c_str(), MNT_DETACH); }
  } unmount{mounted};
  std::string skip = PrivateTmpfs(mounted);
  if (!skip.empty()) GTEST_SKIP() << skip;
  std::string image = mounted + "/tape.aws";
  test_support::WriteAwsFile(image, {Block("one"), Mark(), Block("two"), Mark()});
  ASSERT_EQ(mount(nullptr, mounted.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
  std::string runtime = dir.File("run");
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime};
  test_support::CommandResult moved = Under(image, "mt fsf 1 && mt status", env);
  EXPECT_EQ(moved.status, 0) << moved.err;
  EXPECT_NE(moved.out.find("File number=1, block number=0"), std::string::npos) << moved.out;
  EXPECT_NE(moved.out.find("WR_PROT"), std::string::npos) << moved.out;
  test_support::CommandResult next = Under(image, "cat /dev/nst0; echo more > /dev/nst0", env);
  EXPECT_EQ(next.out, "two");
  EXPECT_NE(next.err.find("Read-only file system"), std::string::npos) << next.err;
}

}  // namespace
