#include "label_registry.h"

#include <gtest/gtest.h>

#include <future>

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

}  // namespace
}  // namespace library
