#include "drive_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "process.h"

namespace library {
namespace {

constexpr unsigned kStMajor = 9;
constexpr unsigned kNoRewindMinorBit = 128;

// Owns a descriptor for the length of one question; once it is closed no
// child holds the device either.
class Descriptor {
 public:
  Descriptor(const std::string& path, int flags) : fd_(open(path.c_str(), flags | O_CLOEXEC)) {}
  ~Descriptor() { CloseDevice(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string DriveName(int index) { return "drive " + std::to_string(index); }

// The devices of `host` that report `serial`.
std::vector<std::string> DevicesWithSerial(const std::vector<TapeDevice>& host, const std::string& serial) {
  std::vector<std::string> found;
  for (const TapeDevice& device : host) {
    if (!serial.empty() && device.serial == serial) found.push_back(device.path);
  }
  return found;
}

const TapeDevice* Find(const std::vector<TapeDevice>& host, const std::string& path) {
  for (const TapeDevice& device : host) {
    if (device.path == path) return &device;
  }
  return nullptr;
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

Pairing PairNamed(const std::vector<scsi::DriveElement>& elements, const std::vector<TapeDevice>& host,
                  const std::vector<std::pair<int, std::string>>& named) {
  Pairing result;
  std::vector<std::string> wrong;
  std::vector<std::string> right;
  for (const auto& [index, path] : named) {
    const scsi::DriveElement& element = elements[static_cast<size_t>(index)];
    const TapeDevice* device = Find(host, path);
    if (device == nullptr || !device->error.empty()) {
      result.error =
          DriveName(index) + ": " + path + " cannot be opened" + (device == nullptr ? "" : ": " + device->error);
      return result;
    }
    DrivePairing pairing{index, path, "", Proof::kUnproven};
    std::vector<std::string> holders = DevicesWithSerial(host, element.serial);
    right.push_back(std::to_string(index) + "=" + (holders.size() == 1 ? holders.front() : "?"));
    if (!element.serial.empty() && !device->serial.empty()) {
      if (element.serial != device->serial) {
        wrong.push_back(DriveName(index) + " is not " + path + ": the changer reports unit serial number " +
                        element.serial + " for it, " + path + " reports " + device->serial + "; " +
                        (holders.size() == 1 ? DriveName(index) + " is " + holders.front()
                                             : "no single tape device of this host reports " + element.serial));
        continue;
      }
      pairing.serial = element.serial;
      pairing.proof = Proof::kSerialNumber;
    }
    result.drives.push_back(pairing);
  }
  if (!wrong.empty()) {
    std::string hint = Joined(right, ",");
    result.error = Joined(wrong, "; ") +
                   (hint.find('?') == std::string::npos ? "; give --drives " + hint + ", or leave --drives out" : "");
    result.drives.clear();
  }
  return result;
}

Pairing PairFound(const std::vector<scsi::DriveElement>& elements, const std::vector<TapeDevice>& host) {
  Pairing result;
  // Devices that report no serial numbers at all leave only the load test.
  bool devices_answer = std::any_of(host.begin(), host.end(), [](const TapeDevice& d) { return !d.serial.empty(); });
  for (size_t index = 0; index < elements.size(); ++index) {
    const scsi::DriveElement& element = elements[index];
    int number = static_cast<int>(index);
    if (element.serial.empty() || !devices_answer) {
      result.drives.push_back({number, "", "", Proof::kUnproven});
      continue;
    }
    std::vector<std::string> holders = DevicesWithSerial(host, element.serial);
    if (holders.size() == 1) {
      result.drives.push_back({number, holders.front(), element.serial, Proof::kSerialNumber});
    } else if (holders.empty()) {
      result.notices.push_back(DriveName(number) + " (unit serial number " + element.serial +
                               ") answers on no tape device of this host; left out");
    } else {
      result.error = DriveName(number) + " (unit serial number " + element.serial + ") answers on " +
                     Joined(holders, " and ") + "; name the one to use with --drives";
      return result;
    }
  }
  return result;
}

bool IsNstName(const std::string& name) {
  return name.size() > 3 && name.starts_with("nst") &&
         std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void AddListed(const char* dir, std::set<std::string>* names) {
  DIR* listing = opendir(dir);
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    if (IsNstName(entry->d_name)) names->insert(entry->d_name);
  }
  closedir(listing);
}

int NstNumber(const std::string& path) { return std::stoi(path.substr(path.find_last_of('/') + 4)); }

// The rewinding node's non-rewinding twin, as st names them: /dev/st0 and /dev/nst0.
std::string NonRewindingName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  if (path.compare(base, 2, "st") != 0) return "its non-rewinding node (/dev/nstN)";
  return path.substr(0, base) + "n" + path.substr(base);
}

bool HasTape(int fd) {
  mtget status{};
  return ioctl(fd, MTIOCGET, &status) == 0 && GMT_ONLINE(status.mt_gstat);
}

}  // namespace

std::string ProofText(const DrivePairing& pairing) {
  switch (pairing.proof) {
    case Proof::kSerialNumber:
      return "unit serial number " + pairing.serial + " reported by the changer and by " + pairing.device;
    case Proof::kLoadTest:
      return "a cartridge loaded into drive " + std::to_string(pairing.index) + " showed on " + pairing.device +
             " and no other device";
    case Proof::kUnproven: break;
  }
  return "the library reports no serial numbers: before any tape is read, a cartridge loaded into drive " +
         std::to_string(pairing.index) + " must show on " + (pairing.device.empty() ? "one device" : pairing.device) +
         " and no other";
}

Pairing PairDrives(const std::vector<scsi::DriveElement>& elements, const std::vector<TapeDevice>& host,
                   const std::vector<std::pair<int, std::string>>& named) {
  for (const auto& [index, path] : named) {
    if (index >= static_cast<int>(elements.size())) {
      Pairing result;
      result.error = DriveName(index) + " is not in this library (" + std::to_string(elements.size()) +
                     " drives, numbered from 0)";
      return result;
    }
  }
  Pairing result = named.empty() ? PairFound(elements, host) : PairNamed(elements, host, named);
  if (result.error.empty() && result.drives.empty()) {
    result.error = "no drive of the library answers on a tape device of this host; name them with --drives";
  }
  return result;
}

TapeNode TapeNodeKind(bool character_device, dev_t rdev) {
  if (!character_device || major(rdev) != kStMajor) return TapeNode::kNotTape;
  return (minor(rdev) & kNoRewindMinorBit) != 0 ? TapeNode::kNonRewinding : TapeNode::kRewinding;
}

std::string NamedDeviceProblem(const std::vector<std::pair<int, std::string>>& named) {
  std::map<dev_t, std::pair<int, std::string>> seen;
  for (const auto& [index, path] : named) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return DriveName(index) + ": " + path + ": " + std::strerror(errno);
    switch (TapeNodeKind(S_ISCHR(st.st_mode), st.st_rdev)) {
      case TapeNode::kNotTape: return DriveName(index) + ": " + path + " is not a tape device of the st driver";
      case TapeNode::kRewinding:
        return DriveName(index) + ": " + path +
               " rewinds the tape whenever it is closed, so each step of the run would start again at the "
               "beginning of the tape and data behind the first block would go unseen; give " +
               NonRewindingName(path);
      case TapeNode::kNonRewinding: break;
    }
    auto [earlier, fresh] = seen.emplace(st.st_rdev, std::make_pair(index, path));
    if (!fresh) {
      const auto& [other_index, other_path] = earlier->second;
      return (other_path == path ? path + " is" : other_path + " and " + path + " are one device,") +
             " named for drives " + std::to_string(other_index) + " and " + std::to_string(index);
    }
  }
  return "";
}

std::vector<std::string> HostTapeDevices() {
  std::set<std::string> names;
  AddListed("/sys/class/scsi_tape", &names);
  AddListed("/dev", &names);
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back("/dev/" + name);
  // Devices that exist but are listed nowhere here (a /dev without them,
  // a host without sysfs) answer an open all the same.
  constexpr int kMostTapes = 4096;  // far more tape drives than a host has
  for (int n = 0; n < kMostTapes; ++n) {
    std::string path = "/dev/nst" + std::to_string(n);
    if (names.count(path.substr(5)) != 0) continue;
    Descriptor probe(path, O_RDONLY | O_NONBLOCK);
    if (probe.fd() < 0 && (errno == ENOENT || errno == ENXIO || errno == ENODEV)) break;
    paths.push_back(path);
  }
  std::sort(paths.begin(), paths.end(),
            [](const std::string& a, const std::string& b) { return NstNumber(a) < NstNumber(b); });
  return paths;
}

TapeDevice InspectDevice(const std::string& path) {
  TapeDevice device;
  device.path = path;
  // An empty drive's st device opens only without waiting for a tape.
  Descriptor tape(path, O_RDONLY | O_NONBLOCK);
  if (tape.fd() < 0) {
    device.error = std::strerror(errno);
    return device;
  }
  std::string error;
  std::optional<std::string> serial = scsi::UnitSerial(tape.fd(), &error);
  if (serial) device.serial = *serial;
  device.has_tape = HasTape(tape.fd());
  return device;
}

std::vector<scsi::DriveElement> ChangerDrives(const std::string& changer, const ChangerStatus& status,
                                              std::string* why) {
  std::vector<scsi::DriveElement> unknown(status.drives.size());
  Descriptor device(changer, O_RDWR);
  if (device.fd() < 0) {
    *why = "cannot open " + changer + ": " + std::strerror(errno);
    return unknown;
  }
  std::optional<std::vector<scsi::DriveElement>> elements =
      scsi::DriveElements(device.fd(), static_cast<unsigned>(status.drives.size()), why);
  if (!elements) return unknown;
  if (elements->size() != status.drives.size()) {
    *why = "the changer's element status lists " + std::to_string(elements->size()) + " drives, mtx " +
           std::to_string(status.drives.size());
    return unknown;
  }
  return *elements;
}

Pairing IdentifyDrives(const std::string& changer, const ChangerStatus& status,
                       const std::vector<std::pair<int, std::string>>& named) {
  std::string why;
  std::vector<scsi::DriveElement> elements = ChangerDrives(changer, status, &why);
  std::vector<std::string> paths = HostTapeDevices();
  for (const auto& [index, path] : named) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  }
  std::vector<TapeDevice> host;
  for (const std::string& path : paths) host.push_back(InspectDevice(path));
  Pairing pairing = PairDrives(elements, host, named);
  bool unproven = std::any_of(pairing.drives.begin(), pairing.drives.end(),
                              [](const DrivePairing& d) { return d.proof == Proof::kUnproven; });
  if (unproven && !why.empty()) pairing.notices.push_back("the changer reports no drive serial numbers: " + why);
  std::vector<std::string> unasked;
  for (const TapeDevice& device : host) {
    if (!device.error.empty()) unasked.push_back(device.path + ": " + device.error);
  }
  if (!unasked.empty() && (!pairing.error.empty() || !pairing.notices.empty())) {
    (pairing.error.empty() ? pairing.notices.back() : pairing.error) += " (not asked: " + Joined(unasked, ", ") + ")";
  }
  for (const TapeDevice& device : host) {
    bool proven = std::any_of(pairing.drives.begin(), pairing.drives.end(), [&](const DrivePairing& d) {
      return d.device == device.path && d.proof != Proof::kUnproven;
    });
    if (!proven && device.error.empty()) pairing.unproven_devices.push_back(device.path);
  }
  return pairing;
}

nlohmann::json PairingsJson(const std::vector<DrivePairing>& drives) {
  nlohmann::json list = nlohmann::json::array();
  for (const DrivePairing& drive : drives) {
    static constexpr const char* kProofNames[] = {"serial-number", "load-test", "unproven"};
    list.push_back({{"drive", drive.index},
                    {"device", drive.device.empty() ? nlohmann::json() : nlohmann::json(drive.device)},
                    {"serial", drive.serial.empty() ? nlohmann::json() : nlohmann::json(drive.serial)},
                    {"proof", kProofNames[static_cast<int>(drive.proof)]},
                    {"proven_by", ProofText(drive)}});
  }
  return list;
}

std::string PairingsText(const std::vector<DrivePairing>& drives) {
  std::string text;
  for (const DrivePairing& drive : drives) {
    text += "drive " + std::to_string(drive.index) + " = " + (drive.device.empty() ? "?" : drive.device) + ": " +
            ProofText(drive) + "\n";
  }
  return text;
}

LoadTest ProveByLoading(DrivePairing* pairing, int slot, const std::vector<std::string>& watch, Changer& changer,
                        std::string* message) {
  std::set<std::string> had_tape;
  for (const std::string& path : watch) {
    if (InspectDevice(path).has_tape) had_tape.insert(path);
  }
  std::string name = DriveName(pairing->index);
  std::string error;
  if (!changer.Load(slot, pairing->index, &error)) {
    *message = name + ": load test with slot " + std::to_string(slot) + ": " + error + "; the drive is left out";
    return LoadTest::kLeftOut;
  }
  // The drive threads the tape after the move; st reports it online then.
  constexpr auto kThreading = std::chrono::minutes(5);
  auto deadline = std::chrono::steady_clock::now() + kThreading;
  std::vector<std::string> showed;
  while (showed.empty() && std::chrono::steady_clock::now() < deadline) {
    for (const std::string& path : watch) {
      if (had_tape.count(path) == 0 && InspectDevice(path).has_tape) showed.push_back(path);
    }
    if (showed.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  if (!changer.Unload(slot, pairing->index, &error)) {
    *message =
        name + ": the cartridge of slot " + std::to_string(slot) + " loaded for its load test stays in it: " + error;
    return LoadTest::kRefused;
  }
  bool named = !pairing->device.empty();
  if (showed.size() == 1 && (!named || showed.front() == pairing->device)) {
    pairing->device = showed.front();
    pairing->proof = Proof::kLoadTest;
    return LoadTest::kProven;
  }
  if (showed.empty() && !named) {
    *message = name + ": a cartridge loaded into it showed on no tape device of this host; the drive is left out";
    return LoadTest::kLeftOut;
  }
  *message = name + ": a cartridge loaded into it showed on " +
             (showed.empty() ? "no tape device of this host" : Joined(showed, " and ")) +
             (named ? ", not on " + pairing->device : "") +
             (showed.size() == 1 ? "; give --drives " + std::to_string(pairing->index) + "=" + showed.front() : "");
  return LoadTest::kRefused;
}

std::string ConfirmLoaded(const DrivePairing& pairing) {
  // Opened as vaklabel opens it: st waits until the drive has threaded the
  // tape, and refuses a drive that has none.
  Descriptor tape(pairing.device, O_RDONLY);
  if (tape.fd() < 0) {
    return errno == ENOMEDIUM ? pairing.device + " holds no tape after the load into drive " +
                                    std::to_string(pairing.index) + ": it is not that drive's device"
                              : pairing.device + ": " + std::strerror(errno);
  }
  if (!pairing.serial.empty()) {
    std::string error;
    std::optional<std::string> serial = scsi::UnitSerial(tape.fd(), &error);
    if (!serial || *serial != pairing.serial) {
      return pairing.device + " no longer reports drive " + std::to_string(pairing.index) + "'s unit serial number " +
             pairing.serial + " (" + (serial ? "it reports " + *serial : error) + ")";
    }
  }
  mtget status{};
  if (ioctl(tape.fd(), MTIOCGET, &status) != 0) return pairing.device + ": MTIOCGET: " + std::strerror(errno);
  if (!GMT_ONLINE(status.mt_gstat)) return pairing.device + " reports no tape online after the load";
  if (!GMT_BOT(status.mt_gstat) || status.mt_fileno != 0 || status.mt_blkno != 0) {
    return "the tape just loaded is not at its beginning in " + pairing.device + " (file " +
           std::to_string(status.mt_fileno) + ", block " + std::to_string(status.mt_blkno) + ")";
  }
  return "";
}

}  // namespace library
