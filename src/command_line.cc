#include "command_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "label_image.h"

namespace {

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

// A repeated option replaces the earlier value; a longer argument is cut.
void CopyArgument(char (&to)[kPathSize], const char* from) {
  memset(to, 0, sizeof to);
  strncpy(to, from, kPathPartMax);
}

// Returns false for -h or an option getopt refused; `help` tells which.
bool ParseOptions(int argc, char* argv[], Request& request, bool& help) {
  optind = 0;  // a full restart of getopt, so parsing can be repeated
  int ch;
  while ((ch = getopt(argc, argv, "rwqhf:p:o:t:bc:")) != -1) {
    switch (ch) {
      case 'b': request.bflag = true; break;
      case 'c': CopyArgument(request.cpath, optarg); request.cflag = true; break;
      case 'f': CopyArgument(request.filename, optarg); break;
      case 'h': help = true; return false;
      case 'o': CopyArgument(request.otfilename, optarg); request.oflag = true; break;
      case 'p': CopyArgument(request.fpath, optarg); request.pflag = true; break;
      case 'q': request.quiet = 0; break;
      case 'r': request.mode = kReadMode; break;
      case 't': CopyArgument(request.otfilename, optarg); request.tflag = true; break;
      case 'w': request.mode = kWriteMode; break;
      default: return false;
    }
  }
  return true;
}

// Its length in bytes decides between a six- and an eight-character label;
// the characters themselves are taken as they are.
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

}  // namespace

Verdict ParseCommandLine(int argc, char* argv[], Request& request) {
  request = Request{};
  request.mode = kReadMode;
  request.quiet = 1;
  bool help = false;
  if (!ParseOptions(argc, argv, request, help)) return help ? Verdict::kHelp : Verdict::kBadCommandLine;

  int operands = argc - optind;
  if (request.filename[0] == '\0') return Verdict::kBadCommandLine;
  if (request.mode == kWriteMode)
    return WriteRequestIsValid(operands, argv + optind, request) ? Verdict::kWrite : Verdict::kBadCommandLine;
  return ReadRequestIsValid(operands, request) ? Verdict::kRead : Verdict::kBadCommandLine;
}

void Usage() { fwrite(kUsageText, 1, sizeof kUsageText - 1, stderr); }
