#include "preload/scsi/drive_scsi.h"

#include <scsi/scsi.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

#include "drive_identity.h"
#include "scsi.h"
#include "preload/core/config.h"
#include "preload/core/drives.h"
#include "preload/core/lock.h"
#include "preload/descriptors/descriptors.h"
#include "preload/library/library.h"
#include "preload/scsi/sg_io.h"
#include "preload/st/tape.h"

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
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kReadBlockLimits = 0x05;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kReadPosition = 0x34;
constexpr uint8_t kLogSense = 0x4D;
constexpr uint8_t kModeSense10 = 0x5A;

constexpr Sense kMediumNotPresent = {scsi::kNotReady, 0x3A, 0x00};
// The drive cannot learn its own identity: the library's state is damaged.
constexpr Sense kInternalFailure = {scsi::kHardwareError, 0x44, 0x00};

// Mode pages (SSC-3 8.3). A drive without partitions has no medium
// partition page, as the changer target's drive has none.
constexpr uint8_t kDataCompressionPage = 0x0F;
constexpr uint8_t kDeviceConfigurationPage = 0x10;
constexpr uint8_t kPageLength = 0x0E;
constexpr uint8_t kAllPages = 0x3F;
constexpr size_t kBlockDescriptor = 8;

// Log pages: the list, and TapeAlert with its 64 flags, none raised.
constexpr uint8_t kSupportedLogPages = 0x00;
constexpr uint8_t kTapeAlertPage = 0x2E;
constexpr unsigned kTapeAlertFlags = 64;

// Vital product data pages.
constexpr uint8_t kSupportedPages = 0x00;
constexpr uint8_t kUnitSerialNumber = 0x80;
constexpr uint8_t kDeviceIdentification = 0x83;

constexpr uint8_t kCodeSetAscii = 2;
constexpr uint8_t kDesignatorT10VendorId = 1;

// The SG_IO timeout a program set, which the block layer keeps for each
// device.
struct SgTimeout {
  int ticks = kDefaultTimeoutTicks;
};
SgTimeout g_timeouts[kMaxDrives];

struct Answer {
  bool good;
  Sense sense;
  size_t length;
};

Answer Good(size_t length) { return Answer{true, {}, length}; }
Answer Check(const Sense& sense) { return Answer{false, sense, 0}; }

// The serial number of drive `drive`: its library's, or for the single
// drive one drawn from the image's path. False when the library's state
// cannot be read.
bool SerialOf(int drive, char (&serial)[kSerialLength + 1]) {
  if (InLibrary()) return LibraryDriveSerial(drive, serial);
  FormatSerial(UnitOfImage(g_config.image), 0, serial);
  return true;
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
  if (!SerialOf(drive, serial)) return Check(kInternalFailure);
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

// The block limits, block size, density and compression in force, and
// whether a tape is there and protected.
DriveParameters ParametersOf(int drive) {
  Locked lock;
  return CurrentParameters(DriveHeld(drive));
}

// The logical object the tape is at; -ENOMEDIUM without a tape.
long RecordsBefore(int drive) {
  Locked lock;
  return TapeRecords(DriveHeld(drive));
}

Answer TestUnitReady(const DriveParameters& p) { return p.loaded ? Good(0) : Check(kMediumNotPresent); }

// Every error went back with its command, so what is left to report is the
// drive's state: no sense, or no tape.
Answer RequestSense(const DriveParameters& p, const uint8_t* cdb, uint8_t* data, size_t cap) {
  uint8_t sense[18];
  size_t length = scsi::FixedSense(p.loaded ? Sense{} : kMediumNotPresent, sense, sizeof sense);
  if (length > cdb[4]) length = cdb[4];
  if (length > cap) length = cap;
  if (length > 0) memcpy(data, sense, length);
  return Good(length);
}

Answer ReadBlockLimits(const DriveParameters& p, const uint8_t* cdb, uint8_t* data, size_t cap) {
  if ((cdb[1] & 0x01) != 0) return Check(scsi::kInvalidFieldInCdb);  // MLOI: not kept
  Writer w(data, cap);
  w.Byte(0);  // granularity
  w.U24(static_cast<unsigned>(p.max_block));
  w.U16(static_cast<unsigned>(p.min_block));
  return Good(w.written());
}

// A mode page with its two-byte header. Both pages are all zero, current
// and changeable values alike: data compression because the drive stores
// data as written (as the changer target's drive answers), device
// configuration because one partition, no write delay, end of data defined
// by the format and no separate early warning are its zeros.
void PutModePage(Writer* w, uint8_t page) {
  w->Byte(page);
  w->Byte(kPageLength);
  w->Zeros(kPageLength);
}

// MODE SENSE (6) and (10): the header (write protection, buffered mode),
// the block descriptor (density, block size) unless DBD, and the page asked
// for, or all of them.
Answer ModeSense(const DriveParameters& p, const uint8_t* cdb, uint8_t* data, size_t cap) {
  bool ten = cdb[0] == kModeSense10;
  bool dbd = (cdb[1] & 0x08) != 0;
  unsigned control = cdb[2] >> 6;
  unsigned page = cdb[2] & 0x3F;
  size_t allocation = ten ? Be16(cdb + 7) : cdb[4];
  bool all = page == kAllPages;
  if (control == 3) return Check(scsi::kSavingNotSupported);
  if (cdb[3] != 0 || (!all && (page < kDataCompressionPage || page > kDeviceConfigurationPage))) {
    return Check(scsi::kInvalidFieldInCdb);
  }
  bool changeable = control == 1;
  uint8_t pages[64];
  Writer page_writer(pages, sizeof pages);
  for (uint8_t pg = kDataCompressionPage; pg <= kDeviceConfigurationPage; ++pg) {
    if (all || pg == page) PutModePage(&page_writer, pg);
  }
  size_t descriptor = dbd ? 0 : kBlockDescriptor;
  size_t length = (ten ? 8 : 4) + descriptor + page_writer.written();
  unsigned specific = changeable ? 0 : (p.write_protected ? 0x80 : 0) | (p.drive_buffer & 7) << 4;
  Writer w(data, cap < allocation ? cap : allocation);
  if (ten) {
    w.U16(static_cast<unsigned>(length - 2));
    w.Byte(0);  // medium type
    w.Byte(specific);
    w.Zeros(2);
    w.U16(static_cast<unsigned>(descriptor));
  } else {
    w.Byte(static_cast<unsigned>(length - 1));
    w.Byte(0);
    w.Byte(specific);
    w.Byte(static_cast<unsigned>(descriptor));
  }
  if (!dbd) {
    w.Byte(changeable ? 0 : static_cast<unsigned>(p.density));
    w.U24(0);  // number of blocks: the rest of the tape
    w.Byte(0);
    w.U24(changeable ? 0xFFFFFF : static_cast<unsigned>(p.block_size));
  }
  for (size_t i = 0; i < page_writer.written(); ++i) w.Byte(pages[i]);
  return Good(w.written());
}

// LOG SENSE as far as tapeinfo and sg_logs go: the list of pages and
// TapeAlert, whose flags a sound drive leaves all clear.
Answer LogSense(const uint8_t* cdb, uint8_t* data, size_t cap) {
  unsigned page = cdb[2] & 0x3F;
  size_t allocation = Be16(cdb + 7);
  if ((cdb[1] & 0x03) != 0 || cdb[3] != 0) return Check(scsi::kInvalidFieldInCdb);  // PPC, SP, subpages
  Writer w(data, cap < allocation ? cap : allocation);
  w.Byte(page);
  w.Byte(0);
  if (page == kSupportedLogPages) {
    w.U16(2);
    w.Byte(kSupportedLogPages);
    w.Byte(kTapeAlertPage);
  } else if (page == kTapeAlertPage) {
    constexpr unsigned kBinaryList = 0x01;
    w.U16(kTapeAlertFlags * 5);
    for (unsigned flag = 1; flag <= kTapeAlertFlags; ++flag) {
      w.U16(flag);
      w.Byte(kBinaryList);
      w.Byte(1);
      w.Byte(0);
    }
  } else {
    return Check(scsi::kInvalidFieldInCdb);
  }
  return Good(w.written());
}

// READ POSITION, short form: the logical object (blocks and tape marks)
// the tape is at, as MTIOCPOS counts it.
Answer ReadPosition(int drive, const DriveParameters& p, const uint8_t* cdb, uint8_t* data, size_t cap) {
  unsigned action = cdb[1] & 0x1F;
  if (action > 1) return Check(scsi::kInvalidFieldInCdb);
  long records = p.loaded ? RecordsBefore(drive) : -ENOMEDIUM;
  if (records < 0) return Check(kMediumNotPresent);
  constexpr unsigned kBop = 0x80;
  unsigned object = static_cast<unsigned>(records);
  Writer w(data, cap);
  w.Byte(object == 0 ? kBop : 0);
  w.Byte(0);  // partition
  w.Zeros(2);
  w.U32(object);  // first logical object location
  w.U32(object);  // last: nothing is buffered
  w.Zeros(8);
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
  if (cdb[0] == kInquiry) return Inquiry(drive, cdb, data, cap);
  DriveParameters p = ParametersOf(drive);
  switch (cdb[0]) {
    case kTestUnitReady: return TestUnitReady(p);
    case kRequestSense: return RequestSense(p, cdb, data, cap);
    case kReadBlockLimits: return ReadBlockLimits(p, cdb, data, cap);
    case kModeSense6:
    case kModeSense10: return ModeSense(p, cdb, data, cap);
    case kLogSense: return LogSense(cdb, data, cap);
    case kReadPosition: return ReadPosition(drive, p, cdb, data, cap);
    default: return Check(scsi::kInvalidOpcode);
  }
}

long PutInt(void* arg, int value) {
  if (arg == nullptr) return -EFAULT;
  memcpy(arg, &value, sizeof value);
  return 0;
}

}  // namespace

long DriveScsiCommand(int drive, SgDriver driver, sg_io_hdr_t* io) {
  SgCommand command;
  long r = BeginSgIo(io, driver, &command);
  if (r != 0) return r;
  Answer answer = Execute(drive, command.cdb, command.cdb_length, command.data, command.cap);
  EndSgIo(io, command, answer.good, answer.sense, answer.length);
  return 0;
}

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
    case SG_IO: return DriveScsiCommand(drive, SgDriver::kTape, static_cast<sg_io_hdr_t*>(arg));
    case SG_GET_VERSION_NUM: return PutInt(arg, kBlockSgVersion);
    case SG_SET_TIMEOUT:
      if (arg == nullptr) return -EFAULT;
      memcpy(&g_timeouts[drive].ticks, arg, sizeof g_timeouts[drive].ticks);
      return 0;
    case SG_GET_TIMEOUT: return g_timeouts[drive].ticks;
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
