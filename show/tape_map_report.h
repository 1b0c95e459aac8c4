// What vaklabel-show --map prints: a line per data set and file for
// people, or one JSON document with every label's fields for scripts.
// Both go out as the walk passes each data set, so that a tape of any
// number of files is printed in the memory of one data set.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tape_map.h"
#include "tape_map_checks.h"

namespace show {

struct MapReport {
  std::string input;
  bool vaklabel_form_counts = false;
  CheckRules rules;
};

class MapPrinter {
 public:
  virtual ~MapPrinter() = default;
  /// The next data set of the walk `map`.
  virtual void DataSet(const TapeMap& map, const MappedDataSet& set) = 0;
  /// The end of the walk, and every finding.
  virtual void Finish(const TapeMap& map, const std::vector<MapFinding>& findings) = 0;
};

std::unique_ptr<MapPrinter> MapTextPrinter(const MapReport& report, std::ostream& out);
std::unique_ptr<MapPrinter> MapJsonPrinter(const MapReport& report, std::ostream& out);

}  // namespace show
