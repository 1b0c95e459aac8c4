#include "image_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "cli.h"

namespace vtape::cli {

namespace {

const char* KindOf(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFDIR: return "a directory";
    case S_IFSOCK: return "a socket";
    default: return nullptr;
  }
}

void Check(const struct stat& st, const char* path) {
  if (S_ISREG(st.st_mode)) return;
  const char* kind = KindOf(st.st_mode);
  Fatal(std::string(path) + ": not a regular file" + (kind != nullptr ? std::string(" but ") + kind : ""));
}

}  // namespace

void RefuseUnlessRegular(const char* path, bool missing_ok) {
  struct stat st;
  if (stat(path, &st) == 0) return Check(st, path);
  if (!(missing_ok && errno == ENOENT)) FatalErrno(path);
}

void RefuseUnlessRegular(int fd, const char* path) {
  struct stat st;
  if (fstat(fd, &st) != 0) FatalErrno(path);
  Check(st, path);
}

}  // namespace vtape::cli
