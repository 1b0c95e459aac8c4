#include "write_gate.h"

#include <gtest/gtest.h>

#include <functional>

namespace library {
namespace {

GateEvidence AllHold() {
  GateEvidence evidence;
  evidence.cartridge.clear();
  evidence.removal.clear();
  evidence.set_seen = true;
  evidence.backup.clear();
  evidence.map.clear();
  evidence.data_sets = {{"PAYROLL", 1, 3, "", "", "026001", ""}};
  evidence.holder.clear();
  return evidence;
}

// Each condition missing alone refuses, named; with several missing, the
// first in the manual's order is named; the overrides change only what
// they are documented to change.
TEST(Gate, RefusesAtTheFirstConditionThatDoesNotHold) {
  struct Case {
    const char* name;
    std::function<void(GateEvidence*)> change;
    GateCondition failed;
  };
  const Case cases[] = {
      {"all hold", [](GateEvidence*) {}, GateCondition::kNone},
      {"another cartridge", [](GateEvidence* e) { e->cartridge = "drive 0 holds X"; }, GateCondition::kCartridge},
      {"removal not prevented", [](GateEvidence* e) { e->removal = "Input/output error"; }, GateCondition::kRemoval},
      {"no backup", [](GateEvidence* e) { e->backup = "cannot be made"; }, GateCondition::kBackup},
      {"no backup needed", [](GateEvidence* e) { e->set_seen = false, e->backup = "none"; }, GateCondition::kNone},
      {"no map", [](GateEvidence* e) { e->map = "cannot be kept"; }, GateCondition::kMap},
      {"nothing past the set", [](GateEvidence* e) { e->beyond_set = false, e->map = "none"; }, GateCondition::kNone},
      {"unexpired", [](GateEvidence* e) { e->data_sets[0].kept_until = "expires 2050-01-01"; },
       GateCondition::kExpiration},
      {"the map stopped", [](GateEvidence* e) { e->map_stopped = "file 2"; }, GateCondition::kExpiration},
      {"the map stopped, expiration ignored",
       [](GateEvidence* e) { e->map_stopped = "file 2", e->ignore_expiration = true; }, GateCondition::kNone},
      {"ASCII labels not judged", [](GateEvidence* e) { e->ascii_seen = true; }, GateCondition::kExpiration},
      {"ASCII labels judged", [](GateEvidence* e) { e->ascii_seen = e->ascii_judged = true; }, GateCondition::kNone},
      {"the label elsewhere", [](GateEvidence* e) { e->holder = "label X is on Y"; }, GateCondition::kHolder},
      {"nothing checked", [](GateEvidence* e) { *e = GateEvidence(); }, GateCondition::kCartridge},
      {"lock and map both missing", [](GateEvidence* e) { e->removal = "x", e->map = "y"; }, GateCondition::kRemoval},
      {"map and label both missing", [](GateEvidence* e) { e->map = "y", e->holder = "z"; }, GateCondition::kMap},
  };
  for (const Case& c : cases) {
    GateEvidence evidence = AllHold();
    c.change(&evidence);
    GateDecision decision = Gate(evidence);
    EXPECT_EQ(decision.failed, c.failed) << c.name;
    EXPECT_EQ(decision.reason.empty(), c.failed == GateCondition::kNone) << c.name << ": " << decision.reason;
  }
  GateEvidence ascii = AllHold();
  ascii.ascii_seen = true;
  EXPECT_EQ(Gate(ascii).reason, "ASCII labels; expiration not judged; --ignore-expiration overwrites it");
}

}  // namespace
}  // namespace library
