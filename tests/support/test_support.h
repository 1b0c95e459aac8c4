// Helpers for tests that run built programs against tape images: running a
// command, writing and reading AWSTAPE images, EBCDIC label text, temporary
// directories and the paths of the binaries under test.
//
// The AWSTAPE and EBCDIC code here is the tests' own, written apart from the
// code it checks, so that a shared mistake cannot hide itself.
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H_
#define TESTS_SUPPORT_TEST_SUPPORT_H_

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

/// What a finished command left behind.
struct CommandResult {
  /// Exit status, or 128 + signal number when a signal killed it.
  int status = -1;
  std::string out;
  std::string err;
};

/// Runs argv[0] (searched in PATH) with the given arguments, no shell in
/// between, feeding `input` to its stdin. `env` entries ("NAME=value") are
/// added to, or replace, the inherited environment.
CommandResult Run(const std::vector<std::string>& argv, const std::string& input = "",
                  const std::vector<std::string>& env = {});

/// One record on tape: a block of bytes or a tape mark.
struct TapeRecord {
  bool mark = false;
  std::string data;

  bool operator==(const TapeRecord&) const = default;
};

/// Shows a record in test failures as "mark" or its length and hex.
void PrintTo(const TapeRecord& record, std::ostream* os);

/// A block holding `data`.
TapeRecord Block(std::string data);
/// A block of `length` copies of `byte`.
TapeRecord Block(size_t length, char byte);
/// A tape mark.
TapeRecord Mark();

/// Encodes records as an AWSTAPE image; blocks over 65535 bytes are chained.
std::string EncodeAws(const std::vector<TapeRecord>& records);
/// Decodes an AWSTAPE image, joining chained segments. Returns false with a
/// description in `*error` for anything malformed.
bool DecodeAws(const std::string& image, std::vector<TapeRecord>* records, std::string* error);

/// Writes EncodeAws(records) to `path`.
void WriteAwsFile(const std::string& path, const std::vector<TapeRecord>& records);
/// Reads and decodes the image at `path`; fails the current test if it is
/// malformed or unreadable.
std::vector<TapeRecord> ReadAwsFile(const std::string& path);

/// An 80-column ASCII label record: `text` padded with spaces.
std::string Record(std::string_view text);
/// `record` with `text` put in from 1-based `column` on.
std::string Put(std::string record, int column, std::string_view text);

/// Translates A-Z, 0-9, space and * . - / _ to EBCDIC; any other character
/// fails the current test.
std::string Ebcdic(std::string_view text);
/// An 80-byte label record: Ebcdic(text) padded with EBCDIC blanks (0x40).
std::string LabelRecord(std::string_view text);

/// Lower-case hex of `bytes`, no separators.
std::string Hex(std::string_view bytes);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

/// A fresh directory under TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// path() + "/" + name.
  std::string File(std::string_view name) const;

 private:
  std::string path_;
};

/// The path CTest put in environment variable `name` (VTAPE, TAPEPROBE,
/// VAKLABEL); fails the current test and returns "" if it is unset.
std::string BinaryPath(const char* name);

/// Mounts a small tmpfs on `where` in a mount namespace of this process only,
/// so nothing leaks out; "" on success, else why it cannot be done here.
std::string PrivateTmpfs(const std::string& where);

}  // namespace test_support

#endif  // TESTS_SUPPORT_TEST_SUPPORT_H_
