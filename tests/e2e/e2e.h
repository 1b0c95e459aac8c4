// Runs the real vaklabel binary under the virtual drive, on a tape image in a
// fresh directory, and spells out what a user should see.
#ifndef TESTS_E2E_E2E_H_
#define TESTS_E2E_E2E_H_

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace e2e {

using test_support::CommandResult;
using test_support::TapeRecord;

using test_support::Put;
using test_support::Record;
/// The block on tape for an ASCII record: its hand-spelled EBCDIC.
TapeRecord LabelBlock(std::string_view ascii);

/// Records used across the tests, in ASCII; each field is one a relabel
/// must keep.
extern const std::string kVol1Abc123;   // six-character label ABC123
extern const std::string kVol1Marker;   // *UHL1*: the label is in UHL1
extern const std::string kHdr1;
extern const std::string kHdr2;
extern const std::string kUhl1Abcd1234;

/// A six-character label set: VOL1 HDR1 HDR2, two tape marks.
std::vector<TapeRecord> SixCharacterTape(const std::string& vol1 = kVol1Abc123);
/// An eight-character label set: VOL1 with the marker, HDR1 HDR2 UHL1, two marks.
std::vector<TapeRecord> EightCharacterTape(const std::string& uhl1 = kUhl1Abcd1234);

/// The lines of the diagnostic dump of `records` (ASCII), numbered from 0.
std::string Dump(const std::vector<std::string>& records);
/// What a label text file holds for `records` (ASCII).
std::string LabelFile(const std::vector<std::string>& records);
/// The progress lines of opening and preparing /dev/nst0.
std::string Preparation();
/// "block N read to internal buffer" for blocks 1 to `blocks`.
std::string BlocksRead(int blocks);

/// Today's creation date as the writer puts it: 0yyddd in UTC.
std::string Today();

/// Replaces the descriptor number in "open; handle N" by N, the one part of
/// the diagnostics that belongs to the system, not to the tool.
std::string WithoutHandle(std::string err);

class VaklabelTest : public ::testing::Test {
 protected:
  /// Runs vaklabel with `args` under the drive loaded with the tape,
  /// with `faults` given to the drive.
  CommandResult Vaklabel(const std::vector<std::string>& args, const std::vector<std::string>& faults = {});
  void LoadTape(const std::vector<TapeRecord>& records);
  std::vector<TapeRecord> Tape() const;
  std::string File(std::string_view name) const { return dir_.File(name); }

  test_support::TempDir dir_;
  std::string tape_ = dir_.File("tape.aws");
};

}  // namespace e2e

#endif  // TESTS_E2E_E2E_H_
