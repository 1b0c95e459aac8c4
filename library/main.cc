// vaklabel-library: inventory and batch labelling of a tape library. mtx
// moves the cartridges, vaklabel does every tape operation, vaklabel-show
// decodes what was read.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "changer.h"
#include "label_set.h"
#include "lock.h"
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

int CannotRun(const std::string& message) {
  std::cerr << "vaklabel-library: " << message << "\n";
  return kExitCannotRun;
}

struct Tools {
  std::string mtx, mt, vaklabel, decoder;
};

// Every program the run needs is found before anything moves.
bool FindTools(bool label, Tools* tools, std::string* error) {
  struct Need {
    const char* name;
    std::string* path;
    const char* package;
  };
  for (const Need& need : {Need{"mtx", &tools->mtx, "mtx"}, Need{"mt", &tools->mt, "mt-st"},
                           Need{"vaklabel", &tools->vaklabel, "vaklabel"},
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

bool CheckTemplate(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "template " + path + " cannot be read";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  auto records = ParseLabelFile(text.str(), error);
  if (!records || records->size() < 3) {
    *error = "template " + path + " is not a label set of three records" + (records ? "" : ": " + *error);
    return false;
  }
  return true;
}

std::vector<DriveUnit> ChooseDrives(const Options& options, const ChangerStatus& status, std::string* error) {
  std::vector<DriveUnit> drives;
  if (options.drives.empty()) {
    for (const DriveStatus& drive : status.drives) drives.push_back({drive.index, "/dev/nst" + std::to_string(drive.index)});
    return drives;
  }
  for (const auto& [index, device] : options.drives) {
    bool known = false;
    for (const DriveStatus& drive : status.drives) known = known || drive.index == index;
    if (!known) {
      *error = "drive " + std::to_string(index) + " is not in this library (" + std::to_string(status.drives.size()) +
               " drives, numbered from 0)";
      return {};
    }
    drives.push_back({index, device});
  }
  return drives;
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
  std::string text = "label " + entry.wanted + " if blank, leave if it carries " + entry.wanted;
  text += options.relabel ? ", else relabel after a backup" : ", else refuse";
  return text + where;
}

void PrintPlan(const std::vector<PlanEntry>& plan, const std::vector<DriveUnit>& drives, const Options& options) {
  if (options.json) {
    nlohmann::json entries = nlohmann::json::array();
    for (const PlanEntry& entry : plan) {
      entries.push_back({{"slot", entry.slot},
                         {"barcode", entry.barcode.empty() ? nlohmann::json() : nlohmann::json(entry.barcode)},
                         {"wanted", entry.wanted.empty() ? nlohmann::json() : nlohmann::json(entry.wanted)},
                         {"plan", PlanText(entry, options)}});
    }
    nlohmann::json units = nlohmann::json::array();
    for (const DriveUnit& drive : drives) units.push_back({{"drive", drive.index}, {"device", drive.device}});
    std::cout << nlohmann::json{{"plan", entries}, {"drives", units}}.dump(2) << "\n";
    return;
  }
  std::cout << "dry run: nothing is moved\ndrives:";
  for (const DriveUnit& drive : drives) std::cout << " " << drive.index << "=" << drive.device;
  std::cout << "\n";
  for (const PlanEntry& entry : plan) {
    std::cout << "slot " << entry.slot << " " << (entry.barcode.empty() ? "(no barcode)" : entry.barcode) << ": "
              << PlanText(entry, options) << "\n";
  }
}

int Main(int argc, char* argv[]) {
  const char* changer_env = std::getenv("CHANGER");
  ParsedCommandLine parsed = ParseOptions(argc, argv, changer_env ? changer_env : "", VAKLABEL_TEMPLATE);
  std::cout << parsed.out;
  std::cerr << parsed.err;
  if (!parsed.options) return parsed.exit_status;
  const Options& options = *parsed.options;

  std::string error;
  Tools tools;
  if (!FindTools(options.label, &tools, &error)) return CannotRun(error);
  if (options.label && !CheckTemplate(options.template_path, &error)) return CannotRun(error);

  std::string lock_file =
      options.lock_file.empty()
          ? DefaultLockFile(ChangerKey(options.changer, scsi::UnitSerialAt(options.changer, O_RDWR)))
          : options.lock_file;
  RunLock lock;
  if (!options.dry_run && !lock.Acquire(lock_file, options.wait_for_lock, &error)) return CannotRun(error);

  MtxChanger changer(tools.mtx, options.changer);
  std::optional<ChangerStatus> status = changer.Status(&error);
  if (!status) return CannotRun(error);
  std::optional<std::vector<PlanEntry>> plan = BuildPlan(*status, options.plan, &error);
  if (!plan) return CannotRun(error);
  std::vector<DriveUnit> drives = ChooseDrives(options, *status, &error);
  if (drives.empty()) return CannotRun(error.empty() ? "the library has no drives" : error);
  if (options.dry_run) {
    PrintPlan(*plan, drives, options);
    return kExitDone;
  }
  std::error_code fs_error;
  std::filesystem::create_directories(options.labels_dir, fs_error);
  if (!std::filesystem::is_directory(options.labels_dir)) {
    return CannotRun("cannot create the labels directory " + options.labels_dir);
  }

  CatchInterrupts();
  std::mutex output;
  NoticeFn notice = [&output](const std::string& line) {
    std::lock_guard lock(output);
    std::cerr << line << std::endl;
  };
  drives = EmptyDrives(*status, drives, changer, notice);
  if (drives.empty()) return CannotRun("no drive is free to use");

  JobSettings settings{options.label, options.relabel, options.labels_dir, options.template_path, tools.decoder};
  VisitFn visit = [&](const PlanEntry& entry, const DriveUnit& drive, bool* drive_fault) {
    return VisitTape(entry, settings, TapeTools(tools.vaklabel, tools.mt, drive.device), drive_fault);
  };
  std::vector<SlotReport> reports = RunPlan(*plan, drives, changer, visit, notice, stop_requested);

  bool all_as_asked = !stop_requested;
  for (const SlotReport& report : reports) all_as_asked = all_as_asked && EndedAsAsked(report);
  int exit_status = all_as_asked ? kExitDone : kExitIncomplete;
  if (options.json) {
    std::cout << ReportJson(options.label ? "label" : "inventory", reports, exit_status).dump(2) << "\n";
  } else {
    std::cout << ReportTable(reports);
  }
  return exit_status;
}

}  // namespace

int main(int argc, char* argv[]) { return Main(argc, argv); }
