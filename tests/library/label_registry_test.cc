#include "label_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
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

  EXPECT_EQ(registry.SavedHolder("TAP009", "ABC002L8"),
            "slot 9's cartridge ABC009L8 (kept in labels/slot009-ABC009L8.lbl)");
  EXPECT_EQ(registry.SavedHolder("TAP009", "ABC009L8"), "") << "its own label";
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
    const char* cartridge;
    bool held;
  };
  const Case cases[] = {
      {"TAP001", "slot 1", true},    {"TAP005", "slot 1", true}, {"TAP001", "ABC005L8", true},
      {"TAP002", "ABC002L8", false}, {"TAP002", "slot 2", true}, {"OLD002", "slot 3", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!registry.SavedHolder(c.label, c.cartridge).empty(), c.held) << c.label << " on " << c.cartridge;
  }
  EXPECT_EQ(
      registry.SavedHolder("TAP001", "slot 1"),
      "a cartridge that was in slot 1 with no barcode to tell it by (kept in " + dir.File("slot001.written.lbl") + ")");
}

}  // namespace
}  // namespace library
