#include "fault_run.h"

#include <ctime>
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

namespace fault_matrix {

namespace {

namespace fs = std::filesystem;
using test_support::TapeRecord;

std::string TodayUtc() {
  time_t now = time(nullptr);
  struct tm utc {};
  gmtime_r(&now, &utc);
  char text[32];
  snprintf(text, sizeof text, "0%02d%03d", utc.tm_year - 100, utc.tm_yday + 1);
  return text;
}

void LayOut(const std::string& root, const Files& files) {
  fs::create_directory(root);
  for (const auto& [name, contents] : files) {
    std::string path = root + "/" + name;
    if (contents == "<dir>")
      fs::create_directory(path);
    else if (contents.starts_with("-> "))
      fs::create_symlink(contents.substr(3), path);
    else
      test_support::WriteFile(path, contents);
  }
}

Files ReadTree(const std::string& root) {
  Files files;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
    std::string name = e.path().lexically_relative(root).string();
    if (e.is_symlink())
      files[name] = "-> " + fs::read_symlink(e.path()).string();
    else if (e.is_directory())
      files[name] = "<dir>";
    else
      files[name] = test_support::ReadFile(e.path());
  }
  return files;
}

// The descriptor number the drive hands out is not the tool's to choose.
std::string MaskHandle(const std::string& err) {
  static const std::regex kHandle("open; handle [0-9]+\n");
  return std::regex_replace(err, kHandle, "open; handle #\n");
}

bool Holds(const Files& files, const std::string& name, const std::string& contents) {
  auto it = files.find(name);
  return it != files.end() && it->second == contents;
}

// A known loss: with -t the run goes on after a read error and relabels from
// the template, so the label records the error kept from the reader are in
// no backup when the old label set is overwritten.
bool LosesUnreadRecords(const Row& row) {
  return Templates(row.run) && row.fault.kind == Fault::kFailRead &&
         row.fault.n <= static_cast<int>(OldRecords(TapeBefore(row)).size());
}

}  // namespace

std::string Describe(const std::vector<TapeRecord>& tape) {
  std::string text;
  for (const TapeRecord& r : tape) text += r.mark ? "mark\n" : test_support::Hex(r.data) + "\n";
  return text;
}

Observed RunRow(const Row& row, const Paths& paths, bool quiet) {
  std::string image = fs::path(paths.root).parent_path().string() + "/tape.aws";
  test_support::WriteAwsFile(image, Encode(TapeBefore(row)));
  LayOut(paths.root, FilesBefore(row));

  std::vector<std::string> argv = {test_support::BinaryPath("VTAPE"), "run", image};
  for (const std::string& option : DriveOptions(row)) argv.push_back(option);
  argv.push_back("--");
  argv.push_back(test_support::BinaryPath("VAKLABEL"));
  for (const std::string& arg : Arguments(row, paths, quiet)) argv.push_back(arg);

  Observed observed;
  observed.today_before = TodayUtc();
  test_support::CommandResult result = test_support::Run(argv);
  observed.today_after = TodayUtc();
  observed.outcome.status = result.status;
  observed.outcome.out = result.out;
  observed.outcome.err = MaskHandle(result.err);
  observed.outcome.tape = test_support::ReadAwsFile(image);
  observed.outcome.files = ReadTree(paths.root);
  return observed;
}

void CheckInvariants(const Row& row, const Observed& observed) {
  const Outcome& o = observed.outcome;
  ModelTape before = TapeBefore(row);
  bool tapeChanged = o.tape != Encode(before);
  if (o.status != 0) {
    EXPECT_EQ(o.out, "") << "a failed run printed a label";
  }

  if (!Writes(row.run)) {
    EXPECT_FALSE(tapeChanged) << "a read run changed the tape";
    if (o.status != 0) return;
    std::optional<std::string> label = IntendedLabel(before);
    ASSERT_TRUE(label) << "exit status 0 from a tape without a label set";
    EXPECT_EQ(o.out, *label + "\n") << "exit status 0 without the label";
    if (row.run == Run::kReadOutput) {
      EXPECT_TRUE(Holds(o.files, SavedFile(row, label), HexLines(OldRecords(before))))
          << "exit status 0 without the whole output file";
    }
    return;
  }

  if (o.status == 0) {
    std::optional<std::vector<TapeRecord>> intended = IntendedTape(row, observed.today_before);
    std::optional<std::vector<TapeRecord>> intendedLater = IntendedTape(row, observed.today_after);
    ASSERT_TRUE(intended) << "exit status 0 with no label to write";
    EXPECT_TRUE(o.tape == *intended || o.tape == *intendedLater)
        << "exit status 0 but the tape does not hold the whole new label set:\n" << Describe(o.tape);
    EXPECT_EQ(o.err.find("close:"), std::string::npos) << "exit status 0 after a failed close";
  }
  if (Backs(row.run) && (o.status == 0 || tapeChanged)) {
    std::string oldRecords = HexLines(OldRecords(before));
    bool held = false;
    for (const auto& [name, contents] : o.files)
      if (name.ends_with(".prelbl") && contents.starts_with(oldRecords)) held = true;
    if (LosesUnreadRecords(row)) {
      EXPECT_FALSE(held) << "the old label is now kept: take the row out of LosesUnreadRecords";
    } else {
      EXPECT_TRUE(held) << "the tape was changed without a backup of its old label records";
    }
  }
}

Outcome ExpectedFor(const Row& row, const Paths& paths, bool quiet, const Observed& observed) {
  Outcome later = Expected(row, paths, quiet, observed.today_after);
  if (observed.today_after != observed.today_before && later.tape == observed.outcome.tape) return later;
  return Expected(row, paths, quiet, observed.today_before);
}

void ExpectSameOutcome(const Outcome& actual, const Outcome& expected) {
  EXPECT_EQ(actual.status, expected.status);
  EXPECT_EQ(actual.out, expected.out);
  EXPECT_EQ(actual.err, expected.err);
  EXPECT_EQ(Describe(actual.tape), Describe(expected.tape));
  EXPECT_EQ(actual.files, expected.files);
}

void CheckRow(const Row& row) {
  for (bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "with -q" : "without -q");
    test_support::TempDir dir;
    Paths paths{dir.File("files")};
    Observed observed = RunRow(row, paths, quiet);
    CheckInvariants(row, observed);
    ExpectSameOutcome(observed.outcome, ExpectedFor(row, paths, quiet, observed));
  }
}

}  // namespace fault_matrix
