#include "preload/core/config.h"

#include <cstddef>

namespace vtape::preload {

Config g_config;

namespace {

// Calls that reached the drive in this process.
long g_reads;
long g_rewinds;
long g_setblks;
long g_writes;

}  // namespace

bool ReadFails() { return ++g_reads == g_config.fail_read; }

bool RewindFails() { return g_config.fail_rewind || ++g_rewinds == g_config.fail_rewind_at; }

bool SetblkFails() { return ++g_setblks == g_config.fail_setblk_at || g_config.fail_setblk; }

bool NextWrite(size_t count, size_t* length) {
  long nth = ++g_writes;
  if (nth == g_config.fail_write) return false;
  *length = count;
  if (nth == g_config.short_write && g_config.short_bytes < count) *length = g_config.short_bytes;
  return true;
}

}  // namespace vtape::preload
