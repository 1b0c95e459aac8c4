#include "preload/descriptors/drive_open.h"

#include <cstdint>

#include "preload/core/lock.h"
#include "preload/descriptors/descriptors.h"
#include "preload/library/library.h"
#include "preload/st/tape.h"

namespace vtape::preload {

namespace {

// The open proper, once the drive's tape (if any) has threaded.
long OpenReady(int drive, bool rewinding, int flags) {
  Medium medium;
  long found = FindTape(DriveHeld(drive), flags, &medium);
  if (found < 0) return found;
  int fd = NewDriveDescriptor(flags, drive);
  if (fd < 0) {
    DropTape(medium);
    return fd;
  }
  Drive taken = DriveHeld(drive);
  long started = StartOpen(taken, medium, rewinding, flags);
  if (started < 0) {
    DiscardDriveDescriptor(fd, drive);
    return started;
  }
  AdoptTapeDescriptor(fd, drive, medium.image_fd, taken.state->image, rewinding);
  return fd;
}

}  // namespace

// Threading is the drive's own wait, slept with the lock let go: an open of
// another drive goes on meanwhile, as st's opens of different drives do.
long OpenTape(int drive, bool rewinding, int flags) {
  for (;;) {
    int64_t threading = 0;
    {
      Locked lock;
      if (InLibrary()) threading = ThreadingLeft(drive);
      if (threading <= 0) return OpenReady(drive, rewinding, flags);
    }
    SleepFor(threading);
  }
}

}  // namespace vtape::preload
