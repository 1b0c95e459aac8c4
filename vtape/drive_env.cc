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

}  // namespace vtape
