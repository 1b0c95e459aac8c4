#include "options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <sstream>

#include "expiration.h"

namespace library {
namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

// CLI11's complaint in the form of every other error, naming the word the
// command line got wrong: a mistyped subcommand is otherwise only "A
// subcommand is required".
std::string UsageMessage(const CLI::App* app, const CLI::Error& error) {
  std::vector<std::string> extras = app->remaining();
  std::string problem = error.what();
  bool no_subcommand = dynamic_cast<const CLI::RequiredError*>(&error) && app->get_subcommands().empty();
  if (no_subcommand && extras.empty())
    problem = "missing subcommand: inventory or label";
  else if (no_subcommand && extras.front()[0] != '-')
    problem = extras.front() + ": not a subcommand (inventory or label)";
  else if (!extras.empty())
    problem = extras.front() + (extras.front()[0] == '-' ? ": no such option here" : ": unexpected argument");
  return "vaklabel-library: " + problem + "\nTry 'vaklabel-library --help' for more information.\n";
}

}  // namespace

std::optional<std::vector<std::pair<int, std::string>>> ParseDriveList(const std::string& text, std::string* error) {
  std::vector<std::pair<int, std::string>> drives;
  size_t start = 0;
  int next_index = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    start = end + 1;
    size_t equals = item.find('=');
    int index = next_index;
    std::string device = item;
    if (equals != std::string::npos) {
      std::string number = item.substr(0, equals);
      auto [at, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
      if (ec != std::errc() || at != number.data() + number.size() || index < 0) {
        *error = "bad drive number in '" + item + "'";
        return std::nullopt;
      }
      device = item.substr(equals + 1);
    }
    if (device.empty()) {
      *error = "no device in drive list item '" + item + "'";
      return std::nullopt;
    }
    for (const auto& [known, path] : drives) {
      if (known == index) {
        *error = "drive " + std::to_string(index) + " is named twice";
        return std::nullopt;
      }
    }
    drives.emplace_back(index, device);
    next_index = index + 1;
  }
  return drives;
}

ParsedCommandLine ParseOptions(int argc, const char* const argv[], const std::string& environment_changer,
                               const std::string& default_template) {
  ParsedCommandLine parsed;
  Options options;
  options.template_path = default_template;
  std::vector<std::string> slot_args;
  std::string drives_text, serial;
  bool barcode_six = false;

  CLI::App app{"Inventory and label the tapes of a library with mtx and vaklabel.", "vaklabel-library"};
  app.set_version_flag("--version", std::string("vaklabel-library (vaklabel) ") + VAKLABEL_VERSION);
  app.require_subcommand(1, 1);
  app.failure_message(UsageMessage);
  app.fallthrough();
  app.add_option("--changer", options.changer, "changer device mtx drives (default: $CHANGER, else /dev/changer)");
  app.add_option("--drives", drives_text,
                 "drives to use and their non-rewinding devices: DEV,DEV,... for drives 0,1,... or N=DEV,...; "
                 "each pairing is checked (default: every drive, with the device that reports its serial number)");
  app.add_option("--labels-dir", options.labels_dir, "where label sets and backups are kept")->capture_default_str();
  app.add_option("--lock", options.lock_file,
                 "lock file that keeps a second run off this library (default: one per changer in /run/lock)");
  app.add_flag("--wait", options.wait_for_lock, "wait for another run to finish instead of refusing");
  app.add_flag("--json", options.json, "report as JSON on standard output");
  app.add_flag("--dry-run", options.dry_run, "print the plan; move nothing");
  app.add_option("--child-timeout", options.child_timeout,
                 "seconds mtx, vaklabel or vaklabel-show may go without a sign of life before it is killed "
                 "and its cartridge given up (longer than a drive's slowest rewind)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber)
      ->option_text("SECONDS");

  CLI::App* inventory = app.add_subcommand("inventory", "read every chosen cartridge's label and report it");
  inventory->add_option("slots", slot_args, "slots: 5, 1-20, 1-4,9 (default: all)");
  std::string audit_text;
  long max_age = -1;
  CLI::Option* history = inventory->add_flag(
      "--from-history", options.from_history,
      "answer from this library's records of earlier runs where they may, moving nothing for those");
  inventory->add_flag("--no-mount", options.no_mount, "mount nothing: what history cannot answer is unknown")
      ->needs(history);
  inventory->add_option("--max-age", max_age, "records older than DAYS days are not used")
      ->option_text("DAYS")
      ->check(CLI::NonNegativeNumber)
      ->needs(history);
  inventory
      ->add_option("--audit", audit_text,
                   "mount N (or all) of the cartridges answered from history and compare them with their records")
      ->option_text("N|all")
      ->needs(history)
      ->excludes("--no-mount");

  CLI::App* label = app.add_subcommand("label", "label the chosen cartridges, safe by default");
  label->add_option("slots", slot_args, "slots: 5, 1-20, 1-4,9 (default: all)");
  CLI::Option* six = label->add_flag("--barcode-six", barcode_six, "the label is the first six characters of the barcode");
  CLI::Option* serial_option = label->add_option("--serial", serial, "labels count up from this one (TAP001) in slot order");
  six->excludes(serial_option);
  label->add_flag("--relabel", options.relabel,
                  "also label tapes with another label and tapes with other data; old sets are backed up");
  label->add_flag("--overwrite-unreadable", options.overwrite_unreadable,
                  "also label tapes that no drive tried can read; their expiration is judged all the same");
  label->add_flag("--keep-fields", options.keep_fields,
                  "a relabel keeps the old set's other fields rather than writing the template's");
  CLI::Option* ignore = label->add_flag("--ignore-expiration", options.ignore_expiration,
                                        "also overwrite data sets whose expiration date has not passed");
  label
      ->add_option("--expired-by", options.expired_by,
                   "judge expiration dates as of DATE (YYYY-MM-DD) instead of today; data sets that never "
                   "expire or that tape management keeps stay refused")
      ->option_text("DATE")
      ->excludes(ignore);
  label->add_option("--template", options.template_path, "label set for blank tapes")->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    app.exit(e, out, err);
    parsed.out = out.str();
    parsed.err = err.str();
    parsed.exit_status = e.get_exit_code() == 0 ? kExitDone : kExitCannotRun;
    return parsed;
  }

  std::string error;
  auto fail = [&](const std::string& message) {
    parsed.exit_status = kExitCannotRun;
    parsed.err = "vaklabel-library: " + message + "\n";
    return parsed;
  };
  options.label = label->parsed();
  if (max_age >= 0) options.max_age_days = max_age;
  if (audit_text == "all") {
    options.audit = kAuditAll;
  } else if (!audit_text.empty()) {
    size_t count = 0;
    auto [at, ec] = std::from_chars(audit_text.data(), audit_text.data() + audit_text.size(), count);
    if (ec != std::errc() || at != audit_text.data() + audit_text.size()) return fail("--audit: not a number or all");
    options.audit = count;
  }
  if (!slot_args.empty()) {
    auto slots = ParseSlotList(Join(slot_args), &error);
    if (!slots) return fail(error);
    options.plan.slots = *slots;
  }
  if (options.label) {
    options.plan.source = !serial.empty() ? LabelSource::kSerial
                          : barcode_six   ? LabelSource::kBarcodeSix
                                          : LabelSource::kBarcode;
    options.plan.serial_start = serial;
    if (!serial.empty() && !SerialSequence(serial, 1, &error)) return fail(error);
  }
  if (!options.expired_by.empty() && !ParseDay(options.expired_by, &error)) return fail("--expired-by: " + error);
  if (!drives_text.empty()) {
    auto drives = ParseDriveList(drives_text, &error);
    if (!drives) return fail(error);
    options.drives = *drives;
  }
  if (options.changer.empty()) options.changer = environment_changer.empty() ? "/dev/changer" : environment_changer;
  if (options.labels_dir.empty()) return fail("--labels-dir must name a directory");
  parsed.options = options;
  return parsed;
}

}  // namespace library
