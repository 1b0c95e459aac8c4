// The command line: options, their checks and the usage text.
#pragma once

#include "label_file.h"

/// Buffers for an option's argument: 255 characters and the terminating zero.
inline constexpr int kPathSize = kPathPartMax + 1;
/// Buffers for a label: eight characters and the terminating zero.
inline constexpr int kLabelSize = 9;

enum Mode { kReadMode = 0, kWriteMode = 1 };

/// What the command line asked for; every buffer the label operations use is
/// owned here and passed down by address.
struct Request {
  char filename[kPathSize];    // -f: the tape device
  char fpath[kPathSize];       // -p: directory of the output or backup file
  char cpath[kPathSize];       // -c: directory of the template file
  char otfilename[kPathSize];  // -o and -t share it: the later name stays
  char exlabel[kLabelSize];    // the new label, write mode
  char exprelabel[kLabelSize]; // the label read from the tape
  bool pflag, oflag, tflag, bflag, cflag;
  int mode;
  int quiet;      // 0 after -q: diagnostics off
  int label_len;  // the new label's length in write mode
};

enum class Verdict { kRead, kWrite, kHelp, kLongHelp, kVersion, kUnreadableLabel, kBadCommandLine };

/// Parses and checks `argv` into `request` (which it resets first). getopt
/// reports a bad option or a missing argument itself; every other verdict is
/// the caller's to act on.
Verdict ParseCommandLine(int argc, char* argv[], Request& request);

/// Writes the usage text to standard error.
void Usage();
/// Writes the usage text and the long options to standard output, for --help.
void LongUsage();
/// Says on standard error why the label `label` is refused.
void RefuseUnreadableLabel(const char* label);
