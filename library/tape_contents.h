// What a tape holds past its label set, from vaklabel-show's map of the
// whole tape: the data sets a write at its start would destroy.
#pragma once

#include <string>
#include <vector>

namespace library {

/// A data set with at least one block of data, or a file no labels describe.
struct DataSetFound {
  std::string name;        // "": unlabelled
  int file = 0;            // its first file on the tape, from 1
  long blocks = 0;         // of its data file
  std::string created;     // yyyy-mm-dd, "" when none
  std::string expires;     // yyyy-mm-dd, "" when none or a special code
  std::string expiration;  // the six characters of its expiration field
  std::string kept_until;  // why it must stay (KeptUntil), "" when it may go
};

struct TapeContents {
  bool mapped = false;  // false: the map could not be made (`error`)
  std::string error;
  std::string document;    // the map as vaklabel-show printed it
  int files = 0;           // tape files the walk passed
  std::string unreadable;  // the walk stopped at an unreadable block: where and why
  std::vector<DataSetFound> with_data;
  bool ascii = false;  // the map decoded data sets under ASCII labels
};

/// Reads vaklabel-show's --map --json document.
TapeContents ContentsFromMap(const std::string& document);

/// Runs `decoder --map --json DEVICE`. The drive spaces over each data file
/// rather than reading it, so a full tape costs a few operations a file.
TapeContents MapTape(const std::string& decoder, const std::string& device);

/// "1 data set and 1 unlabelled file, 1,204 blocks: PAYROLL.BACKUP created
/// 2026-05-01, expires 2027-05-01; file 5"; the words that follow "overwrote".
std::string DestroyedDataSets(const std::vector<DataSetFound>& data_sets);

/// "PAYROLL.BACKUP (file 2) expires 2027-05-01", for each one kept.
std::string KeptDataSets(const std::vector<DataSetFound>& data_sets);

}  // namespace library
