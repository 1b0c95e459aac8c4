#include "drive_identity.h"

#include <cstdio>
#include <cstring>

namespace vtape {

namespace {
constexpr uint32_t kUnitMask = 0xFFFFFF;
}  // namespace

void FormatSerial(uint32_t unit, int drive, char (&out)[kSerialLength + 1]) {
  snprintf(out, sizeof out, "VT%06X%02u", unit & kUnitMask, static_cast<unsigned>(drive) % 100u);
}

uint32_t UnitOfImage(const char* path) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (const char* p = path; *p != '\0'; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
  return h & kUnitMask;
}

bool ValidSerial(const char* text) {
  if (strlen(text) != kSerialLength) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (!((*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9'))) return false;
  }
  return true;
}

}  // namespace vtape
