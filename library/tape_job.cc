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
#include "write_gate.h"

namespace library {
namespace {

// Enough blocks for any label set vaklabel writes or reads, and its marks.
constexpr int kStartBlocks = 8;

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

bool ReplaceFile(const std::string& path, const std::string& text, std::string* error);

void TakeDecoded(const Decoded& decoded, SlotReport* report) {
  report->created = decoded.created;
  report->expires = decoded.expires;
  report->warnings = decoded.problems;
}

// Reads back from the drive what was written, block by block with its
// length, and the tape marks after it, and compares it with what was meant.
bool Verify(const SlotReport& report, const LabelRecords& source, const std::string& before_date,
            const JobSettings& settings, const TapeTools& tools, SlotReport* out) {
  LabelRecords expected = ExpectedAfterWrite(source, report.wanted);
  int limit = static_cast<int>(expected.size()) + 2;
  TapeStart back = tools.ReadStart(limit);
  if (!back.error.empty()) back = tools.ReadStart(limit);  // one fault of the read is not the tape's
  std::string difference = ProveSetShape(back, expected.size(), true);
  if (!difference.empty() && !back.error.empty()) {
    // A read that fails says nothing of the tape: vaklabel wrote every
    // block and its tape marks without an error, so that label is there,
    // if unconfirmed.
    out->label = report.wanted;
    out->detail = "verify: the label written does not read back (" + difference + "); the write reported no error";
    return false;
  }
  LabelRecords written = RecordsOf(back, expected.size());
  if (difference.empty()) {
    difference = CompareWritten(expected, written, {before_date, CreationDate(std::time(nullptr))});
  }
  if (!difference.empty()) {
    out->detail = "verify: " + difference;
    return false;
  }
  out->label = LabelOf(written);
  std::string path = settings.labels_dir + "/" + SlotFileName(report.slot, report.barcode, ".written.lbl");
  std::string error;
  if (!ReplaceFile(path, LabelFileText(written), &error)) {
    out->detail = "verified, but the set read back cannot be kept in " + path + ": " + error;
    return true;
  }
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
std::string KeepBackup(const std::string& backup, const LabelRecords& read) {
  std::error_code fs_error;
  if (std::filesystem::exists(backup, fs_error)) {
    if (CheckBackup(backup, read).empty()) return "";
    return "the backup " + backup + " exists and holds another label set: move it away first";
  }
  std::string error;
  if (!WriteNewFile(backup, LabelFileText(read), &error)) return "the backup " + backup + " cannot be made: " + error;
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
// there is whatever the drive reads back: a set cut short, a short block or
// missing tape marks carry no label.
void ReadAfterFailedWrite(const TapeTools& tools, SlotReport* report) {
  TapeStart after = tools.ReadStart(kStartBlocks);
  bool ascii = false;
  LabelRecords records = LeadingLabelRecords(after, &ascii);
  std::string label = LabelOf(records);
  std::string broken = ProveSetShape(after, records.size(), true);
  report->label.clear();
  report->created.clear();
  report->expires.clear();
  report->warnings.clear();
  if (records.empty() || label.empty()) {
    report->detail += "; the tape now holds no label set";
  } else if (!broken.empty()) {
    report->detail += "; the tape now holds label records for " + label + " but no whole label set (" + broken + ")";
  } else {
    report->label = label;
    report->detail += "; the tape now reads as label " + label +
                      (label == report->wanted ? ", as meant, but unverified" : " (not what was meant)");
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
  // vaklabel pads what it reads to 80 bytes and stops at the set: the drive
  // itself must return each record whole and a tape mark after them.
  std::string broken =
      ProveSetShape(tools.ReadStart(static_cast<int>((*records)->size()) + 2), (*records)->size(), false);
  if (!broken.empty()) {
    report->state = TapeState::kForeign;
    report->label_found.clear();
    report->label.clear();
    *detail = "no whole label set: " + broken;
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
    if (!name.starts_with(entry.wanted + "_") || !name.ends_with(".prelbl") || !file.is_regular_file(error)) continue;
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
  std::string note;                  // goes before the row's detail
};

// Prevents the tape's removal from the cartridge check before the write to
// the end of the verify, so that no other program can exchange it between
// them; allowed again on every way out, before the scheduler unloads it.
class RemovalPrevented {
 public:
  explicit RemovalPrevented(const TapeTools& tools) : tools_(tools), error_(tools.PreventRemoval(true)) {}
  ~RemovalPrevented() {
    if (error_.empty() && !tools_.PreventRemoval(false).empty()) tools_.PreventRemoval(false);
  }
  RemovalPrevented(const RemovalPrevented&) = delete;
  RemovalPrevented& operator=(const RemovalPrevented&) = delete;
  const std::string& error() const { return error_; }

 private:
  const TapeTools& tools_;
  std::string error_;
};

// The end of data lies right after the label set and its tape marks.
bool HoldsOnlyTheSet(const std::optional<DrivePosition>& end_of_data, long kept_blocks) {
  if (!end_of_data || !end_of_data->eod || end_of_data->logical < 0) return false;
  int marks = end_of_data->file;
  return marks >= 0 && marks <= end_of_data->logical && end_of_data->logical - marks <= kept_blocks;
}

// Conditions 4 and 5 of the gate: what lies past the label set, mapped and
// its map kept, and its data sets judged; `*destroyed` says what the write
// puts out of reach.
void MapBeyondTheSet(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools, long kept_blocks,
                     const std::string& found, SlotReport* report, GateEvidence* evidence, std::string* destroyed) {
  std::optional<DrivePosition> end_of_data = tools.SpaceToEndOfData();
  *destroyed = DestroyedData(end_of_data, kept_blocks);
  evidence->beyond_set = !HoldsOnlyTheSet(end_of_data, kept_blocks);
  if (!evidence->beyond_set) {
    evidence->ascii_judged = true;  // no data set lies past the set
    return;
  }
  TapeContents contents = MapTape(settings.decoder, tools.device());
  if (!contents.mapped) {
    evidence->map = "the tape cannot be mapped (" + contents.error + "); not written";
    return;
  }
  std::string path = settings.labels_dir + "/" + MapFileName(entry.wanted, found);
  std::string error;
  if (!ReplaceFile(path, contents.document, &error)) {
    evidence->map = "the map cannot be kept in " + path + ": " + error;
    return;
  }
  evidence->map.clear();
  report->map_file = path;
  evidence->map_stopped = contents.unreadable;
  evidence->ascii_seen = evidence->ascii_seen || contents.ascii;
  evidence->ascii_judged = contents.ascii;
  std::string today = Today();
  for (DataSetFound& set : contents.with_data) set.kept_until = KeptUntil(set.expiration, settings.expiration, today);
  report->data_sets = contents.with_data;
  evidence->data_sets = contents.with_data;
  if (!contents.with_data.empty()) *destroyed = DestroyedDataSets(contents.with_data);
}

// The gate's evidence, gathered in the gate's order; each step only once
// the ones before it hold, so that nothing is kept or mapped for a
// cartridge that is not the plan's. `read`: the set vaklabel read and kept.
GateEvidence GatherEvidence(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                            const RemovalPrevented& lock, const std::optional<LabelRecords>& read, SlotReport* report,
                            std::string* destroyed) {
  GateEvidence evidence;
  evidence.ignore_expiration = settings.expiration.ignore;
  evidence.cartridge = settings.check_cartridge ? settings.check_cartridge() : "";
  if (!evidence.cartridge.empty()) return evidence;
  evidence.removal = lock.error();
  if (!evidence.removal.empty()) return evidence;
  LabelRecords seen;
  if (report->state != TapeState::kBlank) {
    // What the drive returns, whatever vaklabel made of it: records it
    // could not keep, or labels in ASCII, are a label set all the same.
    seen = LeadingLabelRecords(tools.ReadStart(kStartBlocks), &evidence.ascii_seen);
    if (read) seen = *read;
  }
  evidence.set_seen = !seen.empty();
  evidence.backup.clear();
  // The backup and the map are named after the label read, as vaklabel
  // names its backups.
  std::string found = report->label_found.empty() ? LabelOf(seen) : report->label_found;
  if (evidence.set_seen) {
    std::string backup = settings.labels_dir + "/" + BackupFileName(entry.wanted, found);
    evidence.backup = KeepBackup(backup, seen);
    if (!evidence.backup.empty()) return evidence;
    if (report->backup_file.empty()) report->backup_file = backup;
  }
  if (report->state == TapeState::kBlank) {
    evidence.beyond_set = false;
    evidence.map.clear();
  } else {
    MapBeyondTheSet(entry, settings, tools, static_cast<long>(seen.size()), found, report, &evidence, destroyed);
    if (evidence.beyond_set && !evidence.map.empty()) return evidence;
  }
  evidence.holder = HolderOfLabel(entry, settings);
  return evidence;
}

SlotReport WriteAndVerify(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                          const WritePlan& plan, const std::string& destroyed, SlotReport report, Attempt* attempt) {
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
  std::string overwrote = destroyed.empty() ? "" : "overwrote " + destroyed;
  auto with_note = [&](const std::string& text) {
    std::string all = plan.note;
    for (const std::string& part : {overwrote, text}) {
      if (!part.empty()) all += (all.empty() ? "" : "; ") + part;
    }
    return all;
  };

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
    ReadAfterFailedWrite(tools, &report);
    return report;
  }
  if (settings.registry) settings.registry->Found(entry, entry.wanted);
  report.label.clear();
  report.created.clear();
  report.expires.clear();
  report.warnings.clear();
  std::string wrong = settings.check_cartridge ? settings.check_cartridge() : "";
  if (!wrong.empty()) {
    // vaklabel wrote the whole set to the cartridge the gate held; only the
    // proof is missing, so the row names the label it was given.
    report.outcome = Outcome::kFailed;
    report.label = entry.wanted;
    report.detail = with_note("written, but not verified: " + wrong);
    return report;
  }
  if (!Verify(report, source, before, settings, tools, &report)) {
    report.outcome = Outcome::kFailed;
    report.detail = with_note(report.detail);
    return report;
  }
  report.detail = with_note(report.detail);
  report.verified = true;
  report.outcome = Outcome::kLabelled;
  return report;
}

// Every write passes here: the gate decides on the evidence, with the
// tape's removal prevented until the verify is done.
SlotReport GateAndWrite(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                        const std::optional<LabelRecords>& read, const WritePlan& plan, SlotReport report,
                        Attempt* attempt) {
  RemovalPrevented lock(tools);
  std::string destroyed;
  GateDecision gate = Gate(GatherEvidence(entry, settings, tools, lock, read, &report, &destroyed));
  if (gate.failed != GateCondition::kNone) {
    return Stop(report, Outcome::kRefused, plan.note.empty() ? gate.reason : plan.note + "; " + gate.reason);
  }
  return WriteAndVerify(entry, settings, tools, plan, destroyed, report, attempt);
}

// A tape a run left half written gets the label it was to get. The backup
// that run kept tells what the tape held; it licenses nothing: the tape as
// it is now passes the gate as any other.
SlotReport RewriteFromBackup(const PlanEntry& entry, const JobSettings& settings, const TapeTools& tools,
                             const std::string& backup, const std::string& detail, SlotReport report,
                             Attempt* attempt) {
  std::string what = "holds no whole label set (" + detail + ") after an earlier run that kept its set in " + backup;
  if (!settings.relabel) return Stop(report, Outcome::kRefused, what + "; --relabel writes it from there");
  std::string error;
  auto records = ReadLabelFile(backup, &error);
  bool keep_fields = settings.keep_fields && records && records->size() >= 3;
  report.backup_file = backup;
  WritePlan plan{keep_fields ? backup : settings.template_path, std::nullopt,
                 what + (keep_fields ? "; relabelled with that set's fields" : "; relabelled from the template")};
  return GateAndWrite(entry, settings, tools, std::nullopt, plan, report, attempt);
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

Decision Decide(TapeState state, const std::string& label_found, bool relabel, bool overwrite_unreadable) {
  switch (state) {
    case TapeState::kBlank: return {Action::kLabelBlank, ""};
    case TapeState::kLabelled: return {Action::kLeave, ""};
    case TapeState::kLabelledDifferently:
      if (relabel) return {Action::kRelabelKeep, ""};
      return {Action::kRefuse, "labelled " + label_found + "; --relabel replaces it"};
    case TapeState::kInitialised:
      if (relabel) return {Action::kRelabelTemplate, ""};
      return {Action::kRefuse, "--relabel relabels it"};
    case TapeState::kForeign:
      if (relabel) return {Action::kRelabelTemplate, ""};
      return {Action::kRefuse, "holds data that is not a label set; --relabel overwrites it"};
    case TapeState::kUnreadable:
      if (overwrite_unreadable) return {Action::kRelabelTemplate, ""};
      return {Action::kRefuse, "cannot be read; --overwrite-unreadable overwrites it"};
    default: return {Action::kRefuse, "not read"};
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

  std::string interrupted =
      !records_read && (report.state == TapeState::kUnreadable || report.state == TapeState::kForeign)
          ? InterruptedRunBackup(entry, settings.labels_dir)
          : "";
  if (!interrupted.empty()) return RewriteFromBackup(entry, settings, tools, interrupted, detail, report, attempt);

  Decision decision = Decide(report.state, report.label_found, settings.relabel, settings.overwrite_unreadable);
  if (decision.action == Action::kLeave) {
    // The row vouches for the cartridge the plan loaded, not the one there.
    std::string wrong = settings.check_cartridge ? settings.check_cartridge() : "";
    return wrong.empty() ? Stop(report, Outcome::kUnchanged, "") : Stop(report, Outcome::kRefused, wrong);
  }
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

  // A relabel writes a fresh set from the template: the old one, whose data
  // set name, dates and volume serial describe what the write destroys, is
  // in the backup and the map. --keep-fields keeps its other fields.
  bool keep_fields = decision.action == Action::kRelabelKeep && settings.keep_fields;
  WritePlan plan{keep_fields ? "" : settings.template_path, keep_fields ? records_read : std::nullopt, ""};
  return GateAndWrite(entry, settings, tools, records_read, plan, report, attempt);
}

}  // namespace library
