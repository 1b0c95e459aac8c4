// vtape run's safety net: every way the command could start without the
// drive in its place is refused before the command runs, and what the
// command is handed (device, TAPE) holds from any directory.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test_support::Block;
using test_support::Mark;
using test_support::TapeRecord;

// A file built into the directory of binary `name`.
std::string Beside(const char* name, const char* file) {
  return std::filesystem::path(test_support::BinaryPath(name)).parent_path() / file;
}

// vtape, its library and libc_client copied into `dir`, which user 65534
// may enter, with the image, which it may write: a build may lie in a
// folder only its owner can enter, as mktemp -d makes them. The copy of
// vtape.
std::string CopyForAnyone(const test_support::TempDir& dir, const std::string& image) {
  chmod(dir.path().c_str(), 0777);
  chmod(image.c_str(), 0666);
  for (const auto& [from, to] : {std::pair{test_support::BinaryPath("VTAPE"), dir.File("vtape")},
                                 {Beside("VTAPE", "libvtape.so"), dir.File("libvtape.so")},
                                 {std::string(LIBC_CLIENT), dir.File("libc_client")}}) {
    std::filesystem::copy_file(from, to);
  }
  return dir.File("vtape");
}

// User 65534, where it may make a user namespace; empty for root.
std::vector<std::string> AsNobody() { return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}; }

// A library in a place the loader cannot take it from, or one it cannot
// load: the command must not run.
struct LibraryCase {
  const char* name;
  const char* preload;  // VTAPE_PRELOAD, "DIR" replaced by a fresh directory
  enum { kNothing, kLibrary, kText } put;
  const char* err;
};

void PrintTo(const LibraryCase& c, std::ostream* os) { *os << c.name; }

class RunRefusesLibrary : public testing::TestWithParam<LibraryCase> {};

TEST_P(RunRefusesLibrary, BeforeTheCommandRuns) {
  const LibraryCase& c = GetParam();
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  std::string library = c.preload;
  if (library.starts_with("DIR")) library.replace(0, 3, dir.path());
  if (c.put != LibraryCase::kNothing) std::filesystem::create_directories(std::filesystem::path(library).parent_path());
  if (c.put == LibraryCase::kLibrary) std::filesystem::copy_file(Beside("VTAPE", "libvtape.so"), library);
  if (c.put == LibraryCase::kText) test_support::WriteFile(library, "not a library\n");
  std::string marker = dir.File("ran");
  test_support::CommandResult r = test_support::Run(
      {test_support::BinaryPath("VTAPE"), "run", image, "--", "touch", marker}, "", {"VTAPE_PRELOAD=" + library});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the command ran";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RunRefusesLibrary,
    testing::Values(
        LibraryCase{"Space", "DIR/with space/libvtape.so", LibraryCase::kLibrary, "splits LD_PRELOAD at spaces"},
        LibraryCase{"Colon", "DIR/with:colon/libvtape.so", LibraryCase::kLibrary, "splits LD_PRELOAD at spaces"},
        LibraryCase{"Relative", "build/libvtape.so", LibraryCase::kNothing, "needs an absolute path"},
        LibraryCase{"Missing", "DIR/libvtape.so", LibraryCase::kNothing, "No such file or directory"},
        LibraryCase{"NotALibrary", "DIR/text.so", LibraryCase::kText, "the drive would not be loaded"},
        LibraryCase{"Executable", "/bin/sh", LibraryCase::kNothing, "the drive would not be loaded"}),
    [](const testing::TestParamInfo<LibraryCase>& info) { return std::string(info.param.name); });

// A program the kernel starts without the dynamic loader never sees the
// drive: it would open the device path itself.
TEST(VtapeRun, RefusesAStaticCommand) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  std::string device = dir.File("nst0");
  test_support::CommandResult r =
      test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--device", device, "--",
                         Beside("TAPEPROBE", "tapeprobe_static"), device, "open:rw", "write:80:c1", "close"});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find("statically linked; it would run without the virtual drive"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(test_support::ReadAwsFile(image), std::vector<TapeRecord>{});
}

// A relative --device is anchored once, where vtape was started: a command
// that changes directory still reaches the drive under that name.
TEST(VtapeRun, RelativeDeviceIsMadeAbsoluteAndInTape) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  test_support::CommandResult r = test_support::Run(
      {"sh", "-c", "cd \"$1\" && shift && exec \"$@\"", "sh", dir.path(), test_support::BinaryPath("VTAPE"), "run",
       "tape.aws", "--device", "drives/nst1", "--", "sh", "-c",
       "cd / && echo \"$TAPE|$VTAPE_DEVICE\" && exec \"$0\" \"$TAPE\" open:rw write:80:c1 close",
       test_support::BinaryPath("TAPEPROBE")});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string device = dir.File("drives/nst1");
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), device + "|" + device + "\n");
  EXPECT_EQ(test_support::ReadAwsFile(image), (std::vector<TapeRecord>{Block(std::string(80, '\xc1')), Mark()}));
}

// On a machine with tape hardware the command cannot open the real nodes
// at all, whoever runs it, also through another mount of /dev. The machine
// is played by a private /dev with a tape node (st, minor 129), one in a
// folder of its own (minor 130) and a bsg-like one, /dev bound at
// chroot-dev (as a chroot's) and its tape node bound at chroot-dev.node.
TEST(VtapeRun, HidesTheRealDeviceNodes) {
  const std::string kFakeDev =
      "mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && mknod -m 666 /dev/nst1 c 9 129 && "
      "mkdir /dev/bsg /dev/tapes && mknod -m 666 /dev/bsg/0:0:0:0 c 21 0 && mknod -m 666 /dev/tapes/nst2 c 9 130 && "
      "mkdir -p \"$0\" && mount --bind /dev \"$0\" && touch \"$0.node\" && mount --bind /dev/nst1 \"$0.node\" && "
      "cd / && exec \"$@\"";
  test_support::TempDir dir;
  const std::string bound = dir.File("chroot-dev");
  if (test_support::Run({"unshare", "-m", "sh", "-c", kFakeDev, dir.File("probe"), "true"}).status != 0) {
    GTEST_SKIP() << "needs root to make device nodes in a private mount namespace";
  }
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  const std::string vtape = CopyForAnyone(dir, image), tapeprobe = dir.File("tapeprobe");
  std::filesystem::copy_file(test_support::BinaryPath("TAPEPROBE"), tapeprobe);
  const std::string kInside =
      "stat -c %F /dev/nst1 /dev/bsg/0:0:0:0 /dev/tapes/nst2 \"$1/tapes/nst2\" \"$1.node\"; "
      "(: <>\"$1/nst1\") 2>&1 | sed 's/.*: //'; exec \"$0\" /dev/nst0 open:rw write:80:c1 close >/dev/null";
  for (std::vector<std::string> as : {std::vector<std::string>{}, AsNobody()}) {
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", kFakeDev, bound};
    argv.insert(argv.end(), as.begin(), as.end());
    for (const std::string& a : {vtape, std::string("run"), image, std::string("--"), std::string("sh"),
                                 std::string("-c"), kInside, tapeprobe, bound}) {
      argv.push_back(a);
    }
    if (!as.empty()) {
      std::vector<std::string> probe = as;
      probe.insert(probe.end(), {"unshare", "-Urm", "mount", "-t", "tmpfs", "none", "/tmp"});
      if (test_support::Run(probe).status != 0) GTEST_SKIP() << "user namespaces are not allowed here";
    }
    test_support::CommandResult r = test_support::Run(argv);
    if (!as.empty() && r.status == 126) GTEST_SKIP() << "user 65534 cannot run the copied binaries: " << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "socket\nsocket\nsocket\nsocket\nsocket\nNo such device or address\n")
        << (as.empty() ? "root" : "user 65534");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test_support::ReadAwsFile(image).size(), 2u) << "the drive itself still answers";
    test_support::WriteAwsFile(image, {});
  }
}

// Where the namespaces are not allowed (here: a user namespace whose user
// has no identity outside it may not make another), the command still runs,
// and vtape says once which devices it could not hide; asked to, it refuses.
TEST(VtapeRun, SaysWhenItCannotHideTheRealDevices) {
  const std::string kFakeDev =
      "mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && mkdir /dev/tapes && "
      "mknod -m 666 /dev/tapes/nst2 c 9 130 && cd / && exec unshare -U \"$@\"";
  if (test_support::Run({"unshare", "-m", "sh", "-c", kFakeDev, "sh", "true"}).status != 0) {
    GTEST_SKIP() << "needs root to make device nodes in a private mount namespace";
  }
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  const std::string kMessage =
      "cannot hide this machine's tape devices and /dev from the command (Operation not permitted): /dev/tapes/nst2";
  for (bool refuse : {false, true}) {
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", kFakeDev, "sh", test_support::BinaryPath("VTAPE"),
                                     "run",     image};
    if (refuse) argv.push_back("--require-hidden-devices");
    argv.insert(argv.end(), {"--", "echo", "ran"});
    test_support::CommandResult r = test_support::Run(argv);
    EXPECT_EQ(r.status, refuse ? 125 : 0) << r.err;
    EXPECT_EQ(r.out, refuse ? "" : "ran\n");
    EXPECT_EQ(r.err, refuse
                         ? "vtape: " + kMessage + "\n"
                         : "vtape: warning: " + kMessage + "; raw system calls (openat2, syscall, io_uring), " +
                               "posix_spawn file actions, bind of a socket, static and 32-bit programs and programs " +
                               "started without LD_PRELOAD (env -i, env -u LD_PRELOAD) reach them and can make " +
                               "files at the drive's names\n");
  }
}

// What the drive's library cannot see (raw system calls, the C library's
// internal opens, programs without it) and every other way the kernel
// resolves to the machine's device folder (another mount of it, made
// before the run, as a chroot's or container's /dev; a descriptor opened
// before the run; /proc/PID/root of a process outside) meets an error at
// the drive's names or reaches the drive, never makes a file there; for
// root and for user 65534. Every name of the machine's /dev is the
// sentinel; a mount of /dev elsewhere shows the same folder.
struct RawCase {
  const char* name;
  const char* before;  // sh -c as root in the case's folder, before the run; null: nothing
  const char* script;  // sh -c in the case's folder, $CLIENT is libc_client
  const char* out;
  std::vector<TapeRecord> after;
};

void PrintTo(const RawCase& c, std::ostream* os) { *os << c.name; }

class RawCallsTest : public testing::TestWithParam<RawCase> {};

// What stands at a tape, changer or SCSI generic name in the machine's /dev
// other than a device node or a link (stdin, stdout, stderr): a file a run
// made.
std::string FilesAtDeviceNames() {
  std::string found;
  for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
    std::string name = entry.path().filename();
    bool device_name = false;
    for (const char* prefix : {"st", "nst", "sch", "sg"}) device_name = device_name || name.rfind(prefix, 0) == 0;
    auto type = entry.symlink_status().type();
    if (device_name && type != std::filesystem::file_type::character && type != std::filesystem::file_type::symlink) {
      found += name + " ";
    }
  }
  return found;
}

TEST_P(RawCallsTest, NeverMakeAFileAtTheDrivesName) {
  const RawCase& c = GetParam();
  if (c.before != nullptr && test_support::Run({"unshare", "-m", "true"}).status != 0) {
    GTEST_SKIP() << "needs root to mount in a private mount namespace";
  }
  ASSERT_EQ(FilesAtDeviceNames(), "");
  for (const std::vector<std::string>& as : {std::vector<std::string>{}, AsNobody()}) {
    test_support::TempDir dir;
    std::string image = dir.File("tape.aws");
    test_support::WriteAwsFile(image, {});
    std::vector<std::string> argv;
    if (c.before != nullptr) {
      std::filesystem::create_directory(dir.File("devbind"));
      argv = {"unshare", "-m", "sh", "-c", "cd \"$0\" && " + std::string(c.before) + " && exec \"$@\"", dir.path()};
    }
    argv.insert(argv.end(), as.begin(), as.end());
    argv.insert(argv.end(), {CopyForAnyone(dir, image), "run", image, "--require-hidden-devices", "--", "sh", "-c",
                             "cd \"$0\" && " + std::string(c.script), dir.path()});
    test_support::CommandResult r = test_support::Run(argv, "", {"CLIENT=" + dir.File("libc_client")});
    if (!as.empty() && r.status == 125) GTEST_SKIP() << "no namespace for user 65534 here: " << r.err;
    EXPECT_EQ(r.out, c.out) << r.err << (as.empty() ? " (root)" : " (user 65534)");
    EXPECT_EQ(test_support::ReadAwsFile(image), c.after);
    EXPECT_EQ(FilesAtDeviceNames(), "");
  }
}

const std::vector<TapeRecord> kRaw = {Block("raw"), Mark()};

INSTANTIATE_TEST_SUITE_P(
    Cases, RawCallsTest,
    testing::Values(
        RawCase{"Openat2", nullptr, "$CLIENT raw /dev/nst0 openat2", "openat2 0 -\n", kRaw},
        RawCase{"SyscallOpenat", nullptr, "$CLIENT raw /dev/st0 syscall", "syscall 0 -\n", kRaw},
        RawCase{"SpawnFileAction", nullptr, "$CLIENT raw /dev/nst0 spawn-open", "spawn-open -1 EROFS\n", {}},
        RawCase{"WithoutThePreload",
                nullptr,
                "echo x | env -u LD_PRELOAD dd of=/dev/nst0 2>&1 | sed 's/.*: //'",
                "Read-only file system\n",
                {}},
        RawCase{"EmptyEnvironment",
                nullptr,
                "env -i /bin/sh -c 'echo x >/dev/st0' 2>&1 | sed 's/.*: //'",
                "Read-only file system\n",
                {}},
        RawCase{"SocketBoundAtTheName",
                nullptr,
                "perl -MSocket -e 'socket(S, PF_UNIX, SOCK_STREAM, 0); "
                "bind(S, pack_sockaddr_un(\"/dev/nst0\")) or print \"$!\\n\"'",
                "Read-only file system\n",
                {}},
        RawCase{"SecondDevMountAsWorkingDirectory", "mount --bind /dev devbind",
                "cd devbind && printf raw | dd of=nst0 2>/dev/null", "", kRaw},
        RawCase{"SecondDevMountAsWorkingDirectoryRaw",
                "mount --bind /dev devbind",
                "cd devbind && printf raw | env -u LD_PRELOAD dd of=nst0 2>&1 | sed 's/.*: //'",
                "Read-only file system\n",
                {}},
        RawCase{"SecondDevMountAsDescriptor", "mount --bind /dev devbind", "$CLIENT raw nst0 dirfd 7<devbind",
                "dirfd 0 -\n", kRaw},
        RawCase{"SecondDevMountAsDescriptorRaw",
                "mount --bind /dev devbind",
                "env -u LD_PRELOAD $CLIENT raw nst0 dirfd 7<devbind",
                "dirfd -1 EROFS\n",
                {}},
        RawCase{"DevtmpfsMountedElsewhere",
                "mount -t devtmpfs none devbind",
                "env -u LD_PRELOAD $CLIENT raw devbind/nst0 syscall",
                "syscall -1 EROFS\n",
                {}},
        RawCase{"DescriptorOpenedBeforeTheRun",
                "exec 7</dev",
                "env -u LD_PRELOAD $CLIENT raw nst0 dirfd",
                "dirfd -1 EROFS\n",
                {}},
        RawCase{"RootOfTheCallerThroughProc",
                nullptr,
                "printf raw | env -u LD_PRELOAD dd of=/proc/$PPID/root/dev/nst0 2>/dev/null || echo refused",
                "refused\n",
                {}}),
    [](const testing::TestParamInfo<RawCase>& info) { return std::string(info.param.name); });

}  // namespace
