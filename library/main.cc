// vaklabel-library: inventory and batch labelling of a tape library. mtx
// moves the cartridges, vaklabel does every tape operation, vaklabel-show
// decodes what was read.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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
#include "history.h"
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

// A label text file is a few dozen short lines; a longer one is no template.
constexpr std::streamsize kMostTemplateBytes = 1 << 20;

std::optional<std::string> ReadTemplateText(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::string text(kMostTemplateBytes + 1, '\0');
  if (in) text.resize(in.read(text.data(), kMostTemplateBytes + 1).gcount());
  if (!in && !in.eof()) {
    *error =
        "template " + path + " cannot be read" +
        (path == VAKLABEL_TEMPLATE ? "; give --template FILE, such as templates/standard.lbl of vaklabel's source tree"
                                   : "");
    return std::nullopt;
  }
  if (text.size() > static_cast<size_t>(kMostTemplateBytes)) {
    *error = "template " + path + " is larger than any label text file";
    return std::nullopt;
  }
  return text;
}

constexpr std::string_view kPrivatePrefix = "vaklabel-library-template-";
// A copy is made under this name and locked before it takes the name above,
// so no other run's clean-up can find it unlocked.
constexpr std::string_view kMakingPrefix = "vaklabel-library-making-";

// The private copies of runs that ended without removing them (SIGKILL
// leaves no chance): a run holds a lock on its copy's folder while it
// lives. A process number would prove nothing here: a run in a PID
// namespace of its own (as under vtape run) has one another run cannot see.
void RemoveKilledRunsCopies(const std::filesystem::path& temporary) {
  std::error_code error;
  for (std::filesystem::directory_iterator files(temporary, error), end; !error && files != end;
       files.increment(error)) {
    if (!files->path().filename().string().starts_with(kPrivatePrefix)) continue;
    int fd = open(files->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    std::error_code ignored;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) std::filesystem::remove_all(files->path(), ignored);
    close(fd);
  }
}

// The template the run read when it started, in a file of its own for the
// vaklabel children, which take a path: a template replaced or changed
// during the run changes no tape. Removed when the run ends.
class PrivateTemplate {
 public:
  PrivateTemplate() = default;
  PrivateTemplate(const PrivateTemplate&) = delete;
  PrivateTemplate& operator=(const PrivateTemplate&) = delete;
  ~PrivateTemplate() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    if (lock_fd_ >= 0) close(lock_fd_);
  }

  bool Make(const std::string& text, std::string* error) {
    std::error_code fs_error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(fs_error);
    if (!fs_error) RemoveKilledRunsCopies(temporary);
    std::string making = (temporary / (std::string(kMakingPrefix) + "XXXXXX")).string();
    if (fs_error || mkdtemp(making.data()) == nullptr) {
      *error = "no private copy of the template can be made in " + making + ": " +
               (fs_error ? fs_error.message() : std::strerror(errno));
      return false;
    }
    dir_ = making;
    lock_fd_ = open(making.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::string dir = (temporary / kPrivatePrefix).string() + making.substr(making.size() - 6);
    if (lock_fd_ < 0 || flock(lock_fd_, LOCK_EX) != 0 || rename(making.c_str(), dir.c_str()) != 0) {
      *error = "no private copy of the template can be made in " + making + ": " + std::strerror(errno);
      return false;
    }
    dir_ = dir;
    path_ = dir + "/template.lbl";
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0400);
    bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int saved_errno = errno;
    if (fd >= 0 && close(fd) != 0 && written) {
      written = false;
      saved_errno = errno;
    }
    if (!written)
      *error = "the private copy of the template " + path_ + " cannot be written: " + std::strerror(saved_errno);
    return written;
  }

  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
  int lock_fd_ = -1;
};

// Every tape written from the template gets what it holds, so it must pass
// the checks a tape is judged by afterwards. `copy` holds the bytes read
// from `path`; messages name `path`.
bool CheckTemplate(const std::string& path, const std::string& copy, const std::string& decoder, std::string* error) {
  auto records = ReadLabelFile(copy, error);
  if (!records) {
    *error = "template " + path + error->substr(copy.size());
    return false;
  }
  if (records->size() < 3) {
    *error = "template " + path + " is not a label set of three records";
    return false;
  }
  Decoded decoded = Decode(decoder, copy);
  if (!decoded.ran) {
    *error = "template " + path + " cannot be checked: " + decoded.error;
  } else if (!decoded.checks.empty()) {
    *error =
        "template " + path + " fails vaklabel-show's check " + decoded.checks.front() + ": " + decoded.problems.front();
  }
  return decoded.ran && decoded.checks.empty();
}

// The template's bytes, read once and checked: what every write of the run
// gets, whatever becomes of the file.
std::optional<std::string> LoadTemplate(const std::string& path, const std::string& decoder, std::string* error) {
  std::optional<std::string> text = ReadTemplateText(path, error);
  if (!text) return std::nullopt;
  PrivateTemplate copy;
  if (!copy.Make(*text, error) || !CheckTemplate(path, copy.path(), decoder, error)) return std::nullopt;
  return text;
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

// What the run's own decision does to a tape in `state`, as words after
// "if ...,": "", for a tape it leaves or refuses. The backups follow the
// gate: every label record a read sees is kept before the write.
std::string WriteText(TapeState state, const Options& options) {
  Decision decision = Decide(state, "OTHER", options.relabel, options.overwrite_unreadable);
  switch (decision.action) {
    case Action::kRelabelKeep:
      return options.keep_fields ? "relabel it after a backup of its set, keeping the set's other fields"
                                 : "relabel it from the template after a backup of its set";
    case Action::kRelabelTemplate: break;
    default: return "";
  }
  std::string text = "overwrite it from the template";
  switch (state) {
    case TapeState::kInitialised: return text + " after a backup of its records";
    case TapeState::kForeign:
      return text + ", backing up the label records it starts with, if any (tar data has none)";
    default: return text + ", backing up any label records a read saw";
  }
}

// The label run's decision for each thing the tape may turn out to hold.
std::string LabelText(const PlanEntry& entry, const Options& options) {
  std::string text = "label " + entry.wanted + " if blank, leave if it carries " + entry.wanted;
  const std::pair<TapeState, const char*> cases[] = {{TapeState::kLabelledDifferently, "it carries another label"},
                                                     {TapeState::kInitialised, "it is initialised"},
                                                     {TapeState::kForeign, "it holds data without a label set"},
                                                     {TapeState::kUnreadable, "no drive can read it"}};
  std::string writes, refusals;
  for (const auto& [state, condition] : cases) {
    std::string write = WriteText(state, options);
    if (!write.empty()) {
      writes += std::string("; if ") + condition + ", " + write;
    } else {
      refusals += (refusals.empty() ? "" : " or ") + std::string(condition);
    }
  }
  if (writes.empty()) return text + ", else refuse";
  text += writes;
  if (!refusals.empty()) text += "; refuse it if " + refusals;
  if (WritesOverData(options)) {
    text += "; if it holds more than a label set, map it first";
    if (!options.ignore_expiration) text += " and refuse it while a data set on it has not expired";
  }
  return text;
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
  return LabelText(entry, options) + where;
}

std::string ExpirationText(const Options& options) {
  if (options.ignore_expiration) return "overwritten whatever their expiration dates (--ignore-expiration)";
  if (options.expired_by.empty()) return "kept until their expiration dates have passed, as of today " + Today();
  return "kept until their expiration dates have passed, as of " + options.expired_by +
         " (--expired-by); data sets that never expire or that tape management keeps stay";
}

// What history answers moves nothing in the run either: those slots' lines say so.
void PrintPlan(const std::vector<PlanEntry>& plan, const std::vector<DrivePairing>& drives, const Options& options,
               const std::vector<SlotReport>& answered) {
  if (options.json) {
    nlohmann::json entries = nlohmann::json::array();
    for (const PlanEntry& entry : plan) {
      entries.push_back({{"slot", entry.slot},
                         {"barcode", entry.barcode.empty() ? nlohmann::json() : nlohmann::json(entry.barcode)},
                         {"wanted", entry.wanted.empty() ? nlohmann::json() : nlohmann::json(entry.wanted)},
                         {"plan", PlanText(entry, options)}});
    }
    for (const SlotReport& report : answered) {
      entries.push_back(
          {{"slot", report.slot}, {"barcode", report.barcode}, {"plan", "answer: " + ResultText(report)}});
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
  for (const SlotReport& report : answered) {
    std::cout << Visible("slot " + std::to_string(report.slot) + " " + report.barcode +
                         ": answer: " + ResultText(report))
              << "\n";
  }
}

// The report goes out once every cartridge is home; a reader that went
// away (a closed pipe) is an error to say, not a reason to stop early.
int PrintReport(const Options& options, const std::vector<SlotReport>& reports, const std::vector<DrivePairing>& drives,
                const std::string& door, int exit_status, const std::vector<std::string>& findings = {}) {
  if (options.json) {
    nlohmann::json report = ReportJson(options.label ? "label" : "inventory", reports, exit_status);
    report["drives"] = PairingsJson(drives);
    report["door"] = door;
    if (options.audit) report["audit_findings"] = findings;
    std::cout << AsUtf8(report).dump(2) << "\n";
  } else {
    std::cout << VisibleLines(PairingsText(drives)) << ReportTable(reports);
    for (const std::string& finding : findings) std::cout << Visible("audit: " + finding) << "\n";
  }
  std::cout.flush();
  if (std::cout) return exit_status;
  std::cerr << "vaklabel-library: the report could not be written to standard output: " << std::strerror(errno) << "\n";
  return kExitIncomplete;
}

bool AllAnswered(const std::vector<PlanEntry>& plan) {
  return std::none_of(plan.begin(), plan.end(),
                      [](const PlanEntry& entry) { return entry.disposition == Disposition::kVisit; });
}

// Nothing left to mount: the report goes out without a drive or a move.
int ReportFromHistoryAlone(const Options& options, const std::vector<PlanEntry>& plan,
                           std::vector<SlotReport> reports) {
  for (const PlanEntry& entry : plan) reports.push_back(UnvisitedReport(entry));
  std::stable_sort(reports.begin(), reports.end(),
                   [](const SlotReport& a, const SlotReport& b) { return a.slot < b.slot; });
  bool all_as_asked = true;
  for (const SlotReport& report : reports) all_as_asked = all_as_asked && EndedAsAsked(report);
  return PrintReport(options, reports, {}, "not held: nothing moves", all_as_asked ? kExitDone : kExitIncomplete);
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
  std::optional<std::string> template_text;
  if (options.label) {
    template_text = LoadTemplate(options.template_path, tools.decoder, &error);
    if (!template_text) return CannotRun(error);
  }

  std::string library_serial = scsi::UnitSerialAt(options.changer, O_RDWR);
  std::string lock_file =
      options.lock_file.empty() ? DefaultLockFile(ChangerKey(options.changer, library_serial)) : options.lock_file;
  RunLock lock;
  if (!lock.Acquire(lock_file, options.wait_for_lock, &error)) return CannotRun(error);

  MtxChanger changer(tools.mtx, options.changer);
  std::optional<ChangerStatus> status = changer.Status(&error);
  if (!status) return CannotRun(error);
  std::optional<std::vector<PlanEntry>> plan = BuildPlan(*status, options.plan, &error);
  if (!plan) return CannotRun(error);
  std::vector<SavedLabel> saved = SavedLabels(options.labels_dir);
  LabelRegistry registry(saved);
  HistoryAnswers answers;
  if (options.from_history) {
    History history(LoadHistory(options.labels_dir), saved, *status,
                    {library_serial, std::time(nullptr), options.max_age_days});
    answers = AnswerFromHistory(&*plan, history, options.no_mount, options.audit.value_or(0));
    if (!options.dry_run && AllAnswered(*plan)) return ReportFromHistoryAlone(options, *plan, answers.reports);
  }
  RefuseDuplicateLabels(&*plan, [&registry](const std::string& label, const PlanEntry& entry) {
    return registry.SavedHolder(label, entry);
  });
  std::string problem = NamedDeviceProblem(options.drives);
  if (!problem.empty()) return CannotRun(problem);
  Pairing pairing = IdentifyDrives(options.changer, *status, options.drives);
  if (!pairing.error.empty()) return CannotRun(pairing.error);
  for (const std::string& line : pairing.notices) std::cerr << "vaklabel-library: " << Visible(line) << "\n";
  LeaveOutCartridgesInUnusedDrives(Indexes(Units(pairing.drives)), options.changer, &*plan);
  if (!ProveWritable(options.labels_dir, options.dry_run, &error)) return CannotRun(error);
  if (options.dry_run) {
    PrintPlan(*plan, pairing.drives, options, answers.reports);
    return kExitDone;
  }

  CatchInterrupts();
  PrivateTemplate template_copy;
  if (template_text && !template_copy.Make(*template_text, &error)) return CannotRun(error);
  std::mutex output;
  NoticeFn notice = [&output](const std::string& line) {
    std::lock_guard lock(output);
    std::cerr << Visible(line) << std::endl;
  };
  for (const std::string& line : answers.notices) notice(line);
  DoorHold door(options.changer);
  std::string door_text = door.held() ? "held shut for the run" : "not held: " + door.why_not();
  notice("the library's door is " + door_text);
  std::vector<SlotReport> left_in_drives;
  cartridges_may_have_moved = true;
  // A run killed between its MTLOCK and its MTUNLOCK leaves its drive
  // locked; holding the library's lock, no other run of this command works
  // there now. Empty drives are not opened: st waits minutes for a tape.
  for (const DriveUnit& unit : Units(pairing.drives)) {
    std::optional<DriveStatus> held = DriveIn(*status, unit.index);
    if (held && held->full) TapeTools("", unit.device).PreventRemoval(false);
  }
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
  settings.keep_fields = options.keep_fields;
  settings.expiration = {options.ignore_expiration, options.expired_by};
  settings.labels_dir = options.labels_dir;
  settings.template_path = template_copy.path();
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
  std::vector<std::string> findings = AuditFindings(answers, reports);
  if (!answers.reports.empty()) {
    reports.insert(reports.end(), answers.reports.begin(), answers.reports.end());
    std::stable_sort(reports.begin(), reports.end(),
                     [](const SlotReport& a, const SlotReport& b) { return a.slot < b.slot; });
  }
  bool history_kept = AppendHistory(options.labels_dir, library_serial, reports, std::time(nullptr), &error);
  if (!history_kept) notice(error);

  bool all_as_asked = !(FlagDuplicateLabels(&reports) && options.label);
  for (const SlotReport& report : reports) all_as_asked = all_as_asked && EndedAsAsked(report) && history_kept;
  int exit_status = !findings.empty() ? kExitAuditMismatch : all_as_asked ? kExitDone : kExitIncomplete;
  return PrintReport(options, reports, pairing.drives, door_text, exit_status, findings);
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
