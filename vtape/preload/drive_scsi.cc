#include "drive_scsi.h"

#include <scsi/scsi.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

#include "../drive_identity.h"
#include "../scsi.h"
#include "config.h"
#include "library.h"
#include "sg_io.h"

namespace vtape::preload {

namespace {

using scsi::Be16;
using scsi::Sense;
using scsi::Writer;

// What SG_GET_VERSION_NUM gives through st on Linux 6.1: the block layer's
// SCSI ioctls, not the sg driver.
constexpr int kBlockSgVersion = 30527;
// The block layer's SG_IO timeout until a program sets one: 60 s, in the
// clock ticks (USER_HZ) SG_GET_TIMEOUT and SG_SET_TIMEOUT count in.
constexpr int kDefaultTimeoutTicks = 60 * 100;

constexpr uint8_t kPeripheralTypeTape = 0x01;

// Operation codes (SPC-4, SSC-3).
constexpr uint8_t kInquiry = 0x12;

// Vital product data pages.
constexpr uint8_t kSupportedPages = 0x00;
constexpr uint8_t kUnitSerialNumber = 0x80;
constexpr uint8_t kDeviceIdentification = 0x83;

constexpr uint8_t kCodeSetAscii = 2;
constexpr uint8_t kDesignatorT10VendorId = 1;

int g_timeout_ticks = kDefaultTimeoutTicks;

struct Answer {
  bool good;
  Sense sense;
  size_t length;
};

Answer Good(size_t length) { return Answer{true, {}, length}; }
Answer Check(const Sense& sense) { return Answer{false, sense, 0}; }

// The serial number of drive `drive`: its library's, or for the single
// drive one drawn from the image's path.
void SerialOf(int drive, char (&serial)[kSerialLength + 1]) {
  if (InLibrary() && LibraryDriveSerial(drive, serial)) return;
  FormatSerial(UnitOfImage(g_config.image), 0, serial);
}

// The T10 vendor identification designator: vendor, product and serial,
// byte for byte what the changer reports for this drive with DVCID.
void PutDesignator(Writer* w, const char* serial) {
  constexpr unsigned kLength = 8 + 16 + kSerialLength;
  w->Byte(kCodeSetAscii);
  w->Byte(kDesignatorT10VendorId);
  w->Byte(0);
  w->Byte(kLength);
  w->Text(kDriveVendor, 8);
  w->Text(kDriveProduct, 16);
  w->Text(serial, kSerialLength);
}

Answer Inquiry(int drive, const uint8_t* cdb, uint8_t* data, size_t cap) {
  size_t allocation = Be16(cdb + 3);
  bool evpd = (cdb[1] & 0x01) != 0;
  // CMDDT, obsolete, and a page without EVPD are refused.
  if ((cdb[1] & 0x02) != 0 || (!evpd && cdb[2] != 0)) return Check(scsi::kInvalidFieldInCdb);
  Writer w(data, cap < allocation ? cap : allocation);
  if (!evpd) {
    scsi::PutStandardInquiry(&w, kPeripheralTypeTape, kDriveVendor, kDriveProduct, kDriveRevision);
    return Good(w.written());
  }
  char serial[kSerialLength + 1];
  SerialOf(drive, serial);
  w.Byte(kPeripheralTypeTape);
  w.Byte(cdb[2]);
  switch (cdb[2]) {
    case kSupportedPages:
      w.U16(3);
      w.Byte(kSupportedPages);
      w.Byte(kUnitSerialNumber);
      w.Byte(kDeviceIdentification);
      break;
    case kUnitSerialNumber:
      w.U16(kSerialLength);
      w.Text(serial, kSerialLength);
      break;
    case kDeviceIdentification:
      w.U16(4 + 8 + 16 + kSerialLength);
      PutDesignator(&w, serial);
      break;
    default: return Check(scsi::kInvalidFieldInCdb);
  }
  return Good(w.written());
}

// The length of a CDB by its operation code's group (SPC-4 4.2.5.1).
size_t CdbLength(uint8_t opcode) {
  constexpr size_t kByGroup[] = {6, 10, 10, 0, 16, 12, 0, 0};
  return kByGroup[opcode >> 5];
}

Answer Execute(int drive, const uint8_t* cdb, size_t cdb_length, uint8_t* data, size_t cap) {
  size_t needed = CdbLength(cdb[0]);
  if (needed == 0) return Check(scsi::kInvalidOpcode);
  if (cdb_length < needed) return Check(scsi::kInvalidFieldInCdb);
  switch (cdb[0]) {
    case kInquiry: return Inquiry(drive, cdb, data, cap);
    default: return Check(scsi::kInvalidOpcode);
  }
}

long ScsiCommand(int drive, sg_io_hdr_t* io) {
  SgCommand command;
  long r = BeginSgIo(io, SgDriver::kTape, &command);
  if (r != 0) return r;
  Answer answer = Execute(drive, command.cdb, command.cdb_length, command.data, command.cap);
  EndSgIo(io, command, answer.good, answer.sense, answer.length);
  return 0;
}

long PutInt(void* arg, int value) {
  if (arg == nullptr) return -EFAULT;
  memcpy(arg, &value, sizeof value);
  return 0;
}

}  // namespace

bool IsScsiRequest(unsigned long request) {
  switch (request) {
    case SG_IO:
    case SG_GET_VERSION_NUM:
    case SG_SET_TIMEOUT:
    case SG_GET_TIMEOUT:
    case SCSI_IOCTL_GET_IDLUN:
    case SCSI_IOCTL_GET_BUS_NUMBER: return true;
    default: return false;
  }
}

long DriveScsiIoctl(int drive, unsigned long request, void* arg) {
  switch (request) {
    case SG_IO: return ScsiCommand(drive, static_cast<sg_io_hdr_t*>(arg));
    case SG_GET_VERSION_NUM: return PutInt(arg, kBlockSgVersion);
    case SG_SET_TIMEOUT:
      if (arg == nullptr) return -EFAULT;
      memcpy(&g_timeout_ticks, arg, sizeof g_timeout_ticks);
      return 0;
    case SG_GET_TIMEOUT: return g_timeout_ticks;
    case SCSI_IOCTL_GET_IDLUN: {
      // Target 0, LUN 0 on host 0, as the changer: tools put the LUN into
      // their commands.
      if (arg == nullptr) return -EFAULT;
      const int idlun[2] = {0, 0};
      memcpy(arg, idlun, sizeof idlun);
      return 0;
    }
    case SCSI_IOCTL_GET_BUS_NUMBER: return PutInt(arg, 0);
    default: return -ENOTTY;
  }
}

}  // namespace vtape::preload
