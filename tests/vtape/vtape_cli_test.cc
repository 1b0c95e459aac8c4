// The vtape command: help, create, list and the checks `run` makes before it
// hands over to the command.

#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test_support::Block;
using test_support::LabelRecord;
using test_support::Mark;
using test_support::TapeRecord;

test_support::CommandResult Vtape(std::vector<std::string> args) {
  args.insert(args.begin(), test_support::BinaryPath("VTAPE"));
  return test_support::Run(args);
}

// A malformed command line or bad input: the status and a piece of stderr,
// and the image must come out untouched.
struct CliCase {
  const char* name;
  std::vector<std::string> args;  // "IMAGE" and "MISSING" are replaced
  int status;
  const char* err;
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class VtapeCliTest : public testing::TestWithParam<CliCase> {};

TEST_P(VtapeCliTest, RefusesWithoutDamage) {
  const CliCase& c = GetParam();
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {Block(LabelRecord("VOL1ABC123")), Mark()});
  std::string before = test_support::ReadFile(image);
  std::vector<std::string> args;
  for (const std::string& a : c.args) {
    args.push_back(a == "IMAGE" ? image : a == "MISSING" ? dir.File("missing.aws") : a == "DIR" ? dir.path() : a);
  }
  test_support::CommandResult r = Vtape(args);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  EXPECT_EQ(test_support::ReadFile(image), before);
  EXPECT_NE(access(dir.File("missing.aws").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, VtapeCliTest,
    testing::Values(
        CliCase{"NoCommand", {}, 125, "vtape: missing command: create, list or run\nusage: vtape"},
        CliCase{"UnknownCommand", {"frob"}, 125, "vtape: frob: not a command (create, list or run)"},
        CliCase{"CreateExisting", {"create", "IMAGE"}, 125, "exists (use --force"},
        CliCase{
            "CreateTwoImages", {"create", "IMAGE", "MISSING"}, 125, "missing.aws: unexpected argument after the image"},
        CliCase{"ListNothing", {"list"}, 125, "vtape: list: missing IMAGE\nusage:"},
        CliCase{"ListMissing", {"list", "MISSING"}, 125, "No such file or directory"},
        CliCase{"ListDirectory", {"list", "DIR"}, 125, "not a regular file"},
        CliCase{"RunMissingImage", {"run", "MISSING", "--", "true"}, 125, "No such file or directory"},
        CliCase{"RunWithoutCommand", {"run", "IMAGE"}, 125, "vtape: run: missing -- COMMAND\nusage:"},
        CliCase{"RunWithoutDashDash",
                {"run", "IMAGE", "true"},
                125,
                "vtape: true: unexpected argument (the command goes after --)"},
        CliCase{
            "RunDeviceIsDashDash", {"run", "IMAGE", "--device", "--", "true"}, 125, "vtape: --device: needs a value"},
        CliCase{"RunImageIsDirectory", {"run", "DIR", "--", "true"}, 125, "not a regular file but a directory"},
        CliCase{"UnknownFault",
                {"run", "IMAGE", "--fail-frob", "--", "true"},
                125,
                "vtape: --fail-frob: unknown option or fault"},
        CliCase{"UnknownErrno",
                {"run", "IMAGE", "--fail-open", "EFROB", "--", "true"},
                125,
                "vtape: --fail-open: bad value EFROB"},
        CliCase{
            "ZeroCount", {"run", "IMAGE", "--fail-read", "0", "--", "true"}, 125, "vtape: --fail-read: bad value 0"},
        CliCase{"MissingCount", {"run", "IMAGE", "--fail-write"}, 125, "vtape: --fail-write: needs a value"},
        CliCase{"BadShortWrite", {"run", "IMAGE", "--short-write", "1:x", "--", "true"}, 125, "bad value"},
        CliCase{"CommandNotFound", {"run", "IMAGE", "--", "MISSING"}, 127, "No such file or directory"},
        CliCase{"CommandNotExecutable", {"run", "IMAGE", "--", "DIR"}, 126, "Permission denied"}),
    [](const testing::TestParamInfo<CliCase>& info) { return std::string(info.param.name); });

TEST(VtapeCli, HelpGoesToStdout) {
  // A command's --help is vtape's, and after "--" it is COMMAND's.
  const std::vector<std::vector<std::string>> asks = {
      {"--help"}, {"-h"}, {"run", "--help"}, {"run", "IMAGE", "-h", "--", "false"}, {"create", "--help"}};
  for (const std::vector<std::string>& ask : asks) {
    test_support::CommandResult r = Vtape(ask);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("usage: vtape create [--force] [--size SIZE] IMAGE"), std::string::npos);
    EXPECT_NE(r.out.find("--short-write N[:BYTES]"), std::string::npos);
  }
}

TEST(VtapeCli, VersionGoesToStdout) {
  for (const char* flag : {"--version", "version"}) {
    test_support::CommandResult r = Vtape({flag});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(testing::internal::RE::FullMatch(r.out, "vtape \\(vaklabel\\) [0-9]+\\.[0-9]+\\.[0-9]+\n")) << r.out;
  }
}

// A FIFO as image would block the open until a writer or reader comes:
// refused at once. A FIFO as position file is just removed by create.
TEST(VtapeCli, FifosAreRefusedWithoutWaiting) {
  struct {
    const char* fifo;
    std::vector<std::string> args;
    int status;
    const char* err;
  } cases[] = {
      {"tape.aws", {"list", "tape.aws"}, 125, "tape.aws: not a regular file but a FIFO"},
      {"tape.aws", {"create", "--force", "tape.aws"}, 125, "tape.aws: not a regular file but a FIFO"},
      {"tape.aws", {"run", "tape.aws", "--", "true"}, 125, "tape.aws: not a regular file but a FIFO"},
      {"tape.aws.vtpos", {"create", "--force", "tape.aws"}, 0, ""},
  };
  for (const auto& c : cases) {
    test_support::TempDir dir;
    ASSERT_EQ(mkfifo(dir.File(c.fifo).c_str(), 0600), 0);
    std::vector<std::string> argv = {"sh", "-c", "cd \"$1\" && shift && exec timeout 10 \"$@\"", "sh", dir.path(),
                                     test_support::BinaryPath("VTAPE")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    test_support::CommandResult r = test_support::Run(argv);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " with " << c.fifo << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

TEST(VtapeCli, RunPassesTheExitStatusAndEnvironment) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {});
  test_support::CommandResult r =
      test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--fail-read", "3", "--", "sh", "-c",
                         "echo \"$LD_PRELOAD|$VTAPE_FAIL_READ|$VTAPE_FAIL_CLOSE|$TAPE\"; exit 7"},
                        "", {"LD_PRELOAD=/lib/other.so", "VTAPE_FAIL_CLOSE=1"});
  EXPECT_EQ(r.status, 7);
  EXPECT_NE(r.out.find("libvtape.so /lib/other.so|3||/dev/nst0\n"), std::string::npos) << r.out;
}

TEST(VtapeCli, CreateMakesABlankTapeAndForgetsThePosition) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  ASSERT_EQ(Vtape({"create", image}).status, 0);
  EXPECT_EQ(test_support::ReadFile(image), "");
  test_support::CommandResult w = test_support::Run({test_support::BinaryPath("VTAPE"), "run", image, "--",
                                                     test_support::BinaryPath("TAPEPROBE"), "/dev/nst0", "open:rw",
                                                     "write:80:c1", "close"});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(access((image + ".vtpos").c_str(), F_OK), 0);
  test_support::CommandResult r = Vtape({"create", "--force", image});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test_support::ReadFile(image), "");
  EXPECT_NE(access((image + ".vtpos").c_str(), F_OK), 0);
}

TEST(VtapeList, ShowsBlocksMarksAndLabelText) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {Block(LabelRecord("VOL1ABC123")), Block(LabelRecord("HDR1.A-B/C_D*E")),
                                     Block(LabelRecord("HDR2")), Mark(), Mark(), Block("\x01\x02\x03")});
  test_support::CommandResult r = Vtape({"list", image});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* expected : {
           "offset 0: block 1, 80 bytes\n"
           "       0  e5 d6 d3 f1 c1 c2 c3 f1 f2 f3 40 40 40 40 40 40  |VOL1ABC123      |\n",
           "offset 86: block 2, 80 bytes\n"
           "       0  c8 c4 d9 f1 4b c1 60 c2 61 c3 6d c4 5c c5 40 40  |HDR1.A-B/C_D*E  |\n",
           "offset 258: tape mark\noffset 264: tape mark\n",
           "offset 270: block 4, 3 bytes\n       0  01 02 03\n",
           "offset 279: end of data (4 blocks, 2 tape marks)\n",
       }) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << "missing:\n" << expected << "in:\n" << r.out;
  }
}

TEST(VtapeList, CountsInTheSingular) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  test_support::WriteAwsFile(image, {Block("a"), Mark()});
  test_support::CommandResult r = Vtape({"list", image});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "offset 0: block 1, 1 byte\n"
            "       0  61\n"
            "offset 7: tape mark\n"
            "offset 13: end of data (1 block, 1 tape mark)\n");
}

// Every cut of a good image is either a shorter good image (cut on a record
// boundary) or reported as corrupt at the record it cuts, after the good ones.
TEST(VtapeList, ReportsEveryTruncation) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::string good = test_support::EncodeAws({Block(LabelRecord("VOL1")), Mark(), Block("abcdefgh"), Mark()});
  const size_t kBoundaries[] = {0, 86, 92, 106, 112};
  for (size_t size = 0; size < good.size(); ++size) {
    test_support::WriteFile(image, good.substr(0, size));
    test_support::CommandResult r = Vtape({"list", image});
    size_t last_good = 0;
    for (size_t b : kBoundaries) {
      if (b <= size) last_good = b;
    }
    bool boundary = last_good == size;
    EXPECT_EQ(r.status, boundary ? 0 : 1) << "size " << size;
    if (!boundary) {
      EXPECT_NE(r.err.find("corrupt at offset " + std::to_string(last_good)), std::string::npos)
          << "size " << size << ": " << r.err;
    }
    if (size >= 86) {
      EXPECT_NE(r.out.find("offset 0: block 1, 80 bytes"), std::string::npos) << "size " << size;
    }
  }
}

TEST(VtapeList, ReportsBadHeaders) {
  struct {
    const char* name;
    size_t at;
    char value;
    const char* problem;
  } cases[] = {
      {"unknown flag", 4, '\x10', "corrupt at offset 0: bad header flags"},
      {"compressed", 5, '\x01', "corrupt at offset 0: compressed"},
      {"wrong previous length", 86 + 2, '\x51', "corrupt at offset 86: previous-length field"},
      {"tape mark with data", 86, '\x05', "corrupt at offset 86: bad tape mark header"},
  };
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  for (const auto& c : cases) {
    std::string bytes = test_support::EncodeAws({Block(LabelRecord("VOL1")), Mark(), Block("x")});
    bytes[c.at] = c.value;
    test_support::WriteFile(image, bytes);
    test_support::CommandResult r = Vtape({"list", image});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE(r.err.find(c.problem), std::string::npos) << c.name << ": " << r.err;
  }
}

// A block longer than one segment is chained; list joins the segments.
TEST(VtapeList, JoinsChainedSegments) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::string bytes = std::string("\x02\x00\x00\x00\x80\x00", 6) + "ab" + std::string("\x01\x00\x02\x00\x20\x00", 6) +
                      "c";
  test_support::WriteFile(image, bytes);
  test_support::CommandResult r = Vtape({"list", image});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("offset 0: block 1, 3 bytes\n       0  61 62 63\noffset 15: end of data"), std::string::npos)
      << r.out;
}

}  // namespace
