#include "label_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "label_image.h"

namespace {

constexpr char kFieldSeparator[] = ",";

// The tag names the record whose first row the line holds, so a person can
// find VOL1, HDR1, HDR2 and UHL1 in the file; loading ignores it.
const char* RowComment(int record, int row) {
  static const char* const kRecordComments[kRecordCount] = {"   #VOL1\n", "   #HDR1\n", "   #HDR2\n", "   #UHL1\n"};
  return row == 0 ? kRecordComments[record] : "   #\n";
}

bool WriteRow(FILE* file, int record, int row) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&tapeLabel[record * kRecordSize + row * kRowSize]);
  if (fprintf(file, "%02X,%02X,%02X,%02X,%02X,%02X,%02X,%02X,", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]) < 0)
    return false;
  const char* comment = RowComment(record, row);
  return fwrite(comment, 1, strlen(comment), file) == strlen(comment);
}

[[noreturn]] void FailWith(const char* format, const char* name) {
  fprintf(stderr, format, name);
  exit(EXIT_FAILURE);
}

}  // namespace

void JoinPath(const char* dir, const char* name, char (&path)[kJoinedPathSize]) {
  snprintf(path, sizeof path, "%.255s/%.255s", dir, name);
}

void saveLabel(const char* fpath, const char* otfilename, int /*quiet*/, int label_len) {
  char path[kJoinedPathSize];
  JoinPath(fpath, otfilename, path);

  struct stat status {};
  if (stat(fpath, &status) == -1 && mkdir(fpath, 0777) != 0) FailWith("could not create %s directory", fpath);

  FILE* file = fopen(path, "w");
  if (file == nullptr) FailWith("could not create %s file", path);

  // A backup that is not all on disk must not count as made: the write run
  // overwrites the tape's label right after it.
  bool written = true;
  for (int r = 0; r < label_len / 2 && written; ++r)
    for (int m = 0; m < kRowsPerRecord && written; ++m) written = WriteRow(file, r, m);
  if (fflush(file) != 0) written = false;
  if (fclose(file) != 0) written = false;
  if (!written) FailWith("could not write %s file", path);
}

// strtok_r, not strtok: vaklabel-library parses label files from one
// thread per drive, and strtok's hidden position would mix their rows.
void LoadTemplateRow(char* line, char* row) {
  char* rest = nullptr;
  char* field = strtok_r(line, kFieldSeparator, &rest);
  for (int i = 0; i < kRowSize && field != nullptr; ++i) {
    row[i] = static_cast<char>(strtol(field, nullptr, 16) & 0xFF);
    field = strtok_r(nullptr, kFieldSeparator, &rest);
  }
}

// Lines are taken in order whatever their tags say.
int LoadTemplateRows(FILE* file, char* bytes, int rows) {
  for (int n = 0; n < rows; ++n) {
    char line[kTemplateLineSize] = {};
    if (fgets(line, sizeof line, file) == nullptr) return ferror(file) ? -1 : n;
    LoadTemplateRow(line, &bytes[n * kRowSize]);
  }
  return rows;
}

void loadLabel(const char* fpath, const char* otfilename, int quiet) {
  char path[kJoinedPathSize];
  JoinPath(fpath, otfilename, path);

  FILE* file = fopen(path, "r");
  if (file == nullptr) FailWith("could not open %s file", path);

  // A read error is no short template: a directory opens for reading on
  // Linux and fails only here.
  if (LoadTemplateRows(file, tapeLabel.data(), kTemplateRecords * kRowsPerRecord) < 0)
    FailWith("could not open %s file", path);
  fclose(file);

  if (quiet) {
    fprintf(stderr, "### template (%s) label data ###\n", path);
    DumpLabelRecords(kTemplateRecords);
  }
}
