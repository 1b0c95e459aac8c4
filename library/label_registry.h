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

/// The newest label set kept for each cartridge in `dir`: slotNNN[-BARCODE]
/// files ending in .lbl (sets read and sets written; backups are old sets
/// and do not count); every set of a slot without a barcode.
std::vector<SavedLabel> SavedLabels(const std::string& dir);

class LabelRegistry {
 public:
  explicit LabelRegistry(std::vector<SavedLabel> saved) : saved_(std::move(saved)) {}

  /// Who else carries `label` by an earlier run's record, e.g. "slot 4's
  /// cartridge ABC004L8 (kept in labels/slot004-ABC004L8.lbl)"; "" when none.
  /// A cartridge this run has read counts as read, not as recorded. A record
  /// of a cartridge without a barcode tells no cartridge from another, so it
  /// names a holder for every cartridge, its slot's present one too, read or
  /// not. Not to be called while other threads use the registry.
  std::string SavedHolder(const std::string& label, const std::string& cartridge) const;

  /// Ends the wait of HolderBeforeWrite once `*stop` is set.
  void StopWaitingOn(const std::atomic<bool>* stop) { stop_ = stop; }

  /// The cartridges this run visits, in the order they are taken.
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
  /// whole move), then names another that carries the label, by this run's
  /// reads or an earlier run's record; "" when none. A run stopped during
  /// the wait names no holder but says so: the label is not proven free.
  std::string HolderBeforeWrite(const PlanEntry& entry, const std::string& label);

 private:
  struct Read {
    std::string label;
    int slot = 0;
  };
  enum class Progress { kWaiting, kReading, kDone };
  void Mark(int slot, Progress progress);

  std::vector<SavedLabel> saved_;
  const std::atomic<bool>* stop_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, size_t> order_;  // slot to its place in the visiting order
  std::vector<Progress> progress_;  // by place in the visiting order
  std::map<std::string, Read> read_;  // by cartridge
};

}  // namespace library
