// The command line of vaklabel-library.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plan.h"
#include "process.h"

namespace library {

/// Exit statuses, documented in the manual page.
inline constexpr int kExitDone = 0;        // every chosen cartridge ended as asked
inline constexpr int kExitIncomplete = 1;  // some were refused, failed or not reached
inline constexpr int kExitCannotRun = 2;   // bad command line, tools or changer: nothing moved
inline constexpr int kExitAuditMismatch = 3;  // an audit found a tape that differs from its record

struct Options {
  bool label = false;  // false: inventory
  PlanRequest plan;
  std::string changer;
  /// Drive number to device; empty: every drive of the changer, with the
  /// device that reports its serial number.
  std::vector<std::pair<int, std::string>> drives;
  std::string labels_dir = "labels";
  std::string template_path;
  std::string lock_file;  // "": the library's own, once the changer is known
  bool wait_for_lock = false;
  bool relabel = false;
  bool overwrite_unreadable = false;
  bool keep_fields = false;
  bool ignore_expiration = false;
  std::string expired_by;  // yyyy-mm-dd; "": today
  bool json = false;
  bool dry_run = false;
  int child_timeout = kDefaultChildTimeout;  // seconds a child may go without a sign of life
  /// Inventory: answer from the records of earlier runs where they may.
  bool from_history = false;
  bool no_mount = false;  // what history cannot answer stays unknown
  std::optional<long> max_age_days;
  std::optional<size_t> audit;  // cartridges answered from history to mount all the same
};

/// --audit all.
inline constexpr size_t kAuditAll = static_cast<size_t>(-1);

/// What parsing the command line came to: options to run with, or an exit
/// status with the text to print (help and version on stdout, errors on
/// stderr).
struct ParsedCommandLine {
  std::optional<Options> options;
  int exit_status = kExitDone;
  std::string out;
  std::string err;
};

/// `environment_changer` is $CHANGER, as mtx itself would use it.
ParsedCommandLine ParseOptions(int argc, const char* const argv[], const std::string& environment_changer,
                               const std::string& default_template);

/// Drive mappings from "/dev/nst0,/dev/nst1" (drives 0, 1, ...) or
/// "1=/dev/nst3,0=/dev/nst2".
std::optional<std::vector<std::pair<int, std::string>>> ParseDriveList(const std::string& text, std::string* error);

}  // namespace library
