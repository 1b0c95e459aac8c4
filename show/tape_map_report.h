// What vaklabel-show --map prints: a line per data set and file for
// people, or one JSON document with every label's fields for scripts.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tape_map.h"
#include "tape_map_checks.h"

namespace show {

struct MapReport {
  std::string input;
  const TapeMap* map;
  const std::vector<MapFinding>* findings;
  bool vaklabel_form_counts = false;
};

void PrintMapText(const MapReport& report, std::ostream& out);
void PrintMapJson(const MapReport& report, std::ostream& out);

}  // namespace show
