// Which slots a run touches and which label each cartridge is meant to get,
// worked out from the changer's listing before anything moves.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "changer.h"

namespace library {

enum class LabelSource { kNone, kBarcode, kBarcodeSix, kSerial };

struct PlanRequest {
  std::vector<int> slots;  // empty: every storage slot
  LabelSource source = LabelSource::kNone;  // kNone: inventory only
  std::string serial_start;
};

enum class Disposition {
  kVisit,          // load it, read it, and label it where the policy allows
  kSkipEmpty,      // nothing in the slot
  kSkipCleaning,   // a cleaning cartridge is never loaded
  kRefuse,         // no usable label can be made for it (see reason)
};

struct PlanEntry {
  int slot = 0;
  std::string barcode;
  std::optional<int> in_drive;  // the cartridge sits in this drive, away from its slot
  Disposition disposition = Disposition::kVisit;
  std::string wanted;  // the label it is meant to carry (label runs)
  /// Why it is refused; for a cartridge to visit, why it is refused unless
  /// it carries `wanted` already (it has no barcode, and the labels kept
  /// show that label on a cartridge that may be this one).
  std::string reason;
};

/// The highest slot number any library can have: element addresses are
/// sixteen bits.
inline constexpr int kHighestSlot = 65535;

/// Slot numbers from "1-5,8 10-12": ranges and single numbers separated by
/// commas or blanks, sorted, each once. Nothing, with `*error`, for text that
/// is not such a list, a range running backwards or a slot above
/// kHighestSlot.
std::optional<std::vector<int>> ParseSlotList(std::string_view text, std::string* error);

/// True for characters a volume serial may hold on the systems that read
/// these labels, and none that would change a backup file's path.
bool IsLabelText(std::string_view label);

/// The `count` labels of the serial sequence from `start`: its trailing
/// digits count up, everything before them stays. Nothing, with `*error`,
/// when the start is no six- or eight-character label ending in a digit or
/// when the digits would run out before `count` labels.
std::optional<std::vector<std::string>> SerialSequence(std::string_view start, size_t count, std::string* error);

/// One entry per chosen slot, in slot order. A cartridge that mtx shows in a
/// drive counts as being in the slot it came from. In a label run, a
/// cartridge whose barcode the changer shows in another place too is
/// refused: its barcode tells neither cartridge from the other. Nothing,
/// with `*error`, when a chosen slot is not in the library or the serials do
/// not fit.
std::optional<std::vector<PlanEntry>> BuildPlan(const ChangerStatus& status, const PlanRequest& request,
                                                std::string* error);

/// Another cartridge that carries a label, as far as a record tells.
struct Holding {
  std::string holder;  // e.g. "slot 4's cartridge ABC004L8 (kept in ...)"; "": none
  /// The record may be of the cartridge asked about (no barcode tells them
  /// apart, or the same barcode in another slot): it need not be refused if
  /// its tape carries the label already.
  bool may_be_it = false;
};

/// Refuses every cartridge the plan would give a label that another one
/// gets too, or that `holding` (the label and the cartridge's slot and
/// barcode) says another cartridge already carries, naming which. One that
/// may be that other cartridge is visited, with the reason.
void RefuseDuplicateLabels(std::vector<PlanEntry>* plan,
                           const std::function<Holding(const std::string& label, const PlanEntry& entry)>& holding);

/// Cleaning cartridges carry barcodes beginning CLN.
bool IsCleaningBarcode(std::string_view barcode);

}  // namespace library
