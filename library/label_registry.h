// Which label each cartridge is known to carry: from the sets earlier runs
// kept in the labels directory and from this run's reads, so that no write
// gives a second cartridge a label another one already has.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "plan.h"

namespace library {

/// A label kept in the labels directory, and the cartridge it was read from.
struct SavedLabel {
  std::string cartridge;  // CartridgeName of the slot and barcode in its file name
  std::string label;
  std::string file;
  int slot = 0;
};

/// The barcode as the label files spell it, or "slot N" for a cartridge
/// without one: what tells two cartridges apart across runs.
std::string CartridgeName(int slot, const std::string& barcode);

/// The newest label set kept for each slot and barcode in `dir`:
/// slotNNN[-BARCODE] files ending in .lbl (sets read and sets written;
/// backups are old sets and do not count); every set of a slot without a
/// barcode. A barcode may be on two cartridges, so a record is not taken
/// for its barcode's other records: each place it was seen counts.
std::vector<SavedLabel> SavedLabels(const std::string& dir);

/// The labels cartridges carry, by label: from earlier runs' records, this
/// run's reads and writes, and the plan's labels, so that no write gives a
/// cartridge a label another one carries or is to get.
class LabelRegistry {
 public:
  explicit LabelRegistry(const std::vector<SavedLabel>& saved);

  /// Who else carries `label` by an earlier run's record, e.g. "slot 4's
  /// cartridge ABC004L8 (kept in labels/slot004-ABC004L8.lbl)". Only the
  /// record of the same slot and barcode is the cartridge of `entry`'s own;
  /// once this run has read that cartridge, its read counts instead. A
  /// record without a barcode, or with this barcode in another slot, may be
  /// of this cartridge or of another: it names a holder that may be it. One
  /// that is surely another's comes first.
  Holding SavedHolder(const std::string& label, const PlanEntry& entry) const;

  /// Ends the wait of HolderBeforeWrite once `*stop` is set.
  void StopWaitingOn(const std::atomic<bool>* stop) { stop_ = stop; }

  /// The cartridges this run visits, in the order they are taken, and the
  /// labels they are meant to get.
  void Expect(const std::vector<PlanEntry>& plan);
  /// The cartridge of `entry` is in a drive, about to be read.
  void Loaded(const PlanEntry& entry);
  /// This run read `label` on the cartridge of `entry` ("" for none), or
  /// wrote it there.
  void Found(const PlanEntry& entry, const std::string& label);
  /// The cartridge of `entry` is done with, read or not.
  void Settled(const PlanEntry& entry);

  /// Before `entry`'s cartridge gets `label`: waits for the reads of the
  /// cartridges taken before it that are in drives already (a moment's
  /// wait; one still waiting for the picker would hold the drive for a
  /// whole move), then names another cartridge that carries the label or is
  /// meant to get it in this run, by this run's reads and plan or an earlier
  /// run's record; "" when none. A run stopped during the wait names no
  /// holder but says so: the label is not proven free.
  std::string HolderBeforeWrite(const PlanEntry& entry, const std::string& label);

 private:
  enum class Progress { kWaiting, kReading, kDone };
  void Mark(int slot, Progress progress);
  /// Barcodes by slot.
  using Places = std::map<int, std::string>;
  std::string HolderAmong(const Places& places, const PlanEntry& entry, const std::string& why) const;

  std::map<std::string, std::vector<SavedLabel>> saved_;  // by label
  const std::atomic<bool>* stop_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, size_t> order_;  // slot to its place in the visiting order
  std::vector<Progress> progress_;  // by place in the visiting order
  std::map<std::string, Places> read_;                          // by label: where this run found or wrote it
  std::map<int, std::pair<std::string, std::string>> read_at_;  // by slot: the barcode and the label found there
  std::map<std::string, Places> planned_;                       // by label: the cartridges meant to get it
};

}  // namespace library
