// The differential test: every scenario lays down the same tape for the
// kernel's st driver (in the guest) and for the virtual drive (here), runs
// the same tapeprobe script and the same vaklabel command on both, and
// compares what came out.
//
//   realdrive_differential --generate DIR   lay out the scenarios in DIR for
//                                           differential-guest.sh
//   realdrive_differential                  run them here under vtape and
//                                           compare with the guest's results
//                                           in $REALDRIVE_RESULTS
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::Block;
using test_support::Mark;
using test_support::TapeRecord;
using Records = std::vector<TapeRecord>;

/// What one scenario starts from and runs.
struct Scenario {
  std::string name;
  std::vector<TapeRecord> tape;
  /// vaklabel's arguments; it runs in a directory holding `files`.
  std::vector<std::string> args;
  bool write_protected = false;
  std::map<std::string, std::string> files = {};
};

/// An 80-byte EBCDIC label record: `fields` are (1-based column, text) pairs
/// on a blank record.
std::string Label(std::initializer_list<std::pair<int, std::string>> fields) {
  std::string ascii(80, ' ');
  for (const auto& [column, text] : fields) ascii.replace(column - 1, text.size(), text);
  return test_support::LabelRecord(ascii);
}

const std::string kVol1Abc123 = Label({{1, "VOL1ABC123"}, {42, "OPERATIONS"}});
const std::string kVol1Marker = Label({{1, "VOL1*UHL1*"}, {42, "OPERATIONS"}});
const std::string kHdr1 = Label({{1, "HDR1PAYROLL.2026"}, {32, "0001"}, {42, "025123 026123"}, {61, "TAPESYS"}});
const std::string kHdr2 = Label({{1, "HDR2F0800000080 0"}});
const std::string kUhl1 = Label({{1, "UHL1ABCD1234"}});

const Records kSix = {Block(kVol1Abc123), Block(kHdr1), Block(kHdr2), Mark(), Mark()};
const Records kEight = {Block(kVol1Marker), Block(kHdr1), Block(kHdr2), Block(kUhl1), Mark(), Mark()};

std::string Device(const Scenario& s) {
  for (size_t i = 0; i + 1 < s.args.size(); ++i) {
    if (s.args[i] == "-f") return s.args[i + 1];
  }
  return "/dev/nst0";
}

bool Writes(const Scenario& s) { return std::find(s.args.begin(), s.args.end(), "-w") != s.args.end(); }

/// vaklabel's own sequence of calls, without its decisions: the reader's
/// preparation and four reads, then for a write run the writer's
/// preparation, its blocks (as many as the new label needs) and two marks.
std::vector<std::string> ProbeSteps(const Scenario& s) {
  std::vector<std::string> steps = {"open:ro", "rew", "setblk:0", "read:80", "read:80", "read:80", "read:80", "close"};
  if (Writes(s)) {
    steps.insert(steps.end(), {"open:rw", "rew", "setblk:0"});
    int blocks = s.args.back().size() == 8 ? 4 : 3;
    for (int n = 1; n <= blocks; ++n) steps.push_back("write:80:c" + std::to_string(n));
    steps.insert(steps.end(), {"weof:2", "close"});
  }
  return steps;
}

/// Reads the whole tape back: enough reads to pass every block and mark and
/// to reach the end of data on any tape here.
std::vector<std::string> ReadBackSteps() {
  std::vector<std::string> steps = {"open:ro", "rew"};
  for (int i = 0; i < 14; ++i) steps.push_back("read:65536");
  steps.push_back("close");
  return steps;
}

std::vector<Scenario> Scenarios() {
  const std::string standard = test_support::ReadFile(test_support::BinaryPath("TEMPLATES") + "/standard.lbl");
  const std::map<std::string, std::string> template_file = {{"standard.lbl", standard}};
  const std::vector<std::string> backup = {"-b", "-p", "out"};
  const std::vector<std::string> with_template = {"-c", ".", "-t", "standard.lbl"};
  auto args = [](std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all = {"-f", "/dev/nst0"};
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const std::string short_vol1 = kVol1Abc123.substr(0, 60);
  const std::string long_vol1 = kVol1Abc123 + std::string(20, '\x40');
  const Records data_file = {Block(kVol1Abc123), Block(kHdr1), Block(kHdr2), Mark(),
                                             Block(100, '\xe7'), Block(50, '\xe8'), Mark(), Mark()};
  return {
      {"read_six", kSix, args({})},
      {"read_eight", kEight, args({})},
      {"read_six_quiet", kSix, args({{"-q"}})},
      {"read_four_blocks_no_marker", Records{Block(kVol1Abc123), Block(kHdr1), Block(kHdr2), Block(kUhl1), Mark()},
       args({})},
      {"read_marker_three_blocks", Records{Block(kVol1Marker), Block(kHdr1), Block(kHdr2), Mark(), Mark()}, args({})},
      {"read_two_blocks", Records{Block(kVol1Abc123), Block(kHdr1), Mark(), Mark()}, args({})},
      {"read_mark_first", Records{Mark(), Mark()}, args({})},
      {"read_short_first_block", Records{Block(short_vol1), Block(kHdr1), Block(kHdr2), Mark(), Mark()}, args({})},
      {"read_blank", {}, args({})},
      {"read_blank_quiet", {}, args({{"-q"}})},
      {"read_three_blocks_then_end_of_data", Records{Block(kVol1Abc123), Block(kHdr1), Block(kHdr2)}, args({})},
      {"read_two_blocks_then_end_of_data", Records{Block(kVol1Abc123), Block(kHdr1)}, args({})},
      {"read_oversize_first_block", Records{Block(long_vol1), Block(kHdr1), Block(kHdr2), Mark(), Mark()}, args({})},
      {"read_oversize_fourth_block", Records{Block(kVol1Marker), Block(kHdr1), Block(kHdr2), Block(kUhl1 + "XX"), Mark()},
       args({})},
      {"save_six", kSix, args({{"-p", "out", "-o", "six.lbl"}})},
      {"save_eight", kEight, args({{"-p", "out", "-o", "eight.lbl"}})},
      {"save_into_missing_parent", kSix, args({{"-p", "no/out", "-o", "six.lbl"}})},
      {"relabel_6_to_6", kSix, args({{"-w", "XYZ789"}})},
      {"relabel_6_to_8", kSix, args({{"-w", "WXYZ5678"}})},
      {"relabel_8_to_6", kEight, args({{"-w", "XYZ789"}})},
      {"relabel_8_to_8", kEight, args({{"-w", "WXYZ5678"}})},
      {"relabel_quiet", kEight, args({{"-q", "-w", "XYZ789"}})},
      {"relabel_data_tape", data_file, args({{"-w", "XYZ789"}})},
      {"relabel_short_first_block", Records{Block(short_vol1), Block(kHdr1), Block(kHdr2), Mark(), Mark()},
       args({{"-w", "XYZ789"}})},
      {"backup_6_to_6", kSix, args({backup, {"-w", "XYZ789"}})},
      {"backup_6_to_8", kSix, args({backup, {"-w", "WXYZ5678"}})},
      {"backup_8_to_6", kEight, args({backup, {"-w", "XYZ789"}})},
      {"backup_8_to_8", kEight, args({backup, {"-w", "WXYZ5678"}})},
      {"relabel_blank", {}, args({{"-w", "XYZ789"}})},
      {"relabel_end_of_data", Records{Block(kVol1Abc123), Block(kHdr1), Block(kHdr2)}, args({{"-w", "XYZ789"}})},
      {"template_blank_6", {}, args({with_template, {"-w", "ABC123"}}), false, template_file},
      {"template_blank_8", {}, args({with_template, {"-w", "ABCD1234"}}), false, template_file},
      {"template_blank_backup", {}, args({backup, with_template, {"-w", "ABC123"}}), false, template_file},
      {"template_two_blocks_then_end_of_data", Records{Block(kVol1Abc123), Block(kHdr1)},
       args({backup, with_template, {"-w", "WXYZ5678"}}), false, template_file},
      {"template_over_six", kSix, args({backup, with_template, {"-w", "XYZ789"}}), false, template_file},
      {"template_oversize_first_block", Records{Block(long_vol1), Block(kHdr1), Block(kHdr2), Mark(), Mark()},
       args({with_template, {"-w", "XYZ789"}}), false, template_file},
      {"write_protected_read", kSix, args({}), true},
      {"write_protected_relabel", kSix, args({backup, {"-w", "XYZ789"}}), true},
      {"write_protected_template_blank", {}, args({with_template, {"-w", "ABC123"}}), true, template_file},
      {"regular_file_read", {}, {"-f", "notatape"}, false, {{"notatape", kSix[0].data + kHdr1}}},
      {"regular_file_relabel", {}, {"-f", "notatape", "-w", "XYZ789"}, false, {{"notatape", kSix[0].data + kHdr1}}},
      {"read_six_rewinding", kSix, {"-f", "/dev/st0"}},
      {"relabel_6_to_8_rewinding", kSix, {"-f", "/dev/st0", "-w", "WXYZ5678"}},
      {"missing_path_read", kSix, {"-f", "missing"}},
      {"missing_path_relabel", kSix, {"-f", "missing", "-w", "XYZ789"}},
  };
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

void Put(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  test_support::WriteFile(path, contents);
}

/// Writes what differential-guest.sh needs for scenario `s` into `dir`: the
/// tape as a list of records (block files and marks), the probe script,
/// vaklabel's arguments, the starting files of its two working directories.
void Generate(const Scenario& s, const fs::path& dir) {
  // A run of blocks of one size goes into one file, which dd writes with
  // one call per block: each program started in the guest costs time.
  std::string tape;
  for (size_t i = 0; i < s.tape.size();) {
    if (s.tape[i].mark) {
      tape += "mark\n";
      ++i;
      continue;
    }
    const std::string file = "blocks/" + std::to_string(i);
    const size_t size = s.tape[i].data.size();
    std::string blocks;
    for (; i < s.tape.size() && !s.tape[i].mark && s.tape[i].data.size() == size; ++i) blocks += s.tape[i].data;
    Put(dir / file, blocks);
    tape += "blocks " + file + " " + std::to_string(size) + "\n";
  }
  Put(dir / "tape", tape);
  Put(dir / "steps", Lines(ProbeSteps(s)));
  Put(dir / "device", Device(s) + "\n");
  Put(dir / "command", Lines(s.args));
  Put(dir / "mode", std::string(Writes(s) ? "write" : "read") + (s.write_protected ? " protected" : "") + "\n");
  for (const char* work : {"probe", "run"}) {
    fs::create_directories(dir / work);
    for (const auto& [name, contents] : s.files) Put(dir / work / name, contents);
  }
  fs::create_directories(dir / "result");
}

/// Every regular file under `dir`, by relative path.
std::map<std::string, std::string> Files(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), dir)] = test_support::ReadFile(entry.path());
  }
  return files;
}

std::string Listing(const std::map<std::string, std::string>& files) {
  std::string out;
  for (const auto& [name, contents] : files) out += name + ": " + test_support::Hex(contents) + "\n";
  return out;
}

/// The descriptor number is whatever the process had free: the guest's shell
/// holds more descriptors than a test here.
std::string WithoutHandle(const std::string& err) {
  static const std::regex kHandle("open; handle [0-9]+\n");
  return std::regex_replace(err, kHandle, "open; handle N\n");
}

/// The creation date a write puts into HDR1 (columns 42-47) is the day's on
/// each machine's clock, which may differ around midnight.
std::string WithoutCreationDate(const std::string& transcript) {
  static const std::regex kHdr1("(read:65536 -> 80 c8c4d9f1(?:[0-9a-f]{2}){37})(?:[0-9a-f]{2}){6}");
  return std::regex_replace(transcript, kHdr1, "$1<date>");
}

/// What one side left, field by field.
struct Outcome {
  std::string probe;       // tapeprobe's transcript of vaklabel's calls
  std::string probe_tape;  // the tape read back after the probe wrote to it
  std::string status;
  std::string out;
  std::string err;
  std::string files;  // vaklabel's working directory afterwards
  std::string tape;   // the tape read back after vaklabel
};

Outcome Load(const fs::path& dir, bool writes) {
  auto read = [&](const char* name) {
    fs::path p = dir / "result" / name;
    return fs::exists(p) ? test_support::ReadFile(p) : "(missing)";
  };
  Outcome o{read("probe"), writes ? WithoutCreationDate(read("probe-tape")) : "", read("status"), read("stdout"),
            WithoutHandle(read("stderr")), Listing(Files(dir / "run")), read("tape")};
  if (writes) o.tape = WithoutCreationDate(o.tape);
  return o;
}

/// Runs scenario `s` under the virtual drive in `dir`, leaving the same
/// files as the guest does.
void RunHere(const Scenario& s, const fs::path& dir) {
  const std::string vtape = test_support::BinaryPath("VTAPE");
  const std::string probe = test_support::BinaryPath("TAPEPROBE");
  auto under_drive = [&](const fs::path& image, const std::string& workdir, std::vector<std::string> command) {
    std::vector<std::string> argv = {vtape, "run", image};
    if (s.write_protected) argv.push_back("--write-protect");
    argv.insert(argv.end(), {"--", "env", "-C", workdir});
    argv.insert(argv.end(), command.begin(), command.end());
    return test_support::Run(argv);
  };
  auto read_back = [&](const fs::path& image, const char* into) {
    std::vector<std::string> command = {probe, "/dev/nst0"};
    for (const std::string& step : ReadBackSteps()) command.push_back(step);
    test_support::WriteFile(dir / "result" / into, under_drive(image, dir, command).out);
  };
  fs::path image = dir / "probe.aws";
  test_support::WriteAwsFile(image, s.tape);
  std::vector<std::string> command = {probe, Device(s)};
  for (const std::string& step : ProbeSteps(s)) command.push_back(step);
  test_support::WriteFile(dir / "result/probe", under_drive(image, dir / "probe", command).out);
  if (Writes(s)) read_back(image, "probe-tape");

  image = dir / "run.aws";
  test_support::WriteAwsFile(image, s.tape);
  command = {test_support::BinaryPath("VAKLABEL")};
  command.insert(command.end(), s.args.begin(), s.args.end());
  test_support::CommandResult r = under_drive(image, dir / "run", command);
  test_support::WriteFile(dir / "result/status", std::to_string(r.status) + "\n");
  test_support::WriteFile(dir / "result/stdout", r.out);
  test_support::WriteFile(dir / "result/stderr", r.err);
  read_back(image, "tape");
}

// gtest names a failed scenario by this rather than by its bytes.
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Differential : public ::testing::TestWithParam<Scenario> {};

TEST_P(Differential, VirtualDriveAnswersAsTheRealDriver) {
  const Scenario& s = GetParam();
  const char* results = getenv("REALDRIVE_RESULTS");
  ASSERT_NE(results, nullptr) << "REALDRIVE_RESULTS is not set; run the test through differential.sh";
  const fs::path real = fs::path(results) / s.name;
  ASSERT_TRUE(fs::exists(real / "result/status")) << "the guest left no results for " << s.name;

  test_support::TempDir here;
  Generate(s, here.path());
  RunHere(s, here.path());
  Outcome r = Load(real, Writes(s));
  Outcome v = Load(here.path(), Writes(s));
  // Each field is named, with the real driver's answer first.
  EXPECT_EQ(r.probe, v.probe) << s.name << ": tapeprobe transcript of vaklabel's calls (real, virtual)";
  EXPECT_EQ(r.probe_tape, v.probe_tape) << s.name << ": tape after the probe's writes (real, virtual)";
  EXPECT_EQ(r.status, v.status) << s.name << ": vaklabel's exit status (real, virtual)";
  EXPECT_EQ(r.out, v.out) << s.name << ": vaklabel's stdout (real, virtual)";
  EXPECT_EQ(r.err, v.err) << s.name << ": vaklabel's stderr, handle number left out (real, virtual)";
  EXPECT_EQ(r.files, v.files) << s.name << ": files in vaklabel's directory afterwards (real, virtual)";
  EXPECT_EQ(r.tape, v.tape) << s.name << ": tape read back after vaklabel (real, virtual)";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Differential, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc == 3 && std::string(argv[1]) == "--generate") {
    std::string order;
    for (const Scenario& s : Scenarios()) {
      Generate(s, fs::path(argv[2]) / s.name);
      order += s.name + "\n";
    }
    Put(fs::path(argv[2]) / "scenarios", order);
    Put(fs::path(argv[2]) / "read-back", Lines(ReadBackSteps()));
    return 0;
  }
  if (argc != 1) {
    fprintf(stderr, "usage: realdrive_differential [--generate DIR]\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
