// vaklabel: reads and rewrites the volume label of the tape in a drive.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "label_file.h"
#include "label_image.h"
#include "tape_label.h"

namespace {

constexpr int kExitSuccess = 0;  // the run reached its end
constexpr int kExitFailed = 1;   // bad command line, or a failure that stopped the run

constexpr int kPathSize = kPathPartMax + 1;
constexpr int kLabelSize = 9;  // eight characters and the terminating zero
constexpr int kShortLabelLength = 6;
constexpr int kLongLabelLength = 8;

enum Mode { kReadMode = 0, kWriteMode = 1 };

// What the command line asked for; every buffer is owned here and passed down.
struct Request {
  char filename[kPathSize];
  char fpath[kPathSize];
  char cpath[kPathSize];
  char otfilename[kPathSize];  // -o and -t share it: the later name stays
  char exlabel[kLabelSize];
  char exprelabel[kLabelSize];
  bool pflag, oflag, tflag, bflag, cflag;
  int mode;
  int quiet;
  int label_len;
};

constexpr char kUsageText[] =
    "syntax: vaklabel [-q] -r [-p <output path> -o <output filename>] -f <devfile>\n"
    "      : vaklabel [-q] [-p <backup path> -b ]\n"
    "      :            [ -c <template path> -t <template filename> ] -f <devfile> -w <label>\n"
    "syntax: vaklabel -h\n"
    " -r: read mode,  \n"
    " -w: write mode,\n"
    " -b: backup previous label,\n"
    " -q: quiet, -h: help\n"
    " rc   0=success, 1=failed\n"
    "where, the label length must be either 6 or 8\n";

// The usage goes to standard error also for -h, so that standard output
// never carries anything but a label.
[[noreturn]] void Usage(int status) {
  fwrite(kUsageText, 1, sizeof kUsageText - 1, stderr);
  exit(status);
}

// A repeated option replaces the earlier value; a longer argument is cut.
void CopyArgument(char (&to)[kPathSize], const char* from) {
  memset(to, 0, sizeof to);
  strncpy(to, from, kPathPartMax);
}

void ParseOptions(int argc, char* argv[], Request& request) {
  int ch;
  while ((ch = getopt(argc, argv, "rwqhf:p:o:t:bc:")) != -1) {
    switch (ch) {
      case 'b': request.bflag = true; break;
      case 'c': CopyArgument(request.cpath, optarg); request.cflag = true; break;
      case 'f': CopyArgument(request.filename, optarg); break;
      case 'h': Usage(kExitSuccess);
      case 'o': CopyArgument(request.otfilename, optarg); request.oflag = true; break;
      case 'p': CopyArgument(request.fpath, optarg); request.pflag = true; break;
      case 'q': request.quiet = 0; break;
      case 'r': request.mode = kReadMode; break;
      case 't': CopyArgument(request.otfilename, optarg); request.tflag = true; break;
      case 'w': request.mode = kWriteMode; break;
      default: Usage(kExitFailed);
    }
  }
}

// Takes the new label from the one operand; its length in bytes decides
// between a six- and an eight-character label.
bool TakeNewLabel(const char* operand, Request& request) {
  size_t length = strlen(operand);
  if (length != kLongLabelLength && length != kShortLabelLength) return false;
  memcpy(request.exlabel, operand, length);
  request.label_len = static_cast<int>(length);
  return true;
}

bool WriteRequestIsValid(int operands, char* operand[], Request& request) {
  if (operands != 1 || !TakeNewLabel(operand[0], request)) return false;
  if (request.oflag) return false;
  return !(request.bflag && !request.pflag) && !(request.tflag && !request.cflag);
}

bool ReadRequestIsValid(int operands, const Request& request) {
  return operands == 0 && !request.tflag && !request.bflag && !(request.oflag && !request.pflag);
}

[[noreturn]] void ReadRun(Request& request) {
  request.label_len = readLabel(request.filename, request.exprelabel, request.quiet);
  if (request.label_len < 0) exit(kExitFailed);
  if (request.oflag) saveLabel(request.fpath, request.otfilename, request.quiet, request.label_len);
  printf("%s\n", request.exprelabel);
  exit(kExitSuccess);
}

// The backup is named after the new and the previous label, and holds every
// record of the previous label set: after an eight-character label that is
// four, whatever the new label's length, or the old UHL1 would be lost.
void BackUpPreviousLabel(const Request& request, int previousLength) {
  char bfilename[kPathSize] = {};
  snprintf(bfilename, sizeof bfilename, "%s_%s.prelbl", request.exlabel, request.exprelabel);
  int records_len = previousLength == kLongLabelLength ? kLongLabelLength : request.label_len;
  saveLabel(request.fpath, bfilename, request.quiet, records_len);
}

// With a template the run goes on after a failed read, so that a blank or
// unreadable tape can be labelled from the template alone.
[[noreturn]] void WriteRun(Request& request) {
  int rc = readLabel(request.filename, request.exprelabel, request.quiet);
  if (rc <= 0 && !request.tflag) exit(kExitFailed);
  if (request.bflag) BackUpPreviousLabel(request, rc);
  if (request.tflag) loadLabel(request.cpath, request.otfilename, request.quiet);
  bool written = writeLabel(request.filename, request.exlabel, request.quiet, request.label_len);
  exit(written ? kExitSuccess : kExitFailed);
}

}  // namespace

int main(int argc, char* argv[]) {
  Request request{};
  request.mode = kReadMode;
  request.quiet = 1;
  ParseOptions(argc, argv, request);

  int operands = argc - optind;
  if (request.filename[0] == '\0') Usage(kExitFailed);
  if (request.mode == kWriteMode) {
    if (!WriteRequestIsValid(operands, argv + optind, request)) Usage(kExitFailed);
    WriteRun(request);
  }
  if (!ReadRequestIsValid(operands, request)) Usage(kExitFailed);
  ReadRun(request);
}
