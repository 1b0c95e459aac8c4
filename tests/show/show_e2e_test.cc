// The real vaklabel-show on each kind of input, under the virtual drive: what
// an operator sees, the JSON a script parses, the exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Json = nlohmann::json;
using test_support::Block;
using test_support::CommandResult;
using test_support::LabelRecord;
using test_support::Mark;

class ShowTest : public ::testing::Test {
 protected:
  CommandResult Show(std::vector<std::string> args) {
    args.insert(args.begin(), VAKLABEL_SHOW);
    return test_support::Run(args);
  }

  // `command` under the drive loaded with the tape, with `faults` given to it.
  CommandResult UnderDrive(std::vector<std::string> command, const std::vector<std::string>& faults = {}) {
    std::vector<std::string> argv = {test_support::BinaryPath("VTAPE"), "run", tape_};
    argv.insert(argv.end(), faults.begin(), faults.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return test_support::Run(argv);
  }

  CommandResult Vaklabel(std::vector<std::string> args) {
    args.insert(args.begin(), test_support::BinaryPath("VAKLABEL"));
    return UnderDrive(args);
  }

  static std::vector<Json> Documents(const std::string& out) {
    std::vector<Json> docs;
    size_t at = 0;
    for (size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
      docs.push_back(Json::parse(out.substr(at, end - at)));
    EXPECT_EQ(at, out.size()) << "output does not end in a line end";
    return docs;
  }

  std::string File(std::string_view name) const { return dir_.File(name); }

  test_support::TempDir dir_;
  std::string tape_ = dir_.File("tape.aws");
};

std::string TodayIso() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
  return text;
}

// The demo's job: a blank tape labelled from the standard template, then
// relabelled with eight characters and a backup.
TEST_F(ShowTest, DemoTapeItsBackupAndItsImageDecodeToTheSameFields) {
  ASSERT_EQ(test_support::Run({test_support::BinaryPath("VTAPE"), "create", tape_}).status, 0);
  ASSERT_EQ(Vaklabel({"-q", "-c", TEMPLATE_DIR, "-t", "standard.lbl", "-f", "/dev/nst0", "-w", "XYZ789"}).status, 0);
  std::string image_before = test_support::ReadFile(tape_);

  CommandResult before = UnderDrive({VAKLABEL_SHOW, "--json", "/dev/nst0", tape_});
  ASSERT_EQ(before.status, 0) << before.err;
  std::vector<Json> old_set = Documents(before.out);
  ASSERT_EQ(old_set.size(), 2u);
  EXPECT_EQ(old_set[0]["kind"], "device");
  EXPECT_EQ(old_set[1]["kind"], "image");
  EXPECT_EQ(old_set[0]["label"], "XYZ789");
  EXPECT_EQ(old_set[0]["records"], old_set[1]["records"]);
  const Json& hdr1 = old_set[0]["records"][1]["fields"];
  EXPECT_EQ(hdr1["creation_date"]["date"], TodayIso());
  EXPECT_EQ(hdr1["expiration_date"]["value"], " 00000");
  EXPECT_EQ(hdr1["expiration_date"]["meaning"], "no date");
  EXPECT_EQ(test_support::ReadFile(tape_), image_before) << "reading the drive changed the tape";

  ASSERT_EQ(Vaklabel({"-q", "-b", "-p", File("labels"), "-f", "/dev/nst0", "-w", "ABCD1234"}).status, 0);
  ASSERT_EQ(Vaklabel({"-q", "-r", "-p", File("labels"), "-o", "current.lbl", "-f", "/dev/nst0"}).status, 0);
  CommandResult after = UnderDrive({VAKLABEL_SHOW, "--json", "/dev/nst0", tape_, File("labels/current.lbl"),
                                    File("labels/ABCD1234_XYZ789.prelbl")});
  // The eight-character form is this project's own convention: it passes,
  // with a note that a mainframe reads the volume serial *UHL1*.
  ASSERT_EQ(after.status, 0) << after.err;
  std::vector<Json> docs = Documents(after.out);
  ASSERT_EQ(docs.size(), 4u);
  EXPECT_EQ(docs[2]["kind"], "label-file");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(docs[i]["label"], "ABCD1234");
    EXPECT_EQ(docs[i]["label_length"], 8);
    EXPECT_EQ(docs[i]["passed"], true);
    EXPECT_EQ(docs[i]["failed_checks"], Json::array());
    EXPECT_EQ(docs[i]["notes"].back().get<std::string>().substr(0, 37), "an eight-character label in UHL1, thi");
    EXPECT_EQ(docs[i]["records"], docs[0]["records"]) << docs[i]["input"];
  }
  EXPECT_EQ(docs[0]["records"][3]["fields"]["label"]["value"], "ABCD1234");
  EXPECT_EQ(docs[3]["records"], old_set[0]["records"]) << "the backup holds the old label set";
  EXPECT_EQ(docs[3]["notes"].size(), 1u);

  CommandResult text = UnderDrive({VAKLABEL_SHOW, "/dev/nst0"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out.substr(0, text.out.find('\n')), "/dev/nst0 (device): label ABCD1234 (eight characters, in UHL1)");
  EXPECT_NE(text.out.find("\n  5-10   volume serial                    *UHL1*  UHL1 marker: the label is in UHL1\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("\n  5-12   eight-character label            ABCD1234\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nnote: an eight-character label in UHL1, this project's own convention: a mainframe "
                          "reads the volume serial *UHL1* (--mainframe judges by a mainframe's rules alone)\n"),
            std::string::npos)
      << text.out;
  EXPECT_TRUE(text.out.ends_with("\nchecks: all passed\n")) << text.out;
  CommandResult mainframe = UnderDrive({VAKLABEL_SHOW, "--mainframe", "/dev/nst0"});
  EXPECT_EQ(mainframe.status, 1);
  EXPECT_TRUE(mainframe.out.ends_with(
      "\nchecks: 1 failed\n  volume_serial: VOL1 5-10 volume serial: '*' in column 5 is not among the characters "
      "mainframes accept in a volume serial (A-Z, 0-9, @ # $ -)\n"))
      << mainframe.out;
}

TEST_F(ShowTest, ABadInputIsNamedAndTheOthersAreStillShown) {
  test_support::WriteAwsFile(tape_, {Block(LabelRecord("VOL1ABC123")), Block(LabelRecord("HDR1")),
                                     Block(LabelRecord("HDR2")), Mark(), Mark()});
  test_support::WriteFile(File("nonhex.lbl"), "56,4F,4C,31,48,4A,4B,G0,   #VOL1\n");
  test_support::WriteFile(File("noise.bin"), "\x01\x02\x03\x04\x05\x06\x07\x08");
  std::vector<std::string> inputs = {File("nonhex.lbl"), tape_, File("noise.bin"), File("missing.aws")};

  CommandResult text = Show(inputs);
  EXPECT_EQ(text.status, 2);
  EXPECT_EQ(text.err, "vaklabel-show: " + File("nonhex.lbl") + ": line 1: 'G0' is not a hex byte\n" +
                          "vaklabel-show: " + File("noise.bin") +
                          ": neither a label text file (rows of hex bytes) nor an AWSTAPE image\n" +
                          "vaklabel-show: " + File("missing.aws") + ": No such file or directory\n");
  EXPECT_EQ(text.out.substr(0, text.out.find('\n')), tape_ + " (image): label ABC123 (six characters, in VOL1)")
      << text.out;

  CommandResult json = Show({"--json", File("nonhex.lbl"), tape_, File("missing.aws")});
  EXPECT_EQ(json.status, 2);
  std::vector<Json> docs = Documents(json.out);
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(docs[0], (Json{{"input", File("nonhex.lbl")}, {"kind", "label-file"}, {"error", "line 1: 'G0' is not a hex byte"}}));
  EXPECT_EQ(docs[1]["label"], "ABC123");
  EXPECT_EQ(docs[2]["kind"], nullptr);

  CommandResult drive = UnderDrive({VAKLABEL_SHOW, "/dev/nst0", tape_}, {"--fail-rewind"});
  EXPECT_EQ(drive.status, 2);
  EXPECT_EQ(drive.err, "vaklabel-show: /dev/nst0: rewind: Input/output error\n");
  EXPECT_EQ(drive.out.substr(0, drive.out.find('\n')), tape_ + " (image): label ABC123 (six characters, in VOL1)");
}

TEST_F(ShowTest, AFailedCheckNamesTheFieldAndGivesStatusOne) {
  std::string hdr1 = test_support::Put(test_support::Record("HDR1"), 42, "026123025123");
  test_support::WriteAwsFile(tape_, {Block(LabelRecord("VOL1ABC123")), Block(LabelRecord(hdr1)),
                                     Block(LabelRecord("HDR2F0800000080 0")), Mark(), Mark()});
  CommandResult text = UnderDrive({VAKLABEL_SHOW, "/dev/nst0"});
  EXPECT_EQ(text.status, 1);
  EXPECT_TRUE(text.out.ends_with("\nchecks: 1 failed\n  expiration: HDR1 48-53 expiration date: expires 2025-05-03, "
                                 "before its creation on 2026-05-03\n"))
      << text.out;
  std::vector<Json> docs = Documents(Show({"--json", tape_}).out);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0]["passed"], false);
  EXPECT_EQ(docs[0]["failed_checks"],
            Json::parse(R"([{"check":"expiration","record":2,"identifier":"HDR1","field":"expiration_date",)"
                        R"("columns":[48,53],"reason":"expires 2025-05-03, before its creation on 2026-05-03"}])"));
}

TEST_F(ShowTest, CommandLine) {
  const std::string try_help = "\nTry 'vaklabel-show --help' for more information.\n";
  test_support::WriteAwsFile(tape_, {Block(LabelRecord("VOL1ABC123")), Block(LabelRecord("HDR1")),
                                     Block(LabelRecord("HDR2")), Mark(), Mark()});
  struct Case {
    std::vector<std::string> args;
    std::string tape;  // $TAPE; empty: unset
    int status;
    std::string out;  // its first line
    std::string err;
  } const kCases[] = {
      {{},
       "",
       3,
       "",
       "vaklabel-show: missing input: name a tape device, AWSTAPE image or label text file, or set TAPE" + try_help},
      {{}, tape_, 1, tape_ + " (image): label ABC123 (six characters, in VOL1)", ""},
      {{"--bogus"}, "", 3, "", "vaklabel-show: --bogus: no such option" + try_help},
      {{"--kind", "tape", tape_},
       "",
       3,
       "",
       "vaklabel-show: --kind: 'tape' is none of auto, device, image and label-file" + try_help},
      {{tape_, "--kind"},
       "",
       3,
       "",
       "vaklabel-show: --kind: needs a kind: auto, device, image or label-file" + try_help},
      {{"--frobnicate", tape_}, "", 3, "", "vaklabel-show: --frobnicate: no such option" + try_help},
      {{"--json=abc", tape_}, "", 3, "", "vaklabel-show: --json: takes no value" + try_help},
      {{"--version"}, "", 0, "vaklabel-show (vaklabel) 0.1.0", ""},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> argv = {"env", c.tape.empty() ? "-uTAPE" : "TAPE=" + c.tape, VAKLABEL_SHOW};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandResult result = test_support::Run(argv);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), c.out);
    EXPECT_EQ(result.err, c.err);
  }
  CommandResult help = Show({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--json"), std::string::npos);
  EXPECT_NE(help.out.find("TAPE environment variable"), std::string::npos);

  test_support::WriteFile(File("a.lbl"), "56,4F,4C,31,48,4A,4B,30,   #VOL1\n");
  CommandResult forced = Show({"--kind", "image", File("a.lbl")});
  EXPECT_EQ(forced.status, 2);
  EXPECT_EQ(forced.err, "vaklabel-show: " + File("a.lbl") + ": not an AWSTAPE image: its first 6 bytes are no block header\n");
}

// Labels nobody here wrote, blank tapes and foreign data: the image and the
// drive holding it give the same document and status, and the label is what
// vaklabel prints from that drive (or none where it fails).
TEST_F(ShowTest, AnImageAndADriveHoldingItSayTheSame) {
  const std::string vol1 = LabelRecord("VOL1ABC123");
  const std::string hdr2 = LabelRecord("HDR2F3200000080301PAYJOB  /STEP1       B");
  auto hdr1 = [](std::string_view created) {
    return LabelRecord(test_support::Put(test_support::Record("HDR1PAYROLL"), 42, std::string(created) + " 99365"));
  };
  struct Case {
    const char* name;
    std::vector<test_support::TapeRecord> tape;
    int status;
    int status_vaklabel_form;  // with --vaklabel-form
    const char* label;         // nullptr: vaklabel reads none
  } const kCases[] = {
      {"blank", {}, 1, 1, nullptr},
      {"unlabelled data, no tape mark",
       {Block(20480, '\x86'), Block(20480, '\x86'), Block(20480, '\x86')},
       1,
       1,
       nullptr},
      {"first block of 256 KiB", {Block(262144, '\xC1'), Block(vol1), Mark()}, 1, 1, nullptr},
      {"initialised volume", {Block(vol1), Block(LabelRecord("HDR1" + std::string(76, '0'))), Mark()}, 0, 1, nullptr},
      {"z/OS set from 1999", {Block(vol1), Block(hdr1(" 99123")), Block(hdr2), Mark(), Mark()}, 0, 1, "ABC123"},
      {"as vaklabel writes it", {Block(vol1), Block(hdr1("026123")), Block(hdr2), Mark(), Mark()}, 0, 0, "ABC123"},
  };
  for (const Case& c : kCases) {
    test_support::WriteAwsFile(tape_, c.tape);
    CommandResult image = Show({"--json", tape_});
    CommandResult drive = UnderDrive({VAKLABEL_SHOW, "--json", "/dev/nst0"});
    EXPECT_EQ(image.status, c.status) << c.name << image.err;
    EXPECT_EQ(drive.status, c.status) << c.name << drive.err;
    EXPECT_EQ(Show({"--vaklabel-form", tape_}).status, c.status_vaklabel_form) << c.name;
    std::vector<Json> docs = Documents(image.out + drive.out);
    ASSERT_EQ(docs.size(), 2u) << c.name;
    for (Json& doc : docs) doc.erase("input"), doc.erase("kind");
    EXPECT_EQ(docs[0], docs[1]) << c.name;
    EXPECT_EQ(docs[0]["label"], c.label ? Json(c.label) : Json(nullptr)) << c.name;
    CommandResult vaklabel = Vaklabel({"-r", "-f", "/dev/nst0"});
    EXPECT_EQ(vaklabel.out, c.label ? std::string(c.label) + "\n" : "") << c.name;
  }
}

// What the first line says, or the error, for tapes that are no IBM
// standard label set or no sound image; a drive holding the image agrees.
TEST_F(ShowTest, HeadlinesAndDamageSayWhatTheInputIs) {
  const std::string vol1 = LabelRecord("VOL1ABC123");
  const std::string hdr1 = LabelRecord(test_support::Put(test_support::Record("HDR1PAYROLL"), 42, "026123 99365"));
  std::string sound = test_support::EncodeAws({Block(vol1), Block(hdr1), Mark(), Mark()});
  std::string wrong_previous = sound;
  wrong_previous[86 + 2] = '\x0C';  // HDR1's header: previous length 12, not 80
  struct Case {
    const char* name;
    std::string image;
    int status;
    std::string said;  // the first line of output, or the error
    bool drive;        // a drive can hold it
  } const kCases[] = {
      {"ASCII labels",
       test_support::EncodeAws({Block(test_support::Record("VOL1ABC123")), Block(test_support::Record("HDR1")),
                                Block(test_support::Record("HDR2")), Mark()}),
       1, "ASCII labels (ANSI/ISO, AL), not EBCDIC standard labels", true},
      {"a data record first", test_support::EncodeAws({Block(LabelRecord("1 SMITH  JOHN")), Mark()}), 1,
       "no standard label set", true},
      {"z/VSE: VOL1, HDR1, tape mark", sound, 0, "no label vaklabel can read", true},
      {"cut inside the first block", sound.substr(0, 50), 2, "offset 0: image ends inside a block", false},
      {"previous-length field wrong", wrong_previous, 2,
       "offset 86: not an AWSTAPE header: previous-length field 12 where the header before has length 80", true},
  };
  for (const Case& c : kCases) {
    test_support::WriteFile(tape_, c.image);
    CommandResult image = Show({tape_});
    EXPECT_EQ(image.status, c.status) << c.name << image.err;
    std::string said = c.status == 2 ? image.err : image.out.substr(0, image.out.find('\n'));
    EXPECT_EQ(said, c.status == 2 ? "vaklabel-show: " + tape_ + ": " + c.said + "\n" : tape_ + " (image): " + c.said)
        << c.name;
    if (c.drive) {
      EXPECT_EQ(UnderDrive({VAKLABEL_SHOW, "/dev/nst0"}).status, c.status) << c.name;
    }
  }
  test_support::WriteFile(tape_, sound);
  EXPECT_NE(Show({tape_}).out.find("\nnote: a z/VSE label set: VOL1 and HDR1 with no HDR2"), std::string::npos);
}

// Input that is not a file of bytes to read front to back, or that never
// ends: read, or refused at once with a message that echoes nothing raw.
TEST_F(ShowTest, PipesEndlessAndHostileInputsAreReadOrRefusedPromptly) {
  std::string image = test_support::EncodeAws(
      {Block(LabelRecord("VOL1ABC123")), Block(LabelRecord("HDR1")), Block(LabelRecord("HDR2")), Mark(), Mark()});
  std::string fifo = File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  test_support::WriteFile(File("esc.lbl"), "56,\033[31mRED\033[0m,\n");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string err;
  } const kCases[] = {
      {{"-k", "image", "/dev/stdin"}, image, 1, ""},
      {{"-k", "image", fifo}, "", 2, fifo + ": nothing came through the pipe: no writer, or an empty stream\n"},
      {{fifo}, "", 2, fifo + ": a pipe: name what it carries with -k image or -k label-file\n"},
      {{"-k", "label-file", "/dev/zero"},
       "",
       2,
       "/dev/zero: line 1: longer than 1024 characters: not a row of hex bytes\n"},
      {{File("esc.lbl")}, "", 2, File("esc.lbl") + ": line 1: '\\x1B[31mRED\\x1B[0m' is not a hex byte\n"},
      {{"-k", "device", File("esc.lbl")}, "", 2, File("esc.lbl") + ": not a character device, so not a drive\n"},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> argv = {VAKLABEL_SHOW};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandResult result = test_support::Run(argv, c.input);
    EXPECT_EQ(result.status, c.status) << c.args.back() << result.err;
    EXPECT_EQ(result.err, c.err.empty() ? "" : "vaklabel-show: " + c.err) << c.args.back();
  }
}

}  // namespace
