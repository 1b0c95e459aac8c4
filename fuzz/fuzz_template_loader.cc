// Feeds arbitrary bytes to the template loader as a template file.
// Properties: no crash or sanitizer report; only records 0-2 change; what
// the loader made of the file saves and loads back unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "label_file.h"
#include "label_image.h"

namespace {

constexpr int kTemplateBytes = kTemplateRecords * kRecordSize;

char* WorkDirectory() {
  static char dir[] = "/tmp/fuzz_template_loader.XXXXXX";
  static char* made = mkdtemp(dir);
  if (made == nullptr) abort();
  return made;
}

void WriteTemplate(const char* dir, const uint8_t* data, size_t size) {
  char path[kJoinedPathSize];
  JoinPath(dir, "template", path);
  FILE* file = fopen(path, "w");
  if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* dir = WorkDirectory();
  WriteTemplate(dir, data, size);

  for (int i = 0; i < kLabelImageSize; ++i) tapeLabel[i] = static_cast<char>(i * 7);
  auto before = tapeLabel;
  loadLabel(dir, "template", 0);
  if (memcmp(&tapeLabel[kTemplateBytes], &before[kTemplateBytes], kLabelImageSize - kTemplateBytes) != 0) abort();

  auto loaded = tapeLabel;
  saveLabel(dir, "saved", 0, 6);
  tapeLabel.fill('\0');
  loadLabel(dir, "saved", 0);
  if (memcmp(tapeLabel.data(), loaded.data(), kTemplateBytes) != 0) abort();
  return 0;
}
