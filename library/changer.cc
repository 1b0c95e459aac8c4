#include "changer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <regex>

#include "process.h"
#include "scsi.h"

namespace library {
namespace {

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return std::string(text.substr(begin, end - begin + 1));
}

int Number(const std::string& digits) {
  int value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

// mtx pads volume tags with blanks, and prints "VolumeTag=" for slots but
// "VolumeTag = " for drives.
std::string VolumeTag(const std::string& rest) {
  static const std::regex tag(R"(:VolumeTag ?= ?([^:]*))");
  std::smatch m;
  if (!std::regex_search(rest, m, tag)) return "";
  return Trim(m[1].str());
}

uint8_t HexByte(const std::string& digits) {
  unsigned value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  return static_cast<uint8_t>(value);
}

// The sense fields mtx dumps as "mtx: Request Sense: Sense Key=Hardware
// Error", "... Additional Sense Code = 15", "... Additional Sense Qualifier = 01".
std::string SenseSummary(const std::string& key, const std::string& asc, const std::string& ascq) {
  if (key.empty() && asc.empty()) return "";
  std::string text = "sense: " + (key.empty() ? "?" : key);
  if (!asc.empty()) {
    std::string meaning = scsi::AdditionalSenseText(HexByte(asc), HexByte(ascq));
    text += ", " + asc + "/" + (ascq.empty() ? "?" : ascq) + (meaning.empty() ? "" : " " + meaning);
  }
  return text;
}

constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
constexpr uint8_t kPrevent = 0x01;
constexpr uint8_t kAllow = 0x00;
constexpr unsigned kDoorTimeoutMs = 30000;

bool SetRemoval(int fd, uint8_t prevent, std::string* error) {
  return scsi::Execute(fd, {kPreventAllowMediumRemoval, 0, 0, 0, prevent, 0}, 0, kDoorTimeoutMs, error).has_value();
}

}  // namespace

DoorHold::DoorHold(const std::string& changer) {
  int fd = open(changer.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    why_not_ = changer + ": " + std::strerror(errno);
    return;
  }
  if (!SetRemoval(fd, kPrevent, &why_not_)) {
    close(fd);
    return;
  }
  fd_ = fd;
}

DoorHold::~DoorHold() {
  if (fd_ < 0) return;
  std::string ignored;
  SetRemoval(fd_, kAllow, &ignored);
  close(fd_);
}

std::optional<DriveStatus> DriveIn(const ChangerStatus& status, int index) {
  auto found = std::find_if(status.drives.begin(), status.drives.end(),
                            [index](const DriveStatus& d) { return d.index == index; });
  if (found == status.drives.end()) return std::nullopt;
  return *found;
}

std::string MtxReason(const ProcessResult& r) {
  static const std::regex sense_field(
      R"(^mtx: Request Sense: (Sense Key|Additional Sense Code|Additional Sense Qualifier) ?= ?([0-9A-Za-z ]+)$)");
  std::string key, asc, ascq;
  ProcessResult without_sense = r;
  without_sense.err.clear();
  size_t start = 0;
  while (start < r.err.size()) {
    size_t end = r.err.find('\n', start);
    if (end == std::string::npos) end = r.err.size();
    std::string line = Trim(std::string_view(r.err).substr(start, end - start));
    start = end + 1;
    std::smatch m;
    if (std::regex_match(line, m, sense_field)) {
      std::string value = Trim(m[2].str());
      (m[1] == "Sense Key" ? key : m[1] == "Additional Sense Code" ? asc : ascq) = value;
    } else if (!line.starts_with("mtx: Request Sense:")) {
      without_sense.err += line + "\n";
    }
  }
  std::string reason = FailureReason(without_sense);
  std::string sense = SenseSummary(key, asc, ascq);
  return sense.empty() ? reason : reason + " (" + sense + ")";
}

std::optional<ChangerStatus> ParseMtxStatus(std::string_view text, std::string* error) {
  static const std::regex drive(R"(^Data Transfer Element (\d+):(Empty|Full)(.*)$)");
  static const std::regex slot(R"(^\s*Storage Element (\d+)( IMPORT/EXPORT)?:(Empty|Full)(.*)$)");
  static const std::regex source(R"(\(Storage Element (\d+) Loaded\))");
  ChangerStatus status;
  bool header = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    start = end + 1;
    std::smatch m;
    if (line.find("Storage Changer") != std::string::npos) {
      header = true;
    } else if (std::regex_match(line, m, drive)) {
      DriveStatus d;
      d.index = Number(m[1].str());
      d.full = m[2] == "Full";
      std::string rest = m[3].str();
      d.barcode = VolumeTag(rest);
      std::smatch s;
      if (std::regex_search(rest, s, source)) d.source_slot = Number(s[1].str());
      status.drives.push_back(d);
    } else if (std::regex_match(line, m, slot)) {
      SlotStatus s{Number(m[1].str()), m[3] == "Full", VolumeTag(m[4].str())};
      (m[2].matched ? status.mail_slots : status.slots).push_back(s);
    }
  }
  if (!header || status.drives.empty()) {
    *error = "mtx status did not list a changer with drives";
    return std::nullopt;
  }
  return status;
}

std::optional<ChangerStatus> MtxChanger::Status(std::string* error) {
  ProcessResult r = RunProcess({mtx_, "-f", device_, "status"});
  if (!r.started) {
    *error = "cannot run " + mtx_ + ": " + FailureReason(r);
    return std::nullopt;
  }
  if (r.status != 0) {
    *error = "changer " + device_ + " does not answer: " + MtxReason(r);
    return std::nullopt;
  }
  return ParseMtxStatus(r.out, error);
}

bool MtxChanger::Move(const char* verb, int slot, int drive, std::string* error) {
  ProcessResult r = RunProcess({mtx_, "-f", device_, verb, std::to_string(slot), std::to_string(drive)});
  if (r.started && r.status == 0) return true;
  *error = std::string(verb) + " failed: " + MtxReason(r);
  return false;
}

bool MtxChanger::Load(int slot, int drive, std::string* error) { return Move("load", slot, drive, error); }
bool MtxChanger::Unload(int slot, int drive, std::string* error) { return Move("unload", slot, drive, error); }

}  // namespace library
