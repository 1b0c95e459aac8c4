// vtape create: a blank tape, that is an empty image, no saved position, and
// the capacity asked for.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "../capacity.h"
#include "../drive_env.h"
#include "../library/command.h"
#include "cli.h"
#include "image_file.h"

namespace vtape::cli {

int Create(int argc, char** argv) {
  if (library::AsksForLibrary(argc, argv)) return library::CreateLibrary(argc, argv);
  bool force = false;
  const char* image = nullptr;
  uint64_t capacity = 0;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--force") == 0) {
      force = true;
    } else if (strcmp(argv[i], "--size") == 0) {
      if (i + 1 == argc || !ParseSize(argv[i + 1], &capacity))
        Fatal("--size: needs a size in bytes (K, M, G, T allowed)");
      ++i;
    } else if (argv[i][0] == '-') {
      UsageError(std::string(argv[i]) + ": not an option of create");
    } else if (image != nullptr) {
      UsageError(std::string(argv[i]) + ": unexpected argument after the image " + image);
    } else {
      image = argv[i];
    }
  }
  if (image == nullptr) UsageError("create: missing IMAGE");
  // Opening a FIFO for writing would wait for a reader, and a device node
  // could be a real drive: only regular files are ever opened.
  RefuseUnlessRegular(image, /*missing_ok=*/true);
  int fd = open(image, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | (force ? 0 : O_EXCL), 0666);
  if (fd < 0 && errno == EEXIST) Fatal(std::string(image) + ": exists (use --force to replace it)");
  if (fd < 0) FatalErrno(image);
  RefuseUnlessRegular(fd, image);
  // A drive that has this tape open would be left with a stale position.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) Fatal(std::string(image) + ": tape is in use");
  if (ftruncate(fd, 0) != 0) FatalErrno(image);
  close(fd);
  std::string state = std::string(image) + kStateSuffix;
  if (unlink(state.c_str()) != 0 && errno != ENOENT) FatalErrno(state);
  if (!SetCapacity(AT_FDCWD, image, capacity)) FatalErrno(std::string(image) + kCapacitySuffix);
  return 0;
}

}  // namespace vtape::cli
