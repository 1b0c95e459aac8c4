// vaklabel-library: inventory and batch labelling of a tape library. mtx
// moves the cartridges, vaklabel does every tape operation, vaklabel-show
// decodes what was read.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "changer.h"
#include "drive_identity.h"
#include "label_registry.h"
#include "label_set.h"
#include "lock.h"
#include "expiration.h"
#include "options.h"
#include "plan.h"
#include "process.h"
#include "report.h"
#include "scheduler.h"
#include "scsi.h"
#include "tape_job.h"

namespace {

using namespace library;

std::atomic<bool> stop_requested{false};
// Once set, exit status 2 ("nothing moved") is no longer true.
bool cartridges_may_have_moved = false;

void OnInterrupt(int) {
  if (!stop_requested.exchange(true)) {
    static const char message[] =
        "vaklabel-library: interrupted; finishing the cartridges in the drives and putting them back\n";
    ssize_t ignored = write(2, message, sizeof message - 1);
    (void)ignored;
  }
}

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

// The standard template where it is installed or, for a program run from
// its build tree, where the source tree keeps it.
std::string DefaultTemplate() {
  std::error_code error;
  if (std::filesystem::exists(VAKLABEL_TEMPLATE, error)) return VAKLABEL_TEMPLATE;
  std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  bool in_build_tree = !error && self.starts_with(std::string(VAKLABEL_BUILD_DIR) + "/");
  if (in_build_tree && std::filesystem::exists(VAKLABEL_SOURCE_TEMPLATE, error)) return VAKLABEL_SOURCE_TEMPLATE;
  return VAKLABEL_TEMPLATE;
}

// Holds back SIGINT, SIGTERM and SIGHUP for its life: a signal that comes
// meanwhile takes effect once the file it guards is gone again.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t before_;
};

// Backups and label sets are written there while tapes are in the drives,
// so before anything moves a real file must go in, reach the disk and go.
bool ProbeDirectory(const std::string& dir, std::string* error) {
  std::error_code fs_error;
  std::filesystem::create_directories(dir, fs_error);
  if (!std::filesystem::is_directory(dir, fs_error)) {
    *error = "the labels directory " + dir + " cannot be made" + (fs_error ? ": " + fs_error.message() : "");
    return false;
  }
  std::string probe = dir + "/.vaklabel-library-probe-" + std::to_string(getpid());
  SignalsHeld until_the_probe_is_gone;
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  int failed = fd < 0 ? errno : WriteAll(fd, std::string(4096, '\n'));
  if (fd >= 0 && failed == 0 && fsync(fd) != 0) failed = errno;
  if (fd >= 0 && close(fd) != 0 && failed == 0) failed = errno;
  if (fd >= 0 && unlink(probe.c_str()) != 0 && failed == 0) failed = errno;
  if (failed != 0) *error = "the labels directory " + dir + " is not writable: " + std::strerror(failed);
  return failed == 0;
}

// The directories `dir` needs made, deepest first; a link to nowhere is
// not missing, it is in the way.
std::vector<std::filesystem::path> MissingDirectories(const std::string& dir) {
  std::error_code fs_error;
  std::filesystem::path at = std::filesystem::absolute(dir, fs_error).lexically_normal();
  if (!at.has_filename()) at = at.parent_path();
  std::vector<std::filesystem::path> missing;
  std::error_code absent;  // set for every path that is not there
  for (; !fs_error && at.has_relative_path() && !std::filesystem::exists(std::filesystem::symlink_status(at, absent));
       at = at.parent_path()) {
    missing.push_back(at);
  }
  return missing;
}

// The dry run proves the same and leaves no directory behind that it made.
bool ProveWritable(const std::string& dir, bool dry_run, std::string* error) {
  std::error_code fs_error;
  std::vector<std::filesystem::path> made = dry_run ? MissingDirectories(dir) : std::vector<std::filesystem::path>{};
  bool writable = ProbeDirectory(dir, error);
  for (const std::filesystem::path& path : made) std::filesystem::remove(path, fs_error);
  return writable;
}

int CannotRun(const std::string& message) {
  std::cerr << "vaklabel-library: " << Visible(message) << "\n";
  return kExitCannotRun;
}

struct Tools {
  std::string mtx, vaklabel, decoder;
};

// Every program the run needs is found before anything moves.
bool FindTools(bool label, Tools* tools, std::string* error) {
  struct Need {
    const char* name;
    std::string* path;
    const char* package;
  };
  for (const Need& need : {Need{"mtx", &tools->mtx, "mtx"}, Need{"vaklabel", &tools->vaklabel, "vaklabel"},
                           Need{"vaklabel-show", &tools->decoder, "vaklabel"}}) {
    *need.path = FindInPath(need.name);
    if (need.path->empty()) {
      *error = std::string(need.name) + " is not installed (package " + need.package + ") or not in PATH";
      return false;
    }
  }
  (void)label;
  return true;
}

// Every tape written from the template gets what it holds, so it must pass
// the checks a tape is judged by afterwards.
bool CheckTemplate(const std::string& path, const std::string& decoder, std::string* error) {
  auto records = ReadLabelFile(path, error);
  if (!records) {
    *error =
        "template " + *error +
        (path == VAKLABEL_TEMPLATE ? "; give --template FILE, such as templates/standard.lbl of vaklabel's source tree"
                                   : "");
    return false;
  }
  if (records->size() < 3) {
    *error = "template " + path + " is not a label set of three records";
    return false;
  }
  Decoded decoded = Decode(decoder, path);
  if (!decoded.ran) {
    *error = "template " + path + " cannot be checked: " + decoded.error;
  } else if (!decoded.checks.empty()) {
    *error =
        "template " + path + " fails vaklabel-show's check " + decoded.checks.front() + ": " + decoded.problems.front();
  }
  return decoded.ran && decoded.checks.empty();
}

// The drive's device failed the check after the load: nothing is read.
SlotReport DriveFailure(const PlanEntry& entry, const std::string& why, Attempt* attempt) {
  SlotReport report = UnvisitedReport(entry);
  report.outcome = Outcome::kFailed;
  report.detail = why;
  attempt->drive_fault = true;
  return report;
}

std::vector<DriveUnit> Units(const std::vector<DrivePairing>& pairings) {
  std::vector<DriveUnit> drives;
  for (const DrivePairing& pairing : pairings) drives.push_back({pairing.index, pairing.device});
  return drives;
}

std::vector<int> Indexes(const std::vector<DriveUnit>& drives) {
  std::vector<int> indexes;
  for (const DriveUnit& drive : drives) indexes.push_back(drive.index);
  return indexes;
}

// A library that reports no serial numbers: each drive's device is proven by
// a load test with the first cartridge the run visits anyway. Returns the
// drives fit for use.
std::optional<std::vector<DriveUnit>> ProveUnprovenPairings(const std::vector<PlanEntry>& plan,
                                                            const std::vector<DriveUnit>& drives, Pairing* pairing,
                                                            Changer& changer, const NoticeFn& notice,
                                                            std::string* error) {
  auto first = std::find_if(plan.begin(), plan.end(), [](const PlanEntry& entry) {
    return entry.disposition == Disposition::kVisit && !entry.in_drive;
  });
  std::vector<DriveUnit> usable;
  for (DriveUnit drive : drives) {
    auto paired = std::find_if(pairing->drives.begin(), pairing->drives.end(),
                               [&](const DrivePairing& d) { return d.index == drive.index; });
    if (paired->proof == Proof::kUnproven && first != plan.end()) {
      std::string message;
      LoadTest test = ProveByLoading(&*paired, first->slot, pairing->unproven_devices, changer, &message);
      if (test == LoadTest::kRefused) {
        *error = message;
        return std::nullopt;
      }
      notice(test == LoadTest::kProven
                 ? "drive " + std::to_string(drive.index) + " = " + paired->device + ": " + ProofText(*paired)
                 : message);
      if (test == LoadTest::kLeftOut) continue;
      std::erase(pairing->unproven_devices, paired->device);
    }
    drive.device = paired->device;
    usable.push_back(drive);
  }
  return usable;
}

// A run that may write over data says which data sets it keeps.
bool WritesOverData(const Options& options) {
  return options.label && (options.relabel || options.overwrite_unreadable);
}

std::string PlanText(const PlanEntry& entry, const Options& options) {
  switch (entry.disposition) {
    case Disposition::kSkipEmpty: return "skip: empty slot";
    case Disposition::kSkipCleaning: return "skip: cleaning cartridge";
    case Disposition::kRefuse: return "refuse: " + entry.reason;
    case Disposition::kVisit: break;
  }
  std::string where = entry.in_drive ? " (now in drive " + std::to_string(*entry.in_drive) + ", put back first)" : "";
  if (!options.label) return "read" + where;
  if (!entry.reason.empty()) return "leave if it carries " + entry.wanted + ", else refuse: " + entry.reason + where;
  std::string text = "label " + entry.wanted + " if blank, leave if it carries " + entry.wanted;
  text += options.relabel ? ", else relabel after a backup" : ", else refuse";
  if (options.overwrite_unreadable) text += "; overwrite it if no drive can read it";
  if (WritesOverData(options)) {
    text += "; if it holds more than a label set, map it first";
    if (!options.ignore_expiration) text += " and refuse it while a data set on it has not expired";
  }
  return text + where;
}

std::string ExpirationText(const Options& options) {
  if (options.ignore_expiration) return "overwritten whatever their expiration dates (--ignore-expiration)";
  if (options.expired_by.empty()) return "kept until their expiration dates have passed, as of today " + Today();
  return "kept until their expiration dates have passed, as of " + options.expired_by +
         " (--expired-by); data sets that never expire or that tape management keeps stay";
}

void PrintPlan(const std::vector<PlanEntry>& plan, const std::vector<DrivePairing>& drives, const Options& options) {
  if (options.json) {
    nlohmann::json entries = nlohmann::json::array();
    for (const PlanEntry& entry : plan) {
      entries.push_back({{"slot", entry.slot},
                         {"barcode", entry.barcode.empty() ? nlohmann::json() : nlohmann::json(entry.barcode)},
                         {"wanted", entry.wanted.empty() ? nlohmann::json() : nlohmann::json(entry.wanted)},
                         {"plan", PlanText(entry, options)}});
    }
    nlohmann::json document = {{"plan", entries}, {"drives", PairingsJson(drives)}};
    if (WritesOverData(options)) {
      document["unexpired_data_sets"] = {
          {"kept", !options.ignore_expiration},
          {"judged_as_of", options.ignore_expiration
                               ? nlohmann::json()
                               : nlohmann::json(options.expired_by.empty() ? Today() : options.expired_by)},
          {"text", ExpirationText(options)}};
    }
    std::cout << AsUtf8(document).dump(2) << "\n";
    return;
  }
  std::cout << "dry run: nothing is moved\n" << VisibleLines(PairingsText(drives));
  if (WritesOverData(options)) std::cout << "unexpired data sets: " << ExpirationText(options) << "\n";
  for (const PlanEntry& entry : plan) {
    std::cout << Visible("slot " + std::to_string(entry.slot) + " " +
                         (entry.barcode.empty() ? "(no barcode)" : entry.barcode) + ": " + PlanText(entry, options))
              << "\n";
  }
}

// The report goes out once every cartridge is home; a reader that went
// away (a closed pipe) is an error to say, not a reason to stop early.
int PrintReport(const Options& options, const std::vector<SlotReport>& reports, const std::vector<DrivePairing>& drives,
                const std::string& door, int exit_status) {
  if (options.json) {
    nlohmann::json report = ReportJson(options.label ? "label" : "inventory", reports, exit_status);
    report["drives"] = PairingsJson(drives);
    report["door"] = door;
    std::cout << AsUtf8(report).dump(2) << "\n";
  } else {
    std::cout << VisibleLines(PairingsText(drives)) << ReportTable(reports);
  }
  std::cout.flush();
  if (std::cout) return exit_status;
  std::cerr << "vaklabel-library: the report could not be written to standard output: " << std::strerror(errno) << "\n";
  return kExitIncomplete;
}

int Main(int argc, char* argv[]) {
  signal(SIGPIPE, SIG_IGN);
  const char* changer_env = std::getenv("CHANGER");
  ParsedCommandLine parsed = ParseOptions(argc, argv, changer_env ? changer_env : "", DefaultTemplate());
  std::cout << parsed.out;
  std::cerr << parsed.err;
  if (!parsed.options) return parsed.exit_status;
  const Options& options = *parsed.options;
  SetChildTimeout(options.child_timeout);

  std::string error;
  Tools tools;
  if (!FindTools(options.label, &tools, &error)) return CannotRun(error);
  if (options.label && !CheckTemplate(options.template_path, tools.decoder, &error)) return CannotRun(error);

  std::string lock_file =
      options.lock_file.empty()
          ? DefaultLockFile(ChangerKey(options.changer, scsi::UnitSerialAt(options.changer, O_RDWR)))
          : options.lock_file;
  RunLock lock;
  if (!lock.Acquire(lock_file, options.wait_for_lock, &error)) return CannotRun(error);

  MtxChanger changer(tools.mtx, options.changer);
  std::optional<ChangerStatus> status = changer.Status(&error);
  if (!status) return CannotRun(error);
  std::optional<std::vector<PlanEntry>> plan = BuildPlan(*status, options.plan, &error);
  if (!plan) return CannotRun(error);
  LabelRegistry registry(SavedLabels(options.labels_dir));
  RefuseDuplicateLabels(&*plan, [&registry](const std::string& label, const PlanEntry& entry) {
    return registry.SavedHolder(label, CartridgeName(entry.slot, entry.barcode));
  });
  std::string problem = NamedDeviceProblem(options.drives);
  if (!problem.empty()) return CannotRun(problem);
  Pairing pairing = IdentifyDrives(options.changer, *status, options.drives);
  if (!pairing.error.empty()) return CannotRun(pairing.error);
  for (const std::string& line : pairing.notices) std::cerr << "vaklabel-library: " << Visible(line) << "\n";
  LeaveOutCartridgesInUnusedDrives(Indexes(Units(pairing.drives)), options.changer, &*plan);
  if (!ProveWritable(options.labels_dir, options.dry_run, &error)) return CannotRun(error);
  if (options.dry_run) {
    PrintPlan(*plan, pairing.drives, options);
    return kExitDone;
  }

  CatchInterrupts();
  std::mutex output;
  NoticeFn notice = [&output](const std::string& line) {
    std::lock_guard lock(output);
    std::cerr << Visible(line) << std::endl;
  };
  DoorHold door(options.changer);
  std::string door_text = door.held() ? "held shut for the run" : "not held: " + door.why_not();
  notice("the library's door is " + door_text);
  std::vector<SlotReport> left_in_drives;
  cartridges_may_have_moved = true;
  std::vector<DriveUnit> drives = EmptyDrives(*status, Units(pairing.drives), changer, notice, &left_in_drives);
  if (drives.empty() && left_in_drives.empty()) return CannotRun("no drive is free to use");
  // Drives that all hold cartridges which cannot go home still leave a
  // report: those cartridges have their rows, the rest are not done.
  if (!drives.empty()) {
    std::optional<std::vector<DriveUnit>> proven_drives =
        ProveUnprovenPairings(*plan, drives, &pairing, changer, notice, &error);
    if (!proven_drives) return CannotRun(error);
    drives = *proven_drives;
    if (drives.empty()) return CannotRun("no drive is left to use");
  }
  LeaveOutCartridgesInUnusedDrives(Indexes(drives), options.changer, &*plan);
  ForgetEmptiedDrives(Indexes(drives), &*plan);
  std::vector<int> in_use = Indexes(drives);
  std::erase_if(pairing.drives, [&](const DrivePairing& d) {
    return std::find(in_use.begin(), in_use.end(), d.index) == in_use.end();
  });
  std::map<int, DrivePairing> pairs;
  for (const DrivePairing& drive : pairing.drives) pairs[drive.index] = drive;
  const std::map<int, DrivePairing>& proven = pairs;

  registry.Expect(*plan);
  registry.StopWaitingOn(&stop_requested);
  JobSettings settings;
  settings.label = options.label;
  settings.relabel = options.relabel;
  settings.overwrite_unreadable = options.overwrite_unreadable;
  settings.expiration = {options.ignore_expiration, options.expired_by};
  settings.labels_dir = options.labels_dir;
  settings.template_path = options.template_path;
  settings.decoder = tools.decoder;
  settings.registry = &registry;
  VisitFn visit = [&](const PlanEntry& entry, const DriveUnit& drive, Attempt* attempt) {
    std::string wrong = ConfirmLoaded(proven.at(drive.index));
    if (!wrong.empty()) return DriveFailure(entry, wrong, attempt);
    JobSettings job = settings;
    job.check_cartridge = [&changer, &entry, &drive] { return CheckCartridge(changer, entry, drive.index); };
    return VisitTape(entry, job, TapeTools(tools.vaklabel, drive.device), attempt);
  };
  SettledFn settled = [&registry](const PlanEntry& entry) { registry.Settled(entry); };
  std::vector<SlotReport> reports = RunPlan(*plan, drives, changer, visit, notice, stop_requested, settled);
  reports.insert(reports.begin(), left_in_drives.begin(), left_in_drives.end());
  // Where each cartridge is, by the changer itself: another program may
  // have moved some while the run worked.
  if (std::optional<ChangerStatus> end = changer.Status(&error)) LocateFromStatus(*end, &reports);

  bool all_as_asked = !(FlagDuplicateLabels(&reports) && options.label);
  for (const SlotReport& report : reports) all_as_asked = all_as_asked && EndedAsAsked(report);
  return PrintReport(options, reports, pairing.drives, door_text, all_as_asked ? kExitDone : kExitIncomplete);
}

}  // namespace

int main(int argc, char* argv[]) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    int status = CannotRun(std::string("stopped by ") + e.what());
    return cartridges_may_have_moved ? kExitIncomplete : status;
  }
}
