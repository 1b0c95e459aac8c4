#include "preload/core/config.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drive_env.h"
#include "preload/names/device_names.h"
#include "preload/core/real_libc.h"

namespace vtape::preload {

Config g_config;

namespace {

// Calls that reached the drive in this process.
long g_reads;
long g_rewinds;
long g_setblks;
long g_writes;

bool EnvFlag(const char* name) {
  const char* v = getenv(name);
  return v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0;
}

void LoadDeviceNames(Config& c) {
  const char* device = getenv(kEnvDevice);
  if (device == nullptr || device[0] == '\0') device = kDefaultDevice;
  char name[PATH_MAX];
  if (!ConfiguredName(device, name, sizeof name)) Die("device path too long", device);
  // st names its devices stN (rewinding) and nstN (non-rewinding).
  char* base = strrchr(name, '/') + 1;
  size_t dir_len = static_cast<size_t>(base - name);
  if (strncmp(base, "nst", 3) == 0) {
    strcpy(c.norewind_name, name);
    snprintf(c.rewind_name, sizeof c.rewind_name, "%.*s%s", static_cast<int>(dir_len), name, base + 1);
  } else {
    strcpy(c.rewind_name, name);
    if (strncmp(base, "st", 2) == 0) {
      snprintf(c.norewind_name, sizeof c.norewind_name, "%.*sn%s", static_cast<int>(dir_len), name, base);
    }
  }
}

void LoadFaults(Config& c) {
  const char* v;
  if ((v = getenv(kEnvFailOpen)) != nullptr && !ParseErrno(v, &c.fail_open)) {
    Die("bad value for VTAPE_FAIL_OPEN", v);
  }
  if ((v = getenv(kEnvFailRead)) != nullptr && !ParseCount(v, &c.fail_read)) {
    Die("bad value for VTAPE_FAIL_READ", v);
  }
  if ((v = getenv(kEnvFailWrite)) != nullptr && !ParseCount(v, &c.fail_write)) {
    Die("bad value for VTAPE_FAIL_WRITE", v);
  }
  if ((v = getenv(kEnvFailRewindAt)) != nullptr && !ParseCount(v, &c.fail_rewind_at)) {
    Die("bad value for VTAPE_FAIL_REWIND_AT", v);
  }
  if ((v = getenv(kEnvFailSetblkAt)) != nullptr && !ParseCount(v, &c.fail_setblk_at)) {
    Die("bad value for VTAPE_FAIL_SETBLK_AT", v);
  }
  if ((v = getenv(kEnvShortWrite)) != nullptr && !ParseShortWrite(v, &c.short_write, &c.short_bytes)) {
    Die("bad value for VTAPE_SHORT_WRITE", v);
  }
  c.min_block = kDefaultMinBlock;
  c.max_block = kDefaultMaxBlock;
  if ((v = getenv(kEnvBlockLimits)) != nullptr && !ParseBlockLimits(v, &c.min_block, &c.max_block)) {
    Die("bad value for VTAPE_BLOCK_LIMITS", v);
  }
  c.no_medium = EnvFlag(kEnvNoMedium);
  c.write_protect = EnvFlag(kEnvWriteProtect);
  c.fail_rewind = EnvFlag(kEnvFailRewind);
  c.fail_setblk = EnvFlag(kEnvFailSetblk);
  c.fail_weof = EnvFlag(kEnvFailWeof);
  c.fail_close = EnvFlag(kEnvFailClose);
}

}  // namespace

void LoadConfig() {
  Config& c = g_config;
  const char* image = getenv(kEnvImage);
  if (image != nullptr && image[0] != '\0') {
    if (!AbsolutePath(AT_FDCWD, image, c.image, sizeof c.image)) Die("image path too long", image);
  }
  LoadDeviceNames(c);
  LoadFaults(c);
}

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
