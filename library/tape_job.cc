#include "tape_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "label_set.h"

namespace library {
namespace {

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<LabelRecords> LoadRecords(const std::string& path, std::string* error) {
  std::optional<std::string> text = ReadText(path);
  if (!text) {
    *error = path + " cannot be read";
    return std::nullopt;
  }
  auto records = ParseLabelFile(*text, error);
  if (!records) *error = path + ": " + *error;
  return records;
}

// The copy of a set must be on the disk before the tape it came from is
// written: a crash in between must not lose both.
bool SyncFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

void Remove(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

// A blank tape and one whose first block is damaged fail the first read the
// same way on st; only a tape whose end of data lies at its very start
// counts as blank, every other answer as unreadable.
bool ProvedBlank(const TapeTools& tools, std::string* detail) {
  auto after_read = tools.Position();
  if (!after_read || !StillAtStart(*after_read)) {
    *detail = after_read && after_read->bot ? "first block unreadable, and the drive is back at the start of the tape"
                                            : "first block unreadable";
    return false;
  }
  if (!tools.SpaceToEndOfData()) {
    *detail = "first block unreadable, and the drive cannot space to the end of data";
    return false;
  }
  auto at_end = tools.Position();
  if (!at_end || !EndOfDataAtStart(*at_end)) {
    *detail = "first block unreadable, data recorded beyond it";
    return false;
  }
  return true;
}

// What a write from the template puts out of reach: everything up to the
// tape's end of data.
std::string DataBeyond(const TapeTools& tools) {
  std::optional<DrivePosition> at_end;
  if (tools.SpaceToEndOfData()) at_end = tools.Position();
  if (!at_end || !at_end->eod) return "whatever the tape held (its end of data was not found)";
  if (at_end->file == 0 && at_end->block <= 0) return "nothing: the end of data was at the start";
  return "everything the tape held: its end of data came after " + std::to_string(at_end->file) + " tape mark" +
         (at_end->file == 1 ? "" : "s") +
         (at_end->block > 0 ? " and " + std::to_string(at_end->block) + " blocks" : "");
}

void TakeDecoded(const Decoded& decoded, SlotReport* report) {
  report->created = decoded.created;
  report->expires = decoded.expires;
  report->warnings = decoded.problems;
}

// Reads back what was written and compares it with what was meant.
bool Verify(const SlotReport& report, const LabelRecords& source, const std::string& before_date,
            const JobSettings& settings, const TapeTools& tools, SlotReport* out) {
  std::string file = SlotFileName(report.slot, report.barcode, ".written.lbl");
  std::string path = settings.labels_dir + "/" + file;
  Remove(path);
  ReadTrace back = tools.Read(settings.labels_dir, file);
  std::string error;
  std::string why;
  if (JudgeRead(back, &why) != Finding::kLabelSet) {
    out->detail = "verify: the label written does not read back (" + why + ")";
    return false;
  }
  auto written = LoadRecords(path, &error);
  if (!written) {
    out->detail = "verify: " + error;
    return false;
  }
  std::string difference =
      back.label != report.wanted
          ? "read back label " + back.label + ", meant " + report.wanted
          : CompareWritten(ExpectedAfterWrite(source, report.wanted), *written,
                           {before_date, CreationDate(std::time(nullptr))});
  if (!difference.empty()) {
    out->detail = "verify: " + difference;
    return false;
  }
  out->label = back.label;
  out->label_file = path;
  TakeDecoded(Decode(settings.decoder, path), out);
  return true;
}

// The kept copy of a set read must hold the label vaklabel printed; "" when
// it does, else why not.
std::string CheckKeptCopy(const std::string& path, const std::string& label, std::optional<LabelRecords>* records) {
  std::string error;
  *records = LoadRecords(path, &error);
  if (!*records) return "the label set read was not kept whole: " + error;
  if (LabelOf(**records) != label) {
    return "the label set kept in " + path + " carries '" + LabelOf(**records) + "', the tape said " + label;
  }
  if (!SyncFile(path)) return "the label set kept in " + path + " cannot be synced to disk";
  return "";
}

// A backup holds the set read; vaklabel's own, from an earlier run, has one
// record more for a six-character set under an eight-character label.
std::string CheckBackup(const std::string& path, const LabelRecords& read) {
  std::string error;
  auto backup = LoadRecords(path, &error);
  if (!backup) return "the backup " + error;
  if (backup->size() < read.size() || !std::equal(read.begin(), read.end(), backup->begin())) {
    return "the backup " + path + " differs from the label set read";
  }
  return "";
}

bool WriteNewFile(const std::string& path, const std::string& text, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  if (!written) *error = std::strerror(errno);
  if (close(fd) != 0 && written) {
    *error = std::strerror(errno);
    written = false;
  }
  if (!written) Remove(path);
  return written;
}

// The backup is made, synced and read back before the tape is written, so
// that a cartridge whose old set cannot be kept is refused, not relabelled.
// One an earlier run left with the same set is kept as it is; one with
// another set is never overwritten. "" when `backup` holds the set read.
std::string KeepBackup(const std::string& kept, const std::string& backup, const LabelRecords& read) {
  std::error_code fs_error;
  if (std::filesystem::exists(backup, fs_error)) {
    if (CheckBackup(backup, read).empty()) return "";
    return "the backup " + backup + " exists and holds another label set: move it away first";
  }
  std::optional<std::string> text = ReadText(kept);
  std::string error = kept + " cannot be read";
  if (!text || !WriteNewFile(backup, *text, &error)) return "the backup " + backup + " cannot be made: " + error;
  std::string dir = std::filesystem::path(backup).parent_path();
  if (!SyncFile(dir.empty() ? "." : dir)) return "the backup " + backup + " cannot be synced to disk";
  return CheckBackup(backup, read);
}

// After a write that failed once the tape was open for writing, the label
// there is whatever a fresh read finds.
void ReadAfterFailedWrite(const JobSettings& settings, const TapeTools& tools, SlotReport* report) {
  std::string file = SlotFileName(report->slot, report->barcode, ".after-failure.lbl");
  Remove(settings.labels_dir + "/" + file);
  ReadTrace after = tools.Read(settings.labels_dir, file);
  std::string why;
  report->label.clear();
  report->created.clear();
  report->expires.clear();
  report->warnings.clear();
  if (JudgeRead(after, &why) == Finding::kLabelSet) {
    report->label = after.label;
    report->detail += "; the tape now reads as label " + after.label + " (not what was meant)";
  } else {
    report->detail += "; the tape now holds no readable label set (" + why + ")";
  }
}

SlotReport ReportFor(const PlanEntry& entry) {
  SlotReport report;
  report.slot = entry.slot;
  report.barcode = entry.barcode;
  report.wanted = entry.wanted;
  return report;
}

SlotReport Stop(SlotReport report, Outcome outcome, const std::string& detail) {
  report.outcome = outcome;
  report.detail = detail;
  return report;
}

// Reads the cartridge and says what it holds; `*records` gets the set read.
void ReadCartridge(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools, SlotReport* report,
                   std::optional<LabelRecords>* records, std::string* detail, Finding* finding) {
  std::string file = SlotFileName(entry.slot, entry.barcode, ".lbl");
  std::string path = settings.labels_dir + "/" + file;
  Remove(path);
  ReadTrace trace = tools.Read(settings.labels_dir, file);
  *finding = JudgeRead(trace, detail);
  switch (*finding) {
    case Finding::kMaybeBlank:
      report->state = ProvedBlank(tools, detail) ? TapeState::kBlank : TapeState::kUnreadable;
      return;
    case Finding::kUnreadable: report->state = TapeState::kUnreadable; return;
    case Finding::kForeign: report->state = TapeState::kForeign; return;
    case Finding::kLabelSet: break;
    default: return;
  }
  report->label_file = path;
  report->label_found = trace.label;
  report->label = trace.label;
  std::string kept = CheckKeptCopy(path, trace.label, records);
  if (!kept.empty()) {
    *finding = Finding::kNotSaved;
    *detail = kept;
    return;
  }
  Decoded decoded = Decode(settings.decoder, path);
  TakeDecoded(decoded, report);
  if (!decoded.ran) {
    *finding = Finding::kUnrecognised;
    *detail = "decoder: " + decoded.error;
  } else if (!decoded.standard) {
    report->state = TapeState::kForeign;
    *detail = decoded.problems.empty() ? "not a standard label set" : decoded.problems.front();
  } else {
    std::string meant = settings.label ? entry.wanted : entry.barcode;
    bool matches = trace.label == meant || (!settings.label && meant.size() > 6 && trace.label == meant.substr(0, 6));
    report->state = matches ? TapeState::kLabelled : TapeState::kLabelledDifferently;
  }
}

}  // namespace

std::string SlotFileName(int slot, const std::string& barcode, const std::string& suffix) {
  char number[16];
  std::snprintf(number, sizeof number, "slot%03d", slot);
  std::string name = number;
  if (!barcode.empty()) {
    name += "-";
    for (char c : barcode) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name + suffix;
}

Decision Decide(TapeState state, const std::string& label_found, bool has_set, bool relabel) {
  switch (state) {
    case TapeState::kBlank:
      return {Action::kLabelBlank, false, ""};
    case TapeState::kLabelled:
      return {Action::kLeave, false, ""};
    case TapeState::kLabelledDifferently:
      if (relabel) return {Action::kRelabelKeep, true, ""};
      return {Action::kRefuse, false, "labelled " + label_found + "; --relabel replaces it"};
    case TapeState::kForeign:
      if (relabel) return {Action::kRelabelTemplate, has_set, ""};
      return {Action::kRefuse, false, "holds data that is not a label set; --relabel overwrites it"};
    case TapeState::kUnreadable:
      if (relabel) return {Action::kRelabelTemplate, false, ""};
      return {Action::kRefuse, false, "cannot be read; --relabel overwrites it"};
    default:
      return {Action::kRefuse, false, "not read"};
  }
}

SlotReport VisitTape(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                     bool* drive_fault) {
  *drive_fault = false;
  SlotReport report = ReportFor(entry);
  std::optional<LabelRecords> records_read;
  std::string detail;
  Finding finding = Finding::kUnrecognised;
  if (settings.registry) settings.registry->Loaded(entry);
  ReadCartridge(entry, settings, tools, &report, &records_read, &detail, &finding);
  if (settings.registry) settings.registry->Found(entry, report.label_found);
  Outcome not_done = settings.label ? Outcome::kRefused : Outcome::kFailed;
  switch (finding) {
    case Finding::kDriveFault:
      *drive_fault = true;
      return Stop(report, Outcome::kFailed, "drive " + tools.device() + ": " + detail);
    case Finding::kNotSaved:
    case Finding::kUnrecognised: return Stop(report, not_done, detail);
    default: break;
  }

  if (!settings.label) {
    report.outcome = Outcome::kRead;
    if (report.state == TapeState::kForeign || report.state == TapeState::kUnreadable) report.detail = detail;
    return report;
  }

  Decision decision = Decide(report.state, report.label_found, records_read.has_value(), settings.relabel);
  if (decision.action == Action::kLeave) return Stop(report, Outcome::kUnchanged, "");
  if (decision.action == Action::kRefuse) {
    return Stop(report, Outcome::kRefused, detail.empty() ? decision.reason : detail + "; " + decision.reason);
  }

  // One failed read proves little: a second one, after a rewind, must fail
  // the same way before the tape counts as unreadable.
  if (report.state == TapeState::kUnreadable) {
    SlotReport again = ReportFor(entry);
    std::optional<LabelRecords> ignored;
    std::string second;
    Finding finding_again = Finding::kUnrecognised;
    ReadCartridge(entry, settings, tools, &again, &ignored, &second, &finding_again);
    if (again.state != TapeState::kUnreadable) {
      return Stop(report, Outcome::kRefused,
                  detail + "; a second read found " + (again.label_found.empty() ? second : again.label_found) +
                      ": not overwritten, run again");
    }
  }

  bool from_template = decision.action != Action::kRelabelKeep;
  LabelRecords source;
  std::string error;
  if (from_template) {
    auto template_records = LoadRecords(settings.template_path, &error);
    if (!template_records) return Stop(report, Outcome::kFailed, "template " + error);
    source = *template_records;
    source.resize(3);
  } else {
    source = *records_read;
  }

  if (settings.registry) {
    std::string holder = settings.registry->HolderBeforeWrite(entry, entry.wanted);
    if (!holder.empty()) return Stop(report, Outcome::kRefused, "label " + entry.wanted + " is on " + holder);
  }
  if (decision.backup) {
    // Named as vaklabel names its backups: NEW_OLD.prelbl.
    std::string backup = settings.labels_dir + "/" + entry.wanted + "_" + report.label_found + ".prelbl";
    std::string problem = KeepBackup(report.label_file, backup, *records_read);
    if (!problem.empty()) return Stop(report, Outcome::kRefused, problem);
    report.backup_file = backup;
  }
  std::string destroyed = report.state == TapeState::kBlank || decision.backup ? "" : DataBeyond(tools);

  std::string wrong = settings.check_cartridge ? settings.check_cartridge() : "";
  if (!wrong.empty()) return Stop(report, Outcome::kRefused, wrong + "; not written");

  std::string before = CreationDate(std::time(nullptr));
  WriteTrace written = tools.Write(entry.wanted, from_template ? settings.template_path : "");
  if (written.status != 0 || !written.ran) {
    report.outcome = Outcome::kFailed;
    const std::string& why = written.error;
    if (!written.tape_opened_to_write) {
      if (why.find("Read-only file system") != std::string::npos) {
        report.detail = "write-protected";
      } else {
        // Anything but a protected tape on the writer's open is the drive's fault.
        *drive_fault = why.starts_with("open:") || why.starts_with("ioctl error while");
        report.detail = "writing failed (" + (why.empty() ? "vaklabel status " + std::to_string(written.status) : why) +
                        "); the tape is unchanged";
      }
      return report;
    }
    report.detail =
        "writing failed (" + (why.empty() ? "vaklabel status " + std::to_string(written.status) : why) + ")";
    ReadAfterFailedWrite(settings, tools, &report);
    return report;
  }
  if (settings.registry) settings.registry->Found(entry, entry.wanted);
  std::string overwrote = destroyed.empty() ? "" : "overwrote " + destroyed;
  report.label.clear();
  report.created.clear();
  report.expires.clear();
  report.warnings.clear();
  wrong = settings.check_cartridge ? settings.check_cartridge() : "";
  if (!wrong.empty() || !Verify(report, source, before, settings, tools, &report)) {
    if (!wrong.empty()) report.detail = "verify: " + wrong;
    report.outcome = Outcome::kFailed;
    if (!overwrote.empty()) report.detail = overwrote + "; " + report.detail;
    return report;
  }
  report.detail = overwrote;
  report.verified = true;
  report.outcome = Outcome::kLabelled;
  return report;
}

}  // namespace library
