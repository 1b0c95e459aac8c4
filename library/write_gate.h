// The one gate every write to a tape passes: a blank tape, a relabel, an
// unreadable tape overwritten, a set rewritten after an interrupted run.
// The tape job gathers the evidence; the gate alone decides, so that no
// path can write on less proof than another.
#pragma once

#include <string>
#include <vector>

#include "tape_contents.h"

namespace library {

/// What is known of the cartridge in the drive just before the write.
/// Each text is "" when its condition holds, else why it does not.
struct GateEvidence {
  // 1. The drive holds the plan's cartridge: its volume tag and source slot.
  std::string cartridge = "the cartridge in the drive was not checked";
  // 2. The drive prevents the tape's removal (MTLOCK) until the verify ends.
  std::string removal = "the tape's removal was not prevented";
  // 3. Label records some read saw, and their backup on disk.
  bool set_seen = false;
  std::string backup = "no backup was made";
  // 4. The tape holds more than a label set (or nobody knows), and its map
  // on disk.
  bool beyond_set = true;
  std::string map = "the tape was not mapped";
  // 5. Every data set the reads or the map saw, judged (kept_until); where
  // the map stopped at an unreadable block; whether ASCII labels were seen
  // and whether the map decoded their data sets.
  std::vector<DataSetFound> data_sets;
  std::string map_stopped;
  bool ascii_seen = false;
  bool ascii_judged = false;
  bool ignore_expiration = false;
  // 6. No other cartridge carries or is to get the label.
  std::string holder = "the other cartridges' labels were not consulted";
};

enum class GateCondition { kNone, kCartridge, kRemoval, kBackup, kMap, kExpiration, kHolder };

struct GateDecision {
  GateCondition failed = GateCondition::kNone;
  std::string reason;  // for the row; "" when the write may go ahead
};

/// Checks the conditions in their order (the manual lists them) and stops
/// at the first that does not hold.
GateDecision Gate(const GateEvidence& evidence);

}  // namespace library
