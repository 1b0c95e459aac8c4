// One cartridge in one drive: read it, decide, write, verify. The cartridge
// is already loaded; the scheduler moves it.
#pragma once

#include <functional>
#include <string>

#include "decoder.h"
#include "expiration.h"
#include "label_registry.h"
#include "plan.h"
#include "report.h"
#include "scheduler.h"
#include "tape_tools.h"

namespace library {

enum class Action {
  kLeave,            // it already carries the label meant for it
  kRefuse,
  kLabelBlank,       // from the template; nothing to back up
  kRelabelKeep,      // back up the old set, keep its other fields
  kRelabelTemplate,  // no usable set to keep: from the template
};

struct Decision {
  Action action = Action::kRefuse;
  std::string reason;  // kRefuse: why
};

/// The labelling policy. An unreadable tape is overwritten only on
/// `overwrite_unreadable`, once every drive failed it. What is backed up
/// before any write is the gate's to decide, from what the reads saw.
Decision Decide(TapeState state, const std::string& label_found, bool relabel, bool overwrite_unreadable = false);

struct JobSettings {
  bool label = false;   // false: inventory
  bool relabel = false;
  bool overwrite_unreadable = false;
  bool keep_fields = false;  // a relabel keeps the old set's fields but the label
  ExpirationRule expiration;
  std::string labels_dir;
  std::string template_path;
  std::string decoder;  // vaklabel-show
  LabelRegistry* registry = nullptr;  // the labels other cartridges carry
  // Asked before the write and before the verify: "" while the drive still
  // holds the planned cartridge, else why not.
  std::function<std::string()> check_cartridge = nullptr;
};

/// Visits the cartridge of `entry` loaded in the drive of `tools`, and
/// tells the scheduler in `*attempt` whether the drive or its read failed.
SlotReport VisitTape(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools, Attempt* attempt);

/// The label file the first read keeps, e.g. slot012-ABC012L8.lbl.
std::string SlotFileName(int slot, const std::string& barcode, const std::string& suffix);

/// The backup of the set a write replaces, e.g. ABC012_OLD001.prelbl.
std::string BackupFileName(const std::string& wanted, const std::string& found);

/// The map of the tape kept beside that backup, e.g. ABC012_OLD001.map.json.
std::string MapFileName(const std::string& wanted, const std::string& found);

}  // namespace library
