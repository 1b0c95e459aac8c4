// Programs nobody here wrote, Debian's mt (mt-st), coreutils dd, GNU tar,
// cpio and C++ file streams, used under the drive as one would use them on a
// real one; and programs killed half-way, which must leave an image vtape
// still reads.

#include <unistd.h>

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
    ASSERT_EQ(test_support::Run({"sh", "-c", "command -v mt && command -v dd && command -v tar && command -v cpio"})
                  .status,
              0)
        << "mt (package mt-st), dd, tar and cpio are needed; scripts/setup.sh installs them";
    ASSERT_EQ(test_support::Run({test_support::BinaryPath("VTAPE"), "create", image_}).status, 0);
  }

  // However a client opened the drive, nothing may appear at the real path.
  void TearDown() override {
    if (!real_device_existed_) {
      EXPECT_NE(access("/dev/nst0", F_OK), 0) << "/dev/nst0 was created";
    }
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

  // Files for an archive: a short text and a file spanning several records.
  std::string Tree(const std::string& name, const std::string& text) {
    std::string root = dir_.File(name);
    EXPECT_EQ(test_support::Run({"mkdir", "-p", root + "/sub"}).status, 0);
    test_support::WriteFile(root + "/text", text);
    test_support::WriteFile(root + "/sub/long", std::string(30000, 'L') + text);
    return root;
  }

  void ExpectSameTree(const std::string& want, const std::string& got) {
    test_support::CommandResult diff = test_support::Run({"diff", "-r", want, got});
    EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
  }

  bool real_device_existed_ = access("/dev/nst0", F_OK) == 0;
  test_support::TempDir dir_;
  std::string image_ = dir_.File("tape.aws");
};

// Checks that the tape file starting at record `first` is archive records
// of `record_size` bytes closed by a tape mark; returns where the next starts.
size_t ExpectArchiveFile(const std::vector<TapeRecord>& tape, size_t first, size_t record_size) {
  size_t i = first;
  for (; i < tape.size() && !tape[i].mark; ++i) EXPECT_EQ(tape[i].data.size(), record_size) << "record " << i;
  EXPECT_GT(i, first) << "no blocks at record " << first;
  EXPECT_LT(i, tape.size()) << "no tape mark after the archive";
  return i + 1;
}

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
  // The second tape mark reads as an empty file; the end of data right
  // after it reads as one more, as st keeps the mark just read through
  // the close; then EIO.
  for (int empty_file = 0; empty_file < 2; ++empty_file) {
    test_support::CommandResult empty = Under(read);
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
  }
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

// GNU tar opens its archive with creat() and skips all output when fstat
// says it is /dev/null; the archive must land on tape all the same.
TEST_F(ClientsTest, TarArchivesGoOnTapeAndComeBack) {
  std::string first = Tree("first", "one\n");
  std::string second = Tree("second", "two\n");
  test_support::CommandResult r = Under({"tar", "-cf", "/dev/nst0", "-C", first, "."});
  ASSERT_EQ(r.status, 0) << r.err;
  // A second archive as tape users add one: space past the first file.
  for (std::vector<std::string> step : {std::vector<std::string>{"mt", "-f", "/dev/nst0", "rewind"},
                                        {"mt", "-f", "/dev/nst0", "fsf", "1"},
                                        {"tar", "-cf", "/dev/nst0", "-C", second, "."},
                                        {"mt", "-f", "/dev/nst0", "rewind"}}) {
    r = Under(step);
    ASSERT_EQ(r.status, 0) << step[0] << ": " << r.err;
  }
  std::vector<TapeRecord> tape = test_support::ReadAwsFile(image_);
  EXPECT_EQ(ExpectArchiveFile(tape, ExpectArchiveFile(tape, 0, 10240), 10240), tape.size());

  r = Under({"tar", "-tf", "/dev/st0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("./sub/long"), std::string::npos) << r.out;
  std::string out1 = Tree("out1", "");
  std::string out2 = Tree("out2", "");
  ASSERT_EQ(Under({"tar", "-xf", "/dev/nst0", "-C", out1}).status, 0);
  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "fsf", "1"}).status, 0);
  ASSERT_EQ(Under({"tar", "-xf", "/dev/nst0", "-C", out2}).status, 0);
  ExpectSameTree(first, out1);
  ExpectSameTree(second, out2);
}

TEST_F(ClientsTest, CpioCopiesOutToTapeAndBackIn) {
  std::string tree = Tree("tree", "cpio\n");
  test_support::CommandResult r = Under({"sh", "-c", "cd '" + tree + "' && find . | cpio -o -H newc -O /dev/st0"});
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectArchiveFile(test_support::ReadAwsFile(image_), 0, 512);
  std::string out = Tree("out", "");
  r = Under({"cpio", "-i", "-d", "-u", "-D", out, "-I", "/dev/st0"});
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectSameTree(tree, out);
}

// libstdc++ opens with fopen64 and then works on fileno(); stdio streams
// move their data with glibc's internal calls.
TEST_F(ClientsTest, StreamsWriteAndReadThroughTheDrive) {
  std::string client = LIBC_CLIENT;
  std::vector<TapeRecord> want;
  for (const char* how : {"fstream-write", "fdopen-write", "fopen-exit"}) {
    test_support::CommandResult r = Under({client, how, "/dev/nst0", std::string("by ") + how});
    EXPECT_EQ(r.status, 0) << how << ": " << r.err;
    want.insert(want.end(), {Block(std::string("by ") + how), Mark()});
  }
  EXPECT_EQ(test_support::ReadAwsFile(image_), want);
  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "rewind"}).status, 0);
  EXPECT_EQ(Under({client, "fopen-read", "/dev/st0"}).out, "by fstream-write");
  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "fsf", "1"}).status, 0);
  EXPECT_EQ(Under({client, "fstream-read", "/dev/nst0"}).out, "by fdopen-write");
}

TEST_F(ClientsTest, StatSeesTapeCharacterDevices) {
  for (const auto& [device, number] : {std::pair{"/dev/nst0", "9:128"}, std::pair{"/dev/st0", "9:0"}}) {
    std::string want;
    for (const char* call : {"stat", "lstat", "fstatat", "__xstat", "statx", "fstat", "__fxstat", "fstatat-empty"}) {
      want += std::string(call) + " chr " + number + "\n";
    }
    EXPECT_EQ(Under({LIBC_CLIENT, "stat", device}).out, want) << device;
  }
}

// st refuses offsets and splicing, so nothing reaches the tape but the one
// plain write at the end; cp then copies to and from it with read and write.
TEST_F(ClientsTest, OffsetsAndSplicingAreRefusedAndCpFallsBack) {
  EXPECT_EQ(Under({LIBC_CLIENT, "offsets", "/dev/nst0"}, "input").out,
            "pread -1 ESPIPE\npwrite -1 ESPIPE\npreadv -1 ESPIPE\npwritev2 -1 ESPIPE\n"
            "pwritev2-nowait -1 EOPNOTSUPP\nsendfile-from -1 EINVAL\nsendfile-from-at -1 ESPIPE\n"
            "sendfile-to -1 EINVAL\nsplice-to-at -1 ESPIPE\ncopy_file_range -1 EINVAL\n"
            "open-directory -1 ENOTDIR\npwritev2-here 80 -\n");
  EXPECT_EQ(test_support::ReadAwsFile(image_), (std::vector<TapeRecord>{Block(std::string(80, '\0')), Mark()}));

  std::string file = dir_.File("file");
  test_support::WriteFile(file, std::string(3000, 'c'));
  ASSERT_EQ(Under({"mt", "-f", "/dev/nst0", "rewind"}).status, 0);
  ASSERT_EQ(Under({"cp", file, "/dev/st0"}).status, 0);
  EXPECT_EQ(test_support::ReadAwsFile(image_), (std::vector<TapeRecord>{Block(std::string(3000, 'c')), Mark()}));
  ASSERT_EQ(Under({"cp", "/dev/st0", dir_.File("back")}).status, 0);
  EXPECT_EQ(test_support::ReadFile(dir_.File("back")), std::string(3000, 'c'));
}

TEST_F(ClientsTest, DriveGetsTheLowestFreeDescriptor) {
  EXPECT_EQ(Under({LIBC_CLIENT, "lowest", "/dev/nst0"}).out, "0 1\n");
}

// On a machine with a drive the real node would take the data; here, the
// path given as --device would become a regular file.
TEST_F(ClientsTest, NothingAppearsAtTheDevicePath) {
  std::string device = dir_.File("nst0");
  std::string tree = Tree("tree", "x\n");
  const std::vector<std::vector<std::string>> writers = {
      {"tar", "-cf", device, "-C", tree, "."},
      {"sh", "-c", "cd '" + tree + "' && echo text | cpio -o -O '" + device + "'"},
      {"dd", "of=" + device, "status=none"},
      {"sh", "-c", "echo shell > '" + device + "'"},
      {LIBC_CLIENT, "fstream-write", device, "stream"},
  };
  for (const std::vector<std::string>& writer : writers) {
    ASSERT_EQ(test_support::Run({test_support::BinaryPath("VTAPE"), "create", "--force", image_}).status, 0);
    test_support::CommandResult r = Under(writer, "input\n", {"--device", device});
    EXPECT_EQ(r.status, 0) << writer[0] << ": " << r.err;
    EXPECT_NE(access(device.c_str(), F_OK), 0) << writer[0] << " created " << device;
    EXPECT_NE(test_support::ReadAwsFile(image_), std::vector<TapeRecord>{}) << writer[0] << " wrote nothing";
  }
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

// The workflows the real-kernel differential runs, as a shell user runs
// them: past the end of a 2 MB tape (dd, tar, mbuffer stop where the kernel
// stopped them), appending and verifying with tar (which space backwards),
// replacing the last tape mark, a new open at end of data, fixed blocks and
// tgt's block limits. Each case starts from a new tape in a folder holding
// the file `big` (3 MiB) and the trees d1, d2 and d4.
TEST_F(ClientsTest, WorkflowsGiveTheKernelsAnswers) {
  ASSERT_EQ(test_support::Run({"sh", "-c", "command -v mbuffer"}).status, 0)
      << "mbuffer is needed; scripts/setup.sh installs it";
  struct Case {
    std::vector<std::string> create;  // options of vtape create
    std::vector<std::string> run;     // options of vtape run
    std::string command;
    std::string out;  // standard output and error
  } const cases[] = {
      {{"--size", "2M"},
       {},
       "dd if=big of=/dev/nst0 bs=64k 2>err; echo $?; grep -v copied err",
       "1\ndd: error writing '/dev/nst0': No space left on device\n33+0 records in\n32+0 records out\n"},
      {{"--size", "2M"},
       {},
       "tar -cf /dev/nst0 big; echo $?",
       "tar: /dev/nst0: Cannot write: No space left on device\ntar: Error is not recoverable: exiting now\n2\n"},
      {{"--size", "2M"},
       {},
       "mbuffer -q -i big -o /dev/nst0 -s 64k 2>&1 | grep error:",
       "mbuffer: error: outputThread: error writing to /dev/nst0 at offset 0x200000: No space left on device\n"},
      // tar spaces back a record before it appends.
      {{},
       {},
       "tar -cf /dev/nst0 d1 && mt rewind && tar -rf /dev/nst0 d4 && mt rewind && tar -tf /dev/nst0",
       "d1/\nd1/a\nd4/\nd4/c\n"},
      // tar -W spaces back over the tape mark the drive writes first.
      {{}, {}, "tar -cWf /dev/nst0 d1 d2; echo $?", "0\n"},
      {{},
       {},
       "tar -cf /dev/nst0 d1 && tar -cf /dev/nst0 d2 && mt eod && mt bsf 1 && tar -cf /dev/nst0 d4 &&"
       " mt status | sed -n 2p && mt rewind && mt fsf 1 && tar -tf /dev/nst0 && tar -tf /dev/nst0",
       "File number=2, block number=0, partition=0.\nd2/\nd2/b\nd4/\nd4/c\n"},
      // The close's tape mark is remembered: 0 first, EIO only after it.
      {{},
       {},
       "echo x | dd of=/dev/nst0 status=none && dd if=/dev/nst0 bs=64k 2>&1 | grep -v copied; mt status | tail -1;"
       " dd if=/dev/nst0 bs=64k 2>&1 | grep -v copied",
       "0+0 records in\n0+0 records out\n EOD ONLINE IM_REP_EN\ndd: error reading '/dev/nst0': Input/output error\n"
       "0+0 records in\n0+0 records out\n"},
      {{},
       {},
       "mt setblk 512 && mt status | sed -n 3p; dd if=/dev/zero of=/dev/nst0 bs=1000 count=1 status=none;"
       " head -c 1024 big | dd of=/dev/nst0 bs=512 count=2 status=none && mt rewind &&"
       " dd if=/dev/nst0 bs=512 count=2 status=none | wc -c",
       "Tape block size 512 bytes. Density code 0x0 (default).\n"
       "dd: error writing '/dev/nst0': Invalid argument\n1024\n"},
      // st's class folders list as sysfs does, and stdio reads their attributes.
      {{},
       {},
       "ls /sys/class/scsi_tape/nst0/device/scsi_generic/; ls /sys/class/scsi_tape | tr '\\n' ' '; echo;"
       " od -An -c /sys/class/scsi_tape/nst0/defined; ls /sys/class/scsi_tape/nst0/stats | wc -l",
       "sg0\nnst0 nst0a nst0l nst0m st0 st0a st0l st0m \n   1  \\n\n10\n"},
      // st's attributes are under the drive's own number.
      {{},
       {"--device", "/dev/nst7"},
       "mt -f /dev/nst7 stshowoptions",
       "The options set: buffer-writes async-writes read-ahead can-bsr\n"},
      {{},
       {"--block-limits", "4:1048576"},
       "echo ab | dd of=/dev/nst0 status=none; tar -b 4096 -cf /dev/nst0 d1; echo $?",
       "dd: error writing '/dev/nst0': Invalid argument\n"
       "tar: /dev/nst0: Cannot write: Invalid argument\ntar: Error is not recoverable: exiting now\n2\n"},
  };
  // st lets only root change its options (CAP_SYS_ADMIN); everyone reads them.
  std::string options = "The options set: buffer-writes async-writes read-ahead can-bsr\n";
  std::vector<Case> all(std::begin(cases), std::end(cases));
  all.push_back({{},
                 {},
                 "mt stshowoptions && mt stsetoptions two-fms && cat /sys/class/scsi_tape/st0/options &&"
                 " mt stshowoptions && mt stclearoptions two-fms",
                 geteuid() == 0 ? options + "0x00000117\nThe options set: buffer-writes async-writes read-ahead two-fms can-bsr\n"
                                : options + "/dev/nst0: Operation not permitted\n"});
  // st sets its options before it asks whether the drive is ready.
  all.push_back({{},
                 {"--no-medium"},
                 "mt -f /dev/nst0 stsetoptions two-fms && echo set",
                 geteuid() == 0 ? "set\n" : "/dev/nst0: Operation not permitted\n"});
  test_support::WriteFile(dir_.File("big"), std::string(3 << 20, 'B'));
  for (const char* tree : {"d1", "d2", "d4"}) {
    ASSERT_EQ(test_support::Run({"mkdir", dir_.File(tree)}).status, 0);
    test_support::WriteFile(dir_.File(tree) + "/" + (tree[1] == '1' ? "a" : tree[1] == '2' ? "b" : "c"), tree);
  }
  for (const Case& c : all) {
    std::vector<std::string> create = {test_support::BinaryPath("VTAPE"), "create", "--force"};
    create.insert(create.end(), c.create.begin(), c.create.end());
    create.push_back(image_);
    ASSERT_EQ(test_support::Run(create).status, 0);
    test_support::CommandResult r =
        Under({"sh", "-c", "cd '" + dir_.path() + "' && (" + c.command + ") 2>&1"}, "", c.run);
    EXPECT_EQ(r.out, c.out) << c.command;
  }
}

// sg3-utils and tapeinfo talk SCSI to the drive through its own descriptor,
// as st lets them: SG_IO, with or without a tape.
TEST_F(ClientsTest, ScsiToolsAskTheDriveItself) {
  ASSERT_EQ(test_support::Run({"sh", "-c", "command -v sg_inq && command -v tapeinfo"}).status, 0)
      << "sg3-utils and mtx are needed; scripts/setup.sh installs them";
  struct Case {
    std::vector<std::string> faults;
    const char* command;
    std::string out;  // standard output and error
  } const cases[] = {
      {{},
       "tapeinfo -f /dev/nst0 | grep -v SerialNumber",
       "Product Type: Tape Drive\nVendor ID: 'VTAPE   '\nProduct ID: 'VIRTUAL-TAPE    '\nRevision: '0001'\n"
       "Attached Changer API: No\nMinBlock: 1\nMaxBlock: 16777215\nSCSI ID: 0\nSCSI LUN: 0\nReady: yes\n"
       "BufferedMode: yes\nMedium Type: Not Loaded\nDensity Code: 0x0\nBlockSize: 0\nDataCompEnabled: no\n"
       "DataCompCapable: no\nDataDeCompEnabled: no\nCompType: 0x0\nDeCompType: 0x0\nBOP: yes\n"
       "Block Position: 0\nActivePartition: 0\nEarlyWarningSize: 0\n"},
      {{}, "sg_turs /dev/nst0; echo $?", "0\n"},
      {{"--no-medium"},
       "sg_turs /dev/nst0; echo $?",
       "device not ready\nCompleted 1 Test Unit Ready commands with 1 errors\n2\n"},
      {{"--no-medium"},
       "sg_requests /dev/st0 2>&1 | grep 'Sense key\\|Additional'",
       "Fixed format, current; Sense key: Not Ready\nAdditional sense: Medium not present\n"},
      {{"--write-protect"},
       "sg_modes -6 -p 0x10 /dev/nst0 | sed -n 3p",
       "  Mode data length=28, medium type=0x00, specific param=0x90, longlba=0\n"},
      {{},
       "sg_read_block_limits /dev/nst0",
       "Read Block Limits results:\n\tMinimum block size: 1 byte(s)\n"
       "\tMaximum block size: 16777215 byte(s), 16383 KB, 15 MB\n"},
      {{},
       "sg_logs /dev/nst0 | tail -3",
       "Supported log pages  [0x0]:\n    0x00        Supported log pages [sp]\n    0x2e        Tape alert [ta]\n"},
      // One block and the filemark of its close: two logical objects.
      {{},
       "echo x | dd of=/dev/nst0 status=none && sg_raw -r 20 /dev/nst0 34 00 00 00 00 00 00 00 00 00 2>&1 | sed -n 4p",
       " 00     00 00 00 00 00 00 00 02  00 00 00 02 00 00 00 00    ................\n"},
      // The block descriptor and the buffered mode follow what st set.
      {{},
       "mt -f /dev/nst0 setblk 512 && mt -f /dev/nst0 drvbuffer 0 && tapeinfo -f /dev/nst0 | grep '^Block\\|Buffered'",
       "BlockSize: 512\nBlock Position: 2\n"},
      // Each drive's sg node, found as on the kernel, answers without st,
      // with a tape or without.
      {{"--device", "/dev/nst7"},
       "for d in /sys/class/scsi_tape/nst7/device/scsi_generic/*; do sg_turs /dev/${d##*/}; echo ${d##*/} $?; done",
       "sg7 0\n"},
      {{"--no-medium"},
       "sg_turs /dev/sg0; echo $?; tapeinfo -f /dev/sg0 | sed -n 2p",
       "device not ready\nCompleted 1 Test Unit Ready commands with 1 errors\n2\nVendor ID: 'VTAPE   '\n"},
  };
  for (const Case& c : cases) {
    test_support::CommandResult r = Under({"sh", "-c", std::string(c.command) + " 2>&1"}, "", c.faults);
    EXPECT_EQ(r.out, c.out) << c.command;
  }
  // The single drive's serial comes from the image, the same every run.
  test_support::CommandResult first = Under({"sg_inq", "-p", "0x80", "/dev/nst0"});
  test_support::CommandResult second = Under({"sg_inq", "-p", "0x80", "/dev/st0"}, "", {"--no-medium"});
  EXPECT_EQ(first.out.substr(0, first.out.size() - 9),
            "VPD INQUIRY: Unit serial number page\n  Unit serial number: VT");
  EXPECT_EQ(first.out.substr(first.out.size() - 3), "00\n");
  EXPECT_EQ(second.out, first.out);
}

}  // namespace
