#include "preload/entry/environment.h"

#include <fcntl.h>
#include <limits.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drive_env.h"
#include "library/env.h"
#include "preload/core/config.h"
#include "preload/core/real_libc.h"
#include "preload/library/library.h"
#include "preload/names/paths.h"

namespace vtape::preload {

namespace {

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

unsigned ParseDriveList(const char* text) {
  unsigned mask = 0;
  for (const char* p = text; *p != '\0';) {
    char* end;
    long n = strtol(p, &end, 10);
    if (end == p || n < 0 || n >= library::kMaxDrives || (*end != ',' && *end != '\0')) {
      Die("bad value for VTAPE_FAIL_LOAD", text);
    }
    mask |= 1u << n;
    p = *end == ',' ? end + 1 : end;
  }
  return mask;
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

void LoadLibraryConfig() {
  LibraryConfig& c = g_library;
  const char* dir = getenv(library::kEnvLibrary);
  if (dir == nullptr || dir[0] == '\0') return;
  if (!AbsolutePath(AT_FDCWD, dir, c.dir, sizeof c.dir)) Die("library path too long", dir);
  const char* changer = getenv(library::kEnvChanger);
  if (changer == nullptr || changer[0] == '\0') changer = library::kDefaultChanger;
  if (!ConfiguredName(changer, c.changer, sizeof c.changer)) Die("changer path too long", changer);
  c.faults.unreadable = getenv(library::kEnvUnreadable);
  c.faults.stuck = getenv(library::kEnvFailMove);
  const char* v = getenv(library::kEnvFailLoad);
  if (v != nullptr) c.faults.failing_drives = ParseDriveList(v);
  c.protected_tapes = getenv(library::kEnvProtectedTapes);
  v = getenv(library::kEnvChangerSilent);
  c.changer_silent = v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0;
  v = getenv(library::kEnvTiming);
  if (v != nullptr) {
    char* end;
    c.speedup = strtod(v, &end);
    if (end == v || *end != '\0' || !(c.speedup > 0)) Die("bad value for VTAPE_TIMING", v);
  }
}

}  // namespace vtape::preload
