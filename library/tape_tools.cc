#include "tape_tools.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <regex>
#include <thread>

#include "label_image.h"

namespace library {
namespace {

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

int Number(const std::smatch& m, int group) { return std::stoi(m[group].str()); }

constexpr size_t kLabelRecord = 80;
// The largest block a label reader need tell from a label record; a longer
// one reads as ENOMEM on st, which says as much.
constexpr size_t kLargestBlock = 64 * 1024;

std::string Translated(std::string_view bytes, const unsigned char (&table)[256]) {
  std::string text(bytes);
  for (char& c : text) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
  return text;
}

std::string Ordinal(size_t n) { return "block " + std::to_string(n + 1); }

}  // namespace

ReadTrace ParseReadTrace(const ProcessResult& run) {
  static const std::regex block_read(R"(^block (\d+) read to internal buffer$)");
  static const std::regex missing(R"(^no (\d+) block found during reading ?$)");
  static const std::regex read_error(R"(^read error while reading (\d+) block$)");
  ReadTrace trace;
  trace.ran = run.started && run.status < 128;
  trace.status = run.status;
  if (run.status == 0 && !run.out.empty()) {
    trace.label = run.out.substr(0, run.out.find('\n'));
  }
  for (const std::string& line : Lines(run.err)) {
    std::smatch m;
    if (std::regex_match(line, m, block_read)) {
      trace.blocks_read = Number(m, 1);
    } else if (std::regex_match(line, m, missing)) {
      trace.missing_block = Number(m, 1);
    } else if (std::regex_match(line, m, read_error)) {
      trace.error_block = Number(m, 1);
    } else if (line.starts_with("read: ")) {
      trace.read_error = line.substr(6);
    } else if (line.starts_with("open:") || line.starts_with("ioctl error")) {
      trace.device_error = line;
    } else if (line == "### previous label data ###") {
      trace.set_read = true;
    } else if (trace.set_read && line.starts_with("could not ")) {
      trace.save_error = line;
    }
  }
  if (!trace.ran && trace.device_error.empty()) {
    trace.device_error = !run.started  ? "cannot run vaklabel"
                         : run.stalled ? "vaklabel " + FailureReason(run)
                                       : "vaklabel ended by signal " + std::to_string(run.status - 128);
  }
  return trace;
}

Finding JudgeRead(const ReadTrace& trace, std::string* detail) {
  if (!trace.device_error.empty()) {
    *detail = trace.device_error;
    return Finding::kDriveFault;
  }
  if (trace.status == 0 && trace.set_read && !trace.label.empty()) {
    *detail = "";
    return Finding::kLabelSet;
  }
  if (trace.status != 0 && trace.set_read && !trace.save_error.empty()) {
    *detail = "the label set read cannot be kept: vaklabel says \"" + trace.save_error + "\"";
    return Finding::kNotSaved;
  }
  if (trace.missing_block > 0) {
    *detail = "tape mark at block " + std::to_string(trace.missing_block);
    return Finding::kForeign;
  }
  if (trace.error_block > 0 || !trace.read_error.empty()) {
    int block = trace.error_block > 0 ? trace.error_block : trace.blocks_read + 1;
    // st refuses a block larger than the read asked for with ENOMEM: data
    // written by something other than a labeller.
    if (trace.read_error == "Cannot allocate memory") {
      *detail = "block " + std::to_string(block) + " larger than a label record";
      return Finding::kForeign;
    }
    *detail = "block " + std::to_string(block) + ": " + (trace.read_error.empty() ? "read error" : trace.read_error);
    return block == 1 && trace.read_error == "Input/output error" ? Finding::kMaybeBlank : Finding::kUnreadable;
  }
  // vaklabel fails silently only for a VOL1 that points to a UHL1 the tape
  // does not have: three blocks read, then a tape mark.
  if (trace.status == 1 && trace.blocks_read == 3 && !trace.set_read) {
    *detail = "VOL1 names a UHL1 record the tape does not have";
    return Finding::kForeign;
  }
  *detail = "vaklabel's answer is not understood (status " + std::to_string(trace.status) +
            (trace.set_read ? ", after it read a label set" : "") + ")";
  return Finding::kUnrecognised;
}

bool StillAtStart(const DrivePosition& after_read) {
  return after_read.file == 0 && after_read.block == -1 && !after_read.bot;
}

bool EndOfDataAtStart(const DrivePosition& at_end) { return at_end.logical == 0 && at_end.eod; }

WriteTrace ParseWriteTrace(const ProcessResult& run) {
  static const std::regex progress(
      R"(^(.* open; handle \d+|rewind succeeded|blocksize set to 0|block \d+ (written|read to internal buffer)|)"
      R"(MTIOCTOP succeeded|### .* ###|\[\d\]\[\d\]: .*)$)");
  static const std::regex block_written(R"(^block (\d+) written$)");
  WriteTrace trace;
  trace.ran = run.started && run.status < 128;
  trace.status = run.status;
  int opens = 0;
  std::string last;
  for (const std::string& line : Lines(run.err)) {
    std::smatch m;
    if (line.find(" open; handle ") != std::string::npos && ++opens == 2) last.clear();
    if (std::regex_match(line, m, block_written)) trace.blocks_written = Number(m, 1);
    if (!line.empty() && !std::regex_match(line, progress)) last = line;
  }
  // The first open reads the old set; the second is the write's.
  trace.tape_opened_to_write = opens >= 2;
  if (!run.started) {
    trace.error = "cannot run vaklabel";
  } else if (!trace.ran) {
    trace.error =
        run.stalled ? "vaklabel " + FailureReason(run) : "vaklabel ended by signal " + std::to_string(run.status - 128);
  } else {
    trace.error = last;
  }
  return trace;
}

ReadTrace TapeTools::Read(const std::string& dir, const std::string& file) const {
  if (file.empty()) return ParseReadTrace(RunProcess({vaklabel_, "-r", "-f", device_}));
  return ParseReadTrace(RunProcess({vaklabel_, "-r", "-p", dir, "-o", file, "-f", device_}));
}

std::vector<std::string> TapeTools::WriteCommand(const std::string& label, const std::string& template_path) const {
  std::vector<std::string> argv{vaklabel_};
  if (!template_path.empty()) {
    size_t slash = template_path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : template_path.substr(0, slash);
    argv.insert(argv.end(), {"-c", dir.empty() ? "/" : dir, "-t", template_path.substr(slash + 1)});
  }
  argv.insert(argv.end(), {"-f", device_, "-w", label});
  return argv;
}

WriteTrace TapeTools::Write(const std::string& label, const std::string& template_path) const {
  return ParseWriteTrace(RunProcess(WriteCommand(label, template_path)));
}

std::optional<DrivePosition> TapeTools::Position() const { return Ask(false); }

std::optional<DrivePosition> TapeTools::SpaceToEndOfData() const { return Ask(true); }

namespace {

// Another program's brief look at the drive (an operator's mt status, a
// monitoring probe) answers EBUSY for an instant, which says nothing of the
// drive or the tape.
int OpenBriefly(const std::string& device) {
  for (int tries = 1;; ++tries) {
    int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EBUSY || tries == 50) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

std::vector<std::string> LeadingLabelRecords(const TapeStart& start, bool* ascii) {
  *ascii = false;
  std::vector<std::string> records;
  for (const std::optional<std::string>& block : start.blocks) {
    if (!block || block->size() != kLabelRecord) break;
    if (records.empty()) {
      *ascii = block->starts_with("VOL1");
      if (!*ascii && Translated(block->substr(0, 4), EbcdicToAscii) != "VOL1") return {};
    }
    records.push_back(*ascii ? *block : Translated(*block, EbcdicToAscii));
  }
  return records;
}

std::string ProveSetShape(const TapeStart& start, size_t count, bool closed) {
  const auto& blocks = start.blocks;
  for (size_t i = 0; i < count; ++i) {
    if (i >= blocks.size()) return Ordinal(i) + " does not read back (" + start.error + ")";
    if (!blocks[i]) return "a tape mark where " + Ordinal(i) + " belongs";
    if (blocks[i]->size() != kLabelRecord) {
      return Ordinal(i) + " reads back as " + std::to_string(blocks[i]->size()) + " bytes, not a label record's 80";
    }
  }
  if (count >= blocks.size() || blocks[count]) return "no tape mark after the label set";
  if (count + 1 >= blocks.size()) return "nothing readable after the tape mark that ends the label set";
  if (closed && blocks[count + 1]) return "no second tape mark after the label set";
  return "";
}

std::vector<std::string> RecordsOf(const TapeStart& start, size_t count) {
  std::vector<std::string> records;
  for (size_t i = 0; i < count && i < start.blocks.size() && start.blocks[i]; ++i) {
    records.push_back(Translated(*start.blocks[i], EbcdicToAscii));
  }
  return records;
}

// One open of the device the run proved: the answers all come from the same
// session, so a rewinding device's rewind on close cannot get between them.
std::optional<DrivePosition> TapeTools::Ask(bool space_to_end) const {
  int fd = OpenBriefly(device_);
  if (fd < 0) return std::nullopt;
  mtop to_end{MTEOM, 1};
  mtget status{};
  mtpos logical{};
  bool answered = (!space_to_end || ioctl(fd, MTIOCTOP, &to_end) == 0) && ioctl(fd, MTIOCGET, &status) == 0;
  bool positioned = answered && ioctl(fd, MTIOCPOS, &logical) == 0;
  CloseDevice(fd);
  if (!answered) return std::nullopt;
  DrivePosition where;
  where.file = status.mt_fileno;
  where.block = status.mt_blkno;
  where.bot = GMT_BOT(status.mt_gstat);
  where.eod = GMT_EOD(status.mt_gstat);
  where.write_protected = GMT_WR_PROT(status.mt_gstat);
  where.logical = positioned ? logical.mt_blkno : -1;
  return where;
}

std::string TapeTools::PreventRemoval(bool prevent) const {
  int fd = OpenBriefly(device_);
  if (fd < 0) return std::string("open: ") + std::strerror(errno);
  mtop lock{static_cast<short>(prevent ? MTLOCK : MTUNLOCK), 1};
  std::string error = ioctl(fd, MTIOCTOP, &lock) == 0 ? "" : std::strerror(errno);
  CloseDevice(fd);
  return error;
}

TapeStart TapeTools::ReadStart(int limit) const {
  TapeStart start;
  int fd = OpenBriefly(device_);
  if (fd < 0) {
    start.error = std::string("open: ") + std::strerror(errno);
    return start;
  }
  // Variable-length blocks, so that each read returns one block whole.
  mtop rewind{MTREW, 1};
  mtop variable{MTSETBLK, 0};
  if (ioctl(fd, MTIOCTOP, &rewind) != 0 || ioctl(fd, MTIOCTOP, &variable) != 0) {
    start.error = std::string("ioctl: ") + std::strerror(errno);
  }
  std::string buffer(kLargestBlock, '\0');
  while (start.error.empty() && static_cast<int>(start.blocks.size()) < limit) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      start.error = Ordinal(start.blocks.size()) + ": " + std::strerror(errno);
    } else if (n == 0) {
      start.blocks.emplace_back(std::nullopt);
    } else {
      start.blocks.emplace_back(buffer.substr(0, static_cast<size_t>(n)));
    }
  }
  CloseDevice(fd);
  return start;
}

}  // namespace library
