#include "fault_model.h"

#include <cstdio>

namespace fault_matrix {

namespace {

using test_support::TapeRecord;

constexpr int kRecordSize = 80;
constexpr char kIoError[] = "Input/output error";

std::string Text(const std::string& s) { return s + std::string(kRecordSize - s.size(), ' '); }

// HDR1 with the creation date in columns 42-47.
std::string Hdr1(const std::string& dataSetId17, const std::string& setId6, const std::string& date) {
  return Text("HDR1" + dataSetId17 + setId6 + "00010001000100" + date + " 99365" + "0" + "000000" + "TOLV");
}

std::vector<std::string> OldLabelSet(int length) {
  if (length == 6)
    return {Text("VOL1ABC123                               OWNER-6"), Hdr1("PAYROLL.MASTER.01", "ABC123", "024366"),
            Text("HDR2F0800000080 0 OLD-HDR2")};
  return {Text("VOL1*UHL1*                               OWNER-8"), Hdr1("PAYROLL.MASTER.02", "ABCD12", "023001"),
          Text("HDR2F0800000080 0 OLD-HDR2"), Text("UHL1ABCD1234 OLD-UHL1-EXTRA")};
}

// The image a run starts from, before anything is read.
std::string InitialImage() {
  std::string image(4 * kRecordSize, ' ');
  auto put = [&](int record, int column, const std::string& text) {
    image.replace(record * kRecordSize + column - 1, text.size(), text);
  };
  put(0, 1, "VOL1"), put(0, 5, "HJK025");
  put(1, 1, "HDR1"), put(1, 32, "0001"), put(1, 42, "004039"), put(1, 48, " 99365");
  put(1, 54, "0"), put(1, 55, "000000"), put(1, 61, "TOLV");
  put(2, 1, "HDR2"), put(2, 5, "U"), put(2, 6, "26214"), put(2, 11, "00000"), put(2, 17, "0");
  put(3, 1, "UHL1");
  return image;
}

// The initial UHL1 record after the reader translated the whole image from
// EBCDIC although only three blocks came from the tape.
std::string InitialUhl1ReadAsEbcdic() { return "\xA5\xAB\x3C\xEE" + std::string(kRecordSize - 4, '\x81'); }

std::vector<std::string> Records(const std::string& image, int count) {
  std::vector<std::string> records;
  for (int r = 0; r < count; ++r) records.push_back(image.substr(r * kRecordSize, kRecordSize));
  return records;
}

std::string Join(const std::vector<std::string>& records) {
  std::string joined;
  for (const std::string& r : records) joined += r;
  return joined;
}

std::string Format(const char* format, int value) {
  char text[128];
  snprintf(text, sizeof text, format, value);
  return text;
}

std::string Dump(const std::string& image, int records) {
  std::string dump;
  for (int r = 0; r < records; ++r) {
    for (int m = 0; m < 10; ++m) {
      char line[64];
      int at = snprintf(line, sizeof line, "[%d][%d]:", r, m);
      for (int i = 0; i < 8; ++i)
        at += snprintf(line + at, sizeof line - at, " %02X", static_cast<unsigned char>(image[r * kRecordSize + m * 8 + i]));
      dump += std::string(line) + "\n";
    }
  }
  return dump;
}

std::string ErrnoText(const std::string& name) {
  static const std::map<std::string, std::string> kTexts = {
      {"ENOENT", "No such file or directory"}, {"EACCES", "Permission denied"}, {"EBUSY", "Device or resource busy"}};
  return kTexts.at(name);
}

std::vector<ModelBlock> LeadingBlocks(const ModelTape& tape) {
  std::vector<ModelBlock> blocks;
  for (const ModelBlock& b : tape) {
    if (b.mark || b.text.size() > kRecordSize) break;
    blocks.push_back(b);
  }
  return blocks;
}

bool CarriesUhl1Marker(const std::string& vol1) { return vol1.compare(4, 6, "*UHL1*") == 0; }

std::optional<std::vector<std::string>> IntendedRecords(const Row& row, const std::string& today) {
  ModelTape before = TapeBefore(row);
  std::vector<std::string> records;
  if (Templates(row.run)) {
    records = TemplateRecords();
  } else {
    if (!IntendedLabel(before)) return std::nullopt;
    records = OldRecords(before);
  }
  records.resize(3);
  std::string label = NewLabel(row.new_len);
  records[0].replace(4, 6, row.new_len == 8 ? "*UHL1*" : label);
  records[1].replace(41, 6, today);
  if (row.new_len == 8) records.push_back(Text("UHL1" + label));
  return records;
}

// Messages on standard error: failures always, progress only without -q.
class Log {
 public:
  explicit Log(bool quiet) : quiet_(quiet) {}
  void Always(const std::string& text) { text_ += text; }
  void Progress(const std::string& text) {
    if (!quiet_) text_ += text;
  }
  const std::string& text() const { return text_; }

 private:
  bool quiet_;
  std::string text_;
};

// Open and rewind; false when the process ends there.
bool OpenAndRewind(const Row& row, bool writer, Log& log) {
  const FaultCase& f = row.fault;
  std::string error = f.kind == Fault::kOpenFails               ? ErrnoText(f.open_errno)
                      : f.kind == Fault::kNoMedium              ? "No medium found"
                      : writer && f.kind == Fault::kWriteProtect ? "Read-only file system"
                                                                 : "";
  if (!error.empty()) {
    log.Always("open:: " + error + "\n");
    return false;
  }
  log.Progress(std::string(kDevice) + " open; handle #\n");
  if (f.kind == Fault::kFailRewind || (writer && f.kind == Fault::kFailRewindAt2)) {
    log.Always(std::string("ioctl error while rewinding tape:") + kIoError + "\n");
    return false;
  }
  log.Progress("rewind succeeded\n");
  return true;
}

bool SetBlockSize(bool fails, Log& log) {
  if (fails) {
    log.Always(std::string("ioctl error while setting blksize:") + kIoError + "\n");
    return false;
  }
  log.Progress("blocksize set to 0\n");
  return true;
}

struct Reading {
  int rc = 0;
  std::string label;  // empty unless rc > 0
  std::string image;  // ASCII
};

Reading ReadLabel(const Row& row, const ModelTape& tape, Log& log) {
  Reading r{0, "", InitialImage()};
  auto readError = [&](int block, const std::string& error) {
    log.Always("read: " + error + "\n");
    log.Progress(Format("read error while reading %d block\n", block));
    r.rc = -1;
    return r;
  };
  for (int n = 0; n < 4; ++n) {
    if (row.fault.kind == Fault::kFailRead && row.fault.n == n + 1) return readError(n + 1, kIoError);
    if (n >= static_cast<int>(tape.size())) return readError(n + 1, kIoError);
    const ModelBlock& b = tape[n];
    if (b.mark) {
      if (n == 3) {
        r.image.replace(3 * kRecordSize, kRecordSize, InitialUhl1ReadAsEbcdic());
        if (CarriesUhl1Marker(r.image)) {
          r.rc = -2;
          return r;
        }
        break;
      }
      log.Progress(Format("no %d block found during reading \n", n + 1));
      r.rc = -2;
      return r;
    }
    if (b.text.size() > kRecordSize) return readError(n + 1, "Cannot allocate memory");
    r.image.replace(n * kRecordSize, kRecordSize, b.text);
    log.Progress(Format("block %d read to internal buffer\n", n + 1));
  }
  r.rc = CarriesUhl1Marker(r.image) ? 8 : 6;
  r.label = r.rc == 8 ? r.image.substr(3 * kRecordSize + 4, 8) : r.image.substr(4, 6);
  log.Progress("### previous label data ###\n" + Dump(r.image, r.rc / 2));
  return r;
}

// Saves `records` of the image as the label text file `name`; false when the
// process ends there.
bool Save(const Row& row, const Paths& paths, const std::string& name, const std::vector<std::string>& records,
          Log& log, Files& files) {
  std::string dir = paths.SaveDir(row);
  std::string path = dir + "/" + name;
  switch (row.fault.kind) {
    case Fault::kSaveDirUncreatable: log.Always("could not create " + dir + " directory"); return false;
    case Fault::kSaveFileUncreatable: log.Always("could not create " + path + " file"); return false;
    case Fault::kSaveFileUnwritable: log.Always("could not write " + path + " file"); return false;
    default: break;
  }
  files["labels"] = "<dir>";
  files["labels/" + name] = HexLines(records);
  return true;
}

// The writer, from its open on; the tape is what the writes leave.
int Write(const Row& row, const std::string& today, Log& log, std::vector<TapeRecord>& tape) {
  if (!OpenAndRewind(row, true, log)) return 1;
  bool failed = !SetBlockSize(row.fault.kind == Fault::kFailSetblkAt2, log);
  std::vector<std::string> records = *IntendedRecords(row, today);
  std::vector<TapeRecord> written;
  for (int n = 1; n <= static_cast<int>(records.size()); ++n) {
    std::string bytes = test_support::Ebcdic(records[n - 1]);
    if (row.fault.kind == Fault::kFailWrite && row.fault.n == n) {
      log.Always(std::string("write: ") + kIoError + "\n");
      failed = true;
      break;
    }
    if (row.fault.kind == Fault::kShortWrite && row.fault.n == n) {
      written.push_back(test_support::Block(bytes.substr(0, 40)));
      log.Always(Format("short write of block %d: 40 of 80 bytes written\n", n));
      failed = true;
      break;
    }
    written.push_back(test_support::Block(bytes));
    log.Progress(Format("block %d written\n", n));
  }
  if (row.fault.kind == Fault::kFailWeof) {
    log.Always(std::string("ioctl error:") + kIoError + "\n");
    failed = true;
  } else {
    written.push_back(test_support::Mark());
    written.push_back(test_support::Mark());
    log.Progress("MTIOCTOP succeeded\n");
  }
  if (row.fault.kind == Fault::kFailClose) {
    log.Always(std::string("close: ") + kIoError + "\n");
    failed = true;
  }
  tape = written;
  return failed ? 1 : 0;
}

}  // namespace

bool Writes(Run run) { return run != Run::kRead && run != Run::kReadOutput; }
bool Backs(Run run) { return run == Run::kReadOutput || run == Run::kWriteBackup || run == Run::kWriteBackupTemplate; }
bool Templates(Run run) { return run == Run::kWriteTemplate || run == Run::kWriteBackupTemplate; }

std::string RowName(const Row& row) {
  static const char* const kRuns[] = {"Read", "ReadOutput", "Write", "WriteBackup", "WriteTemplate",
                                      "WriteBackupTemplate"};
  static const char* const kFaults[] = {
      "None",       "Open",     "NoMedium",    "WriteProtect", "FailRewind",         "FailSetblk",
      "FailRewindAt2", "FailSetblkAt2", "FailRead", "TapeMarkAt", "BlankTape", "OversizeAt",
      "FailWrite",  "ShortWrite", "FailWeof",  "FailClose",    "SaveDirUncreatable", "SaveFileUncreatable",
      "SaveFileUnwritable", "TemplateMissing"};
  std::string name = std::string(kRuns[static_cast<int>(row.run)]) + "_" + kFaults[static_cast<int>(row.fault.kind)];
  name += row.fault.open_errno;
  if (row.fault.n != 0) name += std::to_string(row.fault.n);
  name += "_Old" + std::to_string(row.old_len);
  if (row.new_len != 0) name += "_New" + std::to_string(row.new_len);
  return name;
}

void PrintTo(const Row& row, std::ostream* os) { *os << RowName(row); }

std::vector<Row> AllRows() {
  std::vector<FaultCase> faults = {{Fault::kNone},       {Fault::kOpenFails, 0, "ENOENT"},
                                   {Fault::kOpenFails, 0, "EACCES"}, {Fault::kOpenFails, 0, "EBUSY"},
                                   {Fault::kNoMedium},   {Fault::kWriteProtect},
                                   {Fault::kFailRewind}, {Fault::kFailSetblk},
                                   {Fault::kFailRewindAt2}, {Fault::kFailSetblkAt2},
                                   {Fault::kBlankTape},  {Fault::kFailWeof},
                                   {Fault::kFailClose},  {Fault::kSaveDirUncreatable},
                                   {Fault::kSaveFileUncreatable}, {Fault::kSaveFileUnwritable},
                                   {Fault::kTemplateMissing}};
  for (Fault perBlock : {Fault::kFailRead, Fault::kTapeMarkAt, Fault::kOversizeAt, Fault::kFailWrite, Fault::kShortWrite})
    for (int n = 1; n <= 4; ++n) faults.push_back({perBlock, n});

  auto applies = [](Run run, Fault f) {
    switch (f) {
      case Fault::kFailRewindAt2:
      case Fault::kFailSetblkAt2:
      case Fault::kFailWrite:
      case Fault::kShortWrite:
      case Fault::kFailWeof: return Writes(run);
      case Fault::kSaveDirUncreatable:
      case Fault::kSaveFileUncreatable:
      case Fault::kSaveFileUnwritable: return Backs(run);
      case Fault::kTemplateMissing: return Templates(run);
      default: return true;
    }
  };
  std::vector<Row> rows;
  for (Run run : {Run::kRead, Run::kReadOutput, Run::kWrite, Run::kWriteBackup, Run::kWriteTemplate,
                  Run::kWriteBackupTemplate}) {
    for (const FaultCase& fault : faults) {
      if (!applies(run, fault.kind)) continue;
      for (int old_len : {6, 8}) {
        if (fault.kind == Fault::kBlankTape && old_len == 8) continue;  // no old label to vary
        if (!Writes(run)) {
          rows.push_back({run, fault, old_len, 0});
          continue;
        }
        for (int new_len : {6, 8}) rows.push_back({run, fault, old_len, new_len});
      }
    }
  }
  return rows;
}

ModelTape TapeBefore(const Row& row) {
  if (row.fault.kind == Fault::kBlankTape) return {};
  ModelTape tape;
  for (const std::string& text : OldLabelSet(row.old_len)) tape.push_back({false, text});
  if (row.fault.kind == Fault::kTapeMarkAt) tape.resize(std::min<size_t>(tape.size(), row.fault.n - 1));
  if (row.fault.kind == Fault::kOversizeAt) {
    if (row.fault.n <= static_cast<int>(tape.size()))
      tape[row.fault.n - 1].text += "OVER";
    else
      tape.push_back({false, Text("DATA") + "OVER"});
  }
  tape.push_back({true, ""});
  tape.push_back({true, ""});
  return tape;
}

std::vector<TapeRecord> Encode(const ModelTape& tape) {
  std::vector<TapeRecord> records;
  for (const ModelBlock& b : tape)
    records.push_back(b.mark ? test_support::Mark() : test_support::Block(test_support::Ebcdic(b.text)));
  return records;
}

std::string OldLabel(int length) { return length == 8 ? "ABCD1234" : "ABC123"; }
std::string NewLabel(int length) { return length == 8 ? "NEWLBL78" : "NEW456"; }

std::vector<std::string> TemplateRecords() {
  return {Text("VOL1TPL001                               TEMPLATE"), Hdr1("TEMPLATE.DATASET.", "TPL001", "000001"),
          Text("HDR2U2621400000 0 TEMPLATE")};
}

std::string TemplateFile() { return HexLines(TemplateRecords()); }

std::string HexLines(const std::vector<std::string>& records) {
  static const char* const kTags[] = {"VOL1", "HDR1", "HDR2", "UHL1"};
  std::string lines;
  for (size_t r = 0; r < records.size(); ++r) {
    for (int m = 0; m < 10; ++m) {
      for (int i = 0; i < 8; ++i) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X,", static_cast<unsigned char>(records[r][m * 8 + i]));
        lines += hex;
      }
      lines += std::string("   #") + (m == 0 ? kTags[r] : "") + "\n";
    }
  }
  return lines;
}

std::string Paths::SaveDir(const Row& row) const {
  return row.fault.kind == Fault::kSaveDirUncreatable ? root + "/missing/labels" : root + "/labels";
}

std::string SavedFile(const Row& row, const std::optional<std::string>& previous) {
  if (row.run == Run::kReadOutput) return std::string("labels/") + kOutputName;
  return "labels/" + NewLabel(row.new_len) + "_" + previous.value_or("") + ".prelbl";
}

Files FilesBefore(const Row& row) {
  Files files;
  if (Templates(row.run)) {
    files["templates"] = "<dir>";
    files[std::string("templates/") + kTemplateName] = TemplateFile();
  }
  if (row.fault.kind == Fault::kSaveFileUncreatable) files["labels"] = "not a directory\n";
  if (row.fault.kind == Fault::kSaveFileUnwritable) {
    files["labels"] = "<dir>";
    files[SavedFile(row, IntendedLabel(TapeBefore(row)))] = "-> /dev/full";
  }
  return files;
}

std::vector<std::string> Arguments(const Row& row, const Paths& paths, bool quiet) {
  std::vector<std::string> args;
  if (quiet) args.push_back("-q");
  if (!Writes(row.run)) {
    args.push_back("-r");
    if (row.run == Run::kReadOutput) args.insert(args.end(), {"-p", paths.SaveDir(row), "-o", kOutputName});
    args.insert(args.end(), {"-f", kDevice});
    return args;
  }
  if (Backs(row.run)) args.insert(args.end(), {"-b", "-p", paths.SaveDir(row)});
  if (Templates(row.run)) {
    std::string name = row.fault.kind == Fault::kTemplateMissing ? kMissingTemplateName : kTemplateName;
    args.insert(args.end(), {"-c", paths.TemplateDir(), "-t", name});
  }
  args.insert(args.end(), {"-f", kDevice, "-w", NewLabel(row.new_len)});
  return args;
}

std::vector<std::string> DriveOptions(const Row& row) {
  std::string n = std::to_string(row.fault.n);
  switch (row.fault.kind) {
    case Fault::kOpenFails: return {"--fail-open", row.fault.open_errno};
    case Fault::kNoMedium: return {"--no-medium"};
    case Fault::kWriteProtect: return {"--write-protect"};
    case Fault::kFailRewind: return {"--fail-rewind"};
    case Fault::kFailSetblk: return {"--fail-setblk"};
    case Fault::kFailRewindAt2: return {"--fail-rewind-at", "2"};
    case Fault::kFailSetblkAt2: return {"--fail-setblk-at", "2"};
    case Fault::kFailRead: return {"--fail-read", n};
    case Fault::kFailWrite: return {"--fail-write", n};
    case Fault::kShortWrite: return {"--short-write", n + ":40"};
    case Fault::kFailWeof: return {"--fail-weof"};
    case Fault::kFailClose: return {"--fail-close"};
    default: return {};
  }
}

Outcome Expected(const Row& row, const Paths& paths, bool quiet, const std::string& today) {
  Outcome o;
  Log log(quiet);
  ModelTape before = TapeBefore(row);
  o.status = 1;
  o.tape = Encode(before);
  o.files = FilesBefore(row);
  auto finish = [&] {
    o.err = log.text();
    return o;
  };

  if (!OpenAndRewind(row, false, log) || !SetBlockSize(row.fault.kind == Fault::kFailSetblk, log)) return finish();
  Reading r = ReadLabel(row, before, log);
  if (!Writes(row.run)) {
    if (r.rc < 0) return finish();
    if (row.run == Run::kReadOutput &&
        !Save(row, paths, kOutputName, Records(r.image, r.rc / 2), log, o.files))
      return finish();
    o.out = r.label + "\n";
    o.status = 0;
    return finish();
  }

  if (r.rc <= 0 && !Templates(row.run)) return finish();
  if (Backs(row.run)) {
    std::string name = NewLabel(row.new_len) + "_" + r.label + ".prelbl";
    int count = r.rc == 8 ? 4 : row.new_len / 2;
    if (!Save(row, paths, name, Records(r.image, count), log, o.files)) return finish();
  }
  if (Templates(row.run)) {
    if (row.fault.kind == Fault::kTemplateMissing) {
      log.Always("could not open " + paths.TemplateDir() + "/" + kMissingTemplateName + " file");
      return finish();
    }
    r.image.replace(0, 3 * kRecordSize, Join(TemplateRecords()));
    log.Progress("### template (" + paths.TemplateDir() + "/" + kTemplateName + ") label data ###\n" +
                 Dump(r.image, 3));
  }
  o.status = Write(row, today, log, o.tape);
  return finish();
}

std::optional<std::string> IntendedLabel(const ModelTape& before) {
  std::vector<ModelBlock> blocks = LeadingBlocks(before);
  if (blocks.size() < 3) return std::nullopt;
  if (!CarriesUhl1Marker(blocks[0].text)) return blocks[0].text.substr(4, 6);
  if (blocks.size() < 4) return std::nullopt;
  return blocks[3].text.substr(4, 8);
}

std::optional<std::vector<TapeRecord>> IntendedTape(const Row& row, const std::string& today) {
  std::optional<std::vector<std::string>> records = IntendedRecords(row, today);
  if (!records) return std::nullopt;
  ModelTape tape;
  for (const std::string& r : *records) tape.push_back({false, r});
  tape.push_back({true, ""});
  tape.push_back({true, ""});
  return Encode(tape);
}

std::vector<std::string> OldRecords(const ModelTape& before) {
  std::vector<ModelBlock> blocks = LeadingBlocks(before);
  size_t inLabelSet = !blocks.empty() && CarriesUhl1Marker(blocks[0].text) ? 4 : 3;
  std::vector<std::string> records;
  for (size_t i = 0; i < blocks.size() && i < inLabelSet; ++i) records.push_back(blocks[i].text);
  return records;
}

}  // namespace fault_matrix
