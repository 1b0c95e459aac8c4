// Opens the tape device, makes at most one request and closes it, so that
// the cost of the drive's open and of each request can be measured alone:
//   driveop DEVICE open|status|tell|eom
// status is MTIOCGET, tell MTIOCPOS, eom MTIOCTOP MTEOM. Exits 1 with a
// message when a call fails.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

int Fail(const char* what) {
  perror(what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: driveop DEVICE open|status|tell|eom\n");
    return 2;
  }
  const char* op = argv[2];
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return Fail("open");
  int r = 0;
  if (strcmp(op, "status") == 0) {
    mtget status;
    r = ioctl(fd, MTIOCGET, &status);
  } else if (strcmp(op, "tell") == 0) {
    mtpos pos;
    r = ioctl(fd, MTIOCPOS, &pos);
  } else if (strcmp(op, "eom") == 0) {
    mtop eom{};
    eom.mt_op = MTEOM;
    eom.mt_count = 1;
    r = ioctl(fd, MTIOCTOP, &eom);
  } else if (strcmp(op, "open") != 0) {
    fprintf(stderr, "driveop: unknown request %s\n", op);
    return 2;
  }
  if (r != 0) return Fail(op);
  if (close(fd) != 0) return Fail("close");
  return 0;
}
