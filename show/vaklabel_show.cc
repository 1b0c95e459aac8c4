// vaklabel-show: decodes the IBM standard label set of a tape in a drive,
// of an AWSTAPE image or of a vaklabel label text file into named fields,
// and checks it.
#include <CLI/CLI.hpp>
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
};

// The whole tape instead of its label set; a walk that ends at an
// unreadable block shows what it found before it and counts as unreadable.
int ShowMap(const std::string& input, show::InputKind kind, const Options& options) {
  std::unique_ptr<show::TapeReader> reader = show::OpenTapeReader(input, kind);
  show::TapeMap map = show::MapTape(kind, *reader);
  std::vector<show::MapFinding> findings = show::CheckTapeMap(map);
  show::MapReport report{input, &map, &findings, options.vaklabel_form};
  if (options.json)
    show::PrintMapJson(report, std::cout);
  else
    show::PrintMapText(report, std::cout);
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
    std::vector<show::Finding> findings = show::CheckLabelSet(set, decoded);
    show::Report report{input, &set, &decoded, &findings, options.vaklabel_form};
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

// CLI11's complaint in the form of every other error, naming the word the
// command line got wrong.
std::string UsageMessage(const CLI::App* app, const CLI::Error& error) {
  std::vector<std::string> extras = app->remaining();
  std::string problem = error.what();
  if (dynamic_cast<const CLI::RequiredError*>(&error) && app->get_option("inputs")->empty())
    problem = "missing input: name a tape device, AWSTAPE image or label text file";
  else if (dynamic_cast<const CLI::ExtrasError*>(&error) && !extras.empty())
    problem = extras.front() + ": no such option";
  return "vaklabel-show: " + show::Visible(problem) + "\nTry 'vaklabel-show --help' for more information.\n";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Decode and check the IBM standard label set of a tape, a tape image or a vaklabel label file.",
               "vaklabel-show"};
  Options options;
  app.add_option("inputs", options.inputs, "tape device, AWSTAPE image or label text file (.lbl, .prelbl)")
      ->required();
  app.add_option("-k,--kind", options.kind, "what the inputs are, instead of telling by their contents")
      ->check(CLI::IsMember({"auto", "device", "image", "label-file"}));
  app.add_flag("--json", options.json, "one JSON document per input, one per line");
  app.add_flag("--vaklabel-form", options.vaklabel_form,
               "count what vaklabel would read or write differently as failed checks (status 1)");
  app.add_flag("--map", options.map,
               "walk the whole tape or image: every data set's labels and blocks, checked against the standard");
  app.set_version_flag("--version", "vaklabel-show " VAKLABEL_VERSION);
  app.failure_message(UsageMessage);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kAllPassed : kUsage;
  }

  int status = kAllPassed;
  bool shown = false;
  for (const std::string& input : options.inputs) status = std::max(status, ShowInput(input, options, &shown));
  return status;
}
