#include "scsi.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "process.h"

namespace library::scsi {
namespace {

constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kReadElementStatus = 0xB8;
constexpr uint8_t kUnitSerialPage = 0x80;
constexpr uint8_t kDataTransferElement = 4;
constexpr uint8_t kVolumeTag = 0x10;  // READ ELEMENT STATUS byte 1
constexpr uint8_t kDeviceId = 0x01;   // byte 6: DVCID
constexpr size_t kVolumeTagLength = 36;
constexpr size_t kDescriptorFixedPart = 12;
constexpr uint8_t kCheckCondition = 0x02;
// Type 1 identifiers (T10 vendor ID based) start with the vendor (8) and,
// from drives, their product (16) before the serial number.
constexpr uint8_t kT10VendorIdType = 1;
constexpr size_t kVendorAndProduct = 24;

unsigned Be16(const uint8_t* p) { return p[0] << 8 | p[1]; }
unsigned Be24(const uint8_t* p) { return p[0] << 16 | p[1] << 8 | p[2]; }

std::string Trimmed(const uint8_t* p, size_t n) {
  std::string text(reinterpret_cast<const char*>(p), n);
  size_t begin = text.find_first_not_of(std::string(" \0", 2));
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(std::string(" \0", 2));
  return text.substr(begin, end - begin + 1);
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// The identification descriptor after the volume tags: code set, type,
// length, then the identifier itself.
void TakeIdentifier(const uint8_t* p, size_t room, DriveElement* drive) {
  if (room < 4) return;
  size_t length = p[3];
  if (length == 0 || 4 + length > room) return;
  drive->identifier = Trimmed(p + 4, length);
  bool with_product = (p[1] & 0x0F) == kT10VendorIdType && length > kVendorAndProduct;
  drive->serial = with_product ? Trimmed(p + 4 + kVendorAndProduct, length - kVendorAndProduct) : drive->identifier;
}

}  // namespace

std::optional<Sense> ParseSense(std::span<const uint8_t> data) {
  if (data.size() < 3) return std::nullopt;
  uint8_t code = data[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    return Sense{static_cast<uint8_t>(data[1] & 0x0F), data[2], data.size() > 3 ? data[3] : uint8_t{0}};
  }
  if ((code == 0x70 || code == 0x71) && data.size() >= 14) {
    return Sense{static_cast<uint8_t>(data[2] & 0x0F), data[12], data[13]};
  }
  return std::nullopt;
}

std::string AdditionalSenseText(uint8_t asc, uint8_t ascq) {
  struct Known {
    uint8_t asc, ascq;
    const char* text;
  };
  static constexpr Known kKnown[] = {
      {0x04, 0x00, "not ready"},
      {0x04, 0x01, "becoming ready"},
      {0x15, 0x01, "mechanical positioning error"},
      {0x20, 0x00, "invalid command operation code"},
      {0x21, 0x01, "invalid element address"},
      {0x24, 0x00, "invalid field in CDB"},
      {0x28, 0x00, "not ready to ready change, medium may have changed"},
      {0x29, 0x00, "power on, reset or bus device reset"},
      {0x3A, 0x00, "medium not present"},
      {0x3B, 0x0D, "medium destination element full"},
      {0x3B, 0x0E, "medium source element empty"},
      {0x53, 0x02, "medium removal prevented"},
  };
  for (const Known& known : kKnown) {
    if (known.asc == asc && known.ascq == ascq) return known.text;
  }
  return "";
}

std::string SenseText(const Sense& sense) {
  static constexpr const char* kKeys[] = {"NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
                                          "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
                                          "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
                                          "sense key 0Ch",  "VOLUME OVERFLOW", "MISCOMPARE",     "sense key 0Fh"};
  std::string meaning = AdditionalSenseText(sense.asc, sense.ascq);
  return std::string(kKeys[sense.key & 0x0F]) + ", " + Hex(sense.asc) + "/" + Hex(sense.ascq) +
         (meaning.empty() ? "" : " " + meaning);
}

std::string UnitSerialFromPage(std::span<const uint8_t> page) {
  if (page.size() < 4 || page[1] != kUnitSerialPage) return "";
  size_t length = std::min<size_t>(Be16(&page[2]), page.size() - 4);
  return Trimmed(page.data() + 4, length);
}

std::optional<std::vector<DriveElement>> ParseDriveElements(std::span<const uint8_t> data, std::string* error) {
  if (data.size() < 8) {
    *error = "element status shorter than its header";
    return std::nullopt;
  }
  size_t end = std::min(data.size(), 8 + static_cast<size_t>(Be24(&data[5])));
  std::vector<DriveElement> drives;
  size_t at = 8;
  while (at + 8 <= end) {
    const uint8_t* page = &data[at];
    size_t descriptor_length = Be16(page + 2);
    size_t page_end = std::min(end, at + 8 + static_cast<size_t>(Be24(page + 5)));
    size_t identifier_at =
        kDescriptorFixedPart + ((page[1] & 0x80) ? kVolumeTagLength : 0) + ((page[1] & 0x40) ? kVolumeTagLength : 0);
    if (descriptor_length < kDescriptorFixedPart) {
      *error = "element descriptors of " + std::to_string(descriptor_length) + " bytes";
      return std::nullopt;
    }
    for (size_t d = at + 8; d + descriptor_length <= page_end; d += descriptor_length) {
      if ((page[0] & 0x0F) != kDataTransferElement) continue;
      DriveElement drive;
      drive.address = static_cast<int>(Be16(&data[d]));
      drive.full = (data[d + 2] & 0x01) != 0;
      if (descriptor_length > identifier_at) {
        TakeIdentifier(&data[d + identifier_at], descriptor_length - identifier_at, &drive);
      }
      drives.push_back(drive);
    }
    at = page_end;
  }
  std::sort(drives.begin(), drives.end(),
            [](const DriveElement& a, const DriveElement& b) { return a.address < b.address; });
  return drives;
}

std::vector<uint8_t> ReadDriveElementsCommand(unsigned count, unsigned allocation) {
  return {kReadElementStatus,
          kVolumeTag | kDataTransferElement,
          0,
          0,  // from the lowest address
          static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count),
          kDeviceId,
          static_cast<uint8_t>(allocation >> 16),
          static_cast<uint8_t>(allocation >> 8),
          static_cast<uint8_t>(allocation),
          0,
          0};
}

std::vector<uint8_t> UnitSerialCommand(unsigned allocation) {
  return {kInquiry, 0x01, kUnitSerialPage, static_cast<uint8_t>(allocation >> 8), static_cast<uint8_t>(allocation), 0};
}

std::optional<std::vector<uint8_t>> Execute(int fd, const std::vector<uint8_t>& cdb, unsigned allocation,
                                            unsigned timeout_ms, std::string* error, Sense* sense) {
  std::vector<uint8_t> data(allocation);
  std::vector<uint8_t> command = cdb;
  uint8_t sense_buffer[64] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = allocation == 0 ? SG_DXFER_NONE : SG_DXFER_FROM_DEV;
  io.cmd_len = static_cast<unsigned char>(command.size());
  io.cmdp = command.data();
  io.dxfer_len = allocation;
  io.dxferp = data.data();
  io.mx_sb_len = sizeof sense_buffer;
  io.sbp = sense_buffer;
  io.timeout = timeout_ms;
  if (ioctl(fd, SG_IO, &io) != 0) {
    *error = std::string("SG_IO: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::optional<Sense> said = ParseSense({sense_buffer, io.sb_len_wr});
  if (sense != nullptr && said) *sense = *said;
  if (io.status == kCheckCondition || (said && said->key != 0 && said->key != 1)) {
    *error = said ? SenseText(*said) : "check condition without sense data";
    return std::nullopt;
  }
  if (io.status != 0 || io.host_status != 0 || (io.driver_status & ~0x08) != 0) {
    *error = "SCSI status " + Hex(io.status) + ", host " + Hex(io.host_status) + ", driver " + Hex(io.driver_status);
    return std::nullopt;
  }
  data.resize(allocation - std::min<unsigned>(allocation, static_cast<unsigned>(std::max(io.resid, 0))));
  return data;
}

std::optional<std::string> UnitSerial(int fd, std::string* error) {
  constexpr unsigned kAllocation = 255;
  constexpr unsigned kTimeoutMs = 30000;
  auto page = Execute(fd, UnitSerialCommand(kAllocation), kAllocation, kTimeoutMs, error);
  if (!page) return std::nullopt;
  return UnitSerialFromPage(*page);
}

std::string UnitSerialAt(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return "";
  std::string error;
  std::optional<std::string> serial = UnitSerial(fd, &error);
  CloseDevice(fd);
  return serial.value_or("");
}

std::optional<std::vector<DriveElement>> DriveElements(int fd, unsigned count, std::string* error) {
  // Room for each drive's volume tags and the longest identifier.
  constexpr unsigned kPerDrive = kDescriptorFixedPart + 2 * kVolumeTagLength + 4 + 255;
  constexpr unsigned kTimeoutMs = 300000;  // a library may inventory itself first
  unsigned allocation = std::min(16 + count * kPerDrive, 0xFFFFFFu);
  auto data = Execute(fd, ReadDriveElementsCommand(count, allocation), allocation, kTimeoutMs, error);
  if (!data) return std::nullopt;
  return ParseDriveElements(*data, error);
}

}  // namespace library::scsi
