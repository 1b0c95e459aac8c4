#include "report.h"

#include <gtest/gtest.h>

#include "tape_job.h"

namespace library {
namespace {

TEST(Policy, SafeByDefault) {
  struct Case {
    TapeState state;
    bool relabel;
    bool overwrite_unreadable;
    Action action;
  };
  const Case cases[] = {
      {TapeState::kBlank, false, false, Action::kLabelBlank},
      {TapeState::kBlank, true, false, Action::kLabelBlank},
      {TapeState::kLabelled, false, false, Action::kLeave},
      {TapeState::kLabelled, true, false, Action::kLeave},
      {TapeState::kLabelledDifferently, false, false, Action::kRefuse},
      {TapeState::kLabelledDifferently, true, false, Action::kRelabelKeep},
      {TapeState::kForeign, false, false, Action::kRefuse},
      {TapeState::kForeign, true, false, Action::kRelabelTemplate},
      {TapeState::kUnreadable, false, false, Action::kRefuse},
      {TapeState::kUnreadable, true, false, Action::kRefuse},
      {TapeState::kUnreadable, false, true, Action::kRelabelTemplate},
      {TapeState::kUnknown, true, false, Action::kRefuse},
  };
  for (const Case& c : cases) {
    Decision d = Decide(c.state, "XYZ789", c.relabel, c.overwrite_unreadable);
    EXPECT_EQ(d.action, c.action) << StateName(c.state) << " relabel " << c.relabel;
  }
  EXPECT_EQ(Decide(TapeState::kLabelledDifferently, "XYZ789", false).reason, "labelled XYZ789; --relabel replaces it");
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
  EXPECT_EQ(BackupFileName("ABC001", "OLD001"), "ABC001_OLD001.prelbl");
  EXPECT_EQ(BackupFileName("ABC001", "/E\x01../"), "ABC001__E_.._.prelbl");
  EXPECT_EQ(MapFileName("ABC001", "/E\x01../"), "ABC001__E_.._.map.json");
  SlotReport over_data = Labelled();
  over_data.detail = "overwrote 1 unlabelled file, 2 blocks: file 1";
  EXPECT_EQ(ResultText(over_data), "labelled ABC012L8, backup saved: overwrote 1 unlabelled file, 2 blocks: file 1");

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

// Whatever bytes a tape gives, the table shows them as vaklabel-show does
// and the JSON is valid UTF-8 that gives the bytes back.
TEST(Report, AnyBytesAsVaklabelShowShowsThem) {
  struct Case {
    std::string bytes;
    std::string visible;
    std::string json;  // the string as dumped, quotes included
  };
  const Case cases[] = {
      {"ABC001", "ABC001", "\"ABC001\""},
      {"\xE5\xD6\xD3\xF1", "\\xE5\\xD6\\xD3\\xF1", "\"\u00e5\u00d6\u00d3\u00f1\""},
      {std::string("A\0\x7F\x80\xFF", 5), "A\\x00\\x7F\\x80\\xFF", "\"A\\u0000\x7F\xC2\x80\xC3\xBF\""},
      {"\xC3\xA9", "\\xC3\\xA9", "\"\u00c3\u00a9\""},  // valid UTF-8 too, but bytes all the same
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Visible(c.bytes), c.visible);
    nlohmann::json json = AsUtf8(nlohmann::json{{"label", c.bytes}, {"list", {c.bytes}}});
    EXPECT_EQ(json["label"].dump(), c.json);
    EXPECT_EQ(json["list"][0].dump(), c.json);
    EXPECT_EQ(BytesOf(json["label"].get<std::string>()), c.bytes);
  }
  SlotReport odd = Labelled();
  odd.label = odd.label_found = "\xE5\xD6";
  EXPECT_NE(ReportTable({odd}).find("\\xE5\\xD6  2026-12-07"), std::string::npos) << ReportTable({odd});
}

}  // namespace
}  // namespace library
