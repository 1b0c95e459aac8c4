#include "plan.h"

#include <gtest/gtest.h>

namespace library {
namespace {

TEST(SlotList, RangesAndLists) {
  struct Case {
    const char* text;
    std::vector<int> slots;
  };
  const Case cases[] = {{"5", {5}}, {"1-3", {1, 2, 3}}, {"3,1-2", {1, 2, 3}}, {"1-2 2-3,,7", {1, 2, 3, 7}}};
  for (const Case& c : cases) {
    std::string error;
    auto slots = ParseSlotList(c.text, &error);
    ASSERT_TRUE(slots) << c.text << ": " << error;
    EXPECT_EQ(*slots, c.slots) << c.text;
  }
  for (const char* bad : {"", "a", "3-1", "1-", "-2", "1.5", "2-x", "1-2147483647", "65536"}) {
    std::string error;
    EXPECT_FALSE(ParseSlotList(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(Plan, TwoCartridgesNeverGetOneLabel) {
  auto entry = [](int slot, const std::string& barcode, const std::string& wanted) {
    PlanEntry e;
    e.slot = slot;
    e.barcode = barcode;
    e.wanted = wanted;
    return e;
  };
  std::vector<PlanEntry> plan{entry(1, "ABC001L8", "ABC001"),
                              entry(2, "ABC001L9", "ABC001"),
                              entry(3, "DUP001L8", "DUP001L8"),
                              entry(4, "DUP001L8", "DUP001L8"),
                              entry(5, "ABC005L8", "ABC005L8"),
                              entry(6, "ABC006L8", "ABC006L8"),
                              entry(7, "", ""),
                              entry(8, "", "TAP008")};
  RefuseDuplicateLabels(&plan, [](const std::string& label, const PlanEntry& e) {
    bool held = label == "ABC005L8" || label == "TAP008";
    return Holding{held ? "slot 9's cartridge ABC009L8" : "", e.barcode.empty()};
  });
  // Without a barcode, slot 8's cartridge may be the one that carries it.
  EXPECT_EQ(plan[7].reason, "label TAP008 is already on slot 9's cartridge ABC009L8");
  EXPECT_EQ(plan[7].disposition, Disposition::kVisit);
  plan.pop_back();
  const std::vector<std::string> reasons{"label ABC001 would also go to slot 2 (ABC001L9)",
                                         "label ABC001 would also go to slot 1 (ABC001L8)",
                                         "label DUP001L8 would also go to slot 4 (DUP001L8)",
                                         "label DUP001L8 would also go to slot 3 (DUP001L8)",
                                         "label ABC005L8 is already on slot 9's cartridge ABC009L8",
                                         "",
                                         ""};
  for (size_t i = 0; i < plan.size(); ++i) {
    EXPECT_EQ(plan[i].reason, reasons[i]) << plan[i].slot;
    EXPECT_EQ(plan[i].disposition, reasons[i].empty() ? Disposition::kVisit : Disposition::kRefuse) << plan[i].slot;
  }
}

TEST(Serials, CountUpKeepingLength) {
  std::string error;
  auto labels = SerialSequence("TAP008", 3, &error);
  ASSERT_TRUE(labels) << error;
  EXPECT_EQ(*labels, (std::vector<std::string>{"TAP008", "TAP009", "TAP010"}));
  labels = SerialSequence("VOL00998", 2, &error);
  ASSERT_TRUE(labels) << error;
  EXPECT_EQ(*labels, (std::vector<std::string>{"VOL00998", "VOL00999"}));
  EXPECT_TRUE(SerialSequence("TAP999", 1, &error));
}

TEST(Serials, RefusedUpFront) {
  struct Case {
    const char* start;
    size_t count;
    const char* says;
  };
  const Case cases[] = {
      {"TAP999", 2, "runs out after TAP999"},  // TAP1000 would be seven characters
      {"TAPE99", 3, "runs out"},
      {"TAPE01", 0, ""},
      {"TAP01", 1, "six- or eight"},
      {"TAPE001", 1, "six- or eight"},
      {"TAPEXX", 1, "end in a digit"},
      {"tap001", 1, "A-Z"},
      {"TA/001", 1, "A-Z"},
  };
  for (const Case& c : cases) {
    std::string error;
    bool made = SerialSequence(c.start, c.count, &error).has_value();
    if (std::string(c.says).empty()) {
      EXPECT_TRUE(made) << c.start << ": " << error;
    } else {
      EXPECT_FALSE(made) << c.start;
      EXPECT_NE(error.find(c.says), std::string::npos) << c.start << ": " << error;
    }
  }
}

ChangerStatus Library() {
  ChangerStatus status;
  status.drives = {{0, false, "", std::nullopt}, {1, true, "ABC003L8", 3}};
  status.slots = {{1, true, "ABC001L8"}, {2, false, ""},       {3, false, ""},
                  {4, true, "CLN001L1"}, {5, true, "ABC05L8"}, {6, true, ""},
                  {7, true, "ABC007L8"}};
  return status;
}

TEST(Plan, EverySlotInOrderWithTheCartridgeInADriveAtHome) {
  std::string error;
  auto plan = BuildPlan(Library(), {}, &error);
  ASSERT_TRUE(plan) << error;
  ASSERT_EQ(plan->size(), 7u);
  const Disposition want[] = {Disposition::kVisit, Disposition::kSkipEmpty, Disposition::kVisit,
                              Disposition::kSkipCleaning, Disposition::kVisit, Disposition::kVisit,
                              Disposition::kVisit};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ((*plan)[i].disposition, want[i]) << "slot " << i + 1;
  EXPECT_EQ((*plan)[2].barcode, "ABC003L8");
  EXPECT_EQ((*plan)[2].in_drive, 1);
}

TEST(Plan, LabelsFromBarcodes) {
  std::string error;
  auto plan = BuildPlan(Library(), {{1, 4, 5, 6}, LabelSource::kBarcode, ""}, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ((*plan)[0].wanted, "ABC001L8");
  EXPECT_EQ((*plan)[1].disposition, Disposition::kSkipCleaning);
  EXPECT_EQ((*plan)[2].disposition, Disposition::kRefuse);
  EXPECT_NE((*plan)[2].reason.find("7 characters"), std::string::npos);
  EXPECT_EQ((*plan)[3].disposition, Disposition::kRefuse);
  EXPECT_NE((*plan)[3].reason.find("no barcode"), std::string::npos);

  plan = BuildPlan(Library(), {{1, 5}, LabelSource::kBarcodeSix, ""}, &error);
  ASSERT_TRUE(plan) << error;
  EXPECT_EQ((*plan)[0].wanted, "ABC001");
  EXPECT_EQ((*plan)[1].wanted, "ABC05L");
}

TEST(Plan, SerialsInSlotOrderOverTheCartridgesVisited) {
  std::string error;
  auto plan = BuildPlan(Library(), {{}, LabelSource::kSerial, "TAP098"}, &error);
  ASSERT_TRUE(plan) << error;
  std::vector<std::string> wanted;
  for (const PlanEntry& entry : *plan) wanted.push_back(entry.wanted);
  EXPECT_EQ(wanted, (std::vector<std::string>{"TAP098", "", "TAP099", "", "TAP100", "TAP101", "TAP102"}));
  EXPECT_FALSE(BuildPlan(Library(), {{}, LabelSource::kSerial, "TAP997"}, &error));
  EXPECT_NE(error.find("runs out"), std::string::npos) << error;
}

// A barcode the changer shows in two places tells no cartridge from the
// other: a label run refuses both before anything moves, an inventory reads
// them.
TEST(Plan, OneBarcodeInTwoPlacesIsRefused) {
  struct Case {
    const char* name;
    std::vector<std::string> barcodes;  // slots 1-3
    std::string in_drive;               // drive 0, from no known slot
    std::string in_mail_slot;
    std::string refusal;  // of slot 1
  };
  const Case cases[] = {
      {"two slots", {"ABC001L8", "ABC001L8", "ABC003L8"}, "", "", "barcode ABC001L8 in slots 1 and 2"},
      {"three slots", {"ABC001L8", "ABC001L8", "ABC001L8"}, "", "", "barcode ABC001L8 in slots 1, 2 and 3"},
      {"a drive", {"ABC001L8", "", "ABC003L8"}, "ABC001L8", "", "barcode ABC001L8 in slot 1 and drive 0"},
      {"a mail slot", {"ABC001L8", "", "ABC003L8"}, "", "ABC001L8", "barcode ABC001L8 in slot 1 and mail slot 10"},
      {"unique", {"ABC001L8", "ABC002L8", ""}, "", "", ""},
  };
  for (const Case& c : cases) {
    ChangerStatus status;
    status.drives = {{0, !c.in_drive.empty(), c.in_drive, std::nullopt}};
    for (int slot = 1; slot <= 3; ++slot) {
      const std::string& barcode = c.barcodes[slot - 1];
      status.slots.push_back({slot, !barcode.empty(), barcode});
    }
    status.mail_slots = {{10, !c.in_mail_slot.empty(), c.in_mail_slot}};
    std::string error;
    auto inventory = BuildPlan(status, {}, &error);
    ASSERT_TRUE(inventory) << c.name << ": " << error;
    EXPECT_EQ((*inventory)[0].disposition, Disposition::kVisit) << c.name;
    auto plan = BuildPlan(status, {{}, LabelSource::kSerial, "TAP001"}, &error);
    ASSERT_TRUE(plan) << c.name << ": " << error;
    bool refused = (*plan)[0].disposition == Disposition::kRefuse;
    EXPECT_EQ(refused, !c.refusal.empty()) << c.name;
    EXPECT_TRUE((*plan)[0].reason.starts_with(c.refusal)) << c.name << ": " << (*plan)[0].reason;
    EXPECT_EQ((*plan)[0].wanted, refused ? "" : "TAP001") << c.name << ": a refused cartridge takes no serial";
  }
}

TEST(Plan, SlotOutsideTheLibraryRefused) {
  std::string error;
  EXPECT_FALSE(BuildPlan(Library(), {{7, 8}, LabelSource::kNone, ""}, &error));
  EXPECT_EQ(error, "slot 8 is not in this library (storage slots 1-7)");
}

}  // namespace
}  // namespace library
