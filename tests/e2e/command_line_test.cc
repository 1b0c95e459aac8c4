// The command line as a user meets it: the usage text, getopt's complaints
// and the exit status, with nothing ever on standard output.
#include "e2e.h"

namespace e2e {
namespace {

const std::string kUsage =
    "syntax: vaklabel [-q] -r [-p <output path> -o <output filename>] -f <devfile>\n"
    "      : vaklabel [-q] [-p <backup path> -b ]\n"
    "      :            [ -c <template path> -t <template filename> ] -f <devfile> -w <label>\n"
    "syntax: vaklabel -h\n"
    " -r: read mode,  \n"
    " -w: write mode,\n"
    " -b: backup previous label,\n"
    " -q: quiet, -h: help\n"
    " rc   0=success, 1=failed\n"
    "where, the label length must be either 6 or 8\n";

struct RefusedCase {
  std::vector<std::string> args;
  int status;
  std::string complaint;  // getopt's, before the usage text; %s is the program path
};

const RefusedCase kRefused[] = {
    {{}, 1, ""},
    {{"-h"}, 0, ""},
    {{"-q", "-f", "/dev/nst0", "-h"}, 0, ""},
    {{"-x", "-h"}, 1, "%s: invalid option -- 'x'\n"},
    {{"-f"}, 1, "%s: option requires an argument -- 'f'\n"},
    {{"-r"}, 1, ""},
    {{"-f", "/dev/nst0", "-o", "out"}, 1, ""},
    {{"-f", "/dev/nst0", "ABC123"}, 1, ""},
    {{"-f", "/dev/nst0", "-b", "-p", "dir"}, 1, ""},
    {{"-f", "/dev/nst0", "-w"}, 1, ""},
    {{"-f", "/dev/nst0", "-w", "ABC1234"}, 1, ""},
    {{"-f", "/dev/nst0", "-w", "ABC123", "XYZ789"}, 1, ""},
    {{"-f", "/dev/nst0", "-w", "-p", "d", "-o", "o", "ABC123"}, 1, ""},
    {{"-f", "/dev/nst0", "-w", "-b", "ABC123"}, 1, ""},
    {{"-f", "/dev/nst0", "-w", "-t", "t", "ABC123"}, 1, ""},
    {{"-f", "/dev/nst0", "-w", "-r", "ABC123"}, 1, ""},
    {{"--frobnicate"}, 1, "%s: invalid option -- '-'\n"},
};

TEST_F(VaklabelTest, RefusedCommandLinesPrintTheUsageOnly) {
  LoadTape(SixCharacterTape());
  for (const RefusedCase& c : kRefused) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    CommandResult run = Vaklabel(c.args);
    std::string complaint = c.complaint;
    if (size_t at = complaint.find("%s"); at != std::string::npos)
      complaint.replace(at, 2, test_support::BinaryPath("VAKLABEL"));
    EXPECT_EQ(run.status, c.status) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_EQ(run.err, complaint + kUsage) << shown;
  }
  EXPECT_EQ(Tape(), SixCharacterTape()) << "a refused command line must not touch the drive";
}

TEST_F(VaklabelTest, LongOptionsAndARefusedLabelNeverTouchTheDrive) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } const kCases[] = {
      {{"--help"}, 0, kUsage + " --help: this text on standard output, --version: the version\n", ""},
      {{"--version"}, 0, "vaklabel (vaklabel) 0.1.0\n", ""},
      {{"-f", "/dev/nst0", "-w", "*UHL1*"},
       1,
       "",
       "vaklabel: label *UHL1* refused: in VOL1 it is the marker of an eight-character label in UHL1, so vaklabel "
       "could not read it back\n"},
  };
  LoadTape(SixCharacterTape());
  for (const Case& c : kCases) {
    CommandResult run = Vaklabel(c.args);
    EXPECT_EQ(run.status, c.status) << c.args.back();
    EXPECT_EQ(run.out, c.out) << c.args.back();
    EXPECT_EQ(run.err, c.err) << c.args.back();
  }
  EXPECT_EQ(Tape(), SixCharacterTape());
}

TEST_F(VaklabelTest, WriteThenReadModeReadsTheLabel) {
  LoadTape(SixCharacterTape());
  CommandResult run = Vaklabel({"-w", "-q", "-f", "/dev/nst0", "-r"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "ABC123\n");
}

TEST_F(VaklabelTest, LabelOperandMayStandAnywhere) {
  LoadTape(SixCharacterTape());
  EXPECT_EQ(Vaklabel({"-w", "XYZ789", "-q", "-f", "/dev/nst0"}).status, 0);
  EXPECT_EQ(Vaklabel({"-q", "-f", "/dev/nst0"}).out, "XYZ789\n");
  EXPECT_EQ(Vaklabel({"-q", "-f", "/dev/nst0", "-w", "--", "-ABCDE"}).status, 0);
  EXPECT_EQ(Vaklabel({"-q", "-f", "/dev/nst0"}).out, "-ABCDE\n");
}

TEST_F(VaklabelTest, LongDevicePathIsCutTo255Characters) {
  LoadTape(SixCharacterTape());
  std::string device = "/dev/" + std::string(250, 'n');
  std::vector<std::string> argv = {test_support::BinaryPath("VTAPE"), "run", tape_, "--device", device, "--",
                                   test_support::BinaryPath("VAKLABEL"), "-q", "-f", device + std::string(45, 'x')};
  CommandResult run = test_support::Run(argv);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "ABC123\n");
}

}  // namespace
}  // namespace e2e
