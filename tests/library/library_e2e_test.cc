// vaklabel-library under the virtual library with the real mtx, mt and
// vaklabel: what an operator sees (exit status, report, JSON) and what ends
// up on each tape, spelled out byte by byte.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <sstream>
#include <regex>
#include <sstream>
#include <thread>

#include "test_support.h"

namespace {

using test_support::Block;
using test_support::CommandResult;
using test_support::LabelRecord;
using test_support::Mark;
using test_support::TapeRecord;

// `text` put into a blank 80-column record from 1-based `column` on.
std::string Put(std::string record, int column, const std::string& text) {
  record.resize(80, ' ');
  record.replace(column - 1, text.size(), text);
  return record;
}

const std::string kOwnHdr1 =
    Put(Put(Put(Put(Put("HDR1PAYROLL.2026", 32, "0001"), 42, "025123"), 48, "026123"), 54, "0000000"), 61, "TAPESYS");

// A label set as another system left it: owner and data set fields a
// relabel keeps.
std::vector<TapeRecord> SixCharacterSet(const std::string& label) {
  return {Block(LabelRecord(Put("VOL1" + label, 42, "OPERATIONS"))), Block(LabelRecord(kOwnHdr1)),
          Block(LabelRecord("HDR2F0800000080 0")), Mark(), Mark()};
}

std::vector<TapeRecord> EightCharacterSet(const std::string& label) {
  return {Block(LabelRecord(Put("VOL1*UHL1*", 42, "OPERATIONS"))), Block(LabelRecord(kOwnHdr1)),
          Block(LabelRecord("HDR2F0800000080 0")), Block(LabelRecord("UHL1" + label)), Mark(), Mark()};
}

// What vaklabel writes on a blank tape from the standard template.
std::vector<TapeRecord> FromStandardTemplate(const std::string& label, const std::string& today) {
  std::string hdr1 = Put(Put(Put(Put("HDR1", 32, "0001"), 42, today), 48, " 00000"), 54, "0000000TOLV");
  std::string hdr2 = "HDR2U2621400000 0";
  std::vector<TapeRecord> tape{Block(LabelRecord(label.size() == 6 ? "VOL1" + label : "VOL1*UHL1*")),
                               Block(LabelRecord(hdr1)), Block(LabelRecord(hdr2))};
  if (label.size() == 8) tape.push_back(Block(LabelRecord("UHL1" + label)));
  tape.insert(tape.end(), {Mark(), Mark()});
  return tape;
}

std::string Today() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::snprintf(text, sizeof text, "0%02d%03d", utc.tm_year - 100, utc.tm_yday + 1);
  return text;
}

// The binaries under test: where the build put them, unless the
// environment names others.
std::string Binary(const char* variable, const char* built) {
  const char* named = std::getenv(variable);
  return named != nullptr && named[0] != '\0' ? named : built;
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_.File("bin"));
    for (const std::string& path : {Binary("VAKLABEL", VAKLABEL_PATH), Binary("VAKLABEL_SHOW", VAKLABEL_SHOW_PATH),
                                    Binary("VAKLABEL_LIBRARY", VAKLABEL_LIBRARY_PATH)}) {
      std::string name = std::filesystem::path(path).filename();
      std::filesystem::create_symlink(path, dir_.File("bin/" + name));
    }
    path_ = "PATH=" + dir_.File("bin") + ":/usr/sbin:/usr/bin:/sbin:/bin";
  }

  // Images of the cartridges that start with something on them; the rest
  // of `barcodes` start blank.
  void CreateLibrary(int slots, int drives, const std::string& barcodes,
                     const std::vector<std::vector<TapeRecord>>& copies = {}, const std::string& empty = "",
                     const std::string& drive_devices = "") {
    std::vector<std::string> args{vtape_, "create", lib_, "--slots", std::to_string(slots), "--drives",
                                  std::to_string(drives), "--barcodes", barcodes};
    if (!drive_devices.empty()) args.insert(args.end(), {"--drive-devices", drive_devices});
    if (!empty.empty()) args.insert(args.end(), {"--empty", empty});
    for (size_t i = 0; i < copies.size(); ++i) {
      std::string image = dir_.File("copy" + std::to_string(i) + ".aws");
      test_support::WriteAwsFile(image, copies[i]);
      args.insert(args.end(), {"--copy", image});
    }
    CommandResult created = test_support::Run(args);
    ASSERT_EQ(created.status, 0) << created.err;
  }

  CommandResult Library(const std::vector<std::string>& args, const std::vector<std::string>& faults = {}) {
    std::vector<std::string> argv = wrapper_;
    argv.insert(argv.end(), {vtape_, "run", lib_});
    argv.insert(argv.end(), faults.begin(), faults.end());
    argv.insert(argv.end(), {"--", "vaklabel-library", "--labels-dir", labels_, "--lock", lock_});
    argv.insert(argv.end(), args.begin(), args.end());
    if (std::find(args.begin(), args.end(), "label") != args.end()) argv.insert(argv.end(), {"--template", template_});
    return test_support::Run(argv, "", {path_});
  }

  nlohmann::json Json(const CommandResult& result) {
    nlohmann::json json = nlohmann::json::parse(result.out, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << result.out << result.err;
    return json;
  }

  std::vector<TapeRecord> Tape(const std::string& barcode) {
    return test_support::ReadAwsFile(lib_ + "/" + barcode + ".aws");
  }

  // Which slot holds which barcode, and that every drive is empty.
  std::string Contents() {
    CommandResult status = test_support::Run({vtape_, "run", lib_, "--", "mtx", "status"}, "", {path_});
    EXPECT_EQ(status.status, 0) << status.err;
    return status.out;
  }

  // The unit serial number of each drive, as vtape list shows them.
  std::vector<std::string> Serials() {
    CommandResult list = test_support::Run({vtape_, "list", lib_});
    static const std::regex drive(R"(drive \d+ \(/dev/nst\d+, serial (\w+)\))");
    std::vector<std::string> serials;
    for (std::sregex_iterator it(list.out.begin(), list.out.end(), drive), end; it != end; ++it) {
      serials.push_back((*it)[1]);
    }
    return serials;
  }

  void Mtx(const std::vector<std::string>& args) {
    std::vector<std::string> argv{vtape_, "run", lib_, "--", "mtx"};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_EQ(test_support::Run(argv, "", {path_}).status, 0);
  }

  // Another program's moves right after the run's `listing`th changer
  // listing, as an mtx in the run's PATH; removing bin/mtx ends it.
  void ExchangeAfterListing(int listing, const std::vector<std::string>& moves) {
    std::string count = dir_.File("listings");
    test_support::WriteFile(count, "");
    std::string mtx = dir_.File("bin/mtx");
    std::string script =
        "#!/bin/sh\nreal=$(PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v mtx)\n\"$real\" \"$@\" || exit\n"
        "[ \"${*##* }\" = status ] || exit 0\necho >>" +
        count + "\n[ $(wc -l <" + count + ") = " + std::to_string(listing) + " ] || exit 0\n";
    for (const std::string& move : moves) script += "\"$real\" " + move + " >/dev/null || exit 0\n";
    test_support::WriteFile(mtx, script);
    std::filesystem::permissions(mtx, std::filesystem::perms::owner_all);
  }

  test_support::TempDir dir_;
  std::string vtape_ = Binary("VTAPE", VTAPE_PATH);
  std::string lib_ = dir_.File("lib");
  std::string labels_ = dir_.File("labels");
  std::string lock_ = dir_.File("library.lock");
  std::string path_;
  std::vector<std::string> wrapper_;  // a command that runs the run, e.g. in a mount namespace of its own
  std::string template_ = TEMPLATE_DIR "/standard.lbl";
};

// Slots: 1 labelled with its barcode, 2 labelled XYZ789, 3 a backup
// program's tape, 4 unreadable, 5 blank, 6 blank and write-protected,
// 7 a cleaning cartridge, 8 empty.
class MixedLibraryTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    std::string damaged = "\x50\x00\x00\x00\xA0\x00" + std::string(10, 'x');  // header of 80 bytes, 10 present
    test_support::WriteFile(dir_.File("damaged.aws"), damaged);
    CreateLibrary(8, 2, "ABC001L8,ABC002L8,ABC003L8,ABC004L8,ABC005L8,ABC006L8,CLN001L1",
                  {EightCharacterSet("ABC001L8"), SixCharacterSet("XYZ789"), {Block(20480, 'D'), Mark()}});
    std::filesystem::copy_file(dir_.File("damaged.aws"), lib_ + "/ABC004L8.aws",
                               std::filesystem::copy_options::overwrite_existing);
    before_ = Contents();
  }

  std::vector<std::string> Results(const nlohmann::json& report) {
    std::vector<std::string> results;
    for (const auto& slot : report["slots"]) {
      results.push_back(slot["state"].get<std::string>() + " " + slot["result"].get<std::string>());
    }
    return results;
  }

  const std::vector<std::string> kFaults{"--write-protect-tape", "ABC006L8"};
  std::string before_;
};

TEST_F(MixedLibraryTest, InventoryReportsEachSlotAndChangesNothing) {
  std::vector<TapeRecord> blank = Tape("ABC005L8");
  CommandResult run = Library({"--json", "inventory"}, kFaults);
  EXPECT_EQ(run.status, 0) << run.err;
  nlohmann::json report = Json(run);
  EXPECT_EQ(Results(report), (std::vector<std::string>{"labelled read", "labelled-differently read",
                                                       "not-a-label-set read", "unreadable read", "blank read",
                                                       "blank read", "cleaning skipped", "empty skipped"}));
  EXPECT_EQ(report["slots"][0]["label"], "ABC001L8");
  EXPECT_EQ(report["slots"][0]["created"], "2025-05-03");
  EXPECT_EQ(report["slots"][0]["expires"], "2026-05-03");
  EXPECT_EQ(report["slots"][1]["label"], "XYZ789");
  EXPECT_EQ(report["slots"][2]["detail"], "block 1 larger than a label record");
  EXPECT_EQ(report["summary"]["read"], 6);
  EXPECT_EQ(report["summary"]["exit_status"], 0);
  EXPECT_EQ(test_support::ReadFile(labels_ + "/slot002-ABC002L8.lbl").substr(0, 32),
            "56,4F,4C,31,58,59,5A,37,   #VOL1");
  EXPECT_EQ(Tape("ABC001L8"), EightCharacterSet("ABC001L8"));
  EXPECT_EQ(Tape("ABC005L8"), blank);
  EXPECT_EQ(Contents(), before_) << "every cartridge back in its slot";
  EXPECT_NE(run.err.find("[6/6] slot "), std::string::npos) << run.err;
}

TEST_F(MixedLibraryTest, LabelIsSafeByDefaultAndASecondRunChangesNothing) {
  CommandResult run = Library({"label"}, kFaults);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.out.find("5     ABC005L8  blank"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("labelled ABC005L8\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("already labelled ABC001L8"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("refused: labelled XYZ789; --relabel replaces it"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("failed: write-protected"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("slot 5 ABC005L8: labelled ABC005L8"), std::string::npos) << run.err;
  EXPECT_EQ(Tape("ABC005L8"), FromStandardTemplate("ABC005L8", Today()));
  EXPECT_EQ(Tape("ABC002L8"), SixCharacterSet("XYZ789"));
  EXPECT_EQ(Tape("ABC003L8"), (std::vector<TapeRecord>{Block(20480, 'D'), Mark()}));
  EXPECT_EQ(test_support::ReadFile(lib_ + "/ABC004L8.aws"), test_support::ReadFile(dir_.File("damaged.aws")));
  EXPECT_EQ(Contents(), before_);

  CommandResult again = Library({"--json", "label"}, kFaults);
  EXPECT_EQ(again.status, 1);
  nlohmann::json report = Json(again);
  EXPECT_EQ(Results(report),
            (std::vector<std::string>{"labelled unchanged", "labelled-differently refused", "not-a-label-set refused",
                                      "unreadable refused", "labelled unchanged", "blank failed", "cleaning skipped",
                                      "empty skipped"}));
  EXPECT_EQ(Tape("ABC005L8"), FromStandardTemplate("ABC005L8", Today()));
}

TEST_F(MixedLibraryTest, RelabelWithSerialsBacksUpOldSets) {
  CommandResult run = Library({"--json", "label", "1-5", "--serial", "TAP001", "--relabel", "--keep-fields",
                               "--overwrite-unreadable", "--ignore-expiration"});
  EXPECT_EQ(run.status, 0) << run.err << run.out;
  nlohmann::json report = Json(run);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(report["slots"][i]["result"], "labelled") << i;
    EXPECT_EQ(report["slots"][i]["verified"], true) << i;
  }
  // With --keep-fields a labelled tape keeps its other fields; the old set
  // is backed up first.
  std::vector<TapeRecord> relabelled = SixCharacterSet("TAP002");
  relabelled[1] = Block(LabelRecord(Put(kOwnHdr1, 42, Today())));
  EXPECT_EQ(Tape("ABC002L8"), relabelled);
  EXPECT_TRUE(std::filesystem::exists(labels_ + "/TAP002_XYZ789.prelbl"));
  EXPECT_EQ(report["slots"][1]["backup_file"], labels_ + "/TAP002_XYZ789.prelbl");
  // No label set to keep: the template.
  EXPECT_EQ(Tape("ABC003L8"), FromStandardTemplate("TAP003", Today()));
  EXPECT_EQ(Tape("ABC004L8"), FromStandardTemplate("TAP004", Today()));
  EXPECT_EQ(Tape("ABC005L8"), FromStandardTemplate("TAP005", Today()));
  EXPECT_TRUE(report["slots"][2]["backup_file"].is_null());
}

TEST_F(MixedLibraryTest, BarcodeSixAndDryRun) {
  CommandResult dry = Library({"--dry-run", "label", "5,7-8", "--barcode-six"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  std::vector<std::string> serials = Serials();
  ASSERT_EQ(serials.size(), 2u);
  EXPECT_EQ(dry.out,
            "dry run: nothing is moved\n"
            "drive 0 = /dev/nst0: unit serial number " +
                serials[0] +
                " reported by the changer and by /dev/nst0\n"
                "drive 1 = /dev/nst1: unit serial number " +
                serials[1] +
                " reported by the changer and by /dev/nst1\n"
                "slot 5 ABC005L8: label ABC005 if blank, leave if it carries ABC005, else refuse\n"
                "slot 7 CLN001L1: skip: cleaning cartridge\n"
                "slot 8 (no barcode): skip: empty slot\n");
  EXPECT_FALSE(std::filesystem::exists(labels_));
  EXPECT_EQ(Contents(), before_);

  CommandResult run = Library({"label", "5", "--barcode-six"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Tape("ABC005L8"), FromStandardTemplate("ABC005", Today()));

  // Run from the build tree, the standard template is found in the source tree.
  CommandResult untemplated = test_support::Run(
      {vtape_, "run", lib_, "--", VAKLABEL_LIBRARY_PATH, "--dry-run", "--lock", lock_, "label", "5"}, "", {path_});
  EXPECT_EQ(untemplated.status, 0) << untemplated.err;
}

// The dry run says what the run's own decision does to each kind of tape:
// which get the template, which keep their set's fields, which a backup.
TEST_F(MixedLibraryTest, TheDryRunSaysWhatTheRunDoesToEachTape) {
  const std::string start = "slot 5 ABC005L8: label ABC005L8 if blank, leave if it carries ABC005L8";
  const std::string relabel =
      "; if it carries another label, relabel it from the template after a backup of its set; if it is "
      "initialised, overwrite it from the template after a backup of its records; if it holds data without a label "
      "set, overwrite it from the template, backing up the label records it starts with, if any (tar data has none)";
  const std::string unreadable =
      "; if no drive can read it, overwrite it from the template, backing up any label records a read saw";
  const std::string mapped =
      "; if it holds more than a label set, map it first and refuse it while a data set on it has not expired";
  struct Case {
    std::vector<std::string> options;
    std::string line;
  };
  const Case cases[] = {
      {{}, start + ", else refuse"},
      {{"--relabel"}, start + relabel + "; refuse it if no drive can read it" + mapped},
      {{"--overwrite-unreadable"},
       start + unreadable +
           "; refuse it if it carries another label or it is initialised or it holds data without a label set" +
           mapped},
      {{"--relabel", "--overwrite-unreadable", "--ignore-expiration"},
       start + relabel + unreadable + "; if it holds more than a label set, map it first"},
      {{"--relabel", "--keep-fields"},
       start + "; if it carries another label, relabel it after a backup of its set, keeping the set's other fields" +
           relabel.substr(relabel.find("; if it is initialised")) + "; refuse it if no drive can read it" + mapped},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"--dry-run", "label", "5"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    CommandResult dry = Library(args);
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find(c.line + "\n"), std::string::npos) << c.line << "\n" << dry.out;
  }
}

TEST_F(MixedLibraryTest, RefusedBeforeAnythingMoves) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> faults;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"inventory", "7-9"}, {}, "slot 9 is not in this library (storage slots 1-8)"},
      {{"label", "--serial", "TAP999"}, {}, "serial TAP999 runs out after TAP999"},
      {{"inventory", "--drives", "2=/dev/nst2"}, {}, "drive 2 is not in this library"},
      {{"inventory"}, {"--changer-silent"}, "changer /dev/sch0 does not answer: no Data Transfer Element reported"},
      {{"--changer", "/dev/sch9", "inventory"},
       {},
       "changer /dev/sch9 does not answer: cannot open SCSI device '/dev/sch9' - No such file or directory"},
      {{"inventory", "1-2147483647"}, {}, "slot 2147483647 is beyond any library (slots end at 65535)"},
  };
  for (const Case& c : cases) {
    CommandResult run = Library(c.args, c.faults);
    EXPECT_EQ(run.status, 2) << c.says;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  path_ = "PATH=" + dir_.File("bin") + ":/bin";  // no mtx
  CommandResult run = Library({"inventory"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("mtx is not installed (package mtx)"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(labels_));
}

TEST_F(MixedLibraryTest, FailedMovesAndAFailingDrive) {
  CommandResult run = Library({"--json", "inventory", "1-6"}, {"--fail-move", "ABC003L8", "--fail-load", "1"});
  EXPECT_EQ(run.status, 1);
  nlohmann::json report = Json(run);
  EXPECT_EQ(report["slots"][2]["result"], "failed");
  EXPECT_EQ(report["slots"][2]["location"], "slot 3");
  std::string detail = report["slots"][2]["detail"];
  EXPECT_TRUE(detail.starts_with("load failed: MOVE MEDIUM from Element Address 1002 to ")) << detail;
  EXPECT_TRUE(detail.ends_with("(sense: Hardware Error, 15/01 mechanical positioning error)")) << detail;
  int read = 0;
  for (const auto& slot : report["slots"]) read += slot["result"] == "read";
  EXPECT_GE(read, 3) << "drive 0 carries on";
  EXPECT_NE(run.err.find("drive 1 (/dev/nst1) failed slot "), std::string::npos) << run.err;
  EXPECT_EQ(Contents(), before_);
}

TEST_F(MixedLibraryTest, ASecondRunRefusesWhileTheFirstHoldsTheLock) {
  std::ofstream(lock_) << "";
  // flock the lock file from a child that waits, as a first run would.
  pid_t holder = fork();
  if (holder == 0) {
    execlp("flock", "flock", lock_.c_str(), "sleep", "30", nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  CommandResult run = Library({"inventory"});
  kill(holder, SIGTERM);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("holds " + lock_ + "; wait for it, or give --wait"), std::string::npos) << run.err;
}

// Every name of one changer leads to one lock, keyed on its unit serial
// number: a run under any of them waits for the run under another.
TEST_F(LibraryTest, EveryNameOfTheChangerTakesTheSameLock) {
  CreateLibrary(2, 1, "ABC001L8");
  std::smatch serial;
  std::string list = test_support::Run({vtape_, "list", lib_}).out;
  ASSERT_TRUE(std::regex_search(list, serial, std::regex(", serial (VT[0-9A-F]{6}CH)"))) << list;
  std::string lock = "/run/lock/vaklabel-library-serial-" + serial[1].str() + ".lock";
  std::filesystem::create_symlink("/dev/sch0", dir_.File("changer"));
  pid_t holder = fork();
  if (holder == 0) {
    setpgid(0, 0);  // so that its sleep goes with it
    execlp("flock", "flock", lock.c_str(), "sleep", "30", nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const std::string& name : {std::string("/dev/sch0"), std::string("//dev/sch0"), dir_.File("changer")}) {
    CommandResult run = test_support::Run(
        {vtape_, "run", lib_, "--", "vaklabel-library", "--changer", name, "--labels-dir", labels_, "inventory"}, "",
        {path_});
    EXPECT_EQ(run.status, 2) << name << ": " << run.err;
    EXPECT_NE(run.err.find("holds " + lock + "; wait for it"), std::string::npos) << name << ": " << run.err;
  }
  kill(-holder, SIGTERM);
  waitpid(holder, nullptr, 0);
  std::filesystem::remove(lock);
}

// Done when: 20 slots, 2 drives, every blank tape labelled from its barcode,
// the labelled ones refused, every write verified, a second run changing
// nothing.
TEST_F(LibraryTest, TwentySlotsTwoDrives) {
  CreateLibrary(20, 2, "ABC001L8", {SixCharacterSet("OLD001"), EightCharacterSet("ABC002L8")});
  CommandResult run = Library({"--json", "label"});
  EXPECT_EQ(run.status, 1) << run.err;
  nlohmann::json report = Json(run);
  ASSERT_EQ(report["slots"].size(), 20u);
  EXPECT_EQ(report["slots"][0]["result"], "refused");
  EXPECT_EQ(report["slots"][1]["result"], "unchanged");
  for (int slot = 3; slot <= 20; ++slot) {
    char barcode[16];
    std::snprintf(barcode, sizeof barcode, "ABC%03dL8", slot);
    EXPECT_EQ(report["slots"][slot - 1]["result"], "labelled") << slot;
    EXPECT_EQ(report["slots"][slot - 1]["verified"], true) << slot;
    EXPECT_EQ(Tape(barcode), FromStandardTemplate(barcode, Today())) << slot;
  }
  EXPECT_EQ(report["summary"]["labelled"], 18);

  std::string images;
  for (const auto& entry : std::filesystem::directory_iterator(lib_)) {
    if (entry.path().extension() == ".aws") images += test_support::ReadFile(entry.path());
  }
  CommandResult again = Library({"label"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("20 slots: 19 unchanged, 1 refused"), std::string::npos) << again.out;
  std::string after;
  for (const auto& entry : std::filesystem::directory_iterator(lib_)) {
    if (entry.path().extension() == ".aws") after += test_support::ReadFile(entry.path());
  }
  EXPECT_EQ(after, images) << "the second run wrote nothing";
}

// A host numbers its tape devices in its own order: drive 0 of this library
// is /dev/nst1. Without --drives each drive's device is found by its serial
// number; the labels land on the cartridges they were meant for.
TEST_F(LibraryTest, DrivesFoundBySerialNumberWhateverTheHostsOrder) {
  CreateLibrary(4, 2, "ABC001L8", {}, "", "1,0");
  std::vector<std::string> serials = Serials();
  ASSERT_EQ(serials.size(), 2u);
  CommandResult dry = Library({"--dry-run", "--json", "label"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  nlohmann::json plan = Json(dry);
  EXPECT_EQ(plan["drives"][0]["device"], "/dev/nst1");
  EXPECT_EQ(plan["drives"][0]["serial"], serials[0]);
  EXPECT_EQ(plan["drives"][0]["proof"], "serial-number");
  EXPECT_EQ(plan["drives"][1]["device"], "/dev/nst0");

  CommandResult run = Library({"label"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("drive 0 = /dev/nst1: unit serial number " + serials[0] +
                         " reported by the changer and by /dev/nst1\n"),
            std::string::npos)
      << run.out;
  for (const char* barcode : {"ABC001L8", "ABC002L8", "ABC003L8", "ABC004L8"}) {
    EXPECT_EQ(Tape(barcode), FromStandardTemplate(barcode, Today())) << barcode;
  }
}

// Wrong, rewinding or doubled devices in --drives, and a cartridge left in a
// drive the run does not use: refused before anything moves, or that
// cartridge alone left out, naming what to give.
TEST_F(LibraryTest, DrivesNamedWronglyOrLeftOut) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;  // on standard error, or in the report
  };
  const std::vector<Case> cases = {
      {{"--drives", "/dev/nst1", "label", "1-3"},
       2,
       "drive 0 is not /dev/nst1: the changer reports unit serial number {0} for it, /dev/nst1 reports {1}; drive 0 "
       "is /dev/nst0; give --drives 0=/dev/nst0, or leave --drives out"},
      {{"--drives", "0=/dev/nst1,1=/dev/nst0", "label"}, 2, "give --drives 0=/dev/nst0,1=/dev/nst1, or leave"},
      {{"--drives", "/dev/nst0,/dev/nst0", "label"}, 2, "/dev/nst0 is named for drives 0 and 1"},
      {{"--drives", "/dev/st0", "label"},
       2,
       "drive 0: /dev/st0 rewinds the tape whenever it is closed, so each step of the run would start again at the "
       "beginning of the tape and data behind the first block would go unseen; give /dev/nst0"},
      {{"--drives", "/dev/nst0", "label"},
       1,
       "refused: in drive 1, which this run does not use; put it back first (mtx -f /dev/sch0 unload 4 1) or let the "
       "run use drive 1"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(lib_);
    CreateLibrary(4, 2, "ABC001L8");
    Mtx({"load", "4", "1"});
    std::string before = Contents();
    std::vector<std::string> serials = Serials();
    std::string says = std::regex_replace(std::regex_replace(c.says, std::regex("\\{0\\}"), serials[0]),
                                          std::regex("\\{1\\}"), serials[1]);
    CommandResult run = Library(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE((run.err + run.out).find(says), std::string::npos) << run.err << run.out;
    EXPECT_EQ(run.err.find("taken out of use"), std::string::npos) << run.err;
    if (c.status == 2) {
      EXPECT_EQ(Contents(), before) << "nothing moved";
    } else {
      EXPECT_EQ(Tape("ABC001L8"), FromStandardTemplate("ABC001L8", Today()));
      EXPECT_EQ(Tape("ABC004L8"), (std::vector<TapeRecord>{})) << "the cartridge in drive 1 untouched";
      EXPECT_NE(run.out.find("slot 4: the cartridge is in drive 1"), std::string::npos) << run.out;
    }
  }
}

TEST_F(LibraryTest, InterruptFinishesTheDrivesAndPutsTapesBack) {
  CreateLibrary(8, 2, "ABC001L8");
  std::string out = dir_.File("out"), err = dir_.File("err");
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
    setenv("PATH", path_.substr(5).c_str(), 1);
    execl(vtape_.c_str(), "vtape", "run", lib_.c_str(), "--timing", "20", "--", "vaklabel-library", "--labels-dir",
          labels_.c_str(), "--lock", lock_.c_str(), "label", "--template", TEMPLATE_DIR "/standard.lbl", nullptr);
    _exit(127);
  }
  // Interrupt once the first cartridge is done.
  auto progress = [&] {
    std::ifstream in(err);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  for (int i = 0; i < 600 && progress().find("[1/8]") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string report = test_support::ReadFile(out);
  EXPECT_NE(report.find("not done: interrupted"), std::string::npos) << report;
  EXPECT_NE(test_support::ReadFile(err).find("interrupted; finishing"), std::string::npos);
  std::string contents = Contents();
  EXPECT_EQ(contents.find("Data Transfer Element 0:Empty"), contents.find("Data Transfer Element 0"));
  EXPECT_NE(contents.find("Data Transfer Element 1:Empty"), std::string::npos) << contents;
}

TEST_F(LibraryTest, AKilledRunLeavesNothingASecondRunCannotMend) {
  CreateLibrary(4, 1, "ABC001L8");
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    setenv("PATH", path_.substr(5).c_str(), 1);
    execl(vtape_.c_str(), "vtape", "run", lib_.c_str(), "--timing", "20", "--", "vaklabel-library", "--labels-dir",
          labels_.c_str(), "--lock", lock_.c_str(), "label", "--template", TEMPLATE_DIR "/standard.lbl", nullptr);
    _exit(127);
  }
  // Kill the command mid-run; the mtx or vaklabel it started works on and
  // keeps the lock, which the next run waits for.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);

  CommandResult run = Library({"--wait", "--json", "label"});
  EXPECT_EQ(run.status, 0) << run.err << run.out;
  const nlohmann::json report = Json(run);
  for (const auto& slot : report["slots"]) {
    EXPECT_TRUE(slot["result"] == "labelled" || slot["result"] == "unchanged") << slot.dump();
  }
  std::string contents = Contents();
  EXPECT_NE(contents.find("Data Transfer Element 0:Empty"), std::string::npos) << contents;
}

// Whatever a run finds before its first move stops the dry run as it stops
// the run: exit 2, the same words, nothing moved.
TEST_F(LibraryTest, TheDryRunRefusesWhatTheRunRefuses) {
  bool root = geteuid() == 0;
  std::vector<std::string> standard;
  std::ifstream in(TEMPLATE_DIR "/standard.lbl");
  for (std::string line; std::getline(in, line);) standard.push_back(line + "\n");
  ASSERT_EQ(standard.size(), 30u);
  auto template_with = [&](const std::vector<std::string>& lines) {
    std::string path = dir_.File("template.lbl");
    test_support::WriteFile(path, std::accumulate(lines.begin(), lines.end(), std::string()));
    return path;
  };
  std::vector<std::string> hdr1_first(standard.begin() + 10, standard.begin() + 20);
  hdr1_first.insert(hdr1_first.end(), standard.begin(), standard.begin() + 10);
  hdr1_first.insert(hdr1_first.end(), standard.begin() + 20, standard.end());
  std::vector<std::string> xxxx = standard;
  xxxx[20].replace(0, 11, "58,58,58,58");
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string says;
  };
  pid_t holder = 0;
  const std::vector<Case> cases = {
      {"a lock another run holds",
       [&] {
         int pipe_ends[2];
         ASSERT_EQ(pipe(pipe_ends), 0);
         holder = fork();
         if (holder == 0) {  // holds the lock until killed, as a first run would
           int fd = open(lock_.c_str(), O_RDWR | O_CREAT, 0644);
           if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(pipe_ends[1], "", 1) != 1) _exit(127);
           pause();
           _exit(0);
         }
         char taken;
         ASSERT_EQ(read(pipe_ends[0], &taken, 1), 1);
         close(pipe_ends[0]);
         close(pipe_ends[1]);
       },
       "holds " + lock_ + "; wait for it, or give --wait"},
      {"a read-only labels directory",
       [&] {
         std::filesystem::create_directory(labels_);
         if (root) {
           wrapper_ = {"unshare", "-m", "sh", "-c", "mount -t tmpfs -o ro none \"$0\" && exec \"$@\"", labels_};
         } else {
           std::filesystem::permissions(labels_,
                                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
         }
       },
       "the labels directory " + labels_ + " is not writable"},
      {"a template with HDR1 first", [&] { template_ = template_with(hdr1_first); },
       "fails vaklabel-show's check identifiers: HDR1: 'HDR1' where VOL1 belongs"},
      {"a template with XXXX for HDR2", [&] { template_ = template_with(xxxx); },
       "fails vaklabel-show's check identifiers: XXXX: 'XXXX' where HDR2 belongs"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(lib_);
    std::filesystem::remove_all(labels_);
    CreateLibrary(2, 1, "ABC001L8");
    std::string before = Contents();
    c.prepare();
    for (bool dry : {true, false}) {
      CommandResult run =
          Library(dry ? std::vector<std::string>{"--dry-run", "label"} : std::vector<std::string>{"label"});
      EXPECT_EQ(run.status, 2) << c.name << (dry ? " (dry run)\n" : "\n") << run.err << run.out;
      EXPECT_NE(run.err.find(c.says), std::string::npos) << c.name << ": " << run.err;
      EXPECT_EQ(run.out, "") << c.name;
    }
    EXPECT_EQ(Contents(), before) << c.name;
    EXPECT_EQ(Tape("ABC001L8"), (std::vector<TapeRecord>{})) << c.name;
    if (holder > 0) {
      kill(holder, SIGTERM);
      waitpid(holder, nullptr, 0);
      holder = 0;
    }
    std::error_code absent;
    std::filesystem::permissions(labels_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 absent);
    wrapper_.clear();
    template_ = TEMPLATE_DIR "/standard.lbl";
  }
}

// Label bytes that are no UTF-8 (a tape labelled in ASCII, read as EBCDIC)
// leave a whole JSON report, and a table that shows them escaped.
TEST_F(LibraryTest, ReportsHoldAnyBytesTheTapesGive) {
  std::vector<TapeRecord> ascii_labelled{Block(test_support::Record("VOL1ABC001")), Block(test_support::Record("HDR1")),
                                         Block(test_support::Record("HDR2")), Mark(), Mark()};
  CreateLibrary(2, 1, "ABC001L8", {ascii_labelled});
  CommandResult table = Library({"inventory", "1"});
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("\\x"), std::string::npos) << table.out;
  EXPECT_TRUE(std::all_of(table.out.begin(), table.out.end(), [](char c) {
    return c == '\n' || (c >= 0x20 && c < 0x7F);
  })) << table.out;

  CommandResult run = Library({"--json", "label", "--relabel"});
  EXPECT_EQ(run.status, 0) << run.err;
  nlohmann::json report = Json(run);
  EXPECT_EQ(report["slots"][0]["state"], "not-a-label-set") << report.dump(1);
  EXPECT_EQ(report["slots"][0]["result"], "labelled");
  EXPECT_EQ(report["summary"]["exit_status"], 0);
  std::string found = report["slots"][0]["label_found"];
  EXPECT_NE(found, "ABC001") << "read as EBCDIC";
  EXPECT_EQ(Tape("ABC001L8"), FromStandardTemplate("ABC001L8", Today()));
}

// Without barcodes a slot's kept set tells nothing of the cartridge there
// now: a label once written in slot 1 goes on no other cartridge, only a
// tape that carries it already passes.
TEST_F(LibraryTest, HistoryWithoutBarcodesProvesNoCartridge) {
  CreateLibrary(3, 1, "ABC001L8,ABC002L8", {}, "3");
  const std::vector<std::string> no_barcodes{"--unreadable-barcode", "ABC001L8,ABC002L8"};
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string says;  // in the report or the plan
  };
  const std::string kept =
      "a cartridge that was in slot 1 with no barcode to tell it by (kept in " + labels_ + "/slot001.written.lbl)";
  const Step steps[] = {
      {{"label", "1", "--serial", "TAP001"}, 0, "labelled TAP001"},
      {{"--dry-run", "label", "1", "--serial", "TAP001"},
       0,
       "leave if it carries TAP001, else refuse: label TAP001 is already on " + kept},
      {{"label", "1", "--serial", "TAP001"}, 1, "refused: label TAP001 is on " + kept},
      {{"label", "2", "--serial", "TAP001"}, 0, "already labelled TAP001"},
  };
  for (const Step& step : steps) {
    if (&step == &steps[1]) {
      for (const char* move : {"1 3", "2 1", "3 2"}) {
        std::istringstream slots(move);
        std::string from, to;
        slots >> from >> to;
        Mtx({"transfer", from, to});
      }
    }
    CommandResult run = Library(step.args, no_barcodes);
    EXPECT_EQ(run.status, step.status) << step.says << "\n" << run.err;
    EXPECT_NE(run.out.find(step.says), std::string::npos) << run.out;
  }
  EXPECT_EQ(Tape("ABC002L8"), (std::vector<TapeRecord>{})) << "the cartridge now in slot 1 is still blank";
  EXPECT_EQ(Tape("ABC001L8"), FromStandardTemplate("TAP001", Today()));
}

// Another program exchanges cartridges at a point of the run fixed by the
// number of changer listings before it: the cartridge in the drive is then
// not the planned one, and is refused and put back where it came from.
TEST_F(LibraryTest, ACartridgeOtherThanThePlannedOneIsNeverWritten) {
  struct Case {
    const char* name;
    int after_listing;                  // the exchange follows this listing (1: the inventory)
    std::vector<std::string> exchange;  // mtx commands
    int refused_slot;
    const char* says;
    const char* untouched;  // blank after the run
    const char* slots;      // barcodes of slots 1-4 after the run
  };
  const Case cases[] = {
      {"after the inventory",
       1,
       {"transfer 2 5", "transfer 3 2", "transfer 5 3"},
       2,
       "drive 0 holds ABC003L8 from slot 2, not ABC002L8 planned from slot 2; not read or written; the cartridge in "
       "drive 0 went back to slot 2",
       "ABC002L8",
       "ABC001L8 ABC003L8 ABC002L8 ABC004L8"},
      {"between the load and the write",
       2,
       {"unload 1 0", "load 2 0"},
       1,
       "drive 0 holds ABC002L8 from slot 2, not ABC001L8 planned from slot 1; not written; the cartridge in drive 0 "
       "went back to slot 2",
       "ABC001L8",
       "ABC001L8 ABC002L8 ABC003L8 ABC004L8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(lib_);
    std::filesystem::remove_all(labels_);
    CreateLibrary(5, 1, "ABC001L8", {}, "5");
    ExchangeAfterListing(c.after_listing, c.exchange);
    CommandResult run = Library({"--json", "label"});
    std::filesystem::remove(dir_.File("bin/mtx"));
    EXPECT_EQ(run.status, 1) << run.err << run.out;
    const nlohmann::json report = Json(run);
    EXPECT_EQ(report["door"], "held shut for the run");
    for (const auto& slot : report["slots"]) {
      if (slot["slot"] == 5) continue;  // empty
      bool refused = slot["slot"] == c.refused_slot || (c.after_listing == 1 && slot["slot"] == 3);
      EXPECT_EQ(slot["result"], refused ? "refused" : "labelled") << slot.dump();
      if (slot["slot"] == c.refused_slot) {
        EXPECT_EQ(slot["detail"], c.says);
      }
    }
    EXPECT_TRUE(Tape(c.untouched).empty());
    std::string contents = Contents();
    std::string slots;
    static const std::regex full(R"(Storage Element [1-4]:Full :VolumeTag=(\w+))");
    for (std::sregex_iterator it(contents.begin(), contents.end(), full), end; it != end; ++it) {
      slots += (slots.empty() ? "" : " ") + (*it)[1].str();
    }
    EXPECT_EQ(slots, c.slots) << contents;
    EXPECT_EQ(test_support::Run({vtape_, "list", lib_}).out.find("removal prevented"), std::string::npos);
  }
}

// A tape labelled OLD001 by another system, with a data file after its label.
std::vector<TapeRecord> OldTapeWithData() {
  std::vector<TapeRecord> tape = SixCharacterSet("OLD001");
  tape.pop_back();
  tape.insert(tape.end(), {Block(4096, 'D'), Mark(), Mark()});
  return tape;
}

class SafetyTest : public LibraryTest {
 protected:
  // The run as another process, so that a test can signal it.
  pid_t Start(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    pid_t pid = fork();
    if (pid == 0) {
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
      setenv("PATH", path_.substr(5).c_str(), 1);
      std::vector<std::string> all{vtape_,         "run",   lib_,     "--timing", "20", "--", "vaklabel-library",
                                   "--labels-dir", labels_, "--lock", lock_};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(vtape_.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }

  // Waits for a descendant of `parent` (vtape run, whose command runs in a
  // process namespace of its own below it) whose command line holds
  // `argument`; false after 30 s.
  // Waits for a descendant of `parent` whose command line holds `argument`;
  // its process number, or 0 after 30 s.
  static pid_t AwaitChild(pid_t parent, const std::string& argument) {
    // Children come and go: a file that is gone reads as empty.
    auto text = [](const std::string& path) {
      std::ifstream in(path);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    for (int i = 0; i < 3000; ++i) {
      std::vector<std::string> pending{std::to_string(parent)};
      while (!pending.empty()) {
        std::string pid = pending.back();
        pending.pop_back();
        std::error_code gone;
        // The thread that started a child lists it, not the process.
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task", gone)) {
          std::istringstream pids(text(task.path() / "children"));
          for (std::string child; pids >> child;) {
            std::string command = text("/proc/" + child + "/cmdline");
            std::replace(command.begin(), command.end(), '\0', ' ');
            // A leading line feed stands for the start of the command line.
            if (("\n" + command).find(argument) != std::string::npos) return std::stoi(child);
            pending.push_back(child);
          }
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }

  // Waits for `path` to exist; false after 30 s.
  static bool AwaitFile(const std::string& path) {
    for (int i = 0; i < 600 && !std::filesystem::exists(path); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::filesystem::exists(path);
  }
};

// A relabel on a labelled tape whose set cannot be kept first: nothing is
// written, and a directory that cannot take files stops the run before
// anything moves.
TEST_F(SafetyTest, NoWriteWithoutAKeptCopyOfWhatItReplaces) {
  bool root = geteuid() == 0;
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string mount;  // as root: a file system mounted on the labels directory for the run
    int status;
    std::string says;  // on standard error, or in slot 1's detail
  };
  const std::string labels = labels_;
  const std::vector<Case> cases = {
      {"a file in the directory's place", [&] { test_support::WriteFile(labels, "x"); }, "", 2,
       "the labels directory " + labels + " cannot be made"},
      {"a read-only directory",
       [&] {
         std::filesystem::create_directory(labels);
         if (!root)
           std::filesystem::permissions(labels,
                                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
       },
       "mount -t tmpfs -o ro none \"$0\"", 2, "is not writable"},
      {"a full directory", [&] { std::filesystem::create_directory(labels); },
       "mount -t tmpfs -o size=4k none \"$0\" && cat /dev/zero >\"$0/fill\" 2>/dev/null; ", 2,
       "is not writable: No space left on device"},
      {"the set read cannot be kept",
       [&] { std::filesystem::create_directories(labels + "/slot001-ABC001L8.lbl/in-the-way"); }, "", 1,
       "the label set read cannot be kept: vaklabel says \"could not create " + labels + "/slot001-ABC001L8.lbl file"},
      {"the backup's name holds another set",
       [&] {
         std::filesystem::create_directory(labels);
         test_support::WriteFile(labels + "/ABC001L8_OLD001.prelbl", "");
       },
       "", 1, "the backup " + labels + "/ABC001L8_OLD001.prelbl exists and holds another label set"},
      {"the backup's name is a link to nowhere",
       [&] {
         std::filesystem::create_directory(labels);
         std::filesystem::create_symlink(labels + "/elsewhere", labels + "/ABC001L8_OLD001.prelbl");
       },
       "", 1, "the backup " + labels + "/ABC001L8_OLD001.prelbl cannot be made: File exists"},
  };
  for (const Case& c : cases) {
    if (!root && c.name == std::string("a full directory")) continue;  // needs a small file system
    std::filesystem::remove_all(dir_.File("lib"));
    std::filesystem::remove_all(labels_);
    CreateLibrary(2, 1, "ABC001L8", {OldTapeWithData()});
    std::string before = Contents();
    c.prepare();
    wrapper_.clear();
    if (root && !c.mount.empty()) {
      wrapper_ = {"unshare", "-m", "sh", "-c", c.mount + (c.mount.back() == ' ' ? "" : " && ") + "exec \"$@\"",
                  labels_};
    }
    CommandResult run = Library({"--json", "label", "1", "--relabel"});
    std::filesystem::permissions(labels_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err << run.out;
    std::string said = c.status == 2 ? run.err : Json(run)["slots"][0]["detail"].get<std::string>();
    EXPECT_NE(said.find(c.says), std::string::npos) << c.name << ": " << said;
    EXPECT_EQ(Tape("ABC001L8"), OldTapeWithData()) << c.name;
    EXPECT_EQ(Contents(), before) << c.name;
  }
  wrapper_.clear();
}

TEST_F(SafetyTest, NoTwoCartridgesGetOneLabel) {
  struct Case {
    const char* name;
    std::vector<std::vector<TapeRecord>> copies;
    std::vector<std::string> earlier;  // a run before, on the same labels directory
    std::vector<std::string> args;
    int refused_slot;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"barcode-six", {}, {}, {"label", "1-2", "--barcode-six"}, 2, "label ABC001 would also go to slot 1 (ABC001L8)"},
      {"a label another cartridge carries",
       {{}, {}, SixCharacterSet("XYZ789"), {}, {}},
       {},
       {"label", "--serial", "XYZ785"},
       5,
       "label XYZ789 is on slot 3's cartridge ABC003L8 (read in this run)"},
      {"serials run again",
       {},
       {"label", "1,2,4", "--serial", "TAP001"},
       {"label", "--serial", "TAP001"},
       3,
       "label TAP003 is already on slot 4's cartridge ABC004L8 (kept in " + labels_ + "/slot004-ABC004L8.written.lbl)"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(dir_.File("lib"));
    std::filesystem::remove_all(labels_);
    CreateLibrary(5, 2, c.name == std::string("barcode-six") ? "ABC001L8,ABC001L9" : "ABC001L8", c.copies);
    if (!c.earlier.empty()) {
      ASSERT_EQ(Library(c.earlier).status, 0) << c.name;
    }
    std::vector<TapeRecord> refused_tape =
        Tape(c.name == std::string("barcode-six") ? "ABC001L9" : "ABC00" + std::to_string(c.refused_slot) + "L8");
    std::vector<std::string> dry_args = c.args;
    dry_args.insert(dry_args.begin(), "--dry-run");
    CommandResult dry = Library(dry_args);
    CommandResult run = Library(c.args);
    EXPECT_EQ(run.status, 1) << c.name << run.err;
    std::string row_start = "\n" + std::to_string(c.refused_slot) + " ";
    size_t row = run.out.find(row_start);
    ASSERT_NE(row, std::string::npos) << c.name << run.out;
    std::string line = run.out.substr(row + 1, run.out.find('\n', row + 1) - row - 1);
    EXPECT_NE(line.find("refused: " + c.says), std::string::npos) << c.name << "\n" << run.out;
    if (c.name != std::string("a label another cartridge carries")) {
      EXPECT_NE(dry.out.find("refuse: " + c.says), std::string::npos) << c.name << "\n" << dry.out;
    }
    EXPECT_EQ(Tape(c.name == std::string("barcode-six") ? "ABC001L9" : "ABC00" + std::to_string(c.refused_slot) + "L8"),
              refused_tape)
        << c.name;
  }
}

// An inventory recorded TAP001 on slot 2, whose cartridge the changer shows
// with slot 1's barcode ABC001L8 (a misprinted label): the barcode tells
// neither cartridge from the other, so both are refused before anything
// moves; later, with one ABC001L8 in slot 1, the record of slot 2 may be
// another cartridge's, and TAP001 goes on the cartridge only if it carries it.
TEST_F(SafetyTest, OneBarcodeOnTwoCartridgesGetsNoLabelTwice) {
  std::string mtx = dir_.File("bin/mtx");
  auto misread = [&](bool on) {
    std::filesystem::remove(mtx);
    if (!on) return;
    test_support::WriteFile(mtx,
                            "#!/bin/sh\nPATH=/usr/sbin:/usr/bin:/sbin:/bin\n"
                            "case \" $* \" in *\" status \"*) mtx \"$@\" | sed 's/VolumeTag *= *ABC002L8/VolumeTag = "
                            "ABC001L8/'; exit 0;; esac\nexec mtx \"$@\"\n");
    std::filesystem::permissions(mtx, std::filesystem::perms::owner_all);
  };
  misread(true);
  CreateLibrary(3, 1, "ABC001L8,ABC002L8", {{}, SixCharacterSet("TAP001")});
  ASSERT_EQ(Library({"inventory"}).status, 0);
  ASSERT_TRUE(std::filesystem::exists(labels_ + "/slot002-ABC001L8.lbl"));
  const std::string kept = "slot 2's cartridge ABC001L8 (kept in " + labels_ + "/slot002-ABC001L8.lbl)";
  struct Case {
    const char* name;
    std::optional<std::vector<TapeRecord>> slot1;  // the library made anew, ABC001L8 alone, in slot 1
    std::vector<std::string> args;
    int status;
    std::vector<std::string> rows;  // slot 1, slot 2
    std::string plan;               // slot 1's
  };
  const std::string shared = "barcode ABC001L8 in slots 1 and 2";
  const std::vector<Case> cases = {
      {"one barcode in two slots",
       std::nullopt,
       {"label", "--serial", "TAP001"},
       1,
       {"refused: " + shared, "refused: " + shared},
       "refuse: " + shared},
      {"the record of another slot, a blank tape",
       std::vector<TapeRecord>{},
       {"label", "1", "--serial", "TAP001"},
       1,
       {"refused: label TAP001 is on " + kept},
       "leave if it carries TAP001, else refuse: label TAP001 is already on " + kept},
      {"the record of another slot, the cartridge moved",
       SixCharacterSet("TAP001"),
       {"label", "1", "--serial", "TAP001"},
       0,
       {"already labelled TAP001"},
       "leave if it carries TAP001"},
  };
  for (const Case& c : cases) {
    if (c.slot1) {
      misread(false);
      std::filesystem::remove_all(lib_);
      CreateLibrary(3, 1, "ABC001L8", {*c.slot1});
    }
    std::string before = Contents();
    std::vector<std::vector<TapeRecord>> tapes{Tape("ABC001L8"),
                                               c.slot1 ? std::vector<TapeRecord>{} : Tape("ABC002L8")};
    std::vector<std::string> dry_args = c.args;
    dry_args.insert(dry_args.begin(), "--dry-run");
    CommandResult dry = Library(dry_args);
    EXPECT_EQ(dry.status, 0) << c.name << dry.err;
    EXPECT_NE(dry.out.find("slot 1 ABC001L8: " + c.plan), std::string::npos) << c.name << "\n" << dry.out;
    CommandResult run = Library(c.args);
    EXPECT_EQ(run.status, c.status) << c.name << run.err;
    for (size_t i = 0; i < c.rows.size(); ++i) {
      std::string row = "\n" + std::to_string(i + 1) + "     ABC001L8  ";
      size_t at = run.out.find(row);
      ASSERT_NE(at, std::string::npos) << c.name << run.out;
      std::string line = run.out.substr(at + 1, run.out.find('\n', at + 1) - at - 1);
      EXPECT_NE(line.find(c.rows[i]), std::string::npos) << c.name << "\n" << run.out;
    }
    EXPECT_EQ(Tape("ABC001L8"), tapes[0]) << c.name;
    if (!c.slot1) {
      EXPECT_EQ(Tape("ABC002L8"), tapes[1]) << c.name;
      EXPECT_EQ(Contents(), before) << c.name << ": nothing moved";
    }
  }
}

// The template is read once: one given RECFM Q while the first tape is
// written changes no tape, and the private copy is gone after the run, with
// one a killed run left; a living process's stays.
TEST_F(SafetyTest, TheTemplateIsReadOnce) {
  CreateLibrary(4, 1, "ABC001L8,ABC002L8,ABC003L8,ABC004L8");
  std::string path = dir_.File("template.lbl");
  std::string standard = test_support::ReadFile(TEMPLATE_DIR "/standard.lbl");
  test_support::WriteFile(path, standard);
  std::string tmp = dir_.File("tmp");
  // A run holds a lock on its copy's folder while it lives.
  const std::string killed = tmp + "/vaklabel-library-template-d4e5f6";
  const std::string living = tmp + "/vaklabel-library-template-a1b2c3";
  for (const std::string& copy : {killed, living}) {
    std::filesystem::create_directories(copy);
    test_support::WriteFile(copy + "/template.lbl", standard);
  }
  int living_lock = open(living.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(living_lock, LOCK_EX), 0);
  std::string recfm_q = standard;
  size_t hdr2 = recfm_q.find("48,44,52,32,55");  // HDR2U
  ASSERT_NE(hdr2, std::string::npos);
  recfm_q.replace(hdr2, 14, "48,44,52,32,51");  // HDR2Q
  test_support::WriteFile(path + ".new", recfm_q);
  // The first write replaces the template just before it starts.
  std::string vaklabel = dir_.File("bin/vaklabel");
  std::filesystem::remove(vaklabel);
  test_support::WriteFile(vaklabel, "#!/bin/sh\ncase \" $* \" in *\" -w \"*) [ -e '" + path + ".new' ] && mv '" +
                                        path + ".new' '" + path + "';; esac\nexec " VAKLABEL_PATH " \"$@\"\n");
  std::filesystem::permissions(vaklabel, std::filesystem::perms::owner_all);
  setenv("TMPDIR", tmp.c_str(), 1);
  pid_t pid = Start({"label", "--template", path}, dir_.File("out"), dir_.File("err"));
  unsetenv("TMPDIR");
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << test_support::ReadFile(dir_.File("out"))
                                    << test_support::ReadFile(dir_.File("err"));
  EXPECT_EQ(test_support::ReadFile(path), recfm_q) << "no write replaced the template";
  for (const char* barcode : {"ABC001L8", "ABC002L8", "ABC003L8", "ABC004L8"}) {
    EXPECT_EQ(Tape(barcode), FromStandardTemplate(barcode, Today())) << barcode;
  }
  std::vector<std::string> left;
  for (const auto& file : std::filesystem::directory_iterator(tmp)) left.push_back(file.path());
  EXPECT_EQ(left, std::vector<std::string>{living});
  close(living_lock);
}

TEST_F(SafetyTest, InventoryFlagsALabelFoundTwice) {
  CreateLibrary(3, 1, "ABC001L8",
                {SixCharacterSet("XYZ789"), EightCharacterSet("ABC002L8"), SixCharacterSet("XYZ789")});
  CommandResult run = Library({"inventory"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("carries XYZ789, not its barcode; the same label as slot 3\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("carries ABC002L8\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("carries XYZ789, not its barcode; the same label as slot 1\n"), std::string::npos);
}

// Cartridges the run found in drives and could not put home have their rows
// and fail the run.
TEST_F(SafetyTest, EveryCartridgeAccountedFor) {
  CreateLibrary(4, 2, "ABC001L8");
  test_support::WriteFile(lib_ + "/XYZ001L8.aws", "");
  std::string state = test_support::ReadFile(lib_ + "/library.state");
  state.replace(state.find("drive 0 - source 0"), 18, "drive 0 XYZ001L8 source 0");
  test_support::WriteFile(lib_ + "/library.state", state);

  CommandResult run = Library({"--json", "inventory"});
  EXPECT_EQ(run.status, 1) << run.err;
  nlohmann::json report = Json(run);
  ASSERT_EQ(report["slots"].size(), 5u) << report.dump(1);
  EXPECT_EQ(report["slots"][0]["slot"], nullptr);
  EXPECT_EQ(report["slots"][0]["barcode"], "XYZ001L8");
  EXPECT_EQ(report["slots"][0]["location"], "drive 0");
  EXPECT_EQ(report["slots"][0]["detail"], "left in drive 0: its home slot is not known");
  EXPECT_EQ(report["summary"]["not-done"], 1);
  EXPECT_EQ(report["summary"]["read"], 4) << "drive 1 does the rest";
  EXPECT_EQ(report["summary"]["exit_status"], 1);

  CommandResult table = Library({"inventory", "1"});
  EXPECT_NE(table.out.find("XYZ001L8 (home unknown) is in drive 0\n"), std::string::npos) << table.out;

  // With no drive left at all, the report still has every row.
  std::filesystem::remove_all(lib_);
  CreateLibrary(2, 1, "ABC001L8");
  test_support::WriteFile(lib_ + "/XYZ001L8.aws", "");
  state = test_support::ReadFile(lib_ + "/library.state");
  state.replace(state.find("drive 0 - source 0"), 18, "drive 0 XYZ001L8 source 0");
  test_support::WriteFile(lib_ + "/library.state", state);
  report = Json(Library({"--json", "inventory"}));
  EXPECT_EQ(report["summary"]["not-done"], 3) << report.dump(1);
  EXPECT_EQ(report["slots"][1]["detail"], "no drive left in use");
}

TEST_F(SafetyTest, AClosedOutputAndALateInterruptLeaveEveryTapeHome) {
  CreateLibrary(2, 1, "ABC001L8", {EightCharacterSet("ABC001L8")});
  // The report's reader is gone: the tapes go home first, then the error.
  std::vector<std::string> argv{"bash",
                                "-c",
                                "\"$@\" | head -c0; exit ${PIPESTATUS[0]}",
                                "bash",
                                vtape_,
                                "run",
                                lib_,
                                "--",
                                "vaklabel-library",
                                "--labels-dir",
                                labels_,
                                "--lock",
                                lock_,
                                "label",
                                "--template",
                                TEMPLATE_DIR "/standard.lbl"};
  CommandResult piped = test_support::Run(argv, "", {path_});
  EXPECT_EQ(piped.status, 1) << piped.err;
  EXPECT_NE(piped.err.find("the report could not be written to standard output: Broken pipe"), std::string::npos)
      << piped.err;
  EXPECT_EQ(Tape("ABC002L8"), FromStandardTemplate("ABC002L8", Today()));
  std::string contents = Contents();
  EXPECT_NE(contents.find("Data Transfer Element 0:Empty"), std::string::npos) << contents;

  // SIGTERM while the last cartridge is in the drive: it is finished, and
  // nothing was left undone.
  std::string out = dir_.File("out"), err = dir_.File("err");
  std::filesystem::remove(labels_ + "/slot001-ABC001L8.lbl");
  pid_t pid = Start({"label", "1", "--template", TEMPLATE_DIR "/standard.lbl"}, out, err);
  ASSERT_TRUE(AwaitFile(labels_ + "/slot001-ABC001L8.lbl"));
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << test_support::ReadFile(out) << test_support::ReadFile(err);
  EXPECT_NE(test_support::ReadFile(out).find("already labelled ABC001L8"), std::string::npos);
}

// The run is killed while its vaklabel writes: the write goes on to its tape
// marks, and the rerun, which waits for the lock the writer still holds,
// finds the label whole.
TEST_F(SafetyTest, AKilledRunsWriteEndsWithItsTapeMarks) {
  CreateLibrary(2, 1, "ABC001L8", {OldTapeWithData()});
  pid_t pid = Start({"label", "1", "--relabel", "--template", TEMPLATE_DIR "/standard.lbl"}, "/dev/null", "/dev/null");
  ASSERT_NE(AwaitChild(pid, " -w "), 0) << "the write never started";
  // The run, not the virtual drive around it: killing vtape ends its
  // namespace, and every process in it, the writer too.
  pid_t run = AwaitChild(pid, "\nvaklabel-library --labels-dir");
  ASSERT_NE(run, 0);
  kill(run, SIGKILL);
  waitpid(pid, nullptr, 0);

  CommandResult rerun = Library({"--wait", "--json", "label", "1", "--relabel"});
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  nlohmann::json slot = Json(rerun)["slots"][0];
  EXPECT_EQ(slot["result"], "unchanged") << slot.dump();
  EXPECT_EQ(Tape("ABC001L8"), FromStandardTemplate("ABC001L8", Today()));
}

// Each row says what the tape holds, whatever failed: the write, its tape
// marks, the verify, the labels directory, or every drive's read.
TEST_F(SafetyTest, RowsAgreeWithTheTapes) {
  const std::vector<TapeRecord> tar{Block(10240, 'T'), Block(10240, 'T'), Mark()};
  const std::vector<TapeRecord> half_set{Block(LabelRecord(Put("VOL1*UHL1*", 42, "OPERATIONS"))),
                                         Block(LabelRecord(kOwnHdr1))};
  std::vector<TapeRecord> without_marks = FromStandardTemplate("ABC001L8", Today());
  without_marks.resize(without_marks.size() - 2);
  // As a mainframe initialiser leaves a tape: VOL1, a dummy HDR1, one tape mark.
  const std::vector<TapeRecord> initialised{Block(LabelRecord(Put("VOL1000006", 42, "OPERATIONS"))),
                                            Block(LabelRecord("HDR1" + std::string(76, '0'))), Mark()};
  const std::string labels = labels_;
  const std::string unread = ": first block unreadable, and the drive is back at the start of the tape";
  const std::string unread_in_0 = "drive 0 (/dev/nst0)" + unread, unread_in_1 = "drive 1 (/dev/nst1)" + unread;
  struct Case {
    const char* name;
    std::vector<std::vector<TapeRecord>> copies;  // slot 1 first; none: blank
    int drives;
    std::vector<std::string> args;
    std::vector<std::string> faults;
    std::function<void()> prepare;
    std::string result;
    std::string label;  // "": null
    std::string detail;
    std::string backup;  // "": null
    std::vector<TapeRecord> tape;
  };
  const std::vector<Case> cases = {
      {"an initialised volume",
       {initialised},
       1,
       {},
       {},
       nullptr,
       "refused",
       "000006",
       "initialised, volume 000006; --relabel relabels it",
       "",
       initialised},
      {"an initialised volume relabelled",
       {initialised},
       1,
       {"--relabel"},
       {},
       nullptr,
       "labelled",
       "ABC001L8",
       "",
       labels + "/ABC001L8_000006.prelbl",
       FromStandardTemplate("ABC001L8", Today())},
      {"a write failing after the old set was kept",
       {OldTapeWithData()},
       1,
       {"--relabel"},
       {"--fail-write", "2"},
       nullptr,
       "failed",
       "",
       "overwrote 1 data set, 1 block: PAYROLL.2026 created 2025-05-03, expires 2026-05-03; writing failed (write: "
       "Input/output error); the tape now holds no label set",
       labels + "/ABC001L8_OLD001.prelbl",
       {Block(LabelRecord("VOL1*UHL1*")), Mark(), Mark()}},
      {"a write failing over a tar archive",
       {tar},
       1,
       {"--relabel"},
       {"--fail-write", "1"},
       nullptr,
       "failed",
       "",
       "overwrote 1 unlabelled file, 2 blocks: file 1; writing failed (write: Input/output error); the tape now "
       "holds no label set",
       "",
       {Mark(), Mark()}},
      {"tape marks that cannot be written",
       {},
       1,
       {},
       {"--fail-weof"},
       nullptr,
       "failed",
       "",
       "writing failed (ioctl error:Input/output error); the tape now holds label records for ABC001L8 but no "
       "whole label set (no tape mark after the label set)",
       "",
       without_marks},
      {"a close that fails",
       {},
       1,
       {},
       {"--fail-close"},
       nullptr,
       "failed",
       "ABC001L8",
       "writing failed (close: Input/output error); the tape now reads as label ABC001L8, as meant, but unverified",
       "",
       FromStandardTemplate("ABC001L8", Today())},
      {"a read fault the verify reads again",
       {},
       1,
       {},
       {"--fail-read", "2"},
       nullptr,
       "labelled",
       "ABC001L8",
       "",
       "",
       FromStandardTemplate("ABC001L8", Today())},
      {"the set written cannot be kept",
       {},
       1,
       {},
       {},
       [&] { std::filesystem::create_directories(labels + "/slot001-ABC001L8.written.lbl/in-the-way"); },
       "labelled",
       "ABC001L8",
       "verified, but the set read back cannot be kept in " + labels + "/slot001-ABC001L8.written.lbl: Is a directory",
       "",
       FromStandardTemplate("ABC001L8", Today())},
      {"no drive can read it",
       {OldTapeWithData()},
       2,
       {"--relabel"},
       {"--fail-read", "1"},
       nullptr,
       "refused",
       "",
       "no drive tried can read it: " + unread_in_0 + "; " + unread_in_1 +
           "; cannot be read; --overwrite-unreadable overwrites it",
       "",
       OldTapeWithData()},
      {"no drive can read it, and the operator says overwrite: the map proves nothing",
       {OldTapeWithData()},
       2,
       {"--overwrite-unreadable"},
       {"--fail-read", "1"},
       nullptr,
       "refused",
       "",
       "the map stopped at an unreadable block (file 1: read of block 1: Input/output error), so what lies past it "
       "cannot be judged; --ignore-expiration overwrites it",
       "",
       OldTapeWithData()},
      {"a run stopped between its backup and its verify",
       {OldTapeWithData()},
       1,
       {"--relabel"},
       {},
       [&] {
         ASSERT_EQ(Library({"label", "1", "--relabel"}).status, 0);
         std::filesystem::remove(labels + "/slot001-ABC001L8.written.lbl");
         test_support::WriteAwsFile(lib_ + "/ABC001L8.aws", half_set);
       },
       "labelled",
       "ABC001L8",
       "holds no whole label set (block 3: Input/output error) after an earlier run that kept its set in " + labels +
           "/ABC001L8_OLD001.prelbl; relabelled from the template",
       labels + "/ABC001L8_OLD001.prelbl",
       FromStandardTemplate("ABC001L8", Today())},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(lib_);
    std::filesystem::remove_all(labels_);
    CreateLibrary(2, c.drives, "ABC001L8", c.copies);
    if (c.prepare) c.prepare();
    std::vector<std::string> args{"--json", "label", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult run = Library(args, c.faults);
    EXPECT_EQ(run.status, c.result == "labelled" ? 0 : 1) << c.name << "\n" << run.err;
    nlohmann::json slot = Json(run)["slots"][0];
    EXPECT_EQ(slot["result"], c.result) << c.name;
    EXPECT_EQ(slot["label"], c.label.empty() ? nlohmann::json() : nlohmann::json(c.label)) << c.name;
    // Whichever drive takes the cartridge first is named first.
    std::string other_order = c.detail;
    size_t both = other_order.find(unread_in_0 + "; " + unread_in_1);
    if (both != std::string::npos) {
      other_order.replace(both, unread_in_0.size() + 2 + unread_in_1.size(), unread_in_1 + "; " + unread_in_0);
    }
    nlohmann::json detail = slot["detail"];
    EXPECT_TRUE(detail == (c.detail.empty() ? nlohmann::json() : nlohmann::json(c.detail)) || detail == other_order)
        << c.name << ": " << detail;
    EXPECT_EQ(slot["backup_file"], c.backup.empty() ? nlohmann::json() : nlohmann::json(c.backup)) << c.name;
    if (!c.tape.empty()) {
      EXPECT_EQ(Tape("ABC001L8"), c.tape) << c.name;
    }
  }
}

}  // namespace

namespace {

// A tape labelled OLD001 whose data set PAYROLL.BACKUP, created 2025-05-01,
// holds three blocks and expires as `expires` (HDR1 columns 48-53) says,
// followed by a file of two blocks no labels describe.
std::vector<TapeRecord> TapeWithDataSet(const std::string& expires) {
  std::string hdr1 = Put(Put(Put(Put("HDR1PAYROLL.BACKUP", 32, "0001"), 42, "025121"), 48, expires), 54, "0000000");
  std::string eof1 = Put(Put(hdr1, 1, "EOF1"), 55, "000003");
  return {Block(LabelRecord(Put("VOL1OLD001", 42, "OPERATIONS"))),
          Block(LabelRecord(hdr1)),
          Block(LabelRecord("HDR2F0800000080 0")),
          Mark(),
          Block(4096, 'D'),
          Block(4096, 'D'),
          Block(4096, 'D'),
          Mark(),
          Block(LabelRecord(eof1)),
          Block(LabelRecord("EOF2F0800000080 0")),
          Mark(),
          Block(1000, 'U'),
          Block(1000, 'U'),
          Mark(),
          Mark()};
}

// Before a write over data the tape is mapped, its map kept beside the
// backup, and a data set that has not expired keeps the tape as it is.
TEST_F(LibraryTest, UnexpiredDataSetsAreKept) {
  struct Case {
    const char* name;
    std::vector<TapeRecord> tape;
    std::vector<std::string> args;
    std::function<void()> prepare;
    std::string detail;  // the row's, in full
    bool mapped;         // the map is kept beside the backup, refused or not
  };
  const std::string labels = labels_;
  const std::string map_file = labels + "/ABC001L8_OLD001.map.json";
  const std::string overwrote =
      "overwrote 1 data set and 1 unlabelled file, 5 blocks: PAYROLL.BACKUP created 2025-05-01, expires "
      "2026-01-01; file 4";
  const std::string show = dir_.File("bin/vaklabel-show");
  std::vector<TapeRecord> cut_short = TapeWithDataSet("026001");
  cut_short.resize(cut_short.size() - 2);
  const std::vector<Case> cases = {
      {"a calendar date to come",
       TapeWithDataSet("050001"),
       {},
       nullptr,
       "holds unexpired data: PAYROLL.BACKUP (file 1) expires 2050-01-01; --expired-by DATE or --ignore-expiration "
       "overwrites it",
       true},
      {"never expires",
       TapeWithDataSet(" 99365"),
       {"--expired-by", "2099-01-01"},
       nullptr,
       "holds unexpired data: PAYROLL.BACKUP (file 1) never expires (99365); --ignore-expiration overwrites it",
       true},
      {"kept by tape management",
       TapeWithDataSet(" 98000"),
       {},
       nullptr,
       "holds unexpired data: PAYROLL.BACKUP (file 1) kept under tape management control (98000); "
       "--ignore-expiration overwrites it",
       true},
      {"expired", TapeWithDataSet("026001"), {}, nullptr, overwrote, true},
      {"no expiration date, as the standard template gives",
       TapeWithDataSet(" 00000"),
       {},
       nullptr,
       "overwrote 1 data set and 1 unlabelled file, 5 blocks: PAYROLL.BACKUP created 2025-05-01; file 4",
       true},
      {"never expires, and the operator says overwrite",
       TapeWithDataSet(" 99365"),
       {"--ignore-expiration"},
       nullptr,
       "overwrote 1 data set and 1 unlabelled file, 5 blocks: PAYROLL.BACKUP created 2025-05-01, never expires "
       "(99365); file 4",
       true},
      {"expired by the day given",
       TapeWithDataSet("050001"),
       {"--expired-by", "2050-01-02"},
       nullptr,
       "overwrote 1 data set and 1 unlabelled file, 5 blocks: PAYROLL.BACKUP created 2025-05-01, expires "
       "2050-01-01; file 4",
       true},
      {"a label set and nothing after it", SixCharacterSet("OLD001"), {}, nullptr, "", false},
      {"the map cannot be made",
       TapeWithDataSet("026001"),
       {},
       [&] {
         std::filesystem::remove(show);
         test_support::WriteFile(show,
                                 "#!/bin/sh\ncase \" $* \" in *\" --map \"*) echo 'map: broken' >&2; exit 2;; "
                                 "esac\nexec " VAKLABEL_SHOW_PATH " \"$@\"\n");
         std::filesystem::permissions(show, std::filesystem::perms::owner_all);
       },
       "the tape cannot be mapped (" + show + ": map: broken); not written",
       false},
      {"the map cannot be kept",
       TapeWithDataSet("026001"),
       {},
       [&] { std::filesystem::create_directories(map_file + "/in-the-way"); },
       "the map cannot be kept in " + map_file + ": Is a directory",
       false},
      {"an unreadable block in the last file",
       cut_short,
       {},
       [&] {
         std::ofstream image(lib_ + "/ABC001L8.aws", std::ios::app | std::ios::binary);
         image << std::string("\x50\x00\xE8\x03\xA0\x00", 6) << std::string(10, 'x');  // 80 bytes, 10 there
       },
       "the map stopped at an unreadable block (file 4: space over the file: Input/output error), so what lies past "
       "it cannot be judged; --ignore-expiration overwrites it",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(lib_);
    std::filesystem::remove_all(labels_);
    std::filesystem::remove(show);
    std::filesystem::create_symlink(Binary("VAKLABEL_SHOW", VAKLABEL_SHOW_PATH), show);
    CreateLibrary(2, 1, "ABC001L8", {c.tape});
    if (c.prepare) c.prepare();
    std::string before = test_support::ReadFile(lib_ + "/ABC001L8.aws");
    std::vector<std::string> args{"--json", "label", "1", "--relabel"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult run = Library(args);
    bool written = c.detail.empty() || c.detail.starts_with("overwrote");
    EXPECT_EQ(run.status, written ? 0 : 1) << run.err;
    nlohmann::json slot = Json(run)["slots"][0];
    EXPECT_EQ(slot["result"], written ? "labelled" : "refused");
    EXPECT_EQ(slot["detail"], c.detail.empty() ? nlohmann::json() : nlohmann::json(c.detail));
    EXPECT_EQ(written, test_support::ReadFile(lib_ + "/ABC001L8.aws") != before);
    // The gate keeps the backup before it maps the tape.
    EXPECT_TRUE(std::filesystem::exists(labels + "/ABC001L8_OLD001.prelbl"));
    EXPECT_EQ(slot["map_file"], c.mapped ? nlohmann::json(map_file) : nlohmann::json());
    if (!c.mapped || !written) continue;
    nlohmann::json map = nlohmann::json::parse(test_support::ReadFile(map_file), nullptr, false);
    ASSERT_TRUE(map.is_object());
    EXPECT_EQ(map["data_sets"][0]["name"], "PAYROLL.BACKUP");
    EXPECT_EQ(map["data_sets"][0]["data"]["blocks"], 3);
    EXPECT_EQ(slot["data_sets"].size(), 2u);
    EXPECT_EQ(slot["data_sets"][1]["blocks"], 2);
  }
  std::filesystem::remove(show);
  std::filesystem::create_symlink(Binary("VAKLABEL_SHOW", VAKLABEL_SHOW_PATH), show);

  CommandResult dry = Library({"--dry-run", "label", "1", "--relabel", "--expired-by", "2050-01-02"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_NE(dry.out.find("unexpired data sets: kept until their expiration dates have passed, as of 2050-01-02 "
                         "(--expired-by); data sets that never expire or that tape management keeps stay\n"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("; if it holds more than a label set, map it first and refuse it while a data set on it has "
                         "not expired\n"),
            std::string::npos)
      << dry.out;
  nlohmann::json plan = Json(Library({"--dry-run", "--json", "label", "1", "--relabel", "--ignore-expiration"}));
  EXPECT_EQ(plan["unexpired_data_sets"]["kept"], false);
  EXPECT_EQ(plan["unexpired_data_sets"]["judged_as_of"], nullptr);
}

// The text vaklabel keeps a label set in: each 80-column record as ten rows
// of eight hex bytes.
std::string LabelText(const std::vector<std::string>& records) {
  std::string text;
  for (std::string record : records) {
    record.resize(80, ' ');
    for (size_t i = 0; i < 80; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X,", static_cast<unsigned char>(record[i]));
      text += hex;
      if (i % 8 == 7) text += "   #\n";
    }
  }
  return text;
}

// A block whose AWSTAPE header promises 80 bytes and holds 10: the drive
// fails to read it.
void AppendUnreadableBlock(const std::string& image) {
  std::ofstream out(image, std::ios::app | std::ios::binary);
  out << std::string("\x50\x00\x00\x00\xA0\x00", 6) << std::string(10, 'x');
}

// Every write passes one gate. Each path (a blank tape, --relabel over
// data, --overwrite-unreadable, a rerun after a run stopped between its
// backup and its verify) with every condition holding writes; with any one
// missing it refuses, the row naming the condition, and the tape stays as
// it was. Then the faults that once slipped past it.
TEST_F(SafetyTest, EveryWritePassesTheGate) {
  const std::string labels = labels_;
  const std::vector<TapeRecord> tar{Block(10240, 'T'), Block(10240, 'T'), Mark()};
  const std::vector<TapeRecord> half_set{Block(LabelRecord("VOL1*UHL1*")), Block(LabelRecord("HDR1"))};
  // VOL1, HDR1 of a data set kept until 2050, HDR2, then a block no drive
  // reads.
  std::vector<TapeRecord> unreadable = TapeWithDataSet("050001");
  unreadable.resize(3);
  const std::vector<TapeRecord> initialised{Block(LabelRecord("VOL1000006")),
                                            Block(LabelRecord("HDR1" + std::string(76, '0'))), Mark()};
  std::vector<TapeRecord> initialised_with_data = initialised;
  std::vector<TapeRecord> initkeep = TapeWithDataSet("030001");
  initkeep[1] = Block(LabelRecord(Put(Put(Put("HDR1INITKEEP", 32, "0001"), 42, "025121"), 48, "030001")));
  initialised_with_data.insert(initialised_with_data.end(), initkeep.begin() + 1, initkeep.end());
  std::vector<TapeRecord> unmarked = FromStandardTemplate("ABC001L8", Today());
  unmarked.resize(unmarked.size() - 2);
  std::vector<TapeRecord> short_hdr2 = FromStandardTemplate("ABC001L8", Today());
  short_hdr2[2] = Block(LabelRecord("HDR2U2621400000 0").substr(0, 79));
  std::vector<TapeRecord> one_byte_uhl1 = FromStandardTemplate("ABC001L8", Today());
  one_byte_uhl1[3] = Block(std::string(1, '\x81'));
  // Labels in ASCII, as ANSI and ISO systems write them: no EBCDIC VOL1.
  std::string ascii_hdr1 = Put(Put(Put("HDR1PAYROLL.BACKUP", 32, "0001"), 42, "025121"), 48, "030001");
  const std::vector<TapeRecord> ascii{Block(Put("VOL1OLD001", 80, "3")),
                                      Block(ascii_hdr1),
                                      Block(Put("HDR2F0800000080", 80, " ")),
                                      Mark(),
                                      Block(4096, 'D'),
                                      Mark(),
                                      Block(Put(Put(ascii_hdr1, 1, "EOF1"), 55, "000001")),
                                      Block(Put("EOF2F0800000080", 80, " ")),
                                      Mark(),
                                      Mark()};
  const std::string old_backup = labels + "/ABC001L8_OLD001.prelbl";
  auto earlier_backup = [&](const std::vector<std::string>& records) {
    return [&, records] {
      std::filesystem::create_directories(labels);
      test_support::WriteFile(old_backup, LabelText(records));
    };
  };
  const auto old_set = earlier_backup({"VOL1OLD001", "HDR1", "HDR2F0800000080 0"});
  auto in_the_way = [&](const std::string& file) {
    return [&, file] { std::filesystem::create_directories(labels + "/" + file + "/in-the-way"); };
  };
  auto both = [](std::function<void()> a, std::function<void()> b) {
    return [a, b] {
      a();
      b();
    };
  };
  // Another cartridge is on record as carrying ABC001L8.
  auto carried_elsewhere = [&] {
    test_support::WriteAwsFile(lib_ + "/ABC002L8.aws", EightCharacterSet("ABC001L8"));
    ASSERT_EQ(Library({"inventory", "2"}).status, 0);
  };
  const std::string exchanged = "drive 0 holds ABC002L8 from slot 2, not ABC001L8 planned from slot 1; not written";
  struct Case {
    const char* name;
    std::vector<TapeRecord> tape;  // slot 1's cartridge, ABC001L8
    bool damaged;                  // ends in a block no drive reads
    std::vector<std::string> args;
    std::vector<std::string> faults;
    std::function<void()> prepare;
    int exchange_after;  // another program exchanges the cartridge after this changer listing
    std::string says;    // in slot 1's row; "": written
  };
  const std::vector<Case> cases = {
      {"blank", {}, false, {}, {}, nullptr, 0, ""},
      {"blank: another cartridge in the drive", {}, false, {}, {}, nullptr, 2, exchanged},
      {"blank: the label on another cartridge", {}, false, {}, {}, carried_elsewhere, 0, "label ABC001L8 is"},
      {"relabel", TapeWithDataSet("026001"), false, {"--relabel"}, {}, nullptr, 0, ""},
      {"relabel: another cartridge in the drive",
       TapeWithDataSet("026001"),
       false,
       {"--relabel"},
       {},
       nullptr,
       2,
       exchanged},
      {"relabel: no backup",
       TapeWithDataSet("026001"),
       false,
       {"--relabel"},
       {},
       in_the_way("ABC001L8_OLD001.prelbl"),
       0,
       "the backup " + old_backup},
      {"relabel: no map",
       TapeWithDataSet("026001"),
       false,
       {"--relabel"},
       {},
       in_the_way("ABC001L8_OLD001.map.json"),
       0,
       "the map cannot be kept in " + labels + "/ABC001L8_OLD001.map.json"},
      {"relabel: unexpired",
       TapeWithDataSet("050001"),
       false,
       {"--relabel"},
       {},
       nullptr,
       0,
       "holds unexpired data: PAYROLL.BACKUP (file 1) expires 2050-01-01"},
      {"relabel: the label on another cartridge",
       TapeWithDataSet("026001"),
       false,
       {"--relabel"},
       {},
       carried_elsewhere,
       0,
       "label ABC001L8 is"},
      {"unreadable", unreadable, true, {"--overwrite-unreadable", "--ignore-expiration"}, {}, nullptr, 0, ""},
      {"unreadable: another cartridge in the drive",
       unreadable,
       true,
       {"--overwrite-unreadable", "--ignore-expiration"},
       {},
       nullptr,
       2,
       exchanged},
      {"unreadable: no backup of the records read",
       unreadable,
       true,
       {"--overwrite-unreadable", "--ignore-expiration"},
       {},
       in_the_way("ABC001L8_OLD001.prelbl"),
       0,
       "the backup " + old_backup},
      {"unreadable: no map",
       unreadable,
       true,
       {"--overwrite-unreadable", "--ignore-expiration"},
       {},
       in_the_way("ABC001L8_OLD001.map.json"),
       0,
       "the map cannot be kept in " + labels + "/ABC001L8_OLD001.map.json"},
      {"unreadable: the map stops at the fault",
       unreadable,
       true,
       {"--overwrite-unreadable"},
       {},
       nullptr,
       0,
       "the map stopped at an unreadable block"},
      {"unreadable: the label on another cartridge",
       unreadable,
       true,
       {"--overwrite-unreadable", "--ignore-expiration"},
       {},
       carried_elsewhere,
       0,
       "label ABC001L8 is"},
      {"rerun", tar, false, {"--relabel"}, {}, old_set, 0, ""},
      {"rerun: another cartridge in the drive", tar, false, {"--relabel"}, {}, old_set, 2, exchanged},
      {"rerun: no backup of the half set",
       half_set,
       false,
       {"--relabel"},
       {},
       both(old_set, in_the_way("ABC001L8_.prelbl")),
       0,
       "the backup " + labels + "/ABC001L8_.prelbl"},
      {"rerun: no map",
       tar,
       false,
       {"--relabel"},
       {},
       both(old_set, in_the_way("ABC001L8_.map.json")),
       0,
       "the map cannot be kept"},
      {"rerun: the map stops at the fault",
       {},
       true,
       {"--relabel"},
       {},
       old_set,
       0,
       "the map stopped at an unreadable block"},
      {"rerun: the label on another cartridge",
       tar,
       false,
       {"--relabel"},
       {},
       both(old_set, carried_elsewhere),
       0,
       "label ABC001L8 is"},
      // Reproductions.
      {"a stale backup and an initialised volume's unexpired data set",
       initialised_with_data,
       false,
       {"--relabel"},
       {},
       old_set,
       0,
       "holds unexpired data: INITKEEP (file 2) expires 2030-01-01"},
      {"a read fault after an unexpired HDR1",
       TapeWithDataSet("050001"),
       false,
       {"--overwrite-unreadable"},
       {"--fail-read", "4"},
       nullptr,
       0,
       "the map stopped at an unreadable block"},
      {"an initialised volume whose records cannot be kept",
       initialised,
       false,
       {"--relabel"},
       {},
       both(in_the_way("slot001-ABC001L8.lbl"), in_the_way("ABC001L8_000006.prelbl")),
       0,
       "the backup " + labels + "/ABC001L8_000006.prelbl"},
      // Refused as not judged until the map decodes ASCII labels, then as
      // unexpired: either way the row ends so.
      {"ASCII labels over a data set kept until 2030",
       ascii,
       false,
       {"--relabel"},
       {},
       nullptr,
       0,
       "--ignore-expiration overwrites it"},
      {"a set without tape marks",
       unmarked,
       false,
       {},
       {},
       nullptr,
       0,
       "no whole label set: no tape mark after the label set"},
      {"a 79-byte HDR2",
       short_hdr2,
       false,
       {},
       {},
       nullptr,
       0,
       "no whole label set: block 3 reads back as 79 bytes, not a label record's 80"},
      {"a one-byte UHL1",
       one_byte_uhl1,
       false,
       {},
       {},
       nullptr,
       0,
       "no whole label set: block 4 reads back as 1 bytes, not a label record's 80"},
      {"a set without tape marks, relabelled", unmarked, false, {"--relabel"}, {}, nullptr, 0, ""},
      {"a rerun from an initialised volume's backup",
       half_set,
       false,
       {"--relabel"},
       {},
       earlier_backup({"VOL1000006", "HDR1" + std::string(76, '0')}),
       0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(lib_);
    std::filesystem::remove_all(labels_);
    CreateLibrary(3, 1, "ABC001L8,ABC002L8", {c.tape}, "3");
    if (c.damaged) AppendUnreadableBlock(lib_ + "/ABC001L8.aws");
    if (c.prepare) c.prepare();
    if (c.exchange_after) ExchangeAfterListing(c.exchange_after, {"unload 1 0", "load 2 0"});
    std::string before = test_support::ReadFile(lib_ + "/ABC001L8.aws");
    std::vector<std::string> args{"--json", "label", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult run = Library(args, c.faults);
    std::filesystem::remove(dir_.File("bin/mtx"));
    nlohmann::json slot = Json(run)["slots"][0];
    std::string detail = slot["detail"].is_string() ? slot["detail"].get<std::string>() : "";
    if (c.says.empty()) {
      EXPECT_EQ(slot["result"], "labelled") << detail;
      EXPECT_EQ(Tape("ABC001L8"), FromStandardTemplate("ABC001L8", Today()));
      EXPECT_EQ(run.status, 0) << run.err;
    } else {
      EXPECT_EQ(slot["result"], "refused") << detail;
      EXPECT_NE(detail.find(c.says), std::string::npos) << detail;
      EXPECT_EQ(test_support::ReadFile(lib_ + "/ABC001L8.aws"), before);
      EXPECT_EQ(run.status, 1);
    }
    EXPECT_EQ(test_support::Run({vtape_, "list", lib_}).out.find("removal prevented"), std::string::npos);
  }
}

// Every label set the library writes passes vaklabel-show: no stale data
// set name, dates or volume serial of the set a relabel replaced.
TEST_F(LibraryTest, EverySetWrittenPassesTheChecker) {
  const std::vector<TapeRecord> initialised{Block(LabelRecord("VOL1000006")),
                                            Block(LabelRecord("HDR1" + std::string(76, '0'))), Mark()};
  struct Case {
    const char* name;
    std::vector<TapeRecord> tape;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {"blank, eight characters", {}, {}},
      {"blank, six characters", {}, {"--barcode-six"}},
      {"relabelled over an expired data set", TapeWithDataSet("026001"), {"--relabel"}},
      {"relabelled over an expired data set, six characters",
       TapeWithDataSet("026001"),
       {"--relabel", "--barcode-six"}},
      {"an initialised volume", initialised, {"--relabel"}},
      {"an initialised volume, six characters", initialised, {"--relabel", "--barcode-six"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(lib_);
    std::filesystem::remove_all(labels_);
    CreateLibrary(2, 1, "ABC001L8", {c.tape});
    std::vector<std::string> args{"label", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(Library(args).status, 0);
    CommandResult checked =
        test_support::Run({vtape_, "run", lib_ + "/ABC001L8.aws", "--", "vaklabel-show", "/dev/nst0"}, "", {path_});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  }
}

// Each run keeps its records; an inventory from history answers what they
// prove without a move and mounts (or leaves unknown) what they do not.
// Slots 1 and 2 are labelled first; slot 3 is blank and never recorded.
TEST_F(LibraryTest, InventoryFromHistory) {
  auto edit_history = [&](const std::string& pattern, const std::string& replacement) {
    std::string path = labels_ + "/history.jsonl";
    test_support::WriteFile(path, std::regex_replace(test_support::ReadFile(path), std::regex(pattern), replacement));
  };
  const std::vector<std::string> no_move{"--fail-move", "ABC001L8,ABC002L8,ABC003L8", "--fail-load", "0,1"};
  const std::string from_history = "labelled ABC001L8, from history: verified ";
  const std::string mtx = dir_.File("bin/mtx");  // one that misreads a barcode, where a case puts it
  struct Case {
    const char* name;
    std::function<void()> change;
    std::vector<std::string> args;
    std::vector<std::string> faults;
    int status;
    std::vector<std::string> says;            // in the report
    std::vector<std::string> then_args = {};  // a second run, to see what the first left
    std::string then_says = "";
  };
  const Case cases[] = {
      {"full history moves nothing",
       [] {},
       {"--json", "inventory", "--from-history", "1-2"},
       no_move,
       0,
       {R"("evidence": "history")", R"("evidence_file": ")" + labels_ + "/slot001-ABC001L8.written.lbl",
        R"("evidence_time": "20)", R"("detail": "verified )"}},
      {"partial history mounts only the rest",
       [] {},
       {"inventory", "--from-history"},
       {"--fail-move", "ABC001L8,ABC002L8"},
       0,
       {from_history, "labelled ABC002L8, from history", "3     ABC003L8  blank"}},
      {"a refusal since",
       [&] {
         Library({"label", "1", "--serial", "TAP001"});
       },
       {"inventory", "--from-history", "--no-mount", "1"},
       {},
       1,
       {"unknown: no history (the last run refused it)"}},
      {"a record of another library",
       [&] { edit_history(R"("library":"[^"]*")", R"("library":"OTHER")"); },
       {"inventory", "--from-history", "--no-mount", "1"},
       {},
       1,
       {"unknown: no history (the record is from another library (OTHER))"}},
      {"a record naming no library",
       [&] { edit_history(R"("library":"[^"]*",)", ""); },
       {"inventory", "--from-history", "1"},
       {},
       0,
       {"carries ABC001L8"}},
      {"a stale record",
       [&] { edit_history(R"("time":\d+)", R"("time":1000000000)"); },
       {"inventory", "--from-history", "--no-mount", "--max-age", "30", "1"},
       {},
       1,
       {"unknown: no history (the record is older than 30 days)"}},
      {"a labels directory that disagrees",
       [&] {
         std::filesystem::copy_file(labels_ + "/slot002-ABC002L8.written.lbl",
                                    labels_ + "/slot001-ABC001L8.written.lbl",
                                    std::filesystem::copy_options::overwrite_existing);
       },
       {"inventory", "--from-history", "--no-mount", "1"},
       {},
       1,
       {"unknown: no history (the labels directory disagrees with the record"}},
      {"one barcode in two slots",
       [&] {
         test_support::WriteFile(mtx,
                                 "#!/bin/sh\nPATH=/usr/sbin:/usr/bin:/sbin:/bin\ncase \" $* \" in *\" status \"*) "
                                 "mtx \"$@\" | sed s/ABC002L8/ABC001L8/; exit 0;; esac\nexec mtx \"$@\"\n");
         std::filesystem::permissions(mtx, std::filesystem::perms::owner_all);
       },
       {"inventory", "--from-history", "--no-mount", "1-2"},
       {},
       1,
       {"unknown: no history (barcode ABC001L8 is in more than one place)"}},
      {"an unreadable barcode",
       [] {},
       {"inventory", "--from-history", "--no-mount", "1"},
       {"--unreadable-barcode", "ABC001L8"},
       1,
       {"unknown: no history (the changer read no barcode)"}},
      {"a cartridge moved by hand",
       [&] {
         Mtx({"transfer", "1", "4"});
       },
       {"inventory", "--from-history", "4"},
       {},
       0,
       {"4     ABC001L8  labelled  ABC001L8", "carries ABC001L8"}},
      {"an audit finds a tape another program changed",
       [&] { test_support::WriteAwsFile(lib_ + "/ABC001L8.aws", SixCharacterSet("XYZ789")); },
       {"inventory", "--from-history", "--audit", "all", "1-2"},
       {},
       3,
       {"audit: slot 1 ABC001L8: history says labelled ABC001L8", "the tape carries XYZ789"},
       {"inventory", "--from-history", "--no-mount", "1"},
       "labelled XYZ789, from history"},
      {"the dry run of an inventory from history",
       [] {},
       {"--dry-run", "inventory", "--from-history"},
       no_move,
       0,
       {"slot 1 ABC001L8: answer: labelled ABC001L8, from history", "slot 3 ABC003L8: read\n"}},
      {"the dry run of a label predicts a duplicate from history",
       [] {},
       {"--dry-run", "label", "3", "--serial", "ABC002L8"},
       no_move,
       0,
       {"refuse: label ABC002L8 is already on slot 2's cartridge ABC002L8"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(labels_);
    std::filesystem::remove_all(lib_);
    std::filesystem::remove(mtx);
    CreateLibrary(4, 2, "ABC001L8,ABC002L8,ABC003L8");
    ASSERT_EQ(Library({"label", "1-2"}).status, 0);
    c.change();
    CommandResult run = Library(c.args, c.faults);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    for (const std::string& text : c.says) EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    if (c.then_args.empty()) continue;
    CommandResult then = Library(c.then_args);
    EXPECT_NE(then.out.find(c.then_says), std::string::npos) << then.out << then.err;
  }
}

}  // namespace
