// The few SCSI commands this command sends itself, through the SG_IO ioctl
// of the device a program already opens (the changer, an st tape device):
// each device's unit serial number, and which drive of the library is which
// unit. The parsers take the answers' bytes, so they are tested without a
// device.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace library::scsi {

struct Sense {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
};

/// Fixed (70h/71h) or descriptor (72h/73h) format sense data; nothing when
/// there is none.
std::optional<Sense> ParseSense(std::span<const uint8_t> data);

/// "ILLEGAL REQUEST, 24/00 invalid field in CDB"
std::string SenseText(const Sense& sense);

/// The meaning of the additional sense codes a changer or a drive answers
/// moves and inquiries with; "" for the others.
std::string AdditionalSenseText(uint8_t asc, uint8_t ascq);

/// The unit serial number in a VPD page 80h, without the blanks and NULs
/// devices pad it with; "" when the page carries none.
std::string UnitSerialFromPage(std::span<const uint8_t> page);

/// A data transfer element (a drive) as READ ELEMENT STATUS with DVCID
/// shows it.
struct DriveElement {
  int address = 0;
  bool full = false;
  std::string identifier;  // the identification descriptor's text, trimmed; "" when the changer sent none
  std::string serial;      // the unit serial number within it
};

/// Parses the answer to READ ELEMENT STATUS for data transfer elements with
/// VOLTAG and DVCID, in address order: the order in which mtx numbers the
/// drives. Nothing, with `*error`, when the bytes are not such an answer.
std::optional<std::vector<DriveElement>> ParseDriveElements(std::span<const uint8_t> data, std::string* error);

/// The command that asks for `count` drives' elements with their
/// identifiers, into `allocation` bytes.
std::vector<uint8_t> ReadDriveElementsCommand(unsigned count, unsigned allocation);

/// INQUIRY for VPD page 80h, into `allocation` bytes.
std::vector<uint8_t> UnitSerialCommand(unsigned allocation);

/// Sends `cdb` through SG_IO on `fd` and reads up to `allocation` bytes
/// (none: a command that moves no data).
/// Nothing, with what the device or the kernel said in `*error`, when the
/// command fails; `*sense` holds the device's sense data if it sent some.
std::optional<std::vector<uint8_t>> Execute(int fd, const std::vector<uint8_t>& cdb, unsigned allocation,
                                            unsigned timeout_ms, std::string* error, Sense* sense = nullptr);

/// The unit serial number of the device open on `fd`; "" when it reports
/// none. Nothing, with `*error`, when it does not answer.
std::optional<std::string> UnitSerial(int fd, std::string* error);

/// The unit serial number of the device at `path` opened with `flags`; ""
/// when it cannot be opened or reports none.
std::string UnitSerialAt(const std::string& path, int flags);

/// The `count` drives of the changer open on `fd`. Nothing, with `*error`,
/// when the changer refuses the command.
std::optional<std::vector<DriveElement>> DriveElements(int fd, unsigned count, std::string* error);

}  // namespace library::scsi
