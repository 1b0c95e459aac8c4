#include "drive_env.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vtape {

namespace {

// Highest errno glibc names; comfortably above EHWPOISON (133).
constexpr int kMaxErrno = 4095;

}  // namespace

bool ParseErrno(const char* text, int* value) {
  long number;
  if (ParseCount(text, &number)) {
    if (number > kMaxErrno) return false;
    *value = static_cast<int>(number);
    return true;
  }
  for (int e = 1; e <= kMaxErrno; ++e) {
    const char* name = strerrorname_np(e);
    if (name != nullptr && strcmp(name, text) == 0) {
      *value = e;
      return true;
    }
  }
  return false;
}

bool ParseCount(const char* text, long* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end;
  errno = 0;
  long n = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || n <= 0) return false;
  *value = n;
  return true;
}

bool ParseShortWrite(const char* text, long* nth, size_t* bytes) {
  if (text == nullptr) return false;
  const char* colon = strchr(text, ':');
  if (colon == nullptr) {
    *bytes = kDefaultShortBytes;
    return ParseCount(text, nth);
  }
  char head[32];
  size_t head_len = static_cast<size_t>(colon - text);
  if (head_len >= sizeof head) return false;
  memcpy(head, text, head_len);
  head[head_len] = '\0';
  long b;
  if (!ParseCount(head, nth) || !ParseCount(colon + 1, &b)) return false;
  *bytes = static_cast<size_t>(b);
  return true;
}

bool ParseBlockLimits(const char* text, size_t* min, size_t* max) {
  long low, high;
  size_t high_bytes;
  // The same shape as N:BYTES, with neither part optional.
  if (text == nullptr || strchr(text, ':') == nullptr || !ParseShortWrite(text, &low, &high_bytes)) return false;
  high = static_cast<long>(high_bytes);
  if (low > high || high_bytes > kDefaultMaxBlock) return false;
  *min = static_cast<size_t>(low);
  *max = high_bytes;
  return true;
}

bool ParseSize(const char* text, uint64_t* bytes) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end;
  errno = 0;
  unsigned long long n = strtoull(text, &end, 10);
  if (errno != 0 || n == 0) return false;
  static const char kUnits[] = "KMGT";
  const char* unit = *end == '\0' ? nullptr : strchr(kUnits, *end);
  if (*end != '\0' && (unit == nullptr || end[1] != '\0')) return false;
  for (int shift = unit == nullptr ? 0 : static_cast<int>(unit - kUnits) + 1; shift > 0; --shift) {
    if (n > UINT64_MAX / 1024) return false;
    n *= 1024;
  }
  *bytes = n;
  return true;
}

}  // namespace vtape
