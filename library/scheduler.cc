#include "scheduler.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace library {
namespace {

// A cartridge waiting for a drive, with the drives that could not read it.
struct Pending {
  PlanEntry entry;
  std::map<int, std::string> unread_in;  // drive index: why
};

class Run {
 public:
  Run(const std::vector<PlanEntry>& plan, const std::vector<DriveUnit>& drives, Changer& changer, const VisitFn& visit,
      const NoticeFn& notice, const std::atomic<bool>& stop, const SettledFn& settled)
      : changer_(changer), visit_(visit), notice_(notice), stop_(stop), settled_(settled) {
    for (const PlanEntry& entry : plan) {
      if (!entry.barcode.empty()) homes_[entry.barcode] = homes_.contains(entry.barcode) ? 0 : entry.slot;
      if (entry.disposition == Disposition::kVisit) {
        queue_.push_back({entry, {}});
      } else {
        reports_.push_back(UnvisitedReport(entry));
      }
    }
    for (const DriveUnit& drive : drives) {
      in_use_.insert(drive.index);
      names_[drive.index] = DriveName(drive);
    }
    total_ = queue_.size();
  }

  void Work(const DriveUnit& drive) {
    int failures_in_row = 0;
    std::string why_out;
    while (!stop_ && why_out.empty()) {
      std::optional<Pending> pending = Next(drive.index);
      if (!pending) break;
      Attempt attempt;
      attempt.drive = DriveName(drive);
      for (const auto& [index, why] : pending->unread_in) attempt.unread_in.push_back(why);
      attempt.another_drive_left = AnotherDriveFor(*pending, drive.index);
      bool stuck = false;
      bool load_failed = false;
      SlotReport report = Visit(pending->entry, drive, &attempt, &stuck, &load_failed);
      bool failed_here = attempt.unreadable_here || load_failed;
      bool retry = failed_here && attempt.another_drive_left && !stuck;
      if (retry) {
        pending->unread_in[drive.index] = attempt.drive + ": " + report.detail;
        Requeue(*pending);
      } else {
        if (settled_) settled_(pending->entry);
        bool handled_here = !failed_here && !attempt.drive_fault;
        Finish(report, handled_here ? pending->unread_in : std::map<int, std::string>{}, drive, load_failed);
      }
      // A cartridge that every drive tried fails is its own fault, not the
      // drives': only a failure no other drive shared counts against this
      // one, and a retried one waits for another drive's verdict.
      bool drives_fault = attempt.drive_fault || (attempt.unreadable_here && !retry && pending->unread_in.empty());
      if (!retry) failures_in_row = drives_fault ? failures_in_row + 1 : 0;
      if (stuck) why_out = "still holds a cartridge";
      if (failures_in_row >= kDriveFailuresAllowed) {
        why_out = "failed " + std::to_string(failures_in_row) + " cartridges in a row";
      }
    }
    StopUsing(drive, why_out);
  }

  std::vector<SlotReport> Reports() {
    std::string why = stop_ ? "interrupted" : !picker_failure_.empty() ? picker_failure_ : "no drive left in use";
    for (const Pending& pending : queue_) {
      SlotReport report = UnvisitedReport(pending.entry);
      report.outcome = Outcome::kNotDone;
      report.detail = why;
      for (const auto& [index, unread] : pending.unread_in) report.detail += "; could not be read in " + unread;
      if (!pending.unread_in.empty()) report.state = TapeState::kUnreadable;
      reports_.push_back(report);
    }
    queue_.clear();
    std::sort(reports_.begin(), reports_.end(), [](const SlotReport& a, const SlotReport& b) { return a.slot < b.slot; });
    return reports_;
  }

 private:
  static std::string DriveName(const DriveUnit& drive) {
    return "drive " + std::to_string(drive.index) + " (" + drive.device + ")";
  }

  // The next cartridge this drive has not tried, unless it is out of use.
  // While other drives still work on cartridges, one of them may come back
  // for this drive to read.
  std::optional<Pending> Next(int drive) {
    std::unique_lock lock(state_);
    while (!stop_ && !taken_out_.contains(drive) && picker_failure_.empty()) {
      auto found = std::find_if(queue_.begin(), queue_.end(),
                                [drive](const Pending& p) { return !p.unread_in.contains(drive); });
      if (found != queue_.end()) {
        Pending pending = *found;
        queue_.erase(found);
        ++in_flight_;
        return pending;
      }
      if (in_flight_ == 0) return std::nullopt;
      changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
    return std::nullopt;
  }

  bool AnotherDriveFor(const Pending& pending, int drive) {
    std::lock_guard lock(state_);
    return std::any_of(in_use_.begin(), in_use_.end(),
                       [&](int other) { return other != drive && !pending.unread_in.contains(other); });
  }

  void Requeue(const Pending& pending) {
    std::lock_guard lock(state_);
    queue_.push_front(pending);
    --in_flight_;
    changed_.notify_all();
  }

  // A cartridge handled here after other drives failed it puts those drives
  // out of use: their loads or reads fail where a cartridge is fine. Each
  // stops once it is done with the cartridge it holds, if any. Cartridges
  // that no drive could load, one after another, are the picker's fault.
  void Finish(const SlotReport& report, const std::map<int, std::string>& failed_elsewhere, const DriveUnit& drive,
              bool load_failed) {
    std::lock_guard lock(state_);
    for (const auto& [index, unread] : failed_elsewhere) {
      if (!taken_out_.insert(index).second) continue;
      in_use_.erase(index);
      notice_(names_[index] + " failed slot " + std::to_string(report.slot) + ", which " + DriveName(drive) +
              " did not; taken out of use (" + unread + ")");
    }
    unloadable_in_row_ = load_failed ? unloadable_in_row_ + 1 : 0;
    if (unloadable_in_row_ >= kUnloadableCartridgesForPicker && picker_failure_.empty()) {
      picker_failure_ = "the changer failed to load the last " + std::to_string(unloadable_in_row_) +
                        " cartridges in every drive; its picker is taken to have failed";
      notice_(picker_failure_);
    }
    reports_.push_back(report);
    notice_(ProgressLine(report, ++done_, total_));
    --in_flight_;
    changed_.notify_all();
  }

  void StopUsing(const DriveUnit& drive, const std::string& why) {
    std::lock_guard lock(state_);
    in_use_.erase(drive.index);
    if (!why.empty()) notice_(DriveName(drive) + " " + why + "; taken out of use");
    changed_.notify_all();
  }

  SlotReport Visit(const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt, bool* stuck, bool* load_failed) {
    std::string error;
    if (!changer_.Load(entry.slot, drive.index, &error)) {
      // A failed move is the cartridge's or the picker's: the cartridge is
      // tried in another drive before this drive is blamed.
      SlotReport report = UnvisitedReport(entry);
      report.outcome = Outcome::kFailed;
      report.detail = error;
      report.location = Locate(entry, drive, stuck);
      *load_failed = report.location == "slot " + std::to_string(entry.slot);
      attempt->drive_fault = false;
      attempt->unreadable_here = false;
      return report;
    }
    std::string wrong = CheckCartridge(changer_, entry, drive.index);
    SlotReport report = wrong.empty() ? VisitLoaded(entry, drive, attempt) : Refused(entry, wrong);
    report.location = PutBack(entry, drive, wrong.empty(), &report, stuck);
    return report;
  }

  static SlotReport Refused(const PlanEntry& entry, const std::string& why) {
    SlotReport report = UnvisitedReport(entry);
    report.outcome = Outcome::kRefused;
    report.detail = why + "; not read or written";
    return report;
  }

  static void Add(SlotReport* report, const std::string& text) {
    report->detail += (report->detail.empty() ? "" : "; ") + text;
  }

  // A cartridge goes back to the slot the run found it in, never to one mtx
  // guesses it came from: once another program has moved cartridges, that
  // guess may be another cartridge's home. The drive holds the planned
  // cartridge, one the load found instead (both from the planned slot), or
  // one another program put there since (from the slot the plan found it
  // in). A home filled meanwhile, or none known, leaves the cartridge in
  // the drive, and the row says so.
  std::string PutBack(const PlanEntry& entry, const DriveUnit& drive, bool loaded_planned, SlotReport* report,
                      bool* stuck) {
    std::string error;
    std::optional<ChangerStatus> status = changer_.Status(&error);
    if (!status) return Unload(entry, drive, report, stuck);
    std::string name = "drive " + std::to_string(drive.index);
    std::optional<DriveStatus> held = DriveIn(*status, drive.index);
    if (held && !held->full) {
      Add(report, "another program took the cartridge out of " + name);
      return Where(*status, entry);
    }
    bool planned = !held || held->barcode == entry.barcode;
    std::optional<int> home = planned || !loaded_planned ? std::optional<int>(entry.slot) : HomeOf(held->barcode);
    std::string cartridge = held && !held->barcode.empty() ? held->barcode : "the cartridge";
    auto slot = std::find_if(status->slots.begin(), status->slots.end(),
                             [&](const SlotStatus& s) { return home && s.number == *home; });
    if (!home || (slot != status->slots.end() && slot->full)) {
      *stuck = true;
      std::string why = home ? "slot " + std::to_string(*home) + ", where the run found it, now holds " +
                                   (slot->barcode.empty() ? "another cartridge" : slot->barcode)
                             : "another program put it there, from a slot the run did not find it in";
      Add(report, cartridge + " is left in " + name + ": " + why);
      return planned ? name : Where(*status, entry);
    }
    if (planned) return Unload(entry, drive, report, stuck);
    PlanEntry other = entry;
    other.slot = *home;
    std::string went = Unload(other, drive, report, stuck);
    Add(report, "the cartridge in " + name + " went back to " + went);
    return Where(*status, entry);
  }

  // The slot the plan found the cartridge with `barcode` in, when one and
  // only one slot held it.
  std::optional<int> HomeOf(const std::string& barcode) const {
    auto found = homes_.find(barcode);
    if (barcode.empty() || found == homes_.end() || found->second == 0) return std::nullopt;
    return found->second;
  }

  // Where the changer lists the cartridge of `entry`, by its barcode.
  static std::string Where(const ChangerStatus& status, const PlanEntry& entry) {
    std::string where = CartridgeLocation(status, entry.barcode);
    return where.empty() ? "unknown" : where;
  }

  SlotReport VisitLoaded(const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt) {
    std::string what;
    try {
      return visit_(entry, drive, attempt);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "an unknown exception";
    }
    attempt->unreadable_here = false;
    SlotReport report = UnvisitedReport(entry);
    report.outcome = Outcome::kFailed;
    report.detail = "stopped by " + what;
    return report;
  }

  // Puts the cartridge home; on failure says where it is.
  std::string Unload(const PlanEntry& entry, const DriveUnit& drive, SlotReport* report, bool* stuck) {
    std::string error;
    if (changer_.Unload(entry.slot, drive.index, &error)) return "slot " + std::to_string(entry.slot);
    report->outcome = Outcome::kFailed;
    report->detail += (report->detail.empty() ? "" : "; ") + error;
    return Locate(entry, drive, stuck);
  }

  // After a failed move the changer's own listing tells where the cartridge
  // went; one still in our drive gets one more try to go home.
  std::string Locate(const PlanEntry& entry, const DriveUnit& drive, bool* stuck) {
    std::string error;
    std::optional<ChangerStatus> status = changer_.Status(&error);
    if (!status) {
      *stuck = true;
      return "unknown (" + error + ")";
    }
    std::string name = "drive " + std::to_string(drive.index);
    std::string where = CartridgeLocation(*status, entry.barcode);
    std::optional<DriveStatus> held = DriveIn(*status, drive.index);
    if (entry.barcode.empty()) {
      auto home = std::find_if(status->slots.begin(), status->slots.end(),
                               [&](const SlotStatus& slot) { return slot.number == entry.slot && slot.full; });
      where = home != status->slots.end() ? "slot " + std::to_string(entry.slot) : held && held->full ? name : "";
    }
    if (where != name) return where.empty() ? "unknown" : where;
    if (changer_.Unload(entry.slot, drive.index, &error)) return "slot " + std::to_string(entry.slot);
    *stuck = true;
    return name;
  }

  Changer& changer_;
  const VisitFn& visit_;
  const NoticeFn& notice_;
  const std::atomic<bool>& stop_;
  const SettledFn& settled_;
  std::mutex state_;
  std::condition_variable changed_;
  std::deque<Pending> queue_;
  size_t in_flight_ = 0;
  std::set<int> in_use_;
  std::map<int, std::string> names_;  // drive index: "drive 0 (/dev/nst0)"
  std::set<int> taken_out_;           // drives whose loads or reads failed where another drive's did not
  std::map<std::string, int> homes_;  // barcode: the slot the plan found it in, 0 when in more than one
  int unloadable_in_row_ = 0;         // cartridges no drive tried could load, one after another
  std::string picker_failure_;        // why no more cartridges are loaded
  std::vector<SlotReport> reports_;
  size_t total_ = 0;
  size_t done_ = 0;
};

}  // namespace

std::string WrongCartridge(const ChangerStatus& status, const PlanEntry& entry, int drive) {
  std::string name = "drive " + std::to_string(drive);
  std::string planned = (entry.barcode.empty() ? "the cartridge without a barcode" : entry.barcode) +
                        " planned from slot " + std::to_string(entry.slot);
  std::optional<DriveStatus> held = DriveIn(status, drive);
  if (!held) return "the changer does not list " + name;
  if (!held->full) return name + " is empty after the load of " + planned;
  std::string from = held->source_slot ? " from slot " + std::to_string(*held->source_slot) : "";
  if (held->barcode != entry.barcode) {
    return name + " holds " + (held->barcode.empty() ? "a cartridge without a readable barcode" : held->barcode) +
           from + ", not " + planned;
  }
  if (held->source_slot ? *held->source_slot != entry.slot : entry.barcode.empty()) {
    return name + " holds " + (entry.barcode.empty() ? "a cartridge without a barcode" : entry.barcode) +
           (from.empty() ? " from a slot the changer does not name" : from) + ", not " + planned;
  }
  return "";
}

std::string CheckCartridge(Changer& changer, const PlanEntry& entry, int drive) {
  std::string error;
  std::optional<ChangerStatus> status = changer.Status(&error);
  if (!status) return "what drive " + std::to_string(drive) + " holds is not known: " + error;
  return WrongCartridge(*status, entry, drive);
}

std::string CartridgeLocation(const ChangerStatus& status, const std::string& barcode) {
  if (barcode.empty()) return "";
  std::vector<std::string> found;
  for (const SlotStatus& slot : status.slots) {
    if (slot.full && slot.barcode == barcode) found.push_back("slot " + std::to_string(slot.number));
  }
  for (const SlotStatus& slot : status.mail_slots) {
    if (slot.full && slot.barcode == barcode) found.push_back("mail slot " + std::to_string(slot.number));
  }
  for (const DriveStatus& drive : status.drives) {
    if (drive.full && drive.barcode == barcode) found.push_back("drive " + std::to_string(drive.index));
  }
  return found.size() == 1 ? found[0] : "";
}

void LocateFromStatus(const ChangerStatus& status, std::vector<SlotReport>* reports) {
  for (SlotReport& report : *reports) {
    if (report.location.empty()) continue;
    std::string where = CartridgeLocation(status, report.barcode);
    if (!where.empty()) report.location = where;
  }
}

SlotReport UnvisitedReport(const PlanEntry& entry) {
  SlotReport report;
  report.slot = entry.slot;
  report.barcode = entry.barcode;
  report.wanted = entry.wanted;
  report.location = entry.disposition == Disposition::kSkipEmpty ? ""
                    : entry.in_drive                             ? "drive " + std::to_string(*entry.in_drive)
                                                                 : "slot " + std::to_string(entry.slot);
  switch (entry.disposition) {
    case Disposition::kSkipEmpty:
      report.state = TapeState::kEmpty;
      report.outcome = Outcome::kSkipped;
      break;
    case Disposition::kSkipCleaning:
      report.state = TapeState::kCleaning;
      report.outcome = Outcome::kSkipped;
      break;
    case Disposition::kRefuse:
      report.outcome = Outcome::kRefused;
      report.detail = entry.reason;
      break;
    case Disposition::kVisit:
      break;
  }
  return report;
}

void LeaveOutCartridgesInUnusedDrives(const std::vector<int>& used, const std::string& changer,
                                      std::vector<PlanEntry>* plan) {
  for (PlanEntry& entry : *plan) {
    if (!entry.in_drive || entry.disposition != Disposition::kVisit) continue;
    if (std::find(used.begin(), used.end(), *entry.in_drive) != used.end()) continue;
    std::string drive = std::to_string(*entry.in_drive);
    entry.disposition = Disposition::kRefuse;
    entry.reason = "in drive " + drive + ", which this run does not use; put it back first (mtx -f " + changer +
                   " unload " + std::to_string(entry.slot) + " " + drive + ") or let the run use drive " + drive;
  }
}

void ForgetEmptiedDrives(const std::vector<int>& emptied, std::vector<PlanEntry>* plan) {
  for (PlanEntry& entry : *plan) {
    if (entry.in_drive && std::find(emptied.begin(), emptied.end(), *entry.in_drive) != emptied.end()) {
      entry.in_drive.reset();
    }
  }
}

std::vector<DriveUnit> EmptyDrives(const ChangerStatus& status, const std::vector<DriveUnit>& drives, Changer& changer,
                                   const NoticeFn& notice, std::vector<SlotReport>* left) {
  std::vector<DriveUnit> usable;
  for (const DriveUnit& drive : drives) {
    auto found = std::find_if(status.drives.begin(), status.drives.end(),
                              [&](const DriveStatus& d) { return d.index == drive.index; });
    if (found == status.drives.end() || !found->full) {
      usable.push_back(drive);
      continue;
    }
    std::string name = "drive " + std::to_string(drive.index);
    std::string cartridge = found->barcode.empty() ? "a cartridge" : found->barcode;
    auto leave = [&](const std::string& why) {
      notice(name + " holds " + cartridge + ": " + why + "; the drive is left out");
      SlotReport report;
      report.slot = found->source_slot.value_or(0);
      report.barcode = found->barcode;
      report.outcome = Outcome::kNotDone;
      report.detail = "left in " + name + ": " + why;
      report.location = name;
      left->push_back(report);
    };
    auto home = found->source_slot ? std::find_if(status.slots.begin(), status.slots.end(),
                                                  [&](const SlotStatus& s) { return s.number == *found->source_slot; })
                                   : status.slots.end();
    if (home == status.slots.end()) {
      leave("its home slot is not known");
      continue;
    }
    if (home->full) {
      leave("its home slot " + std::to_string(home->number) + " holds another cartridge");
      continue;
    }
    std::string error;
    if (changer.Unload(home->number, drive.index, &error)) {
      notice(name + " held " + cartridge + "; put back in slot " + std::to_string(home->number));
      usable.push_back(drive);
    } else {
      leave(error);
    }
  }
  return usable;
}

std::vector<SlotReport> RunPlan(const std::vector<PlanEntry>& plan, const std::vector<DriveUnit>& drives,
                                Changer& changer, const VisitFn& visit, const NoticeFn& notice,
                                const std::atomic<bool>& stop, const SettledFn& settled) {
  Run run(plan, drives, changer, visit, notice, stop, settled);
  std::vector<std::thread> workers;
  for (const DriveUnit& drive : drives) workers.emplace_back([&run, drive] { run.Work(drive); });
  for (std::thread& worker : workers) worker.join();
  return run.Reports();
}

}  // namespace library
