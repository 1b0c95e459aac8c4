#include "changer.h"

#include <charconv>
#include <regex>

#include "process.h"

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

// mtx reports a failed command on stderr, sometimes after a dump of the
// sense data; the last line is the one an operator needs.
std::string LastLine(const std::string& text) {
  std::string trimmed = Trim(text);
  size_t newline = trimmed.find_last_of('\n');
  return newline == std::string::npos ? trimmed : Trim(trimmed.substr(newline + 1));
}

}  // namespace

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
    *error = "cannot run " + mtx_ + ": " + LastLine(r.err);
    return std::nullopt;
  }
  if (r.status != 0) {
    *error = "changer " + device_ + " does not answer: " + LastLine(r.err + r.out);
    return std::nullopt;
  }
  return ParseMtxStatus(r.out, error);
}

bool MtxChanger::Move(const char* verb, int slot, int drive, std::string* error) {
  ProcessResult r = RunProcess({mtx_, "-f", device_, verb, std::to_string(slot), std::to_string(drive)});
  if (r.started && r.status == 0) return true;
  std::string why = LastLine(r.err + r.out);
  *error = std::string(verb) + " failed" + (why.empty() ? "" : ": " + why);
  return false;
}

bool MtxChanger::Load(int slot, int drive, std::string* error) { return Move("load", slot, drive, error); }
bool MtxChanger::Unload(int slot, int drive, std::string* error) { return Move("unload", slot, drive, error); }

}  // namespace library
