// Which tape device of this host is which drive of the library. A host
// numbers its st devices in the order it finds them, a library its drives in
// its own: /dev/nstN is drive N only by luck. Both the changer (READ ELEMENT
// STATUS with DVCID) and each tape device (INQUIRY VPD page 80h) report a
// drive's unit serial number; a pairing is used only once the two agree, or,
// for a library that reports no serial numbers, once a cartridge loaded into
// the drive showed up on that device and no other.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "changer.h"
#include "scsi.h"

namespace library {

enum class Proof {
  kSerialNumber,  // the changer and the device report the same unit serial number
  kLoadTest,      // a cartridge loaded into the drive showed on this device only
  kUnproven,      // to be proven by a load test before the run touches a tape
};

struct DrivePairing {
  int index = 0;       // data transfer element, as mtx counts
  std::string device;  // its non-rewinding tape device; "" until a load test finds it
  std::string serial;  // the unit serial number both report; "" when the library reports none
  Proof proof = Proof::kUnproven;
};

/// How the pairing was proven, for the report and the dry run.
std::string ProofText(const DrivePairing& pairing);

/// What one of this host's tape devices answered, opened without waiting
/// for a tape.
struct TapeDevice {
  std::string path;
  std::string error;   // "" when it answered
  std::string serial;  // "" when it reports none
  bool has_tape = false;
};

struct Pairing {
  std::vector<DrivePairing> drives;           // the drives the run uses, in element order
  std::vector<std::string> notices;           // drives left out, and why
  std::string error;                          // the run cannot start: why, and what to give
  std::vector<std::string> unproven_devices;  // the host's tape devices no drive is proven to be
};

/// Pairs the changer's drives (`elements`, in element order) with tape
/// devices: with `named` (--drives), checks each pair; without, finds each
/// drive's device among `host`. `host` includes the named devices.
Pairing PairDrives(const std::vector<scsi::DriveElement>& elements, const std::vector<TapeDevice>& host,
                   const std::vector<std::pair<int, std::string>>& named);

/// Why a device named in --drives cannot be used, or "": it must be an st
/// device's non-rewinding node, and no device may be named twice.
std::string NamedDeviceProblem(const std::vector<std::pair<int, std::string>>& named);

/// The kind of node `rdev` of a character device is for st.
enum class TapeNode { kNotTape, kRewinding, kNonRewinding };
TapeNode TapeNodeKind(bool character_device, dev_t rdev);

/// The non-rewinding tape devices of this host: those sysfs and /dev list,
/// and /dev/nst0, /dev/nst1, ... as long as they open.
std::vector<std::string> HostTapeDevices();

/// Opens `path` without waiting for a tape and asks its serial number and
/// whether it holds a tape.
TapeDevice InspectDevice(const std::string& path);

/// The changer's drives with their identifiers, in element order; every
/// identifier "" when the changer will not report them (`*why` says so).
std::vector<scsi::DriveElement> ChangerDrives(const std::string& changer, const ChangerStatus& status,
                                              std::string* why);

/// Asks the changer and every tape device of this host (and those named)
/// and pairs them (PairDrives). Nothing moves.
Pairing IdentifyDrives(const std::string& changer, const ChangerStatus& status,
                       const std::vector<std::pair<int, std::string>>& named);

/// JSON and text forms of the pairings for the report and the dry run.
nlohmann::json PairingsJson(const std::vector<DrivePairing>& drives);
std::string PairingsText(const std::vector<DrivePairing>& drives);

enum class LoadTest {
  kProven,
  kLeftOut,  // the drive cannot take part (it failed the load, or no device of this host showed the tape)
  kRefused,  // the pairing named is wrong, or the cartridge could not be put back: the run stops
};

/// Proves an unproven pairing by loading the cartridge of `slot` into the
/// drive and watching which of `watch` then holds a tape; the cartridge goes
/// back to `slot`. Sets the device when it was not named. `*message` says
/// why when it is not proven.
LoadTest ProveByLoading(DrivePairing* pairing, int slot, const std::vector<std::string>& watch, Changer& changer,
                        std::string* message);

/// Checks, right after a load, that the drive's device holds a tape at its
/// beginning and is still the drive's unit. "" when it does; else why not.
std::string ConfirmLoaded(const DrivePairing& pairing);

}  // namespace library
