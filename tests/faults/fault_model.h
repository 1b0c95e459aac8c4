// The fault matrix: its rows (each kind of run against each fault the virtual
// drive or the file system can put in its way) and what vaklabel should do in
// each, worked out by a small model of the tool.
#ifndef TESTS_FAULTS_FAULT_MODEL_H_
#define TESTS_FAULTS_FAULT_MODEL_H_

#include <map>
#include <ostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace fault_matrix {

enum class Run { kRead, kReadOutput, kWrite, kWriteBackup, kWriteTemplate, kWriteBackupTemplate };

enum class Fault {
  kNone,
  kOpenFails,  // `open_errno` says which error
  kNoMedium,
  kWriteProtect,
  kFailRewind,
  kFailSetblk,
  kFailRewindAt2,
  kFailSetblkAt2,
  kFailRead,     // block `n`
  kTapeMarkAt,   // the label set is cut by a tape mark at block `n`
  kBlankTape,
  kOversizeAt,   // block `n` is 84 bytes long
  kFailWrite,    // block `n`
  kShortWrite,   // block `n`
  kFailWeof,
  kFailClose,
  kSaveDirUncreatable,  // -p names a directory whose parent is missing
  kSaveFileUncreatable, // -p names an ordinary file
  kSaveFileUnwritable,  // the file to save is a symbolic link to /dev/full
  kTemplateMissing,
};

struct FaultCase {
  FaultCase(Fault kind_ = Fault::kNone, int n_ = 0, std::string open_errno_ = "")
      : kind(kind_), n(n_), open_errno(std::move(open_errno_)) {}

  Fault kind = Fault::kNone;
  int n = 0;
  std::string open_errno;
};

struct Row {
  Run run = Run::kRead;
  FaultCase fault;
  int old_len = 6;  // the label on the tape before: 6 or 8 characters
  int new_len = 0;  // the label a write run puts on: 6 or 8; 0 in read runs
};

bool Writes(Run run);
bool Backs(Run run);      // -b, or -o in a read run: a label text file is saved
bool Templates(Run run);  // -t
/// A name for the row usable as a gtest name.
std::string RowName(const Row& row);
void PrintTo(const Row& row, std::ostream* os);
/// Every row of the matrix: runs x faults x old and new label lengths.
std::vector<Row> AllRows();

/// One block of a tape as the model sees it: a tape mark, or a block whose
/// bytes are the EBCDIC of `text`.
struct ModelBlock {
  bool mark = false;
  std::string text;
};
using ModelTape = std::vector<ModelBlock>;

/// The tape a row starts from.
ModelTape TapeBefore(const Row& row);
/// Its bytes, spelled with test_support::Ebcdic.
std::vector<test_support::TapeRecord> Encode(const ModelTape& tape);

inline constexpr char kDevice[] = "/dev/nst0";
inline constexpr char kOutputName[] = "label.txt";
inline constexpr char kTemplateName[] = "tmpl.lbl";
inline constexpr char kMissingTemplateName[] = "missing.lbl";

std::string OldLabel(int length);
std::string NewLabel(int length);

/// The template file the runs with -t load, and the records it gives.
std::string TemplateFile();
std::vector<std::string> TemplateRecords();

/// Label text file lines for ASCII records, tagged VOL1, HDR1, HDR2, UHL1.
std::string HexLines(const std::vector<std::string>& records);

/// Where a run keeps its files: `root` holds the template directory and the
/// save directory.
struct Paths {
  std::string root;
  std::string SaveDir(const Row& row) const;
  std::string TemplateDir() const { return root + "/templates"; }
};

/// Files below the root: path relative to it -> contents, "<dir>" for a
/// directory, "-> TARGET" for a symbolic link.
using Files = std::map<std::string, std::string>;

/// The files laid out before the run.
Files FilesBefore(const Row& row);
/// The command line after `vaklabel`.
std::vector<std::string> Arguments(const Row& row, const Paths& paths, bool quiet);
/// The `vtape run` options that inject the row's drive fault.
std::vector<std::string> DriveOptions(const Row& row);

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;  // "open; handle #" for the descriptor number
  std::vector<test_support::TapeRecord> tape;
  Files files;
};

/// What the row should leave, with `today` (0yyddd) as the creation date.
Outcome Expected(const Row& row, const Paths& paths, bool quiet, const std::string& today);

/// What a run set out to do, from the tape alone with no fault in the drive:
/// the label a read run prints, or the tape a write run leaves; nothing when
/// the tape gives no label to work from.
std::optional<std::string> IntendedLabel(const ModelTape& before);
std::optional<std::vector<test_support::TapeRecord>> IntendedTape(const Row& row, const std::string& today);
/// The old label records at the start of the tape, in ASCII: the blocks up to
/// the first tape mark or unreadable block, as many as its label set has.
std::vector<std::string> OldRecords(const ModelTape& before);
/// The name of the file a row saves to, relative to the root.
std::string SavedFile(const Row& row, const std::optional<std::string>& previous);

}  // namespace fault_matrix

#endif  // TESTS_FAULTS_FAULT_MODEL_H_
