// The virtual library as an operator meets it: `vtape create` and `list`,
// and Debian's own mtx, mt, dd and vaklabel run under `vtape run LIBDIR`.

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library/state.h"
#include "test_support.h"

// changer_test.cc
std::string Where(const vtape::library::State& s);

namespace {

using test_support::Block;
using test_support::CommandResult;
using test_support::LabelRecord;
using test_support::Mark;
using test_support::TapeRecord;

class LibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(test_support::Run({"sh", "-c", "command -v mtx && command -v mt"}).status, 0)
        << "mtx and mt (packages mtx, mt-st) are needed; scripts/setup.sh installs them";
  }

  CommandResult Vtape(std::vector<std::string> args) {
    args.insert(args.begin(), test_support::BinaryPath("VTAPE"));
    return test_support::Run(args);
  }

  void Create(std::vector<std::string> options) {
    options.insert(options.begin(), {"create", library_});
    CommandResult r = Vtape(options);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // Runs a shell script with the library in place; vaklabel and tapeprobe
  // are on PATH.
  CommandResult Script(const std::string& script, std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {test_support::BinaryPath("VTAPE"), "run", library_};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--", "sh", "-c", script});
    std::string vaklabel = VAKLABEL_PROGRAM;
    std::string tapeprobe = test_support::BinaryPath("TAPEPROBE");
    std::string path = vaklabel.substr(0, vaklabel.rfind('/')) + ":" + tapeprobe.substr(0, tapeprobe.rfind('/')) +
                       ":" + getenv("PATH");
    return test_support::Run(argv, "", {"PATH=" + path, "TEMPLATES=" + std::string(VAKLABEL_TEMPLATES)});
  }

  std::string Image(const std::string& barcode) { return library_ + "/" + barcode + ".aws"; }

  // Where every cartridge is, read as the library keeps it.
  std::string Places() {
    vtape::library::State state;
    if (!vtape::library::ParseState(test_support::ReadFile(library_ + "/library.state").c_str(), &state)) {
      return "damaged";
    }
    return Where(state);
  }

  // The unit serial number of drive element `drive`, as the library keeps it.
  std::string Serial(int drive) {
    vtape::library::State state;
    if (!vtape::library::ParseState(test_support::ReadFile(library_ + "/library.state").c_str(), &state)) {
      return "damaged";
    }
    return state.drives[drive].serial;
  }

  test_support::TempDir dir_;
  std::string library_ = dir_.File("lib");
};

const std::string kVolTag(24, ' ');  // after an 8-character barcode in mtx's 32 columns

TEST_F(LibraryTest, CreateAndList) {
  std::string copy = dir_.File("labelled.aws");
  test_support::WriteAwsFile(copy, {Block(LabelRecord("VOL1ABC123")), Mark(), Mark()});
  test_support::WriteFile(copy + ".vtsize", "2097152\n");
  Create({"--slots", "4", "--drives", "2", "--barcodes", "TAP098L8", "--empty", "2", "--copy", copy});
  EXPECT_EQ(Places(), "TAP098L8 - TAP099L8 TAP100L8 | - -");
  EXPECT_EQ(test_support::ReadAwsFile(Image("TAP098L8")),
            (std::vector<TapeRecord>{Block(LabelRecord("VOL1ABC123")), Mark(), Mark()}));
  EXPECT_EQ(test_support::ReadFile(Image("TAP098L8") + ".vtsize"), "2097152\n") << "the copy keeps its size";
  EXPECT_NE(access((Image("TAP099L8") + ".vtsize").c_str(), F_OK), 0) << "a blank tape has no end";
  EXPECT_EQ(test_support::ReadFile(Image("TAP099L8")), "");
  CommandResult list = Vtape({"list", library_});
  EXPECT_EQ(list.status, 0) << list.err;
  ASSERT_EQ(Serial(0).substr(8), "00");
  EXPECT_EQ(Serial(1), Serial(0).substr(0, 8) + "01");
  EXPECT_EQ(list.out, "library " + library_ + ": 4 slots, 2 drives, serial " + Serial(0).substr(0, 8) +
                          "CH\n"
                          "drive 0 (/dev/nst0, serial " +
                          Serial(0) +
                          "): empty\n"
                          "drive 1 (/dev/nst1, serial " +
                          Serial(1) +
                          "): empty\n"
                          "slot 1: TAP098L8  \"VOL1ABC123\"\n"
                          "slot 2: empty\n"
                          "slot 3: TAP099L8  blank\n"
                          "slot 4: TAP100L8  blank\n");
}

TEST_F(LibraryTest, CreateRefusesBadRequests) {
  struct Case {
    std::vector<std::string> options;
    const char* complaint;
  } const cases[] = {
      {{"--slots", "0"}, "bad value for --slots: 0 (1 to 1000)"},
      {{"--slots", "3", "--drives", "9"}, "bad value for --drives: 9 (1 to 8)"},
      {{"--drives", "1"}, "a library needs --slots"},
      {{"--slots", "3", "--barcodes", "abc001"}, "bad barcode abc001"},
      {{"--slots", "3", "--barcodes", "ABCDEFGHIJK"}, "bad barcode ABCDEFGHIJK"},
      {{"--slots", "3", "--barcodes", "A,B,A"}, "barcode A given twice"},
      {{"--slots", "2", "--barcodes", "A,B,C"}, "--barcodes lists 3 barcodes for 2 slots"},
      {{"--slots", "3", "--barcodes", "TAP98"}, "barcode series from TAP98 runs out before 3"},
      {{"--slots", "3", "--empty", "4"}, "--empty: no slot 4 in 3 slots"},
      {{"--slots", "1", "--copy", "/nonexistent.aws", "--copy", "/x.aws"}, "more --copy images than cartridges"},
      {{"--slots", "1", "--drives", "2", "--drive-devices", "1"}, "--drive-devices lists 1 devices for 2 drives"},
      {{"--slots", "1", "--drives", "2", "--drive-devices", "1,1"}, "--drive-devices: device 1 given twice"},
      {{"--slots", "1", "--drive-devices", "8"}, "bad value for --drive-devices: 8 (0 to 7)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"create", library_};
    args.insert(args.end(), c.options.begin(), c.options.end());
    CommandResult r = Vtape(args);
    EXPECT_EQ(r.status, 125) << c.complaint;
    EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
    EXPECT_NE(access(library_.c_str(), F_OK), 0) << c.complaint << ": nothing is created";
  }
  std::string other = dir_.File("other");
  ASSERT_EQ(mkdir(other.c_str(), 0777), 0);
  test_support::WriteFile(other + "/notes", "mine");
  CommandResult full = Vtape({"create", other, "--slots", "1"});
  EXPECT_EQ(full.status, 125);
  EXPECT_NE(full.err.find(other + ": not empty"), std::string::npos) << full.err;
  Create({"--slots", "1"});
  CommandResult again = Vtape({"create", library_, "--slots", "1"});
  EXPECT_EQ(again.status, 125);
  EXPECT_NE(again.err.find("is a library already"), std::string::npos) << again.err;
}

// mtx's own words for every move, and what mt then sees in the drives.
TEST_F(LibraryTest, MtxMovesCartridgesAndRefusesAsWithARealChanger) {
  Create({"--slots", "4", "--drives", "2", "--barcodes", "LIB001L8", "--empty", "4"});
  struct Step {
    const char* command;
    int status;
    std::string out;  // all of standard output and error
  } const steps[] = {
      {"mtx status", 0,
       "  Storage Changer /dev/sch0:2 Drives, 4 Slots ( 0 Import/Export )\n"
       "Data Transfer Element 0:Empty\n"
       "Data Transfer Element 1:Empty\n"
       "      Storage Element 1:Full :VolumeTag=LIB001L8" + kVolTag + "\n"
       "      Storage Element 2:Full :VolumeTag=LIB002L8" + kVolTag + "\n"
       "      Storage Element 3:Full :VolumeTag=LIB003L8" + kVolTag + "\n"
       "      Storage Element 4:Empty:VolumeTag=" + std::string(32, ' ') + "\n"},
      {"mtx load 2 1", 0, "Loading media from Storage Element 2 into drive 1...done\n"},
      {"mtx status | sed -n 3p", 0,
       "Data Transfer Element 1:Full (Storage Element 2 Loaded):VolumeTag = LIB002L8" + kVolTag + "\n"},
      {"mt -f /dev/nst1 status | tail -1", 0, " BOT ONLINE IM_REP_EN\n"},
      {"mt -f /dev/nst0 status | tail -1", 0, " DR_OPEN IM_REP_EN\n"},
      {"mt -f /dev/nst0 rewind", 1, "/dev/nst0: No medium found\n"},
      {"mtx load 2 0", 1, "Loading media from Storage Element 2 into drive 0...Source Element Address 1001 is Empty\n"},
      {"mtx transfer 1 3", 1, "Destination Element Address 1002 is Already Full\n"},
      {"mtx transfer 1 4", 0, ""},
      {"mtx unload 4 1", 1, "Storage Element 4 is Already Full\n"},
      {"mtx unload 2 0", 1, "Data Transfer Element 0 is Empty\n"},
      {"mtx load 5 0", 1, "Invalid <storage-element-number> argument '5' to 'load' command\n"},
      {"mt -f /dev/nst1 lock && mtx unload 2 1 2>&1 | grep 'Sense Key\\|Sense Code\\|Qualifier\\|Failed'", 0,
       "mtx: Request Sense: Sense Key=Illegal Request\n"
       "mtx: Request Sense: Additional Sense Code = 53\n"
       "mtx: Request Sense: Additional Sense Qualifier = 02\n"
       "MOVE MEDIUM from Element Address 3 to 1001 Failed\n"},
      // Unloading the drive releases the lock, leaving the tape to the changer.
      {"mt -f /dev/nst1 offline && mtx unload 2 1 && mtx load 2 1 && mt -f /dev/nst1 lock", 0,
       "Unloading drive 1 into Storage Element 2...done\nLoading media from Storage Element 2 into drive 1...done\n"},
      {"mt -f /dev/nst1 unlock && mtx unload 2 1", 0, "Unloading drive 1 into Storage Element 2...done\n"},
      {"mtx transfer 4 1 && mtx first 0 && mtx next 0", 0,
       "Loading media from Storage Element 1 into drive 0...done\n"
       "Unloading drive 0 into Storage Element 1...done\n"
       "Loading media from Storage Element 2 into drive 0...done\n"},
      {"mtx inventory", 0, ""},
      {"mt -f /dev/nst2 status", 1, "/dev/nst2: No such file or directory\n"},
  };
  for (const Step& step : steps) {
    CommandResult r = Script(std::string(step.command) + " 2>&1");
    EXPECT_EQ(r.status, step.status) << step.command;
    EXPECT_EQ(r.out, step.out) << step.command;
  }
  EXPECT_EQ(Places(), "LIB001L8 - LIB003L8 - | LIB002L8 -");
}

// The whole point: a library of 10 slots and 2 drives, every tape loaded,
// labelled by vaklabel from its barcode, read back and put home.
TEST_F(LibraryTest, LabelEveryTapeThroughBothDrives) {
  Create({"--slots", "10", "--drives", "2", "--barcodes", "ABC001L8"});
  CommandResult status = Script("mtx status");
  for (int i = 1; i <= 10; ++i) {
    char line[80];
    snprintf(line, sizeof line, "Storage Element %d:Full :VolumeTag=ABC%03dL8 ", i, i);
    EXPECT_NE(status.out.find(line), std::string::npos) << status.out;
  }
  const std::string script = R"sh(
    set -e
    cp "$TEMPLATES/standard.lbl" .
    for slot in 1 2 3 4 5 6 7 8 9 10; do
      drive=$((slot % 2))
      barcode=$(mtx status | sed -n "s/^ *Storage Element $slot:Full :VolumeTag=\([A-Z0-9]*\) *$/\1/p")
      mtx load $slot $drive >/dev/null
      vaklabel -q -c . -t standard.lbl -f /dev/nst$drive -w "$barcode" 2>/dev/null
      echo "$slot $(vaklabel -q -f /dev/nst$drive)"
      mtx unload $slot $drive >/dev/null
    done)sh";
  CommandResult r = Script("cd " + dir_.path() + " && " + script);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected;
  for (int i = 1; i <= 10; ++i) expected += std::to_string(i) + " ABC" + (i < 10 ? "00" : "0") + std::to_string(i) + "L8\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(Places(), "ABC001L8 ABC002L8 ABC003L8 ABC004L8 ABC005L8 ABC006L8 ABC007L8 ABC008L8 ABC009L8 ABC010L8 | - -");
  // An eight-character label: VOL1 points at the UHL1 that holds it.
  std::vector<TapeRecord> tape = test_support::ReadAwsFile(Image("ABC007L8"));
  ASSERT_EQ(tape.size(), 6u);
  EXPECT_EQ(tape[0].data.substr(0, 10), test_support::Ebcdic("VOL1*UHL1*"));
  EXPECT_EQ(tape[3].data.substr(0, 12), test_support::Ebcdic("UHL1ABC007L8"));
  EXPECT_TRUE(tape[4].mark && tape[5].mark);
}

// Two programs, one per drive, write at the same time; each tape gets only
// its own program's blocks.
TEST_F(LibraryTest, TwoDrivesWorkAtOnce) {
  Create({"--slots", "2", "--drives", "2", "--barcodes", "ONE,TWO"});
  CommandResult r = Script(
      "mtx load 1 0 >/dev/null && mtx load 2 1 >/dev/null || exit 1; "
      "(for i in 1 2 3 4 5 6 7 8 9 10; do echo aaaaaaa; done | dd of=/dev/nst0 bs=8 status=none) & "
      "(for i in 1 2 3 4 5 6 7 8 9 10; do echo bbbbbbb; done | dd of=/dev/nst1 bs=8 status=none) & "
      "wait");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<TapeRecord> one(10, Block("aaaaaaa\n")), two(10, Block("bbbbbbb\n"));
  one.push_back(Mark());
  two.push_back(Mark());
  EXPECT_EQ(test_support::ReadAwsFile(Image("ONE")), one);
  EXPECT_EQ(test_support::ReadAwsFile(Image("TWO")), two);
}

// One process, two threads: the open of a ready drive returns while the
// other drive's tape still threads (2.5 s at this timing), as on st.
TEST_F(LibraryTest, AnOpenOfOneDriveGoesOnWhileAnotherThreads) {
  Create({"--slots", "2", "--drives", "2", "--barcodes", "ONE,TWO"});
  CommandResult r = Script(
      "mtx load 1 1 >/dev/null && tapeprobe /dev/nst1 open:ro >/dev/null && mtx load 2 0 >/dev/null && "
      "tapeprobe /dev/nst1 also:/dev/nst0 open:ro join",
      {"--timing", "6"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "also:/dev/nst0 -> started\nopen:ro -> ok\nalso /dev/nst0 -> ok\njoin -> ok\n");
}

// Each drive's names carry st's numbers for that tape, as udev's nodes do.
TEST_F(LibraryTest, EachDriveHasItsOwnDeviceNumbers) {
  Create({"--slots", "1", "--drives", "2", "--barcodes", "ONE"});
  CommandResult r = Script("stat -c '%n %F %t:%T' /dev/st0 /dev/nst0 /dev/st1 /dev/nst1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "/dev/st0 character special file 9:0\n/dev/nst0 character special file 9:80\n"
            "/dev/st1 character special file 9:1\n/dev/nst1 character special file 9:81\n");
}

// Which device is which drive, as a program learns it on the real kernel:
// the changer names each drive element's serial (READ ELEMENT STATUS with
// DVCID), each tape device its own (VPD page 80h through SG_IO), here on a
// library whose drive 0 the host found second.
TEST_F(LibraryTest, DrivesTellTheirSerialsToTheChangerAndOnTheirDevices) {
  ASSERT_EQ(test_support::Run({"sh", "-c", "command -v sg_inq && command -v sg_raw"}).status, 0)
      << "sg3-utils is needed; scripts/setup.sh installs it";
  Create({"--slots", "2", "--drives", "2", "--drive-devices", "1,0", "--barcodes", "SWP001L8"});
  std::string d0 = Serial(0), d1 = Serial(1);
  // After the 8-byte header and the page's, each drive's 86-byte descriptor
  // has its identifier after 12 + 36 + 4 bytes.
  CommandResult elements = Script("sg_raw -b -r 512 /dev/sch0 b8 14 00 00 00 08 01 00 02 00 00 00");
  ASSERT_EQ(elements.out.size(), 8u + 8 + 2 * 86) << elements.err;
  EXPECT_EQ(elements.out.substr(16 + 52, 34), "VTAPE   VIRTUAL-TAPE    " + d0);
  EXPECT_EQ(elements.out.substr(16 + 86 + 52, 34), "VTAPE   VIRTUAL-TAPE    " + d1);
  struct Step {
    std::string command;
    std::string out;  // standard output and error
  } const steps[] = {
      {"sg_inq -p 0x80 /dev/nst0", "VPD INQUIRY: Unit serial number page\n  Unit serial number: " + d1 + "\n"},
      {"sg_inq -p 0x80 /dev/st1", "VPD INQUIRY: Unit serial number page\n  Unit serial number: " + d0 + "\n"},
      {"sg_inq -p 0x83 /dev/nst1 | tail -2",
       "      vendor id: VTAPE   \n      vendor specific: VIRTUAL-TAPE    " + d0 + "\n"},
      {"sg_raw /dev/nst0 a5 00 00 00 00 00 00 00 00 00 00 00 2>&1 | grep 'Sense key\\|sense:'",
       "Fixed format, current; Sense key: Illegal Request\nAdditional sense: Invalid command operation code\n"},
      {"mtx load 1 0 && mtx status | sed -n 2p && mt -f /dev/nst1 status | tail -1 && mt -f /dev/nst0 status | tail -1",
       "Loading media from Storage Element 1 into drive 0...done\n"
       "Data Transfer Element 0:Full (Storage Element 1 Loaded):VolumeTag = SWP001L8" +
           kVolTag +
           "\n"
           " BOT ONLINE IM_REP_EN\n DR_OPEN IM_REP_EN\n"},
  };
  for (const Step& step : steps) {
    CommandResult r = Script(step.command + " 2>&1");
    EXPECT_EQ(r.out, step.out) << step.command;
  }
  EXPECT_EQ(Places(), "- SWP002L8 | SWP001L8 -");
}

// A tape moves on while a program holds it open: allowed, as on a real
// changer, and the program's next call fails as on a drive without a tape.
// The shell itself holds the drive and writes to it.
TEST_F(LibraryTest, UnloadingATapeHeldOpen) {
  Create({"--slots", "1", "--barcodes", "HELD"});
  CommandResult r = Script(
      "mtx load 1 0 >/dev/null && exec 3<>/dev/nst0 && mtx unload 1 0 && "
      "{ echo data >&3; echo \"echo $?\"; }");
  EXPECT_EQ(r.out, "Unloading drive 0 into Storage Element 1...done\necho 1\n");
  EXPECT_EQ(r.err, "sh: 1: echo: echo: I/O error\n");
  EXPECT_EQ(test_support::ReadFile(Image("HELD")), "");
}

TEST_F(LibraryTest, HardwareFaults) {
  Create({"--slots", "3", "--drives", "2", "--barcodes", "AAA001,AAA002,AAA003"});
  struct Case {
    std::vector<std::string> faults;
    const char* command;
    const char* says;  // part of what the command prints
    int status;
  } const cases[] = {
      {{"--fail-move", "AAA002"}, "mtx load 2 0", "Additional Sense Code = 15", 1},
      {{"--fail-load", "1"}, "mtx load 1 1", "Sense Key=Hardware Error", 1},
      {{"--unreadable-barcode", "AAA003"}, "mtx status", "Storage Element 3:Full \n", 0},
      {{"--changer-silent"}, "mtx status", "", 1},
      {{"--write-protect-tape", "AAA001"}, "mtx load 1 0 && mt -f /dev/nst0 weof", "Read-only file system", 1},
  };
  for (const Case& c : cases) {
    CommandResult r = Script(std::string(c.command) + " 2>&1", c.faults);
    EXPECT_EQ(r.status, c.status) << c.command;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.command << ": " << r.out;
  }
  EXPECT_EQ(Places(), "- AAA002 AAA003 | AAA001 -");
  EXPECT_EQ(test_support::ReadFile(Image("AAA001")), "");
}

// mtx killed at any point of its moves (the timing model makes each take a
// few milliseconds) never loses a cartridge nor makes two of one.
TEST_F(LibraryTest, KillsDuringMovesKeepEveryCartridgeOnce) {
  Create({"--slots", "3", "--drives", "2", "--barcodes", "K1,K2,K3"});
  CommandResult r = Script(
      "i=0; while [ $i -lt 60 ]; do "
      "  (mtx load $((i % 3 + 1)) $((i % 2)); mtx unload $((i % 3 + 1)) $((i % 2))) >/dev/null 2>&1 & "
      "  sleep 0.0$((i % 4 + 1)); kill -9 $! 2>/dev/null; wait $! 2>/dev/null; i=$((i + 1)); "
      "done",
      {"--timing", "2000"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string places = Places();
  ASSERT_NE(places, "damaged");
  for (const std::string barcode : {"K1", "K2", "K3"}) {
    int seen = 0;
    for (size_t at = 0; (at = (places + " ").find(" " + barcode + " ", at)) != std::string::npos; ++at) ++seen;
    EXPECT_EQ(seen + (places.rfind(barcode + " ", 0) == 0 ? 1 : 0), 1) << places;
  }
}

// Four processes of four threads, 10,000 commands in all: moves, element
// status and door locks (changer_stress checks each answer). Every
// cartridge stays once in the library, its state whole and no door locked.
// The library sits in memory where the machine has it, as each move's state
// is flushed to disk.
TEST_F(LibraryTest, ThreadsAndProcessesAtOnceKeepTheStateWhole) {
  char memory[] = "/dev/shm/vtape-stress-XXXXXX";
  bool in_memory = mkdtemp(memory) != nullptr;
  if (in_memory) library_ = std::string(memory) + "/lib";
  Create({"--slots", "8", "--drives", "2", "--barcodes", "STR001L8", "--empty", "7,8"});
  CommandResult r = test_support::Run(
      {test_support::BinaryPath("VTAPE"), "run", library_, "--", CHANGER_STRESS, "4", "4", "625", "6"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  CommandResult list = Vtape({"list", library_});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out.find("locked"), std::string::npos) << list.out;
  std::string places = Places() + " ";
  for (int n = 1; n <= 6; ++n) {
    std::string barcode = " STR00" + std::to_string(n) + "L8 ";
    size_t first = (" " + places).find(barcode);
    EXPECT_NE(first, std::string::npos) << places;
    EXPECT_EQ((" " + places).find(barcode, first + 1), std::string::npos) << places;
  }
  if (in_memory) test_support::Run({"rm", "-rf", memory});
}

}  // namespace
