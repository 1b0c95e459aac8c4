// What the environment asks of the drive: the image, the device names and the
// faults to inject, read once at start-up
// (entry/environment.h).
#ifndef VTAPE_PRELOAD_CORE_CONFIG_H_
#define VTAPE_PRELOAD_CORE_CONFIG_H_

#include <limits.h>

#include <cstddef>

namespace vtape::preload {

struct Config {
  char image[PATH_MAX];  // empty: no tape loaded
  char rewind_name[PATH_MAX];
  char norewind_name[PATH_MAX];  // empty when the device has no partner
  int fail_open;
  bool no_medium;
  bool write_protect;
  bool fail_rewind;
  bool fail_setblk;
  bool fail_weof;
  bool fail_close;
  long fail_read;
  long fail_write;
  long fail_rewind_at;
  long fail_setblk_at;
  long short_write;
  size_t short_bytes;
  size_t min_block;  // the block limits the drive reports
  size_t max_block;
};

extern Config g_config;

// The Nth-call faults: each counts one call that reached the drive and says
// whether that call is the one to fail with EIO.
bool ReadFails();
bool RewindFails();
bool SetblkFails();
/// Counts a write of `count` bytes: false when it is to fail, otherwise true
/// with the number of its bytes that go on tape in `*length`.
bool NextWrite(size_t count, size_t* length);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_CORE_CONFIG_H_
