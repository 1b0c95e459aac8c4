// One worker per drive, all sharing the changer's one picker: while one
// drive reads or writes, the picker serves the others. Moves are not
// serialised here: the changer carries one cartridge at a time and queues
// the rest, and a drive unloading its tape (the drive's own work, longer
// than the move) must not hold up the moves for the other drives. Each
// cartridge goes back to the slot the run found it in.
//
// Threads: one worker per drive and the caller's. The run's state (queue,
// drives in use, reports) is under one mutex, never held across a move or
// a visit; a worker with nothing to take waits on its condition variable
// for at most 100 ms at a time and looks at the stop flag each time, as
// the label registry's wait does. Children are bounded by ChildTimeout().
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "changer.h"
#include "plan.h"
#include "report.h"

namespace library {

struct DriveUnit {
  int index = 0;       // data transfer element number, as mtx counts
  std::string device;  // its tape device
};

/// One visit of a cartridge: what earlier drives of this run found, and
/// what the visit tells the scheduler back.
struct Attempt {
  std::string drive;                   // "drive 0 (/dev/nst0)"
  std::vector<std::string> unread_in;  // "drive 1 (/dev/nst1): why", each drive that could not read it
  bool another_drive_left = false;     // a drive in use has not tried it yet
  bool drive_fault = false;            // out: the drive, not the tape, failed
  bool unreadable_here = false;        // out: this drive could not read the tape
};

/// What to do with a loaded cartridge. A visit that sets `unreadable_here`
/// while `another_drive_left` has its report dropped: the cartridge goes
/// home and another drive reads it.
using VisitFn = std::function<SlotReport(const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt)>;
using NoticeFn = std::function<void(const std::string& line)>;
/// Told of each entry the run took from the queue once it is done with it,
/// loaded or not.
using SettledFn = std::function<void(const PlanEntry& entry)>;

/// A drive that fails this many cartridges in a row is taken out of use;
/// so is one that fails a load or a read another drive does not. A
/// cartridge that every drive tried fails to load or read counts against
/// itself, not the drives (a single drive's unreadable tapes still count:
/// nothing tells its fault from the tape's).
inline constexpr int kDriveFailuresAllowed = 2;

/// After this many cartridges in a row that no drive could load, the
/// picker is taken to have failed and no more are tried.
inline constexpr int kUnloadableCartridgesForPicker = 6;

/// Where the changer lists the cartridge with `barcode`: "slot 3",
/// "drive 1", "mail slot 10"; "" when it lists none or more than one.
std::string CartridgeLocation(const ChangerStatus& status, const std::string& barcode);

/// Sets each report's location from the changer's own listing at the end
/// of the run, wherever its barcode tells the cartridge apart.
void LocateFromStatus(const ChangerStatus& status, std::vector<SlotReport>* reports);

/// Why the cartridge in drive `drive` is not the one `entry` planned, by
/// what the changer says of it (its volume tag and the slot it came from);
/// "" when it is. A cartridge the changer names neither way is not proven.
std::string WrongCartridge(const ChangerStatus& status, const PlanEntry& entry, int drive);

/// Asks `changer` what drive `drive` holds now: "" when it is `entry`'s
/// cartridge, else why not.
std::string CheckCartridge(Changer& changer, const PlanEntry& entry, int drive);

/// Runs every entry of `plan` on `drives` and returns one report per entry,
/// in slot order. Entries the plan does not visit are reported as planned.
/// Every load is checked with CheckCartridge: another cartridge is refused,
/// untouched. Each cartridge goes back to its slot in the plan, or stays in
/// its drive, with the row saying so, when another program filled that slot
/// or put another cartridge in the drive. Once `stop` is set no new cartridge is loaded; those in drives are
/// finished and put back. A visit that throws counts as failed, and its
/// cartridge goes home like any other.
std::vector<SlotReport> RunPlan(const std::vector<PlanEntry>& plan, const std::vector<DriveUnit>& drives,
                                Changer& changer, const VisitFn& visit, const NoticeFn& notice,
                                const std::atomic<bool>& stop, const SettledFn& settled = nullptr);

/// The report of an entry the plan does not visit.
SlotReport UnvisitedReport(const PlanEntry& entry);

/// Refuses the entries whose cartridge sits in a drive outside `used`: the
/// run cannot reach it, and loading its empty home slot must not count
/// against a healthy drive.
void LeaveOutCartridgesInUnusedDrives(const std::vector<int>& used, const std::string& changer,
                                      std::vector<PlanEntry>* plan);

/// The entries whose cartridge sat in one of `emptied` (drives EmptyDrives
/// made fit for use, so that cartridge went home) are in their slots now.
void ForgetEmptiedDrives(const std::vector<int>& emptied, std::vector<PlanEntry>* plan);

/// Empties drives that hold a cartridge before the run, each back to the
/// slot mtx says it came from. Returns the drives fit for use; a cartridge
/// that cannot go home gets a row in `*left` (slot 0 when its home is not
/// known) that says where it is.
std::vector<DriveUnit> EmptyDrives(const ChangerStatus& status, const std::vector<DriveUnit>& drives, Changer& changer,
                                   const NoticeFn& notice, std::vector<SlotReport>* left);

}  // namespace library
