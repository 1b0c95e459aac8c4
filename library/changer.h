// The medium changer as mtx shows and moves it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process.h"

namespace library {

/// A storage slot as `mtx status` lists it.
struct SlotStatus {
  int number = 0;
  bool full = false;
  std::string barcode;  // "" when the changer read no volume tag
};

/// A data transfer element (a drive).
struct DriveStatus {
  int index = 0;
  bool full = false;
  std::string barcode;
  std::optional<int> source_slot;  // the slot the cartridge came from, when mtx knows
};

struct ChangerStatus {
  std::vector<DriveStatus> drives;
  std::vector<SlotStatus> slots;  // storage slots only, in address order
  std::vector<SlotStatus> mail_slots;  // import/export slots: never a home slot
};

/// Parses the output of `mtx status`. Returns nothing, with the reason in
/// `*error`, when it does not look like mtx's listing of a changer.
std::optional<ChangerStatus> ParseMtxStatus(std::string_view text, std::string* error);

/// Why mtx failed: the reason it gave on standard error, with the sense data
/// it dumped before it (never its progress text).
std::string MtxReason(const ProcessResult& result);

/// Moves and queries: one mtx process per call, always with -f.
class Changer {
 public:
  virtual ~Changer() = default;
  virtual std::optional<ChangerStatus> Status(std::string* error) = 0;
  virtual bool Load(int slot, int drive, std::string* error) = 0;
  virtual bool Unload(int slot, int drive, std::string* error) = 0;
};

/// The drive `index` of `status`; nothing when the changer did not list it.
std::optional<DriveStatus> DriveIn(const ChangerStatus& status, int index);

/// Keeps cartridges from being taken out of the library (PREVENT MEDIUM
/// REMOVAL on the changer) for as long as it lives, and allows it again when
/// it goes, however the run ends short of SIGKILL. Robot moves stay allowed.
class DoorHold {
 public:
  explicit DoorHold(const std::string& changer);
  ~DoorHold();
  DoorHold(const DoorHold&) = delete;
  DoorHold& operator=(const DoorHold&) = delete;

  bool held() const { return fd_ >= 0; }
  /// Why the door is not held: what the changer answered.
  const std::string& why_not() const { return why_not_; }

 private:
  int fd_ = -1;
  std::string why_not_;
};

class MtxChanger : public Changer {
 public:
  MtxChanger(std::string mtx, std::string device) : mtx_(std::move(mtx)), device_(std::move(device)) {}
  std::optional<ChangerStatus> Status(std::string* error) override;
  bool Load(int slot, int drive, std::string* error) override;
  bool Unload(int slot, int drive, std::string* error) override;

 private:
  bool Move(const char* verb, int slot, int drive, std::string* error);

  std::string mtx_;
  std::string device_;
};

}  // namespace library
