// vaklabel: reads and rewrites the volume label of the tape in a drive.

#include <cstdio>
#include <cstdlib>

#include "command_line.h"
#include "label_file.h"
#include "label_image.h"
#include "tape_label.h"

namespace {

constexpr int kExitSuccess = 0;  // the run reached its end
constexpr int kExitFailed = 1;   // bad command line, or a failure that stopped the run

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
  Request request;
  switch (ParseCommandLine(argc, argv, request)) {
    case Verdict::kRead: ReadRun(request);
    case Verdict::kWrite: WriteRun(request);
    case Verdict::kHelp: Usage(); return kExitSuccess;
    case Verdict::kLongHelp: LongUsage(); return kExitSuccess;
    case Verdict::kVersion: printf("vaklabel (vaklabel) %s\n", VAKLABEL_VERSION); return kExitSuccess;
    case Verdict::kUnreadableLabel: RefuseUnreadableLabel(request.exlabel); return kExitFailed;
    case Verdict::kBadCommandLine: break;
  }
  Usage();
  return kExitFailed;
}
