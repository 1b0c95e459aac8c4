// Label text files: the label image's records as lines of hex bytes, written
// as output and backup files and read back as templates.
#pragma once

#include <cstdio>

/// Longest part of a path taken from the command line; a joined path is two
/// parts, a slash and the terminating zero.
inline constexpr int kPathPartMax = 255;
inline constexpr int kJoinedPathSize = 2 * kPathPartMax + 2;
/// Size of the buffer one template line is read into.
inline constexpr int kTemplateLineSize = 256;
/// Records a template can give: VOL1, HDR1 and HDR2, never UHL1.
inline constexpr int kTemplateRecords = 3;

/// Joins `dir` and `name` with a slash, at most 255 characters of each.
void JoinPath(const char* dir, const char* name, char (&path)[kJoinedPathSize]);

/// Writes `label_len` / 2 records of the label image to `fpath`/`otfilename`,
/// creating `fpath` (one level) when it is missing. Ends the process with
/// status 1 when the directory or the file cannot be created or written.
/// `quiet` is accepted for symmetry with the other label operations; saving
/// prints nothing on success.
void saveLabel(const char* fpath, const char* otfilename, int quiet, int label_len);

/// Overwrites the bytes that the template file `fpath`/`otfilename` gives in
/// records 0-2 of the label image. Ends the process with status 1 when the
/// file cannot be opened or a read from it fails (end of file is no failure).
void loadLabel(const char* fpath, const char* otfilename, int quiet);

/// Reads up to `rows` lines of `file`, each into the next 8-byte row of
/// `bytes` as LoadTemplateRow stores it; a line longer than
/// kTemplateLineSize - 1 characters is read in pieces, one row each. Rows
/// past the end of the file keep their bytes. Returns the rows read, or -1
/// when a read fails (end of file is no failure).
int LoadTemplateRows(FILE* file, char* bytes, int rows);

/// Stores the fields of one template line into the 8-byte `row`: the first
/// eight comma-separated fields, each read as a hex number whose low eight
/// bits become the byte; bytes without a field keep their value. `line` is
/// taken apart in place.
void LoadTemplateRow(char* line, char* row);
