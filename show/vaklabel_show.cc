// vaklabel-show: decodes the IBM standard label set of a tape in a drive,
// of an AWSTAPE image or of a vaklabel label text file into named fields,
// and checks it.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "input.h"
#include "label_checks.h"
#include "label_layout.h"
#include "report.h"
#include "tape_map.h"
#include "tape_map_checks.h"
#include "tape_map_readers.h"
#include "tape_map_report.h"

namespace {

// Exit statuses, from the least to the most severe; the run ends with the
// most severe one any input earned.
constexpr int kAllPassed = 0;
constexpr int kCheckFailed = 1;
constexpr int kUnreadable = 2;
constexpr int kUsage = 3;

struct Options {
  std::vector<std::string> inputs;
  std::string kind = "auto";
  bool json = false;
  bool vaklabel_form = false;
  bool map = false;
  show::CheckRules rules;
};

// The whole tape instead of its label set, printed as the walk goes; a
// walk that ends at an unreadable block shows what it found before it and
// counts as unreadable.
int ShowMap(const std::string& input, show::InputKind kind, const Options& options) {
  std::unique_ptr<show::TapeReader> reader = show::OpenTapeReader(input, kind);
  show::MapReport report{input, options.vaklabel_form, options.rules};
  std::unique_ptr<show::MapPrinter> printer =
      options.json ? show::MapJsonPrinter(report, std::cout) : show::MapTextPrinter(report, std::cout);
  show::MapChecker checker(options.rules);
  std::vector<show::MapFinding> findings;
  auto keep = [&](std::vector<show::MapFinding> found) {
    findings.insert(findings.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  };
  show::TapeMap map = show::MapTape(kind, *reader, [&](const show::TapeMap& so_far, const show::MappedDataSet& set) {
    keep(checker.DataSet(so_far, set));
    printer->DataSet(so_far, set);
  });
  keep(checker.End(map));
  printer->Finish(map, findings);
  if (map.end == show::WalkEnd::kUnreadable) return kUnreadable;
  return show::MapPasses(findings, options.vaklabel_form) ? kAllPassed : kCheckFailed;
}

// `shown` tells whether a table went out before, to set this one apart.
int ShowInput(const std::string& input, const Options& options, bool* shown) {
  std::optional<show::InputKind> kind;
  try {
    kind = show::ResolveKind(input, show::ParseKind(options.kind));
    if (options.map) {
      if (*shown && !options.json) std::cout << '\n';
      *shown = true;
      return ShowMap(input, *kind, options);
    }
    show::LabelSet set = show::ReadInput(input, *kind);
    show::DecodedSet decoded = show::Decode(set);
    std::vector<show::Finding> findings = show::CheckLabelSet(set, decoded, options.rules);
    show::Report report{input, &set, &decoded, &findings, options.vaklabel_form, options.rules};
    if (options.json) {
      show::PrintJson(report, std::cout);
    } else {
      if (*shown) std::cout << '\n';
      show::PrintText(report, std::cout);
    }
    *shown = true;
    return show::Passes(findings, options.vaklabel_form) ? kAllPassed : kCheckFailed;
  } catch (const show::InputError& error) {
    std::cout.flush();
    std::cerr << "vaklabel-show: " << show::Visible(input) << ": " << error.what() << '\n';
    if (options.json) show::PrintJsonError(input, kind, error.message(), std::cout);
    return kUnreadable;
  }
}

constexpr char kMissingInput[] = "missing input: name a tape device, AWSTAPE image or label text file, or set TAPE";

// The first option a CLI11 message names ("--kind: ...", "Could not
// convert: --json = abc"), or empty.
std::string OptionNamed(const std::string& message) {
  size_t start = message.starts_with('-') ? 0 : message.find(" -");
  if (start == std::string::npos) return "";
  start = message.find('-', start);
  size_t end = message.find_first_of(": =", start);
  return message.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// CLI11's complaint in the project's words, naming the word the command
// line got wrong first.
std::string Problem(const CLI::App* app, const CLI::Error& error) {
  std::vector<std::string> extras = app->remaining();
  std::string option = OptionNamed(error.what());
  if (dynamic_cast<const CLI::ExtrasError*>(&error) && !extras.empty()) return extras.front() + ": no such option";
  if (option == "--kind" || option == "-k") {
    if (dynamic_cast<const CLI::ValidationError*>(&error)) {
      std::string given =
          app->get_option("--kind")->results().empty() ? "" : app->get_option("--kind")->results().back();
      return option + ": " + show::Quoted(given) + " is none of auto, device, image and label-file";
    }
    return option + ": needs a kind: auto, device, image or label-file";
  }
  bool mismatch =
      dynamic_cast<const CLI::ArgumentMismatch*>(&error) || dynamic_cast<const CLI::ConversionError*>(&error);
  if (mismatch && !option.empty()) return option + ": takes no value";
  return error.what();
}

std::string Usage(const std::string& problem) {
  return "vaklabel-show: " + show::Visible(problem) + "\nTry 'vaklabel-show --help' for more information.\n";
}

std::string UsageMessage(const CLI::App* app, const CLI::Error& error) { return Usage(Problem(app, error)); }

// As mt and tar do, the drive named by $TAPE when no input is given.
bool InputsFromEnvironment(std::vector<std::string>* inputs) {
  const char* tape = std::getenv("TAPE");
  if (!inputs->empty()) return true;
  if (!tape || *tape == '\0') return false;
  inputs->emplace_back(tape);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Decode and check the IBM standard label set of a tape, a tape image or a vaklabel label file.",
               "vaklabel-show"};
  Options options;
  app.add_option("inputs", options.inputs,
                 "tape device, AWSTAPE image or label text file (.lbl, .prelbl); without one, $TAPE");
  app.add_option("-k,--kind", options.kind, "what the inputs are, instead of telling by their contents")
      ->check(CLI::IsMember({"auto", "device", "image", "label-file"}));
  app.add_flag("--json", options.json, "one JSON document per input, one per line");
  app.add_flag("--vaklabel-form", options.vaklabel_form,
               "count what vaklabel would read or write differently as failed checks (status 1)");
  app.add_flag("--map", options.map,
               "walk the whole tape or image: every data set's labels and blocks, checked against the standard");
  app.add_flag("--mainframe", options.rules.mainframe,
               "judge by a mainframe's rules alone: the eight-character form's *UHL1* fails as a volume serial");
  app.set_version_flag("--version", "vaklabel-show (vaklabel) " VAKLABEL_VERSION);
  app.footer("Without an input, the tape device that the TAPE environment variable names is read, as mt and tar do.");
  app.failure_message(UsageMessage);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kAllPassed : kUsage;
  }
  if (!InputsFromEnvironment(&options.inputs)) {
    std::cerr << Usage(kMissingInput);
    return kUsage;
  }

  int status = kAllPassed;
  bool shown = false;
  for (const std::string& input : options.inputs) status = std::max(status, ShowInput(input, options, &shown));
  return status;
}
