// The checks of a whole tape's map against the IBM standard label layout:
// trailer block counts, trailers that repeat their headers, data set
// sequence, label groups and tape marks in their places, and the end of
// the tape. The first label group also gets the label-set checks.
#pragma once

#include <vector>

#include "label_checks.h"
#include "tape_map.h"

namespace show {

/// A failed check and where on the tape: its file and data set (0 for the
/// tape as a whole). `finding.check` is one of the label-set checks for
/// the first label group, or block_count, trailer, sequence, labels,
/// tape_marks, tape_end.
struct MapFinding {
  int file = 0;
  int data_set = 0;
  Finding finding;
};

std::vector<MapFinding> CheckTapeMap(const TapeMap& map);

/// True when no finding counts (see Passes).
bool MapPasses(const std::vector<MapFinding>& findings, bool vaklabel_form_counts);

}  // namespace show
