#include "label_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "test_support.h"

namespace library {
namespace {

PlanEntry Visit(int slot, const std::string& barcode) {
  PlanEntry entry;
  entry.slot = slot;
  entry.barcode = barcode;
  return entry;
}

// A write waits for the reads of the cartridges taken before it that are in
// drives, and a label one of them carries is another's; an earlier run's
// record counts until this run reads that cartridge.
TEST(LabelRegistry, AWriteWaitsForTheReadsInDrivesBeforeIt) {
  LabelRegistry registry({{"ABC009L8", "TAP009", "labels/slot009-ABC009L8.lbl", 9}});
  std::vector<PlanEntry> plan{Visit(1, "ABC001L8"), Visit(2, "ABC002L8"), Visit(9, "ABC009L8")};
  registry.Expect(plan);
  EXPECT_EQ(registry.HolderBeforeWrite(plan[1], "TAP001"), "") << "slot 1 not loaded yet: no wait";
  registry.Loaded(plan[0]);
  registry.Found(plan[1], "");
  auto holder = std::async(std::launch::async, [&] { return registry.HolderBeforeWrite(plan[1], "TAP001"); });
  EXPECT_EQ(holder.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "slot 1 loaded, not read yet";
  registry.Found(plan[0], "TAP001");
  EXPECT_EQ(holder.get(), "slot 1's cartridge ABC001L8 (read in this run)");

  EXPECT_EQ(registry.SavedHolder("TAP009", Visit(2, "ABC002L8")).holder,
            "slot 9's cartridge ABC009L8 (kept in labels/slot009-ABC009L8.lbl)");
  EXPECT_EQ(registry.SavedHolder("TAP009", Visit(9, "ABC009L8")).holder, "") << "its own label";
  registry.Found(plan[2], "TAP010");
  EXPECT_EQ(registry.HolderBeforeWrite(plan[1], "TAP009"), "") << "this run read slot 9 otherwise";
  EXPECT_EQ(CartridgeName(4, ""), "slot 4");
  EXPECT_EQ(CartridgeName(4, "AB/1"), "AB_1");
}

// A label text file of VOL1 `label`, HDR1, HDR2, as vaklabel saves one.
std::string LabelFile(const std::string& label) {
  std::string text;
  for (std::string record : {"VOL1" + label, std::string("HDR1"), std::string("HDR2")}) {
    record.resize(80, ' ');
    for (size_t i = 0; i < record.size(); ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X,", static_cast<unsigned char>(record[i]));
      text += hex + std::string(i % 8 == 7 ? "   #\n" : "");
    }
  }
  return text;
}

// Without a barcode a slot's record may be any cartridge's that was there:
// each one counts, against every cartridge, whatever this run reads.
TEST(LabelRegistry, ARecordOfASlotWithoutABarcodeIdentifiesNoCartridge) {
  test_support::TempDir dir;
  const std::pair<const char*, const char*> files[] = {{"slot001.lbl", "TAP005"},
                                                       {"slot001.written.lbl", "TAP001"},
                                                       {"slot002-ABC002L8.lbl", "OLD002"},
                                                       {"slot002-ABC002L8.written.lbl", "TAP002"}};
  for (const auto& [name, label] : files) {
    test_support::WriteFile(dir.File(name), LabelFile(label));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the newest is the one written last
  }
  LabelRegistry registry(SavedLabels(dir.File("")));
  registry.Found(Visit(1, ""), "");
  struct Case {
    const char* label;
    int slot;
    const char* barcode;
    bool held;
  };
  const Case cases[] = {
      {"TAP001", 1, "", true},          {"TAP005", 1, "", true}, {"TAP001", 5, "ABC005L8", true},
      {"TAP002", 2, "ABC002L8", false}, {"TAP002", 2, "", true}, {"OLD002", 3, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!registry.SavedHolder(c.label, Visit(c.slot, c.barcode)).holder.empty(), c.held)
        << c.label << " on " << c.slot << " " << c.barcode;
  }
  EXPECT_EQ(
      registry.SavedHolder("TAP001", Visit(1, "")).holder,
      "a cartridge that was in slot 1 with no barcode to tell it by (kept in " + dir.File("slot001.written.lbl") + ")");
}

// One barcode may be on two cartridges: each slot it was recorded in keeps
// its record, and only the record of the same slot and barcode is the
// cartridge's own, read in this run or not.
TEST(LabelRegistry, ARecordIsTheCartridgesOwnOnlyInItsSlot) {
  test_support::TempDir dir;
  const std::pair<const char*, const char*> files[] = {{"slot002-ABC001L8.lbl", "TAP001"},
                                                       {"slot001-ABC001L8.lbl", "TAP005"},
                                                       {"slot004-ABC004L8.lbl", "OLD004"},
                                                       {"slot004-ABC004L8.written.lbl", "TAP004"}};
  auto when = std::filesystem::file_time_type::clock::now();
  for (const auto& [name, label] : files) {
    test_support::WriteFile(dir.File(name), LabelFile(label));
    std::filesystem::last_write_time(dir.File(name), when += std::chrono::seconds(1));
  }
  LabelRegistry registry(SavedLabels(dir.File("")));
  std::vector<PlanEntry> plan{Visit(1, "ABC001L8"), Visit(3, "ABC003L8"), Visit(4, "ABC004L8")};
  plan[1].wanted = "TAP003";
  registry.Expect(plan);
  const std::string kept2 = "slot 2's cartridge ABC001L8 (kept in " + dir.File("slot002-ABC001L8.lbl") + ")";
  struct Case {
    const char* label;
    PlanEntry entry;
    std::string holder;
    bool may_be_it;
  };
  const Case before_reads[] = {
      {"TAP001", Visit(1, "ABC001L8"), kept2, true},  // the same barcode elsewhere: it, or another
      {"TAP001", Visit(3, "ABC003L8"), kept2, false},
      {"TAP001", Visit(2, "ABC001L8"), "", false},  // its own record
      {"TAP004", Visit(4, "ABC004L8"), "", false},
      {"OLD004", Visit(3, "ABC003L8"), "", false},  // the newest of the slot's records counts
  };
  for (const Case& c : before_reads) {
    Holding holding = registry.SavedHolder(c.label, c.entry);
    EXPECT_EQ(holding.holder, c.holder) << c.label << " on slot " << c.entry.slot;
    EXPECT_EQ(holding.may_be_it, c.may_be_it) << c.label << " on slot " << c.entry.slot;
  }
  registry.Found(plan[0], "");
  EXPECT_EQ(registry.HolderBeforeWrite(plan[0], "TAP001"), kept2) << "read blank: not the cartridge of slot 2";
  EXPECT_EQ(registry.HolderBeforeWrite(plan[0], "TAP005"), "") << "slot 1's own record, read since";
  EXPECT_EQ(registry.HolderBeforeWrite(plan[2], "TAP003"), "slot 3's cartridge ABC003L8 (meant for it in this run)");
  registry.Found(plan[0], "TAP007");
  registry.Found(plan[0], "TAP008");  // written over what was read
  EXPECT_EQ(registry.HolderBeforeWrite(plan[2], "TAP007"), "");
  EXPECT_EQ(registry.HolderBeforeWrite(plan[2], "TAP008"), "slot 1's cartridge ABC001L8 (read in this run)");
}

}  // namespace
}  // namespace library
