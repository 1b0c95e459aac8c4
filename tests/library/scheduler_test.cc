#include "scheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace library {
namespace {

// A changer that keeps track of where each cartridge (barcode Tn, from
// slot n) is and fails the moves it is told to.
class FakeChanger : public Changer {
 public:
  explicit FakeChanger(const std::set<int>& full) {
    for (int slot : full) slots_[slot] = "T" + std::to_string(slot);
  }

  std::optional<ChangerStatus> Status(std::string*) override {
    std::lock_guard lock(mutex_);
    ChangerStatus status;
    for (int slot = 1; slot <= 20; ++slot) {
      auto found = slots_.find(slot);
      status.slots.push_back({slot, found != slots_.end(), found != slots_.end() ? found->second : ""});
    }
    for (const auto& [drive, held] : drives_) status.drives.push_back({drive, true, held.second, held.first});
    return status;
  }
  bool Load(int slot, int drive, std::string* error) override { return Move(true, slot, drive, error); }
  bool Unload(int slot, int drive, std::string* error) override { return Move(false, slot, drive, error); }

  // Another program's move from one slot to another.
  void Transfer(int from, int to) {
    std::lock_guard lock(mutex_);
    slots_[to] = slots_[from];
    slots_.erase(from);
  }

  std::set<int> fail_load_slots;
  std::set<int> fail_load_drives;
  std::set<int> fail_unload_slots;
  std::set<int> slots() {
    std::lock_guard lock(mutex_);
    std::set<int> full;
    for (const auto& [slot, barcode] : slots_) full.insert(slot);
    return full;
  }
  std::map<int, std::string> barcodes() {
    std::lock_guard lock(mutex_);
    return slots_;
  }
  std::map<int, int> drives() {
    std::lock_guard lock(mutex_);
    std::map<int, int> held;
    for (const auto& [drive, cartridge] : drives_) held[drive] = cartridge.first;
    return held;
  }

 private:
  bool Move(bool load, int slot, int drive, std::string* error) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bool ok;
    {
      std::lock_guard lock(mutex_);
      bool fails =
          (load ? fail_load_slots : fail_unload_slots).count(slot) > 0 || (load && fail_load_drives.count(drive) > 0);
      ok = !fails && (load ? slots_.count(slot) && !drives_.count(drive) : drives_.count(drive) && !slots_.count(slot));
      if (ok && load) {
        drives_[drive] = {slot, slots_[slot]};
        slots_.erase(slot);
      } else if (ok) {
        slots_[slot] = drives_[drive].second;
        drives_.erase(drive);
      }
    }
    if (!ok) *error = std::string(load ? "load" : "unload") + " failed: mechanical error";
    return ok;
  }

  std::mutex mutex_;
  std::map<int, std::string> slots_;
  std::map<int, std::pair<int, std::string>> drives_;  // drive: source slot, barcode
};

std::vector<PlanEntry> Visits(std::initializer_list<int> slots) {
  std::vector<PlanEntry> plan;
  for (int slot : slots) plan.push_back({slot, "T" + std::to_string(slot), std::nullopt, Disposition::kVisit, "", ""});
  return plan;
}

struct Recorder {
  std::mutex mutex;
  std::vector<std::string> lines;
  NoticeFn Notice() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  // The last notice of a drive taken out of use; "" when there is none.
  std::string TakenOut() {
    std::string taken_out;
    for (const std::string& line : lines) {
      if (line.find("taken out of use") != std::string::npos) taken_out = line;
    }
    return taken_out;
  }
};

VisitFn Reading(std::set<int> faulty_drives = {}) {
  return [faulty_drives](const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt) {
    SlotReport report = UnvisitedReport(entry);
    attempt->drive_fault = faulty_drives.count(drive.index) > 0;
    report.outcome = attempt->drive_fault ? Outcome::kFailed : Outcome::kRead;
    report.state = TapeState::kBlank;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return report;
  };
}

const std::vector<DriveUnit> kTwoDrives{{0, "/dev/nst0"}, {1, "/dev/nst1"}};

TEST(Scheduler, EveryCartridgeVisitedOnceAndHomeInSlotOrder) {
  FakeChanger changer({1, 2, 3, 4, 5, 6, 7, 8});
  std::vector<PlanEntry> plan = Visits({1, 2, 3, 4, 5, 6, 7, 8});
  plan.push_back({9, "", std::nullopt, Disposition::kSkipEmpty, "", ""});
  Recorder recorder;
  std::atomic<bool> stop{false};
  auto reports = RunPlan(plan, kTwoDrives, changer, Reading(), recorder.Notice(), stop);
  ASSERT_EQ(reports.size(), 9u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(reports[i].slot, i + 1);
    EXPECT_EQ(reports[i].outcome, Outcome::kRead);
    EXPECT_EQ(reports[i].location, "slot " + std::to_string(i + 1));
  }
  EXPECT_EQ(reports[8].outcome, Outcome::kSkipped);
  EXPECT_EQ(changer.slots(), (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_EQ(recorder.lines.size(), 8u);
  EXPECT_EQ(recorder.lines.back().substr(0, 6), "[8/8] ");
}

// A visit that throws fails its cartridge, which still goes home, and every
// cartridge taken is told as settled.
TEST(Scheduler, AThrowingVisitStillPutsTheCartridgeHome) {
  FakeChanger changer({1, 2});
  Recorder recorder;
  std::atomic<bool> stop{false};
  VisitFn reading = Reading();
  VisitFn throwing = [&](const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt) {
    if (entry.slot == 1) throw std::runtime_error("a full disk");
    return reading(entry, drive, attempt);
  };
  std::vector<int> settled;
  auto reports = RunPlan(Visits({1, 2}), {{0, "/dev/nst0"}}, changer, throwing, recorder.Notice(), stop,
                         [&](const PlanEntry& entry) { settled.push_back(entry.slot); });
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].outcome, Outcome::kFailed);
  EXPECT_EQ(reports[0].detail, "stopped by a full disk");
  EXPECT_EQ(reports[0].location, "slot 1");
  EXPECT_EQ(reports[1].outcome, Outcome::kRead);
  EXPECT_EQ(changer.slots(), (std::set<int>{1, 2}));
  EXPECT_EQ(settled, (std::vector<int>{1, 2}));
}

TEST(Scheduler, FailedMovesStopOnlyThatCartridge) {
  FakeChanger changer({1, 2, 3, 4});
  changer.fail_load_slots = {2};
  changer.fail_unload_slots = {3};
  Recorder recorder;
  std::atomic<bool> stop{false};
  auto reports = RunPlan(Visits({1, 2, 3, 4}), {{0, "/dev/nst0"}}, changer, Reading(), recorder.Notice(), stop);
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0].outcome, Outcome::kRead);
  EXPECT_EQ(reports[1].outcome, Outcome::kFailed);
  EXPECT_EQ(reports[1].detail, "load failed: mechanical error");
  EXPECT_EQ(reports[1].location, "slot 2");
  // The unload keeps failing: the cartridge stays in the drive, which is
  // then out of use, and nothing else can be done.
  EXPECT_EQ(reports[2].outcome, Outcome::kFailed);
  EXPECT_EQ(reports[2].location, "drive 0");
  EXPECT_EQ(reports[3].outcome, Outcome::kNotDone);
  EXPECT_EQ(reports[3].detail, "no drive left in use");
  EXPECT_EQ(changer.drives(), (std::map<int, int>{{0, 3}}));
}

TEST(Scheduler, DriveFailingTwiceInARowIsTakenOutOfUse) {
  FakeChanger changer({1, 2, 3, 4, 5, 6});
  Recorder recorder;
  std::atomic<bool> stop{false};
  auto reports = RunPlan(Visits({1, 2, 3, 4, 5, 6}), kTwoDrives, changer, Reading({1}), recorder.Notice(), stop);
  int failed = 0;
  for (const SlotReport& r : reports) {
    failed += r.outcome == Outcome::kFailed;
    EXPECT_NE(r.outcome, Outcome::kNotDone);
    EXPECT_EQ(r.location, "slot " + std::to_string(r.slot));
  }
  EXPECT_EQ(failed, 2);
  bool noticed = false;
  for (const std::string& line : recorder.lines) {
    noticed = noticed || line == "drive 1 (/dev/nst1) failed 2 cartridges in a row; taken out of use";
  }
  EXPECT_TRUE(noticed);
}

// A tape a drive cannot read goes to another drive; a drive that fails a
// read another drive does not is taken out of use.
TEST(Scheduler, AnUnreadTapeIsReadInAnotherDrive) {
  struct Case {
    const char* name;
    std::vector<DriveUnit> drives;
    std::set<int> dirty_drives;   // fail every read
    std::set<int> damaged_slots;  // fail in every drive
    size_t told;                  // failures the drives that reported were told of, over both slots
    std::string notice;           // how a drive taken out of use is announced
  };
  const Case cases[] = {
      {"a dirty head", kTwoDrives, {0}, {}, 1, "drive 0 (/dev/nst0) failed slot "},
      {"a damaged tape", kTwoDrives, {}, {1}, 1, ""},
      {"one drive", {{0, "/dev/nst0"}}, {}, {1}, 0, ""},
  };
  for (const Case& c : cases) {
    FakeChanger changer({1, 2});
    Recorder recorder;
    std::atomic<bool> stop{false};
    std::atomic<size_t> drives_started{0};
    std::mutex mutex;
    std::map<int, size_t> told;
    VisitFn visit = [&](const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt) {
      // Each drive takes a cartridge of its own before either finishes one.
      if (attempt->unread_in.empty() && drives_started < c.drives.size()) ++drives_started;
      for (int i = 0; i < 500 && drives_started < c.drives.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      SlotReport report = UnvisitedReport(entry);
      attempt->unreadable_here = c.dirty_drives.contains(drive.index) || c.damaged_slots.contains(entry.slot);
      report.outcome = Outcome::kRead;
      std::lock_guard lock(mutex);
      told[entry.slot] = attempt->unread_in.size();
      return report;
    };
    auto reports = RunPlan(Visits({1, 2}), c.drives, changer, visit, recorder.Notice(), stop);
    ASSERT_EQ(reports.size(), 2u) << c.name;
    for (const SlotReport& r : reports) {
      EXPECT_EQ(r.outcome, Outcome::kRead) << c.name << " slot " << r.slot;
      EXPECT_EQ(r.location, "slot " + std::to_string(r.slot)) << c.name;
    }
    EXPECT_EQ(told[1] + told[2], c.told) << c.name;
    std::string taken_out = recorder.TakenOut();
    EXPECT_EQ(taken_out.substr(0, c.notice.size()), c.notice) << c.name;
    EXPECT_EQ(taken_out.empty(), c.notice.empty()) << c.name << ": " << taken_out;
  }
}

TEST(Scheduler, StopFinishesTheCartridgesInDrivesAndLeavesTheRest) {
  FakeChanger changer({1, 2, 3, 4, 5, 6});
  Recorder recorder;
  std::atomic<bool> stop{false};
  VisitFn stopping = [&](const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt) {
    stop = true;
    return Reading()(entry, drive, attempt);
  };
  auto reports = RunPlan(Visits({1, 2, 3, 4, 5, 6}), kTwoDrives, changer, stopping, recorder.Notice(), stop);
  int read = 0;
  for (const SlotReport& r : reports) {
    if (r.outcome == Outcome::kRead) ++read;
    if (r.outcome == Outcome::kNotDone) {
      EXPECT_EQ(r.detail, "interrupted");
    }
  }
  EXPECT_GE(read, 1);
  EXPECT_LE(read, 2);
  EXPECT_EQ(changer.slots().size(), 6u) << "every cartridge back home";
}

TEST(Scheduler, DrivesHoldingCartridgesAreEmptiedFirst) {
  FakeChanger changer({1, 3});
  std::string error;
  changer.Load(3, 1, &error);
  auto status = changer.Status(&error);
  status->drives.push_back({0, false, "", std::nullopt});
  Recorder recorder;
  std::vector<SlotReport> left;
  auto usable = EmptyDrives(*status, kTwoDrives, changer, recorder.Notice(), &left);
  EXPECT_EQ(usable.size(), 2u);
  EXPECT_EQ(changer.slots(), (std::set<int>{1, 3}));
  ASSERT_EQ(recorder.lines.size(), 1u);
  EXPECT_EQ(recorder.lines[0], "drive 1 held T3; put back in slot 3");

  ChangerStatus unknown_home;
  unknown_home.drives = {{0, true, "XYZ001L8", std::nullopt}};
  EXPECT_TRUE(EmptyDrives(unknown_home, {{0, "/dev/nst0"}}, changer, recorder.Notice(), &left).empty());
  ASSERT_EQ(left.size(), 1u) << "the cartridge has its row";
  EXPECT_EQ(left[0].outcome, Outcome::kNotDone);
  EXPECT_EQ(left[0].location, "drive 0");
}

TEST(Scheduler, OnlyThePlannedCartridgeCountsAsLoaded) {
  const PlanEntry planned{4, "ABC004L8", std::nullopt, Disposition::kVisit, "", ""};
  const PlanEntry unlabelled{4, "", std::nullopt, Disposition::kVisit, "", ""};
  struct Case {
    PlanEntry entry;
    std::vector<DriveStatus> drives;
    std::string wrong;
  };
  const Case cases[] = {
      {planned, {{0, true, "ABC004L8", 4}}, ""},
      {planned, {{0, true, "ABC004L8", std::nullopt}}, ""},
      {unlabelled, {{0, true, "", 4}}, ""},
      {planned, {{0, true, "ABC005L8", 4}}, "drive 0 holds ABC005L8 from slot 4, not ABC004L8 planned from slot 4"},
      {planned,
       {{0, true, "", 4}},
       "drive 0 holds a cartridge without a readable barcode from slot 4, not ABC004L8 planned from slot 4"},
      {planned, {{0, true, "ABC004L8", 5}}, "drive 0 holds ABC004L8 from slot 5, not ABC004L8 planned from slot 4"},
      {unlabelled,
       {{0, true, "ABC005L8", 4}},
       "drive 0 holds ABC005L8 from slot 4, not the cartridge without a barcode planned from slot 4"},
      {unlabelled,
       {{0, true, "", std::nullopt}},
       "drive 0 holds a cartridge without a barcode from a slot the changer does not name, not the cartridge "
       "without a barcode planned from slot 4"},
      {planned, {{0, false, "", std::nullopt}}, "drive 0 is empty after the load of ABC004L8 planned from slot 4"},
      {planned, {{1, true, "ABC004L8", 4}}, "the changer does not list drive 0"},
  };
  for (const Case& c : cases) {
    ChangerStatus status;
    status.drives = c.drives;
    EXPECT_EQ(WrongCartridge(status, c.entry, 0), c.wrong);
  }
}

// Failed moves and tapes that no drive reads are the cartridge's fault, or
// the picker's, never a drive's that another drive does no better than.
TEST(Scheduler, FailuresEveryDriveSharesBlameNoDrive) {
  struct Case {
    const char* name;
    std::set<int> fail_load_slots;
    std::set<int> fail_load_drives;
    std::set<int> damaged_slots;  // unreadable in every drive
    std::string taken_out;        // the notice of a drive taken out of use, "" for none
    int failed;                   // rows failed
    int not_done;                 // at least: a cartridge in the other drive's hands may fail too
  };
  const Case cases[] = {
      {"four cartridges whose moves fail", {1, 2, 3, 4}, {}, {}, "", 4, 0},
      {"a drive that fails every load", {}, {1}, {}, "drive 1 (/dev/nst1) failed slot ", 0, 0},
      {"six tapes no drive reads", {}, {}, {1, 2, 3, 4, 5, 6}, "", 0, 0},
      {"a picker that fails every move", {1, 2, 3, 4, 5, 6, 7, 8}, {}, {}, "", 7, 1},
  };
  for (const Case& c : cases) {
    FakeChanger changer({1, 2, 3, 4, 5, 6, 7, 8});
    changer.fail_load_slots = c.fail_load_slots;
    changer.fail_load_drives = c.fail_load_drives;
    Recorder recorder;
    std::atomic<bool> stop{false};
    VisitFn visit = [&](const PlanEntry& entry, const DriveUnit&, Attempt* attempt) {
      SlotReport report = UnvisitedReport(entry);
      attempt->unreadable_here = c.damaged_slots.contains(entry.slot);
      report.outcome = Outcome::kRead;
      return report;
    };
    auto reports = RunPlan(Visits({1, 2, 3, 4, 5, 6, 7, 8}), kTwoDrives, changer, visit, recorder.Notice(), stop);
    int failed = 0, not_done = 0;
    for (const SlotReport& r : reports) {
      failed += r.outcome == Outcome::kFailed;
      not_done += r.outcome == Outcome::kNotDone;
      EXPECT_EQ(r.location, "slot " + std::to_string(r.slot)) << c.name;
    }
    EXPECT_EQ(failed + not_done, c.failed + c.not_done) << c.name;
    EXPECT_GE(not_done, c.not_done) << c.name;
    std::string taken_out = recorder.TakenOut();
    EXPECT_EQ(taken_out.substr(0, c.taken_out.size()), c.taken_out) << c.name;
    EXPECT_EQ(taken_out.empty(), c.taken_out.empty()) << c.name << ": " << taken_out;
  }
}

// Another program moves cartridges while one is in the drive: each goes back
// to the slot the run found it in, or stays where it is, and the rows say
// where each one is by the changer's own listing.
TEST(Scheduler, ACartridgeNeverGoesIntoAnotherCartridgesHome) {
  struct Case {
    const char* name;
    std::function<void(FakeChanger&)> other_program;  // while slot 1's cartridge is in drive 0
    std::string location;                             // of slot 1's cartridge
    std::string says;                                 // in slot 1's row
    std::map<int, std::string> slots;                 // after the run
  };
  const Case cases[] = {
      {"its home filled from slot 2",
       [](FakeChanger& changer) { changer.Transfer(2, 1); },
       "drive 0",
       "T1 is left in drive 0: slot 1, where the run found it, now holds T2",
       {{1, "T2"}}},
      {"its cartridge exchanged for slot 2's",
       [](FakeChanger& changer) {
         std::string error;
         changer.Unload(1, 0, &error);
         changer.Load(2, 0, &error);
       },
       "slot 1",
       "the cartridge in drive 0 went back to slot 2",
       {{1, "T1"}, {2, "T2"}}},
  };
  for (const Case& c : cases) {
    FakeChanger changer({1, 2});
    Recorder recorder;
    std::atomic<bool> stop{false};
    VisitFn visit = [&](const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt) {
      if (entry.slot == 1) c.other_program(changer);
      return Reading()(entry, drive, attempt);
    };
    std::vector<PlanEntry> plan = Visits({1});
    plan.push_back({2, "T2", std::nullopt, Disposition::kRefuse, "", "not chosen"});
    auto reports = RunPlan(plan, {{0, "/dev/nst0"}}, changer, visit, recorder.Notice(), stop);
    std::string error;
    LocateFromStatus(*changer.Status(&error), &reports);
    ASSERT_EQ(reports.size(), 2u) << c.name;
    EXPECT_EQ(reports[0].location, c.location) << c.name;
    EXPECT_NE(reports[0].detail.find(c.says), std::string::npos) << c.name << ": " << reports[0].detail;
    EXPECT_EQ(changer.barcodes(), c.slots) << c.name;
  }
}

TEST(Scheduler, LocationsComeFromTheChangersListing) {
  ChangerStatus status;
  status.slots = {{1, true, "T1"}, {2, true, "T9"}, {3, true, "T9"}, {4, false, ""}};
  status.mail_slots = {{10, true, "T5"}};
  status.drives = {{0, true, "T2", 2}};
  struct Case {
    std::string barcode;
    std::string location;  // before
    std::string now;
  };
  const Case cases[] = {
      {"T1", "drive 0", "slot 1"},                                   // put back at the start of the run
      {"T2", "slot 2", "drive 0"},                                   // left in the drive
      {"T5", "slot 5", "mail slot 10"}, {"T9", "slot 2", "slot 2"},  // two slots show it: the run's own account stays
      {"T7", "slot 7", "slot 7"},                                    // not listed
      {"", "slot 4", "slot 4"},
  };
  std::vector<SlotReport> reports;
  for (const Case& c : cases) {
    SlotReport report;
    report.barcode = c.barcode;
    report.location = c.location;
    reports.push_back(report);
  }
  LocateFromStatus(status, &reports);
  for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i].location, cases[i].now) << cases[i].barcode;
}

}  // namespace
}  // namespace library
