#include "report.h"

#include <gtest/gtest.h>

#include "tape_job.h"

namespace library {
namespace {

TEST(Policy, SafeByDefault) {
  struct Case {
    TapeState state;
    bool has_set;
    bool relabel;
    bool overwrite_unreadable;
    Action action;
    bool backup;
  };
  const Case cases[] = {
      {TapeState::kBlank, false, false, false, Action::kLabelBlank, false},
      {TapeState::kBlank, false, true, false, Action::kLabelBlank, false},
      {TapeState::kLabelled, true, false, false, Action::kLeave, false},
      {TapeState::kLabelled, true, true, false, Action::kLeave, false},
      {TapeState::kLabelledDifferently, true, false, false, Action::kRefuse, false},
      {TapeState::kLabelledDifferently, true, true, false, Action::kRelabelKeep, true},
      {TapeState::kForeign, false, false, false, Action::kRefuse, false},
      {TapeState::kForeign, false, true, false, Action::kRelabelTemplate, false},
      {TapeState::kForeign, true, true, false, Action::kRelabelTemplate, true},
      {TapeState::kUnreadable, false, false, false, Action::kRefuse, false},
      {TapeState::kUnreadable, false, true, false, Action::kRefuse, false},
      {TapeState::kUnreadable, false, false, true, Action::kRelabelTemplate, false},
      {TapeState::kUnknown, false, true, false, Action::kRefuse, false},
  };
  for (const Case& c : cases) {
    Decision d = Decide(c.state, "XYZ789", c.has_set, c.relabel, c.overwrite_unreadable);
    EXPECT_EQ(d.action, c.action) << StateName(c.state) << " relabel " << c.relabel;
    EXPECT_EQ(d.backup, c.backup) << StateName(c.state) << " relabel " << c.relabel;
  }
  EXPECT_EQ(Decide(TapeState::kLabelledDifferently, "XYZ789", true, false).reason,
            "labelled XYZ789; --relabel replaces it");
}

SlotReport Labelled() {
  SlotReport r;
  r.slot = 12;
  r.barcode = "ABC012L8";
  r.state = TapeState::kBlank;
  r.wanted = r.label = "ABC012L8";
  r.outcome = Outcome::kLabelled;
  r.backup_file = "labels/ABC012L8_XYZ789.prelbl";
  r.created = "2026-12-07";
  r.location = "slot 12";
  r.verified = true;
  return r;
}

TEST(Report, ProgressTableAndJson) {
  EXPECT_EQ(ProgressLine(Labelled(), 12, 100), "[12/100] slot 12 ABC012L8: labelled ABC012L8, backup saved");
  SlotReport stuck;
  stuck.slot = 3;
  stuck.outcome = Outcome::kFailed;
  stuck.detail = "unload failed: mechanical error";
  stuck.location = "drive 1";
  EXPECT_EQ(SlotFileName(3, "", ".lbl"), "slot003.lbl");
  EXPECT_EQ(SlotFileName(12, "AB/12", ".lbl"), "slot012-AB_12.lbl");

  std::string table = ReportTable({stuck, Labelled()});
  EXPECT_EQ(table,
            "SLOT  BARCODE   FOUND    LABEL     CREATED     EXPIRES  RESULT\n"
            "3     -         unknown  -         -           -        failed: unload failed: mechanical error\n"
            "12    ABC012L8  blank    ABC012L8  2026-12-07  -        labelled ABC012L8, backup saved\n"
            "2 slots: 1 labelled, 1 failed\n"
            "slot 3: the cartridge is in drive 1\n");

  nlohmann::json json = nlohmann::json::parse(ReportJson("label", {stuck, Labelled()}, 1).dump());
  ASSERT_EQ(json["slots"].size(), 2u);
  EXPECT_EQ(json["slots"][1]["result"], "labelled");
  EXPECT_EQ(json["slots"][1]["verified"], true);
  EXPECT_TRUE(json["slots"][0]["barcode"].is_null());
  EXPECT_EQ(json["slots"][0]["location"], "drive 1");
  EXPECT_EQ(json["summary"]["failed"], 1);
  EXPECT_EQ(json["summary"]["labelled"], 1);
  EXPECT_EQ(json["summary"]["exit_status"], 1);
}

}  // namespace
}  // namespace library
