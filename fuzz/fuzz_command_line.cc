// Feeds arbitrary argument vectors (words separated by NUL bytes) to the
// command-line checks. Properties: no crash or sanitizer report; a request
// that passes holds a device path and, to write, a label of 6 or 8 bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  opterr = 0;  // getopt's complaints would only flood the fuzzer's output
  std::vector<std::string> words = {"vaklabel"};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  Request request;
  Verdict verdict = ParseCommandLine(static_cast<int>(words.size()), argv.data(), request);
  if (verdict == Verdict::kRead || verdict == Verdict::kWrite) {
    size_t device = strnlen(request.filename, sizeof request.filename);
    if (device == 0 || device > kPathPartMax) abort();
  }
  if (verdict == Verdict::kWrite) {
    size_t label = strnlen(request.exlabel, sizeof request.exlabel);
    if ((request.label_len != 6 && request.label_len != 8) || label != static_cast<size_t>(request.label_len)) abort();
  }
  return 0;
}
