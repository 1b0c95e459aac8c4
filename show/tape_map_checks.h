// The checks of a whole tape's map against the IBM standard label layout:
// trailer block counts, trailers that repeat their headers, data set
// sequence, label groups and tape marks in their places, and the end of
// the tape. The first file also gets the label-set checks, as it would
// without the map. Data sets are checked one at a time, as the walk
// passes them.
#pragma once

#include <optional>
#include <vector>

#include "label_checks.h"
#include "tape_map.h"

namespace show {

/// A failed check and where on the tape: its file (0 for a tape with no
/// file) and data set (0 for the tape as a whole). `finding.check` is one
/// of the label-set checks for the first file, or block_count, trailer,
/// sequence, labels, tape_marks, tape_end.
struct MapFinding {
  int file = 0;
  int data_set = 0;
  Finding finding;
};

class MapChecker {
 public:
  explicit MapChecker(CheckRules rules) : rules_(rules) {}

  /// The findings about `set`, the next data set of the walk `map`.
  std::vector<MapFinding> DataSet(const TapeMap& map, const MappedDataSet& set);
  /// The findings about the tape's end, once the walk is over.
  std::vector<MapFinding> End(const TapeMap& map);

 private:
  // What the checks of later data sets need of a labelled data set.
  struct Labelled {
    int number = 0;
    bool end_of_volume = false;
    std::optional<uint64_t> sequence;
    int trailer_file = 0;
  };
  // What the check of the tape's end needs of the last data set.
  struct Last {
    int number = 0;
    bool open_end = true;  // labels only, or no trailer: nothing to close
    bool end_of_volume = false;
    int trailer_file = 0;
    bool trailer_tape_mark = false;
  };

  void FirstFile(const TapeMap& map);
  void Place(const TapeMap& map, const MappedDataSet& set);
  void GroupOrder(const MappedDataSet& set, const TapeFile& file, const DecodedSet& labels, const std::string& label,
                  const std::string& user);
  void Trailer(const TapeMap& map, const MappedDataSet& set);
  void BlockCount(const MappedDataSet& set);
  void Repeated(const MappedDataSet& set, const DecodedRecord& header, const DecodedRecord& trailer);
  void Sequence(const MappedDataSet& set);
  std::vector<MapFinding> Taken();
  void Add(std::string check, int file, const MappedDataSet* set, const DecodedRecord* record, const Field* field,
           std::string reason);

  CheckRules rules_;
  bool first_checked_ = false;
  std::optional<Labelled> previous_;
  std::optional<Last> last_;
  std::vector<MapFinding> found_;
};

/// True when no finding counts (see Passes).
bool MapPasses(const std::vector<MapFinding>& findings, bool vaklabel_form_counts);

}  // namespace show
