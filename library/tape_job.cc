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

#include "destroyed_data.h"
#include "label_set.h"
#include "tape_contents.h"

namespace library {
namespace {

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
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
  auto at_end = tools.SpaceToEndOfData();
  if (!at_end) {
    *detail = "first block unreadable, and the drive cannot space to the end of data";
    return false;
  }
  if (!EndOfDataAtStart(*at_end)) {
    *detail = "first block unreadable, " + DestroyedData(at_end) + " recorded before the end of data";
    return false;
  }
  return true;
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
  Finding finding = JudgeRead(back, &why);
  if (finding == Finding::kUnreadable || finding == Finding::kMaybeBlank) {
    back = tools.Read(settings.labels_dir, file);  // one fault of the read is not the tape's
    finding = JudgeRead(back, &why);
  }
  if (finding == Finding::kNotSaved) {
    // The tape is fine; the labels directory is not. Say what the tape holds.
    ReadTrace label_only = tools.Read("", "");
    out->label = label_only.status == 0 ? label_only.label : "";
    out->detail = "verify: the tape reads as label " + (out->label.empty() ? "(unreadable)" : out->label) +
                  ", but the set read back cannot be kept to compare (" + why + ")";
    return false;
  }
  if (finding != Finding::kLabelSet) {
    // A read that fails says nothing of the tape: vaklabel wrote every
    // block and its tape marks without an error, so that label is there,
    // if unconfirmed.
    bool read_failed =
        finding == Finding::kUnreadable || finding == Finding::kMaybeBlank || finding == Finding::kDriveFault;
    if (read_failed) out->label = report.wanted;
    out->detail = "verify: the label written does not read back (" + why + ")" +
                  (read_failed ? "; the write reported no error" : "");
    return false;
  }
  auto written = ReadLabelFile(path, &error);
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
  *records = ReadLabelFile(path, &error);
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
  auto backup = ReadLabelFile(path, &error);
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
  int failed = WriteAll(fd, text);
  if (failed == 0 && fsync(fd) != 0) failed = errno;
  if (close(fd) != 0 && failed == 0) failed = errno;
  bool written = failed == 0;
  if (!written) *error = std::strerror(failed);
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

// Written under a temporary name and renamed over the old one, so that the
// file is whole, old or new, whenever the run stops.
bool ReplaceFile(const std::string& path, const std::string& text, std::string* error) {
  std::string temporary = path + ".tmp";
  Remove(temporary);
  if (!WriteNewFile(temporary, text, error)) return false;
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = std::strerror(errno);
    Remove(temporary);
    return false;
  }
  std::string dir = std::filesystem::path(path).parent_path();
  if (SyncFile(dir.empty() ? "." : dir)) return true;
  *error = "cannot be synced to disk";
  return false;
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
    report->detail += "; the tape now reads as label " + after.label +
                      (after.label == report->wanted ? ", as meant, but unverified" : " (not what was meant)");
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

// VOL1 and HDR1 before a tape mark: a volume an initialiser prepared, if
// the decoder agrees (the HDR1 a dummy). Its two records are kept in the
// slot's file, as vaklabel would have kept a whole set, for the backup.
void TakeInitialised(const JobSettings& settings, const TapeTools& tools, const std::string& path, SlotReport* report,
                     std::optional<LabelRecords>* records, std::string* detail) {
  Decoded decoded = Decode(settings.decoder, tools.device());
  if (!decoded.ran || !decoded.initialised || decoded.records.size() != 2) return;
  std::string error;
  if (!WriteNewFile(path, LabelFileText(decoded.records), &error)) {
    *detail += "; an initialised volume whose records cannot be kept in " + path + ": " + error;
    return;
  }
  report->state = TapeState::kInitialised;
  report->label_found = report->label = decoded.records[0].substr(4, 6);
  report->label_file = path;
  *records = decoded.records;
  *detail = "initialised, volume " + report->label_found;
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
    case Finding::kForeign:
      report->state = TapeState::kForeign;
      if (trace.blocks_read == 2 && trace.missing_block == 3)
        TakeInitialised(settings, tools, path, report, records, detail);
      return;
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

// Which drives failed the tape, for the row of a tape no drive could read.
std::string UnreadableEverywhere(const Attempt& attempt, const std::string& detail) {
  if (attempt.unread_in.empty()) return detail;
  std::string text = "no drive tried can read it: ";
  for (const std::string& drive : attempt.unread_in) text += drive + "; ";
  return text + attempt.drive + ": " + detail;
}

// The newest backup this command made for the label meant for this
// cartridge (WANTED_OLD.prelbl) that no verified write followed: a run
// that was killed or failed between its backup and its verify. "" when
// there is none.
std::string InterruptedRunBackup(const PlanEntry& entry, const std::string& labels_dir) {
  namespace fs = std::filesystem;
  if (entry.wanted.empty()) return "";
  std::error_code error;
  std::string verified_path = labels_dir + "/" + SlotFileName(entry.slot, entry.barcode, ".written.lbl");
  fs::file_time_type newest = fs::last_write_time(verified_path, error);
  if (error) newest = fs::file_time_type::min();
  std::string found;
  for (const fs::directory_entry& file : fs::directory_iterator(labels_dir, error)) {
    std::string name = file.path().filename();
    if (!name.starts_with(entry.wanted + "_") || !name.ends_with(".prelbl")) continue;
    fs::file_time_type when = file.last_write_time(error);
    if (!error && when > newest) {
      newest = when;
      found = file.path();
    }
  }
  return found;
}

// "" when no other cartridge carries or is to get the label meant for this one.
std::string HolderOfLabel(const PlanEntry& entry, const JobSettings& settings) {
  if (!settings.registry) return "";
  std::string holder = settings.registry->HolderBeforeWrite(entry, entry.wanted);
  return holder.empty() ? "" : "label " + entry.wanted + " is on " + holder;
}

struct WritePlan {
  std::string template_path;         // "": vaklabel keeps the other fields of the set on the tape
  std::optional<LabelRecords> kept;  // that set, when there is no template
  std::string destroyed;             // what the write puts out of reach, after "overwrote"
  std::string note;                  // goes before the row's detail
};

SlotReport WriteAndVerify(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                          const WritePlan& plan, SlotReport report, Attempt* attempt) {
  LabelRecords source;
  std::string error;
  if (!plan.template_path.empty()) {
    auto template_records = ReadLabelFile(plan.template_path, &error);
    if (!template_records) return Stop(report, Outcome::kFailed, "template " + error);
    source = *template_records;
    source.resize(3);
  } else {
    source = *plan.kept;
  }
  std::string overwrote = plan.destroyed.empty() ? "" : "overwrote " + plan.destroyed;
  auto with_note = [&](const std::string& text) {
    std::string all = plan.note;
    for (const std::string& part : {overwrote, text}) {
      if (!part.empty()) all += (all.empty() ? "" : "; ") + part;
    }
    return all;
  };

  std::string wrong = settings.check_cartridge ? settings.check_cartridge() : "";
  if (!wrong.empty()) return Stop(report, Outcome::kRefused, wrong + "; not written");

  std::string before = CreationDate(std::time(nullptr));
  WriteTrace written = tools.Write(entry.wanted, plan.template_path);
  if (written.status != 0 || !written.ran) {
    report.outcome = Outcome::kFailed;
    const std::string& why = written.error;
    std::string failed =
        "writing failed (" + (why.empty() ? "vaklabel status " + std::to_string(written.status) : why) + ")";
    if (!written.tape_opened_to_write) {
      // Anything but a protected tape on the writer's open is the drive's fault.
      bool protected_tape = why.find("Read-only file system") != std::string::npos;
      attempt->drive_fault = !protected_tape && (why.starts_with("open:") || why.starts_with("ioctl error while"));
      report.detail = protected_tape ? "write-protected" : failed + "; the tape is unchanged";
      return report;
    }
    report.detail = with_note(failed);
    ReadAfterFailedWrite(settings, tools, &report);
    return report;
  }
  if (settings.registry) settings.registry->Found(entry, entry.wanted);
  report.label.clear();
  report.created.clear();
  report.expires.clear();
  report.warnings.clear();
  wrong = settings.check_cartridge ? settings.check_cartridge() : "";
  if (!wrong.empty() || !Verify(report, source, before, settings, tools, &report)) {
    report.outcome = Outcome::kFailed;
    report.detail = with_note(wrong.empty() ? report.detail : "verify: " + wrong);
    return report;
  }
  report.detail = with_note("");
  report.verified = true;
  report.outcome = Outcome::kLabelled;
  return report;
}

// A tape a run left half written gets the label it was to get, with the
// fields of the set that run kept before it wrote.
SlotReport RewriteFromBackup(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                             const std::string& backup, const std::string& detail, SlotReport report,
                             Attempt* attempt) {
  std::string what = "holds no whole label set (" + detail + ") after an earlier run that kept its set in " + backup;
  if (!settings.relabel) return Stop(report, Outcome::kRefused, what + "; --relabel writes it from there");
  std::string holder = HolderOfLabel(entry, settings);
  if (!holder.empty()) return Stop(report, Outcome::kRefused, holder);
  report.backup_file = backup;
  // The run that kept the backup mapped the tape before its write began.
  WritePlan plan{backup, std::nullopt, DestroyedData(tools.SpaceToEndOfData()), what + "; relabelled from that backup"};
  return WriteAndVerify(entry, settings, tools, plan, report, attempt);
}

// The end of data lies right after the label set and its tape marks.
bool HoldsOnlyTheSet(const std::optional<DrivePosition>& end_of_data, long kept_blocks) {
  if (!end_of_data || !end_of_data->eod || end_of_data->logical < 0) return false;
  int marks = end_of_data->file;
  return marks >= 0 && marks <= end_of_data->logical && end_of_data->logical - marks <= kept_blocks;
}

std::string ExpirationHint(const std::vector<DataSetFound>& data_sets) {
  for (const DataSetFound& set : data_sets)
    if (!set.kept_until.empty() && !set.kept_until.starts_with("expires ")) return "--ignore-expiration overwrites it";
  return "--expired-by DATE or --ignore-expiration overwrites it";
}

// What a write over this tape destroys, found out before it: "" when the
// write may go ahead, else why not. A tape that holds more than its label
// set is mapped first, and refused while a data set on it has not expired;
// its map is kept beside the backup before anything is written.
std::string LookBeforeWrite(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                            long kept_blocks, SlotReport* report, std::string* destroyed) {
  if (report->state == TapeState::kBlank) return "";
  std::optional<DrivePosition> end_of_data = tools.SpaceToEndOfData();
  *destroyed = DestroyedData(end_of_data, kept_blocks);
  if (HoldsOnlyTheSet(end_of_data, kept_blocks)) return "";
  TapeContents contents = MapTape(settings.decoder, tools.device());
  if (!contents.mapped) return "the tape cannot be mapped (" + contents.error + "); not written";
  // On a tape no drive can read, what the map reads is all there is to judge.
  if (!contents.unreadable.empty() && report->state != TapeState::kUnreadable) {
    return "the map stopped at an unreadable block (" + contents.unreadable +
           "), so what lies past it cannot be judged; not written";
  }
  std::string today = Today();
  for (DataSetFound& set : contents.with_data) set.kept_until = KeptUntil(set.expiration, settings.expiration, today);
  report->data_sets = contents.with_data;
  std::string kept = KeptDataSets(contents.with_data);
  if (!kept.empty()) return "holds unexpired data: " + kept + "; " + ExpirationHint(contents.with_data);
  if (contents.with_data.empty()) return "";
  std::string path = settings.labels_dir + "/" + MapFileName(entry.wanted, report->label_found);
  std::string error;
  if (!ReplaceFile(path, contents.document, &error)) return "the map cannot be kept in " + path + ": " + error;
  report->map_file = path;
  *destroyed = DestroyedDataSets(contents.with_data);
  return "";
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

std::string BackupFileName(const std::string& wanted, const std::string& found) {
  // Named as vaklabel names its backups, NEW_OLD.prelbl; but the old label is
  // whatever bytes the tape held, and a slash or a control byte must not
  // lead the backup out of the labels directory or garble its name.
  std::string name = wanted + "_";
  for (char c : found) name += (c >= 0x20 && c < 0x7F && c != '/') ? c : '_';
  return name + ".prelbl";
}

std::string MapFileName(const std::string& wanted, const std::string& found) {
  std::string backup = BackupFileName(wanted, found);
  return backup.substr(0, backup.size() - std::string_view(".prelbl").size()) + ".map.json";
}

Decision Decide(TapeState state, const std::string& label_found, bool has_set, bool relabel,
                bool overwrite_unreadable) {
  switch (state) {
    case TapeState::kBlank:
      return {Action::kLabelBlank, false, ""};
    case TapeState::kLabelled:
      return {Action::kLeave, false, ""};
    case TapeState::kLabelledDifferently:
      if (relabel) return {Action::kRelabelKeep, true, ""};
      return {Action::kRefuse, false, "labelled " + label_found + "; --relabel replaces it"};
    case TapeState::kInitialised:
      if (relabel) return {Action::kRelabelTemplate, true, ""};
      return {Action::kRefuse, false, "--relabel relabels it"};
    case TapeState::kForeign:
      if (relabel) return {Action::kRelabelTemplate, has_set, ""};
      return {Action::kRefuse, false, "holds data that is not a label set; --relabel overwrites it"};
    case TapeState::kUnreadable:
      if (overwrite_unreadable) return {Action::kRelabelTemplate, false, ""};
      return {Action::kRefuse, false, "cannot be read; --overwrite-unreadable overwrites it"};
    default:
      return {Action::kRefuse, false, "not read"};
  }
}

SlotReport VisitTape(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools, Attempt* attempt) {
  attempt->drive_fault = false;
  attempt->unreadable_here = false;
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
      attempt->drive_fault = true;
      return Stop(report, Outcome::kFailed, "drive " + tools.device() + ": " + detail);
    case Finding::kNotSaved:
    case Finding::kUnrecognised: return Stop(report, not_done, detail);
    default: break;
  }
  if (report.state == TapeState::kUnreadable) {
    attempt->unreadable_here = true;
    if (attempt->another_drive_left) return Stop(report, not_done, detail);
    detail = UnreadableEverywhere(*attempt, detail);
  }

  if (!settings.label) {
    report.outcome = Outcome::kRead;
    if (report.state == TapeState::kForeign || report.state == TapeState::kUnreadable) report.detail = detail;
    return report;
  }

  std::string interrupted = report.state == TapeState::kUnreadable || report.state == TapeState::kForeign
                                ? InterruptedRunBackup(entry, settings.labels_dir)
                                : "";
  if (!interrupted.empty()) return RewriteFromBackup(entry, settings, tools, interrupted, detail, report, attempt);

  Decision decision = Decide(report.state, report.label_found, records_read.has_value(), settings.relabel,
                             settings.overwrite_unreadable);
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

  std::string holder = HolderOfLabel(entry, settings);
  if (!holder.empty()) return Stop(report, Outcome::kRefused, holder);
  long kept_blocks = decision.backup ? static_cast<long>(records_read->size()) : 0;
  std::string destroyed;
  std::string refusal = LookBeforeWrite(entry, settings, tools, kept_blocks, &report, &destroyed);
  if (!refusal.empty()) return Stop(report, Outcome::kRefused, refusal);
  if (decision.backup) {
    std::string backup = settings.labels_dir + "/" + BackupFileName(entry.wanted, report.label_found);
    std::string problem = KeepBackup(report.label_file, backup, *records_read);
    if (!problem.empty()) return Stop(report, Outcome::kRefused, problem);
    report.backup_file = backup;
  }
  bool keep_fields = decision.action == Action::kRelabelKeep;
  WritePlan plan{keep_fields ? "" : settings.template_path, keep_fields ? records_read : std::nullopt, destroyed, ""};
  return WriteAndVerify(entry, settings, tools, plan, report, attempt);
}

}  // namespace library
