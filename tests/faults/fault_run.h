// Running one row of the fault matrix against the real binary under the
// virtual drive, and the checks every row passes.
#ifndef TESTS_FAULTS_FAULT_RUN_H_
#define TESTS_FAULTS_FAULT_RUN_H_

#include <string>
#include <vector>

#include "fault_model.h"

namespace fault_matrix {

/// What a run left: status, output, the tape and the files below the root.
struct Observed {
  Outcome outcome;
  std::string today_before;  // the UTC date, 0yyddd, around the run
  std::string today_after;
};

/// A fresh drive and file tree for the row, laid out under `paths.root`'s
/// parent; the run's result with the descriptor number in stderr masked.
Observed RunRow(const Row& row, const Paths& paths, bool quiet);

/// The invariants every row must keep, whatever the model says: a zero exit
/// status only when the run did all it set out to do, nothing on stdout
/// unless it did, and no write run changes the tape with -b unless the backup
/// holds the old label records.
void CheckInvariants(const Row& row, const Observed& observed);

/// The outcome the model gives for the date the run used.
Outcome ExpectedFor(const Row& row, const Paths& paths, bool quiet, const Observed& observed);

/// Field-by-field comparison, with tapes shown in hex.
void ExpectSameOutcome(const Outcome& actual, const Outcome& expected);

/// One record per line: "mark" or the block's bytes in hex.
std::string Describe(const std::vector<test_support::TapeRecord>& tape);

/// Runs the row with and without -q and checks both against the invariants
/// and the model.
void CheckRow(const Row& row);

}  // namespace fault_matrix

#endif  // TESTS_FAULTS_FAULT_RUN_H_
