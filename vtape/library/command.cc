#include "library/command.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "aws.h"
#include "capacity.h"
#include "drive_env.h"
#include "drive_identity.h"
#include "library/env.h"
#include "library/state.h"

namespace vtape::library {

namespace {

constexpr int kExitCorrupt = 1;
constexpr int kExitFailure = 125;
constexpr char kDefaultFirstBarcode[] = "VTP001L8";

[[noreturn]] void Fail(const std::string& message) {
  fprintf(stderr, "vtape: %s\n", message.c_str());
  exit(kExitFailure);
}

[[noreturn]] void FailErrno(const std::string& what) { Fail(what + ": " + strerror(errno)); }

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

long Number(const std::string& option, const char* text, long low, long high) {
  char* end;
  errno = 0;
  long n = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < low || n > high) {
    Fail("bad value for " + option + ": " + text + " (" + std::to_string(low) + " to " + std::to_string(high) + ")");
  }
  return n;
}

// The barcode after `barcode`: its last run of digits counts up, keeping its
// width; on an LTO barcode (ABC001L8) the media suffix after the six
// characters of the volume serial stays. False when the digits run out.
bool NextBarcode(std::string* barcode) {
  size_t length = barcode->size();
  bool lto_suffix = length == 8 && (*barcode)[6] == 'L';
  size_t end = barcode->find_last_of("0123456789", lto_suffix ? 5 : std::string::npos);
  if (end == std::string::npos) return false;
  for (size_t i = end + 1; i-- > 0;) {
    char& c = (*barcode)[i];
    if (c < '0' || c > '9') return false;
    if (c != '9') {
      ++c;
      return true;
    }
    c = '0';
  }
  return false;
}

void CheckBarcode(const std::string& barcode) {
  if (!ValidBarcode(barcode.c_str())) {
    Fail("bad barcode " + barcode + ": 1 to 10 characters A-Z and 0-9");
  }
}

// The barcodes of at most `count` cartridges: a comma-separated list as
// given (the slots after it stay empty), or a series counting up from one
// first barcode.
std::vector<std::string> Barcodes(const std::string& given, size_t count) {
  std::vector<std::string> list = Split(given);
  for (const std::string& b : list) CheckBarcode(b);
  for (size_t i = 0; i < list.size(); ++i) {
    for (size_t j = i + 1; j < list.size(); ++j) {
      if (list[i] == list[j]) Fail("barcode " + list[i] + " given twice");
    }
  }
  if (list.size() > 1) {
    if (list.size() > count) {
      Fail("--barcodes lists " + std::to_string(list.size()) + " barcodes for " + std::to_string(count) +
           " slots");
    }
    return list;
  }
  std::string next = list[0];
  for (size_t i = 1; i < count; ++i) {
    if (!NextBarcode(&next)) Fail("barcode series from " + list[0] + " runs out before " + std::to_string(count));
    list.push_back(next);
  }
  return list;
}

// The st device number of each drive: as listed (a host that found them in
// another order), or drive I as /dev/nstI.
std::vector<int> DriveDevices(const std::string& given, long drives) {
  std::vector<int> devices;
  if (given.empty()) {
    for (int d = 0; d < drives; ++d) devices.push_back(d);
    return devices;
  }
  for (const std::string& d : Split(given)) {
    int device = static_cast<int>(Number("--drive-devices", d.c_str(), 0, kMaxDrives - 1));
    for (int other : devices) {
      if (other == device) Fail("--drive-devices: device " + d + " given twice");
    }
    devices.push_back(device);
  }
  if (static_cast<long>(devices.size()) != drives) {
    Fail("--drive-devices lists " + std::to_string(devices.size()) + " devices for " + std::to_string(drives) +
         " drives");
  }
  return devices;
}

void CopyFile(const std::string& from, int dir_fd, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) FailErrno(from);
  struct stat st;
  if (fstat(in, &st) != 0) FailErrno(from);
  if (!S_ISREG(st.st_mode)) Fail(from + ": not a regular file");
  int out = openat(dir_fd, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (out < 0) FailErrno(to);
  char buf[65536];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailErrno(from);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t put = write(out, buf + done, static_cast<size_t>(n - done));
      if (put < 0 && errno != EINTR) FailErrno(to);
      if (put > 0) done += put;
    }
  }
  close(in);
  if (close(out) != 0) FailErrno(to);
}

void BlankTape(int dir_fd, const std::string& name) {
  int fd = openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 || close(fd) != 0) FailErrno(name);
}

// A new folder, or an existing empty one: tapes are never made among files
// that belong to something else.
int MakeFolder(const char* dir) {
  bool existed = mkdir(dir, 0777) != 0;
  if (existed && errno != EEXIST) FailErrno(dir);
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) FailErrno(dir);
  if (IsLibrary(dir)) Fail(std::string(dir) + ": is a library already");
  if (existed) {
    DIR* listing = opendir(dir);
    if (listing == nullptr) FailErrno(dir);
    for (dirent* entry; (entry = readdir(listing)) != nullptr;) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
        Fail(std::string(dir) + ": not empty");
      }
    }
    closedir(listing);
  }
  return fd;
}

// EBCDIC (code page 037) letters, digits and the punctuation of labels as
// ASCII; anything else is '.'.
char Ascii(unsigned char c) {
  static constexpr struct {
    unsigned char first, last;
    char ascii;
  } kRuns[] = {
      {0x40, 0x40, ' '}, {0x81, 0x89, 'a'}, {0x91, 0x99, 'j'}, {0xa2, 0xa9, 's'},
      {0xc1, 0xc9, 'A'}, {0xd1, 0xd9, 'J'}, {0xe2, 0xe9, 'S'}, {0xf0, 0xf9, '0'},
      {0x4b, 0x4b, '.'}, {0x5c, 0x5c, '*'}, {0x60, 0x60, '-'}, {0x61, 0x61, '/'}, {0x6d, 0x6d, '_'},
  };
  for (const auto& run : kRuns) {
    if (c >= run.first && c <= run.last) return static_cast<char>(run.ascii + (c - run.first));
  }
  return '.';
}

// What the start of a cartridge's tape holds, in a few words.
std::string FirstRecord(const std::string& image) {
  int fd = open(image.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string("image missing: ") + strerror(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return "image is not a regular file";
  }
  unsigned char block[80];
  Record rec;
  bool ok = ReadRecord(fd, 0, st.st_size, 0, block, sizeof block, &rec);
  close(fd);
  if (!ok || rec.kind == RecordKind::kCorrupt) return "damaged image";
  if (rec.kind == RecordKind::kEnd) return "blank";
  if (rec.kind == RecordKind::kTapeMark) return "tape mark";
  if (rec.length != sizeof block) return std::to_string(rec.length) + "-byte block";
  std::string text;
  for (unsigned char c : block) text += Ascii(c);
  text.erase(text.find_last_not_of(' ') + 1);
  return "\"" + text + "\"";
}

std::string ImagePath(const char* dir, const char* barcode) {
  return std::string(dir) + "/" + barcode + kImageSuffix;
}

struct RunOption {
  const char* name;
  const char* env;
  enum Kind { kFlag, kPath, kBarcodes, kDrives, kFactor } kind;
};

constexpr RunOption kRunOptions[] = {
    {"--changer", kEnvChanger, RunOption::kPath},
    {"--fail-move", kEnvFailMove, RunOption::kBarcodes},
    {"--unreadable-barcode", kEnvUnreadable, RunOption::kBarcodes},
    {"--fail-load", kEnvFailLoad, RunOption::kDrives},
    {"--write-protect-tape", kEnvProtectedTapes, RunOption::kBarcodes},
    {"--changer-silent", kEnvChangerSilent, RunOption::kFlag},
    {"--timing", kEnvTiming, RunOption::kFactor},
};

std::string CheckedValue(const RunOption& option, const char* value) {
  switch (option.kind) {
    case RunOption::kFlag:
      return "1";
    case RunOption::kPath: {
      if (value[0] == '/') return value;
      char cwd[PATH_MAX];
      if (getcwd(cwd, sizeof cwd) == nullptr) FailErrno("current directory");
      return std::string(cwd) + "/" + value;
    }
    case RunOption::kBarcodes:
      for (const std::string& b : Split(value)) CheckBarcode(b);
      return value;
    case RunOption::kDrives:
      for (const std::string& d : Split(value)) Number(option.name, d.c_str(), 0, kMaxDrives - 1);
      return value;
    case RunOption::kFactor: {
      char* end;
      double f = strtod(value, &end);
      if (end == value || *end != '\0' || !(f > 0) || f > 1e9) {
        Fail(std::string("bad value for ") + option.name + ": " + value + " (a speed-up factor above 0)");
      }
      return value;
    }
  }
  return value;
}

}  // namespace

bool AsksForLibrary(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--slots") == 0 || strcmp(argv[i], "--drives") == 0) return true;
  }
  return false;
}

bool IsLibrary(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode) &&
         fstatat(AT_FDCWD, (std::string(path) + "/" + kStateFile).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

int CreateLibrary(int argc, char** argv) {
  const char* dir = nullptr;
  long slots = 0, drives = 1;
  std::string barcodes = kDefaultFirstBarcode;
  std::string drive_devices;
  std::vector<bool> empty;
  std::vector<std::string> copies;
  std::vector<long> empty_slots;
  uint64_t capacity = 0;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg[0] != '-') {
      if (dir != nullptr) Fail(arg + ": unexpected argument after the library folder " + dir);
      dir = argv[i];
      continue;
    }
    if (i + 1 == argc) Fail(arg + ": needs a value");
    const char* value = argv[++i];
    if (arg == "--slots") {
      slots = Number(arg, value, 1, kMaxSlots);
    } else if (arg == "--drives") {
      drives = Number(arg, value, 1, kMaxDrives);
    } else if (arg == "--drive-devices") {
      drive_devices = value;
    } else if (arg == "--barcodes") {
      barcodes = value;
    } else if (arg == "--empty") {
      for (const std::string& s : Split(value)) empty_slots.push_back(Number(arg, s.c_str(), 1, kMaxSlots));
    } else if (arg == "--copy") {
      copies.push_back(value);
    } else if (arg == "--size") {
      if (!ParseSize(value, &capacity)) Fail("--size: needs a size in bytes (K, M, G, T allowed)");
    } else {
      Fail(arg + ": not an option of create");
    }
  }
  if (dir == nullptr) Fail("create: missing the library folder");
  if (slots == 0) Fail(std::string(dir) + ": a library needs --slots");
  empty.assign(static_cast<size_t>(slots), false);
  for (long s : empty_slots) {
    if (s > slots) Fail("--empty: no slot " + std::to_string(s) + " in " + std::to_string(slots) + " slots");
    empty[static_cast<size_t>(s - 1)] = true;
  }
  size_t full = 0;
  for (bool e : empty) full += e ? 0 : 1;
  std::vector<std::string> names = full > 0 ? Barcodes(barcodes, full) : std::vector<std::string>{};
  if (copies.size() > names.size()) Fail("more --copy images than cartridges");
  std::vector<int> devices = DriveDevices(drive_devices, drives);

  static State state;
  state = State{};
  state.slot_count = static_cast<int>(slots);
  state.drive_count = static_cast<int>(drives);
  // One number per library, drawn now, makes its drives' serials.
  uint32_t unit = std::random_device{}();
  for (int d = 0; d < state.drive_count; ++d) {
    state.drives[d].source = -1;
    state.drives[d].device = devices[static_cast<size_t>(d)];
    FormatSerial(unit, d, state.drives[d].serial);
  }
  int dir_fd = MakeFolder(dir);
  size_t next = 0;
  for (long s = 0; s < slots && next < names.size(); ++s) {
    if (empty[static_cast<size_t>(s)]) continue;
    const std::string& barcode = names[next];
    std::string file = barcode + kImageSuffix;
    // A copy keeps the size of the tape it copies, unless --size says otherwise.
    std::string size_of_copy = next < copies.size() ? copies[next] + kCapacitySuffix : "";
    struct stat st;
    if (next < copies.size()) {
      CopyFile(copies[next], dir_fd, file);
    } else {
      BlankTape(dir_fd, file);
    }
    if (capacity == 0 && !size_of_copy.empty() && stat(size_of_copy.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      CopyFile(size_of_copy, dir_fd, file + kCapacitySuffix);
    } else if (!SetCapacity(dir_fd, file.c_str(), capacity)) {
      FailErrno(file + kCapacitySuffix);
    }
    snprintf(state.slots[s].barcode, sizeof state.slots[s].barcode, "%s", barcode.c_str());
    ++next;
  }
  close(dir_fd);
  // The state comes last: a folder left half made by a failure is no library.
  if (!Create(dir, state)) FailErrno(std::string(dir) + "/" + kStateFile);
  return 0;
}

int ListLibrary(const char* dir) {
  Handle h;
  if (!Open(dir, &h)) FailErrno(dir);
  static State s;
  if (!LockAndRead(h, false, &s)) {
    if (errno == EIO) {
      fprintf(stderr, "vtape: %s: damaged library state\n", dir);
      return kExitCorrupt;
    }
    FailErrno(std::string(dir) + "/" + kStateFile);
  }
  Unlock(h);
  Close(&h);
  char serial[kSerialLength + 1];
  ChangerSerial(s, serial);
  printf("library %s: %d slots, %d drives%s%s%s\n", dir, s.slot_count, s.drive_count,
         serial[0] != '\0' ? ", serial " : "", serial, s.prevent_removal ? ", medium removal prevented" : "");
  for (int d = 0; d < s.drive_count; ++d) {
    const DriveState& drive = s.drives[d];
    printf("drive %d (/dev/nst%d, serial %s)%s: ", d, drive.device, drive.serial, drive.locked ? " locked" : "");
    if (drive.tape.barcode[0] == '\0') {
      puts("empty");
      continue;
    }
    std::string from = drive.source >= 0 ? " from slot " + std::to_string(drive.source + 1) : "";
    printf("%s%s  %s\n", drive.tape.barcode, from.c_str(), FirstRecord(ImagePath(dir, drive.tape.barcode)).c_str());
  }
  for (int i = 0; i < s.slot_count; ++i) {
    const char* barcode = s.slots[i].barcode;
    if (barcode[0] == '\0') {
      printf("slot %d: empty\n", i + 1);
    } else {
      printf("slot %d: %s  %s\n", i + 1, barcode, FirstRecord(ImagePath(dir, barcode)).c_str());
    }
  }
  return 0;
}

bool TakeRunOption(int argc, char** argv, int* i, Settings* settings) {
  for (const RunOption& option : kRunOptions) {
    if (strcmp(argv[*i], option.name) != 0) continue;
    const char* value = "1";
    if (option.kind != RunOption::kFlag) {
      if (*i + 1 == argc || argv[*i + 1][0] == '\0' || strcmp(argv[*i + 1], "--") == 0) {
        Fail(std::string(option.name) + ": needs a value");
      }
      value = argv[++*i];
    }
    std::string checked = CheckedValue(option, value);
    for (auto& [name, existing] : *settings) {
      // Lists given more than once add up; anything else: the last wins.
      if (name == option.env) {
        bool list = option.kind == RunOption::kBarcodes || option.kind == RunOption::kDrives;
        existing = list ? existing + "," + checked : checked;
        return true;
      }
    }
    settings->emplace_back(option.env, checked);
    return true;
  }
  return false;
}

std::vector<const char*> RunVariables() {
  std::vector<const char*> names = {kEnvLibrary};
  for (const RunOption& option : kRunOptions) names.push_back(option.env);
  return names;
}

Settings LibraryEnvironment(const char* dir, const Settings& options) {
  char absolute[PATH_MAX];
  if (realpath(dir, absolute) == nullptr) FailErrno(dir);
  Settings settings = options;
  std::string changer = kDefaultChanger;
  for (const auto& [name, value] : options) {
    if (name == kEnvChanger) changer = value;
  }
  settings.emplace_back(kEnvLibrary, absolute);
  settings.emplace_back(kEnvChanger, changer);
  // mtx and mt take their default devices from these.
  settings.emplace_back("CHANGER", changer);
  settings.emplace_back("TAPE", "/dev/nst0");
  return settings;
}

}  // namespace vtape::library
