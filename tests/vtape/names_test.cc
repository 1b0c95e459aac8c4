// Every name that leads to the drive is the drive, and nothing done to one
// of them reaches what the machine has at that path. The drive answers to a
// folder of the test's own, where a sentinel file, then (where the machine
// allows) a real tape node, stands at each of its names; each case runs a
// shell under the drive and checks what it printed, the tape, and that the
// sentinels and the folder are as they were.

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test_support::Block;
using test_support::Mark;
using test_support::TapeRecord;

constexpr char kSentinel[] = "sentinel\n";

struct NameCase {
  const char* name;
  const char* script;  // sh -c in the case's folder; $D is the drive's folder
  const char* out;
  std::vector<TapeRecord> after;
  const char* device = "dev/nst0";  // --device, in the case's folder, where "alias" leads to "dev"
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class NamesTest : public testing::TestWithParam<NameCase> {};

// What stands at a drive's name on the machine: a sentinel file, and where
// the machine allows it, a real tape node (st's numbers for the pair).
bool PutSentinels(const std::string& devices, bool nodes) {
  if (!nodes) {
    for (const char* name : {"/nst0", "/st0"}) test_support::WriteFile(devices + name, kSentinel);
    return true;
  }
  return mknod((devices + "/nst0").c_str(), S_IFCHR | 0600, makedev(9, 128)) == 0 &&
         mknod((devices + "/st0").c_str(), S_IFCHR | 0600, makedev(9, 0)) == 0;
}

std::string Describe(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "missing";
  if (S_ISREG(st.st_mode)) return test_support::ReadFile(path);
  return std::to_string(st.st_mode) + " " + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

TEST_P(NamesTest, LeadToTheDriveAndLeaveTheMachineAlone) {
  const NameCase& c = GetParam();
  for (bool nodes : {false, true}) {
    test_support::TempDir dir;
    std::string devices = dir.File("dev");
    ASSERT_EQ(mkdir(devices.c_str(), 0755), 0);
    if (!PutSentinels(devices, nodes)) continue;
    ASSERT_EQ(symlink("dev", dir.File("alias").c_str()), 0);
    std::string before = Describe(devices + "/nst0") + Describe(devices + "/st0");
    std::string image = dir.File("tape.aws");
    test_support::WriteAwsFile(image, {});
    test_support::CommandResult r =
        test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--device", dir.File(c.device), "--", "sh",
                           "-c", std::string("cd ") + dir.path() + " && " + c.script},
                          "", {"D=" + devices});
    EXPECT_EQ(r.out, c.out) << r.err << (nodes ? " (device nodes)" : " (sentinel files)");
    EXPECT_EQ(test_support::ReadAwsFile(image), c.after);
    EXPECT_EQ(Describe(devices + "/nst0") + Describe(devices + "/st0"), before);
    EXPECT_EQ(test_support::Run({"ls", "-a", devices}).out, ".\n..\nnst0\nst0\n");
  }
}

const std::vector<TapeRecord> kHello = {Block("hello\n"), Mark()};

INSTANTIATE_TEST_SUITE_P(
    Cases, NamesTest,
    testing::Values(
        NameCase{"SymbolicLink", "ln -s $D/nst0 link && echo hello | dd of=link bs=80 status=none", "", kHello},
        NameCase{"LinkedFolderAsUdevMakesThem",
                 "mkdir by-id && ln -s ../dev/nst0 by-id/drive-nst && echo hello | dd of=by-id/drive-nst status=none",
                 "", kHello},
        NameCase{"ThroughProcSelfRoot", "echo hello | dd of=/proc/self/root$D/nst0 status=none", "", kHello},
        NameCase{"DotsAndDoubledSlashes", "cd $D && echo hello | dd of=../dev/.//nst0 status=none", "", kHello},
        NameCase{"AgainThroughProcSelfFdIsBusy",
                 "exec 3>$D/nst0; { echo hi > /proc/self/fd/3; } 2>/dev/null || echo busy",
                 "busy\n",
                 {}},
        // A child reopening its parent's descriptor of the drive gets st's
        // answer to a second open, never an empty stand-in.
        NameCase{"ThroughTheParentsProcFdIsBusy",
                 "exec 3>$D/nst0; echo hi >&3; dd if=/dev/zero of=/proc/$$/fd/3 count=1 2>&1 | sed 's/.*: //'",
                 "Device or resource busy\n",
                 {Block("hi\n"), Mark()}},
        NameCase{"NotADirectory",
                 "cat $D/nst0/ 2>/dev/null || echo no; cat $D/nst0/. 2>/dev/null || echo no",
                 "no\nno\n",
                 {}},
        NameCase{"StatSeesTheNodeBehindALink",
                 "ln -s $D/st0 link && stat -c %F link && stat -L -c '%F %t %T' link",
                 "symbolic link\ncharacter special file 9 0\n",
                 {}},
        NameCase{
            "ChangesToTheNodeNeverReachTheMachine",
            "exec 2>/dev/null; chmod 600 $D/nst0 && echo chmod; rm -f $D/nst0 || echo rm; mv $D/nst0 x || echo mv; "
            "ln $D/nst0 y || echo ln; install -m 644 /etc/hostname $D/nst0 || echo install; "
            "truncate -s 0 $D/nst0 || echo truncate; ls x y || echo nothing",
            "chmod\nrm\nmv\nln\ninstall\ntruncate\nnothing\n",
            {}},
        // The node exists, and st has no fsync nor truncation; ls reads no
        // attributes from it.
        NameCase{"AnsweredAsTheKernelAnswersForTheNode",
                 "ls -l $D/nst0 | cut -c1-10; perl -MFcntl -MIO::Handle -e 'sysopen(F, \"$ENV{D}/nst0\", "
                 "O_WRONLY|O_CREAT|O_EXCL) or print \"$!\\n\"; open(G, \">\", \"$ENV{D}/nst0\") or die; "
                 "print(G->sync ? \"synced\\n\" : \"$!\\n\"); print(truncate(G, 0) ? \"cut\\n\" : \"$!\\n\")'",
                 "crw-rw----\nFile exists\nInvalid argument\nInvalid argument\n",
                 {}},
        NameCase{"LinkToTheDriveIsRemovedItself", "ln -s $D/nst0 link && rm link && ls", "alias\ndev\ntape.aws\n", {}},
        // Given through a linked folder, the drive is where that leads.
        NameCase{"GivenThroughALinkedFolder",
                 "echo hello | dd of=$TAPE status=none && echo hello | dd of=$D/nst0 status=none",
                 "",
                 {Block("hello\n"), Mark(), Block("hello\n"), Mark()},
                 "alias/nst0"},
        NameCase{"BindMountOfTheFolder",
                 "mkdir b && mount --bind $D b && echo hello | dd of=b/nst0 status=none; umount b", "", kHello},
        // Names the walk cannot hold are refused, never passed on.
        NameCase{"WorkingDirectoryLongerThanPathMax",
                 "p=$(printf %0250d 0); perl -e 'for (1..17) { mkdir $ARGV[0]; chdir $ARGV[0] or die } "
                 "exec qq(echo hello | dd of=$ARGV[1]dev/nst0 2>&1 | sed \\x27s/.*: //\\x27)' "
                 "$p $(printf '../%.0s' $(seq 17)); rm -r $p",
                 "File name too long\n",
                 {}},
        NameCase{"LinkLongerThanPathMax",
                 "ln -s $(printf '/.%.0s' $(seq $(((4095 - ${#D}) / 2))))$D long && echo hello | "
                 "dd of=long/nst0 2>&1 | sed 's/.*: //'",
                 "File name too long\n",
                 {}}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

// A real tape node of the machine, in any folder, is out of a program's
// reach under the drive, even without the device-hiding namespace.
TEST(HostTapeNodes, AreRefusedInAnyFolder) {
  test_support::TempDir dir;
  std::string node = dir.File("nst5");
  struct stat before, after;
  if (mknod(node.c_str(), S_IFCHR | 0666, makedev(9, 133)) != 0 || stat(node.c_str(), &before) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  test_support::CommandResult r =
      test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--", "sh", "-c",
                         "cd \"$0\" && ln -s nst5 link && "
                         "{ cat nst5 link; chmod 600 nst5; rm nst5; } 2>&1 | sed 's/.*: //'",
                         dir.path()});
  EXPECT_EQ(r.out,
            "No such device or address\nNo such device or address\nOperation not permitted\nOperation not permitted\n");
  ASSERT_EQ(stat(node.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
}

}  // namespace
