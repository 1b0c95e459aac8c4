#include "tape_contents.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "expiration.h"
#include "process.h"
#include "report.h"

namespace library {
namespace {

std::string Text(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? BytesOf(found->get<std::string>()) : "";
}

long Number(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  return found != object.end() && found->is_number_integer() ? found->get<long>() : 0;
}

// 1204 as "1,204": block counts run to millions.
std::string Grouped(long n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
  return digits;
}

std::string Plural(long n, const std::string& what) { return Grouped(n) + " " + what + (n == 1 ? "" : "s"); }

std::string Named(const DataSetFound& set) { return set.name.empty() ? "file " + std::to_string(set.file) : set.name; }

// "2 data sets", "1 data set and 1 unlabelled file", "3 unlabelled files".
std::string Counted(const std::vector<DataSetFound>& data_sets) {
  long unlabelled =
      std::count_if(data_sets.begin(), data_sets.end(), [](const DataSetFound& set) { return set.name.empty(); });
  long labelled = static_cast<long>(data_sets.size()) - unlabelled;
  std::string files = Plural(unlabelled, "unlabelled file");
  if (labelled == 0) return files;
  return Plural(labelled, "data set") + (unlabelled == 0 ? "" : " and " + files);
}

}  // namespace

TapeContents ContentsFromMap(const std::string& document) {
  TapeContents contents;
  nlohmann::json map = nlohmann::json::parse(document, nullptr, false);
  if (map.is_discarded() || !map.is_object()) {
    contents.error = "no map document";
    return contents;
  }
  auto data_sets = map.find("data_sets");
  if (map.contains("error") || data_sets == map.end() || !data_sets->is_array()) {
    contents.error = map.contains("error") ? Text(map, "error") : "the map lists no data sets";
    return contents;
  }
  contents.mapped = true;
  contents.document = document;
  contents.files = static_cast<int>(Number(map, "files"));
  if (Text(map, "end") == "unreadable") contents.unreadable = Text(map, "unreadable");
  for (const nlohmann::json& set : *data_sets) {
    auto ascii = set.is_object() ? set.find("ascii") : set.end();
    if (ascii != set.end() && ascii->is_boolean() && ascii->get<bool>()) contents.ascii = true;
    auto data = set.find("data");
    if (!set.is_object() || data == set.end() || !data->is_object() || Number(*data, "blocks") < 1) continue;
    auto files = set.find("files");
    int first = files != set.end() && files->is_array() && !files->empty() && (*files)[0].is_number_integer()
                    ? (*files)[0].get<int>()
                    : 0;
    contents.with_data.push_back({Text(set, "name"), first, Number(*data, "blocks"), Text(set, "created"),
                                  Text(set, "expires"), Text(set, "expiration_value"), ""});
  }
  return contents;
}

TapeContents MapTape(const std::string& decoder, const std::string& device) {
  ProcessResult run = RunProcess({decoder, "--map", "--json", device});
  if (!run.started) {
    TapeContents failed;
    failed.error = "cannot run " + decoder;
    return failed;
  }
  TapeContents contents = ContentsFromMap(run.out);
  if (!contents.mapped && contents.error == "no map document") contents.error = decoder + ": " + FailureReason(run);
  return contents;
}

namespace {

// A row names this many data sets at most; a tape of a thousand would make
// a row of tens of thousands of characters, and the map has them all.
constexpr size_t kNamedInRow = 3;

std::string Listed(const std::vector<std::string>& entries, const std::string& separator, const std::string& all) {
  std::string list;
  for (size_t i = 0; i < entries.size() && i < kNamedInRow; ++i) list += (i == 0 ? "" : separator) + entries[i];
  if (entries.size() <= kNamedInRow) return list;
  return "first " + list + separator + Grouped(static_cast<long>(entries.size() - kNamedInRow)) + " more in " + all;
}

}  // namespace

std::string DestroyedDataSets(const std::vector<DataSetFound>& data_sets) {
  long blocks = 0;
  std::vector<std::string> entries;
  for (const DataSetFound& set : data_sets) {
    blocks += set.blocks;
    std::string entry = Named(set);
    if (!set.created.empty()) entry += " created " + set.created;
    std::string expiration = DateCodeText(set.expiration);
    if (!expiration.empty()) entry += ", " + expiration;
    entries.push_back(entry);
  }
  return Counted(data_sets) + ", " + Plural(blocks, "block") + ": " + Listed(entries, "; ", "the map file");
}

std::string KeptDataSets(const std::vector<DataSetFound>& data_sets) {
  std::vector<std::string> entries;
  for (const DataSetFound& set : data_sets) {
    if (set.kept_until.empty()) continue;
    std::string where = set.name.empty() ? Named(set) : set.name + " (file " + std::to_string(set.file) + ")";
    entries.push_back(where + " " + set.kept_until);
  }
  return Listed(entries, ", ", "the JSON report's data_sets");
}

}  // namespace library
