// Rows of the matrix spelled out by hand, byte for byte: they pin the model
// down as well as the binary, so a mistake shared by both cannot pass.

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fault_model.h"
#include "fault_run.h"

namespace fault_matrix {
namespace {

using test_support::Block;
using test_support::LabelRecord;
using test_support::Mark;

std::string BlankRows(int rows) {
  std::string lines;
  for (int i = 0; i < rows; ++i) lines += "20,20,20,20,20,20,20,20,   #\n";
  return lines;
}

struct Anchor {
  const char* name;
  Row row;
  bool quiet;
  // Everything but the creation date is spelled out here.
  std::function<Outcome(const std::string& today)> expected;
};

void PrintTo(const Anchor& a, std::ostream* os) { *os << a.name; }

class AnchorTest : public testing::TestWithParam<Anchor> {};

TEST_P(AnchorTest, BinaryAndModelGiveTheSpelledOutcome) {
  const Anchor& a = GetParam();
  test_support::TempDir dir;
  Paths paths{dir.File("files")};
  Observed observed = RunRow(a.row, paths, a.quiet);
  std::string today = observed.today_before;
  if (observed.today_after != today &&
      observed.outcome.tape == a.expected(observed.today_after).tape)
    today = observed.today_after;
  Outcome spelled = a.expected(today);
  {
    SCOPED_TRACE("the binary");
    ExpectSameOutcome(observed.outcome, spelled);
  }
  {
    SCOPED_TRACE("the model");
    ExpectSameOutcome(Expected(a.row, paths, a.quiet, today), spelled);
  }
}

const Anchor kAnchors[] = {
    {"RelabelSixToEight", {Run::kWrite, {Fault::kNone}, 6, 8}, true,
     [](const std::string& today) {
       return Outcome{0, "", "",
                      {Block(LabelRecord("VOL1*UHL1*                               OWNER-6")),
                       Block(LabelRecord("HDR1PAYROLL.MASTER.01ABC12300010001000100" + today + " 993650000000TOLV")),
                       Block(LabelRecord("HDR2F0800000080 0 OLD-HDR2")), Block(LabelRecord("UHL1NEWLBL78")), Mark(),
                       Mark()},
                      {}};
     }},
    // The backup keeps all four records of the eight-character label, UHL1 too.
    {"FailedSecondBlockAfterBackup", {Run::kWriteBackup, {Fault::kFailWrite, 2}, 8, 6}, true,
     [](const std::string&) {
       std::string backup =
           "56,4F,4C,31,2A,55,48,4C,   #VOL1\n"
           "31,2A,20,20,20,20,20,20,   #\n" +
           BlankRows(3) +
           "20,4F,57,4E,45,52,2D,38,   #\n" + BlankRows(4) +
           "48,44,52,31,50,41,59,52,   #HDR1\n"
           "4F,4C,4C,2E,4D,41,53,54,   #\n"
           "45,52,2E,30,32,41,42,43,   #\n"
           "44,31,32,30,30,30,31,30,   #\n"
           "30,30,31,30,30,30,31,30,   #\n"
           "30,30,32,33,30,30,31,20,   #\n"
           "39,39,33,36,35,30,30,30,   #\n"
           "30,30,30,30,54,4F,4C,56,   #\n" +
           BlankRows(2) +
           "48,44,52,32,46,30,38,30,   #HDR2\n"
           "30,30,30,30,30,38,30,20,   #\n"
           "30,20,4F,4C,44,2D,48,44,   #\n"
           "52,32,20,20,20,20,20,20,   #\n" +
           BlankRows(6) +
           "55,48,4C,31,41,42,43,44,   #UHL1\n"
           "31,32,33,34,20,4F,4C,44,   #\n"
           "2D,55,48,4C,31,2D,45,58,   #\n"
           "54,52,41,20,20,20,20,20,   #\n" +
           BlankRows(6);
       return Outcome{1,
                      "",
                      "write: Input/output error\n",
                      {Block(LabelRecord("VOL1NEW456                               OWNER-8")), Mark(), Mark()},
                      {{"labels", "<dir>"}, {"labels/NEW456_ABCD1234.prelbl", backup}}};
     }},
    {"TapeMarkAsThirdBlock", {Run::kRead, {Fault::kTapeMarkAt, 3}, 6, 0}, false,
     [](const std::string&) {
       return Outcome{1,
                      "",
                      "/dev/nst0 open; handle #\n"
                      "rewind succeeded\n"
                      "blocksize set to 0\n"
                      "block 1 read to internal buffer\n"
                      "block 2 read to internal buffer\n"
                      "no 3 block found during reading \n",
                      {Block(LabelRecord("VOL1ABC123                               OWNER-6")),
                       Block(LabelRecord("HDR1PAYROLL.MASTER.01ABC12300010001000100024366 993650000000TOLV")), Mark(),
                       Mark()},
                      {}};
     }},
    // A blank tape labelled from the template; the backup is the built-in image.
    {"BlankTapeFromTemplate", {Run::kWriteBackupTemplate, {Fault::kBlankTape}, 6, 6}, true,
     [](const std::string& today) {
       std::string backup =
           "56,4F,4C,31,48,4A,4B,30,   #VOL1\n"
           "32,35,20,20,20,20,20,20,   #\n" +
           BlankRows(8) +
           "48,44,52,31,20,20,20,20,   #HDR1\n" + BlankRows(2) +
           "20,20,20,20,20,20,20,30,   #\n"
           "30,30,31,20,20,20,20,20,   #\n"
           "20,30,30,34,30,33,39,20,   #\n"
           "39,39,33,36,35,30,30,30,   #\n"
           "30,30,30,30,54,4F,4C,56,   #\n" +
           BlankRows(2) +
           "48,44,52,32,55,32,36,32,   #HDR2\n"
           "31,34,30,30,30,30,30,20,   #\n"
           "30,20,20,20,20,20,20,20,   #\n" +
           BlankRows(7);
       return Outcome{0,
                      "",
                      "read: Input/output error\n",
                      {Block(LabelRecord("VOL1NEW456                               TEMPLATE")),
                       Block(LabelRecord("HDR1TEMPLATE.DATASET.TPL00100010001000100" + today + " 993650000000TOLV")),
                       Block(LabelRecord("HDR2U2621400000 0 TEMPLATE")), Mark(), Mark()},
                      {{"labels", "<dir>"},
                       {"labels/NEW456_.prelbl", backup},
                       {"templates", "<dir>"},
                       {"templates/tmpl.lbl", TemplateFile()}}};
     }},
    {"TapeMarksFail", {Run::kWrite, {Fault::kFailWeof}, 8, 8}, true,
     [](const std::string& today) {
       return Outcome{1,
                      "",
                      "ioctl error:Input/output error\n",
                      {Block(LabelRecord("VOL1*UHL1*                               OWNER-8")),
                       Block(LabelRecord("HDR1PAYROLL.MASTER.02ABCD1200010001000100" + today + " 993650000000TOLV")),
                       Block(LabelRecord("HDR2F0800000080 0 OLD-HDR2")), Block(LabelRecord("UHL1NEWLBL78"))},
                      {}};
     }},
};

INSTANTIATE_TEST_SUITE_P(Spelled, AnchorTest, testing::ValuesIn(kAnchors),
                         [](const testing::TestParamInfo<Anchor>& info) { return info.param.name; });

}  // namespace
}  // namespace fault_matrix
