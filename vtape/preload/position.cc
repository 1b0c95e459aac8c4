#include "position.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "../drive_env.h"
#include "config.h"
#include "real_libc.h"

namespace vtape::preload {

namespace {

// Size of the file's one record, padded with blanks.
constexpr int kRecordSize = 128;

void RecordPath(const char* image, char* out, size_t cap) { snprintf(out, cap, "%s%s", image, kStateSuffix); }

}  // namespace

bool LoadPosition(const char* image, int image_fd, off_t* offset) {
  char path[PATH_MAX + 16];
  RecordPath(image, path, sizeof path);
  int fd = libc.open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char line[160];
  ssize_t n = libc.read(fd, line, sizeof line - 1);
  libc.close(fd);
  if (n <= 0) return false;
  line[n] = '\0';
  long long pos, size, sec;
  uintmax_t ino;
  long nsec;
  struct stat st;
  if (sscanf(line, "vtape-position 1 %lld %lld %ju %lld %ld", &pos, &size, &ino, &sec, &nsec) != 5 ||
      libc.fstat(image_fd, &st) != 0 || size != st.st_size || ino != st.st_ino || sec != st.st_mtim.tv_sec ||
      nsec != st.st_mtim.tv_nsec || pos < 0 || pos > size) {
    return false;
  }
  *offset = static_cast<off_t>(pos);
  return true;
}

void SavePosition(const char* image, int image_fd, off_t offset) {
  struct stat st;
  if (libc.fstat(image_fd, &st) != 0) return;
  char path[PATH_MAX + 16];
  RecordPath(image, path, sizeof path);
  // One fixed-size record, overwritten in place: truncating the file on every
  // tape movement made ext4 flush it each time, which cost more than the run.
  char line[kRecordSize + 1];
  int n = snprintf(line, sizeof line, "vtape-position 1 %lld %lld %ju %lld %ld", static_cast<long long>(offset),
                   static_cast<long long>(st.st_size), static_cast<uintmax_t>(st.st_ino),
                   static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
  if (n < 0 || n >= kRecordSize) return;
  memset(line + n, ' ', kRecordSize - 1 - n);
  line[kRecordSize - 1] = '\n';
  int fd = libc.open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t put = pwrite(fd, line, kRecordSize, 0);
  (void)put;
  libc.close(fd);
}

}  // namespace vtape::preload
