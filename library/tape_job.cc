#include "tape_job.h"

#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "label_set.h"

namespace library {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<LabelRecords> LoadRecords(const std::string& path, std::string* error) {
  if (!std::filesystem::exists(path)) {
    *error = path + " is missing";
    return std::nullopt;
  }
  auto records = ParseLabelFile(ReadText(path), error);
  if (!records) *error = path + ": " + *error;
  return records;
}

std::string LastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) trimmed.pop_back();
  size_t newline = trimmed.find_last_of('\n');
  return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

// A blank tape and one whose first block is damaged fail the first read the
// same way on st (EIO, file 0, block -1); only a tape whose end of data lies
// at its very start counts as blank, every other answer as unreadable.
bool ProvedBlank(const TapeTools& tools, std::string* detail) {
  auto after_read = tools.Position();
  if (!after_read || !StillAtStart(*after_read)) {
    *detail = "first block unreadable";
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
  std::filesystem::remove(path);
  ReadTrace back = tools.Read(settings.labels_dir, file);
  std::string error;
  if (back.status != 0) {
    std::string why;
    JudgeRead(back, &why);
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
  SlotReport report;
  report.slot = entry.slot;
  report.barcode = entry.barcode;
  report.wanted = entry.wanted;

  std::string file = SlotFileName(entry.slot, entry.barcode, ".lbl");
  std::string path = settings.labels_dir + "/" + file;
  std::filesystem::remove(path);
  ReadTrace trace = tools.Read(settings.labels_dir, file);
  std::string detail;
  Finding finding = JudgeRead(trace, &detail);
  if (finding == Finding::kDriveFault) {
    *drive_fault = true;
    report.outcome = Outcome::kFailed;
    report.detail = "drive " + tools.device() + ": " + detail;
    return report;
  }

  bool has_set = false;
  std::optional<LabelRecords> records_read;
  if (finding == Finding::kMaybeBlank) {
    report.state = ProvedBlank(tools, &detail) ? TapeState::kBlank : TapeState::kUnreadable;
  } else if (finding == Finding::kLabelSet) {
    has_set = true;
    report.label_file = path;
    report.label_found = trace.label;
    report.label = trace.label;
    std::string error;
    records_read = LoadRecords(path, &error);
    Decoded decoded = Decode(settings.decoder, path);
    TakeDecoded(decoded, &report);
    if (!records_read) {
      report.state = TapeState::kForeign;
      detail = error;
    } else if (decoded.ran && !decoded.standard) {
      report.state = TapeState::kForeign;
      detail = decoded.problems.empty() ? "not a standard label set" : decoded.problems.front();
    } else if (!decoded.ran) {
      report.outcome = Outcome::kFailed;
      report.detail = "decoder: " + decoded.error;
      return report;
    } else {
      std::string meant = settings.label ? entry.wanted : entry.barcode;
      bool matches = trace.label == meant || (!settings.label && meant.size() > 6 && trace.label == meant.substr(0, 6));
      report.state = matches ? TapeState::kLabelled : TapeState::kLabelledDifferently;
    }
  } else {
    report.state = finding == Finding::kForeign ? TapeState::kForeign : TapeState::kUnreadable;
  }

  if (!settings.label) {
    report.outcome = Outcome::kRead;
    if (report.state == TapeState::kForeign || report.state == TapeState::kUnreadable) report.detail = detail;
    return report;
  }

  Decision decision = Decide(report.state, report.label_found, has_set, settings.relabel);
  if (decision.action == Action::kLeave) {
    report.outcome = Outcome::kUnchanged;
    return report;
  }
  if (decision.action == Action::kRefuse) {
    report.outcome = Outcome::kRefused;
    report.detail = decision.reason;
    if (!detail.empty()) report.detail = detail + "; " + report.detail;
    return report;
  }

  bool from_template = decision.action != Action::kRelabelKeep;
  LabelRecords source;
  std::string error;
  if (from_template) {
    auto template_records = LoadRecords(settings.template_path, &error);
    if (!template_records) {
      report.outcome = Outcome::kFailed;
      report.detail = "template " + error;
      return report;
    }
    source = *template_records;
    source.resize(3);
  } else {
    source = *records_read;
  }

  std::string before = CreationDate(std::time(nullptr));
  ProcessResult written = tools.Write(entry.wanted, decision.backup ? settings.labels_dir : "",
                                      from_template ? settings.template_path : "");
  if (decision.backup) {
    std::string backup = settings.labels_dir + "/" + entry.wanted + "_" + report.label_found + ".prelbl";
    if (std::filesystem::exists(backup)) report.backup_file = backup;
  }
  if (!written.started || written.status != 0) {
    std::string why = LastLine(written.err);
    report.outcome = Outcome::kFailed;
    if (why.find("Read-only file system") != std::string::npos) {
      report.detail = "write-protected";
    } else {
      // Anything but a protected tape on the writer's open is the drive's fault.
      *drive_fault = why.starts_with("open:") || why.starts_with("ioctl error while");
      report.detail = "write: " + (why.empty() ? "vaklabel status " + std::to_string(written.status) : why);
    }
    return report;
  }
  report.label.clear();
  report.created.clear();
  report.expires.clear();
  report.warnings.clear();
  if (!Verify(report, source, before, settings, tools, &report)) {
    report.outcome = Outcome::kFailed;
    return report;
  }
  report.verified = true;
  report.outcome = Outcome::kLabelled;
  return report;
}

}  // namespace library
