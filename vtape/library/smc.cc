#include "library/smc.h"

#include <cstring>

#include "drive_identity.h"

namespace vtape::library {

namespace {

using scsi::Be16;
using scsi::Be24;
using scsi::FixedSense;
using scsi::kHardwareError;
using scsi::kIllegalRequest;
using scsi::kInvalidFieldInCdb;
using scsi::kInvalidOpcode;
using scsi::kNoSense;
using scsi::kSavingNotSupported;
using scsi::Writer;

// Operation codes (SPC-4, SMC-3).
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kInitializeElementStatus = 0x07;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kReserve6 = 0x16;
constexpr uint8_t kRelease6 = 0x17;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
constexpr uint8_t kPositionToElement = 0x2B;
constexpr uint8_t kInitializeElementStatusWithRange = 0x37;
constexpr uint8_t kModeSense10 = 0x5A;
constexpr uint8_t kMoveMedium = 0xA5;
constexpr uint8_t kReadElementStatus = 0xB8;

constexpr uint8_t kElementAddressAssignmentPage = 0x1D;
constexpr uint8_t kSupportedPages = 0x00;
constexpr uint8_t kUnitSerialPage = 0x80;
constexpr uint8_t kAllPages = 0x3F;

constexpr uint8_t kPeripheralTypeChanger = 0x08;
constexpr char kVendor[] = "VTAPE   ";
constexpr char kProduct[] = "VIRTUAL-CHANGER ";
constexpr char kRevision[] = "0001";

// Element descriptor bytes: the fixed part, one volume tag, the header of
// the device identifier and, when DVCID asks for it, the identifier: a T10
// vendor identification of the drive (vendor, product, serial), the same
// as the drive's own in its VPD page 83h. As the changer target does, every
// descriptor has room for it; other elements leave it zero.
constexpr size_t kDescriptorBase = 12;
constexpr size_t kVolumeTag = 36;
constexpr size_t kIdentifierHeader = 4;
constexpr size_t kIdentifier = 8 + 16 + kSerialLength;
constexpr size_t kPageHeader = 8;
constexpr uint8_t kCodeSetAscii = 2;
constexpr uint8_t kIdentifierT10VendorId = 1;

// Additional sense codes.
constexpr Sense kInvalidElement = {kIllegalRequest, 0x21, 0x01};
constexpr Sense kSourceEmpty = {kIllegalRequest, 0x3B, 0x0E};
constexpr Sense kDestinationFull = {kIllegalRequest, 0x3B, 0x0D};
constexpr Sense kRemovalPrevented = {kIllegalRequest, 0x53, 0x02};
// The changer target answers a drive that fails to load with the same
// mechanical positioning error as a robot that cannot move.
constexpr Sense kMechanicalPositioningError = {kHardwareError, 0x15, 0x01};

Reply Good(size_t length = 0) { return Reply{true, {}, length, false, false, 0, 0}; }
Reply Check(const Sense& sense) { return Reply{false, sense, 0, false, false, 0, 0}; }

int DriveAddress(int index) { return kFirstDriveAddress + index; }
int SlotAddress(int index) { return kFirstSlotAddress + index; }

// The cartridge an element holds; the picker never holds one between moves.
Place* PlaceAt(State* s, ElementType type, int index) {
  if (type == ElementType::kSlot) return &s->slots[index];
  if (type == ElementType::kDrive) return &s->drives[index].tape;
  return nullptr;
}

// Every element address in ascending order, one at a time.
int NextAddress(const State& s, int after) {
  int candidates[] = {kPickerAddress, DriveAddress(0), SlotAddress(0)};
  int best = -1;
  for (int first : candidates) {
    int index;
    int a = after < first ? first : after + 1;
    if (ElementAt(s, a, &index) != ElementType::kNone && (best < 0 || a < best)) best = a;
  }
  return best;
}

// The primary volume tag: the barcode padded with spaces, all spaces for an
// empty element (as the changer target answers, so mtx shows an empty
// "VolumeTag="), and nothing at all for a label the reader cannot read.
void PutVolumeTag(Writer* w, const Place& place, const Faults& faults) {
  if (InList(faults.unreadable, place.barcode)) {
    w->Zeros(kVolumeTag);
    return;
  }
  w->Text(place.barcode, 32);
  w->Zeros(4);  // reserved, and a volume sequence number of 0
}

// The drive's identifier after the header that gives its length.
void PutDeviceIdentifier(Writer* w, const DriveState* drive) {
  if (drive == nullptr) {
    w->Zeros(kIdentifierHeader + kIdentifier);
    return;
  }
  w->Byte(kCodeSetAscii);
  w->Byte(kIdentifierT10VendorId);
  w->Byte(0);
  w->Byte(kIdentifier);
  w->Text(kDriveVendor, 8);
  w->Text(kDriveProduct, 16);
  w->Text(drive->serial, kSerialLength);
}

size_t DescriptorLength(bool voltag, bool dvcid) {
  return kDescriptorBase + (voltag ? kVolumeTag : 0) + kIdentifierHeader + (dvcid ? kIdentifier : 0);
}

void PutDescriptor(Writer* w, const State& s, const Faults& faults, int address, bool voltag, bool dvcid) {
  int index = -1;
  ElementType type = ElementAt(s, address, &index);
  static const Place kEmpty = {};
  const Place& place = type == ElementType::kSlot   ? s.slots[index]
                       : type == ElementType::kDrive ? s.drives[index].tape
                                                      : kEmpty;
  bool full = place.barcode[0] != '\0';
  constexpr unsigned kFull = 0x01, kAccess = 0x08, kSourceValid = 0x80;
  w->U16(static_cast<unsigned>(address));
  w->Byte((full ? kFull : 0) | (type == ElementType::kPicker ? 0 : kAccess));
  w->Zeros(3);  // reserved, additional sense code and qualifier
  w->Zeros(3);  // bus address fields of a drive, unused
  int source = type == ElementType::kDrive && full ? s.drives[index].source : -1;
  w->Byte(source >= 0 ? kSourceValid : 0);
  w->U16(source >= 0 ? static_cast<unsigned>(SlotAddress(source)) : 0);
  if (voltag) PutVolumeTag(w, place, faults);
  if (dvcid) {
    PutDeviceIdentifier(w, type == ElementType::kDrive ? &s.drives[index] : nullptr);
  } else {
    w->Zeros(kIdentifierHeader);
  }
}

// READ ELEMENT STATUS: the elements of the asked type at or above the start
// address, in address order, one status page per run of the same type.
Reply ReadElementStatus(const State& s, const Faults& faults, const uint8_t* cdb, uint8_t* data, size_t cap) {
  bool voltag = (cdb[1] & 0x10) != 0;
  bool dvcid = (cdb[6] & 0x01) != 0;
  unsigned wanted_type = cdb[1] & 0x0F;
  unsigned start = Be16(cdb + 2);
  unsigned count = Be16(cdb + 4);
  size_t allocation = Be24(cdb + 7);
  if (wanted_type > static_cast<unsigned>(ElementType::kDrive)) return Check(kInvalidFieldInCdb);
  int chosen[1 + kMaxDrives + kMaxSlots];
  int n = 0;
  for (int a = NextAddress(s, static_cast<int>(start) - 1); a >= 0 && static_cast<unsigned>(n) < count;
       a = NextAddress(s, a)) {
    int index;
    ElementType type = ElementAt(s, a, &index);
    if (wanted_type == 0 || static_cast<unsigned>(type) == wanted_type) chosen[n++] = a;
  }
  if (n == 0 && count > 0) return Check(kInvalidElement);
  size_t descriptor = DescriptorLength(voltag, dvcid);
  int pages = 0;
  for (int i = 0; i < n; ++i) {
    int ia, ib;
    if (i == 0 || ElementAt(s, chosen[i], &ia) != ElementAt(s, chosen[i - 1], &ib)) ++pages;
  }
  Writer w(data, cap < allocation ? cap : allocation);
  w.U16(n > 0 ? static_cast<unsigned>(chosen[0]) : start);
  w.U16(static_cast<unsigned>(n));
  w.Byte(0);
  w.U24(static_cast<unsigned>(pages * kPageHeader + n * descriptor));
  for (int i = 0; i < n;) {
    int index;
    ElementType type = ElementAt(s, chosen[i], &index);
    int run = 1;
    while (i + run < n && ElementAt(s, chosen[i + run], &index) == type) ++run;
    w.Byte(static_cast<unsigned>(type));
    w.Byte(voltag ? 0x80 : 0);
    w.U16(static_cast<unsigned>(descriptor));
    w.Byte(0);
    w.U24(static_cast<unsigned>(run * descriptor));
    for (int k = 0; k < run; ++k) PutDescriptor(&w, s, faults, chosen[i + k], voltag, dvcid);
    i += run;
  }
  return Good(w.written());
}

// MOVE MEDIUM, refused the way a changer refuses: an address that is no
// element, an empty source, a full destination, a drive whose removal was
// prevented; then the hardware faults of the run.
Reply MoveMedium(State* s, const Faults& faults, const uint8_t* cdb) {
  int transport = static_cast<int>(Be16(cdb + 2));
  int from = static_cast<int>(Be16(cdb + 4));
  int to = static_cast<int>(Be16(cdb + 6));
  if ((cdb[10] & 0x01) != 0) return Check(kInvalidFieldInCdb);  // single-sided media
  int from_index = -1, to_index = -1, picker_index = -1;
  ElementType from_type = ElementAt(*s, from, &from_index);
  ElementType to_type = ElementAt(*s, to, &to_index);
  if ((transport != 0 && ElementAt(*s, transport, &picker_index) != ElementType::kPicker) ||
      from_type == ElementType::kNone || to_type == ElementType::kNone) {
    return Check(kInvalidElement);
  }
  Place* source = PlaceAt(s, from_type, from_index);
  if (source == nullptr || source->barcode[0] == '\0') return Check(kSourceEmpty);
  Place* destination = PlaceAt(s, to_type, to_index);
  if (destination == nullptr) return Check(kInvalidElement);
  if (destination->barcode[0] != '\0') return Check(kDestinationFull);
  if (from_type == ElementType::kDrive && s->drives[from_index].locked) return Check(kRemovalPrevented);
  if (InList(faults.stuck, source->barcode)) return Check(kMechanicalPositioningError);
  if (to_type == ElementType::kDrive && (faults.failing_drives >> to_index & 1u) != 0) return Check(kMechanicalPositioningError);

  int origin = from_type == ElementType::kSlot ? from_index : s->drives[from_index].source;
  *destination = *source;
  source->barcode[0] = '\0';
  if (from_type == ElementType::kDrive) s->drives[from_index].source = -1;
  if (to_type == ElementType::kDrive) s->drives[to_index].source = origin;
  Reply r = Good();
  r.changed = true;
  r.moved = true;
  r.from = from;
  r.to = to;
  return r;
}

// Vital product data: the list of supported pages and the unit serial
// number.
Reply VitalProductData(const State& s, uint8_t page, Writer* w) {
  char serial[kSerialLength + 1];
  ChangerSerial(s, serial);
  if (page != kSupportedPages && (page != kUnitSerialPage || serial[0] == '\0')) return Check(kInvalidFieldInCdb);
  w->Byte(kPeripheralTypeChanger);
  w->Byte(page);
  if (page == kSupportedPages) {
    w->U16(serial[0] == '\0' ? 1 : 2);
    w->Byte(kSupportedPages);
    if (serial[0] != '\0') w->Byte(kUnitSerialPage);
  } else {
    w->U16(kSerialLength);
    w->Text(serial, kSerialLength);
  }
  return Good(w->written());
}

Reply Inquiry(const State& s, const uint8_t* cdb, uint8_t* data, size_t cap) {
  size_t allocation = Be16(cdb + 3);
  Writer w(data, cap < allocation ? cap : allocation);
  if ((cdb[1] & 0x01) != 0) return VitalProductData(s, cdb[2], &w);
  if (cdb[2] != 0) return Check(kInvalidFieldInCdb);
  scsi::PutStandardInquiry(&w, kPeripheralTypeChanger, kVendor, kProduct, kRevision);
  return Good(w.written());
}

// The element address assignment page: where each kind of element starts
// and how many there are.
void PutAssignmentPage(Writer* w, const State& s, bool changeable) {
  auto field = [&](unsigned v) { w->U16(changeable ? 0 : v); };
  w->Byte(kElementAddressAssignmentPage);
  w->Byte(0x12);
  field(kPickerAddress);
  field(1);
  field(kFirstSlotAddress);
  field(static_cast<unsigned>(s.slot_count));
  field(0);  // no import/export elements
  field(0);
  field(kFirstDriveAddress);
  field(static_cast<unsigned>(s.drive_count));
  w->Zeros(2);
}

Reply ModeSense(const State& s, const uint8_t* cdb, uint8_t* data, size_t cap, bool ten) {
  unsigned control = cdb[2] >> 6;
  unsigned page = cdb[2] & 0x3F;
  size_t allocation = ten ? Be16(cdb + 7) : cdb[4];
  if (page != kElementAddressAssignmentPage && page != kAllPages) return Check(kInvalidFieldInCdb);
  if (control == 3) return Check(kSavingNotSupported);
  constexpr unsigned kPageLength = 20;
  Writer w(data, cap < allocation ? cap : allocation);
  if (ten) {
    w.U16(6 + kPageLength);
    w.Zeros(6);
  } else {
    w.Byte(3 + kPageLength);
    w.Zeros(3);
  }
  PutAssignmentPage(&w, s, control == 1);
  return Good(w.written());
}

Reply RequestSense(const uint8_t* cdb, uint8_t* data, size_t cap) {
  size_t allocation = cdb[4];
  uint8_t sense[18];
  size_t length = FixedSense(Sense{kNoSense, 0, 0}, sense, sizeof sense);
  if (length > allocation) length = allocation;
  if (length > cap) length = cap;
  if (length > 0) memcpy(data, sense, length);
  return Good(length);
}

// Commands that name one element check that it exists.
Reply CheckElement(const State& s, unsigned address) {
  int index;
  if (ElementAt(s, static_cast<int>(address), &index) == ElementType::kNone) return Check(kInvalidElement);
  return Good();
}

}  // namespace

ElementType ElementAt(const State& s, int address, int* index) {
  if (address == kPickerAddress) {
    *index = 0;
    return ElementType::kPicker;
  }
  if (address >= kFirstDriveAddress && address < kFirstDriveAddress + s.drive_count) {
    *index = address - kFirstDriveAddress;
    return ElementType::kDrive;
  }
  if (address >= kFirstSlotAddress && address < kFirstSlotAddress + s.slot_count) {
    *index = address - kFirstSlotAddress;
    return ElementType::kSlot;
  }
  *index = -1;
  return ElementType::kNone;
}

bool InList(const char* list, const char* barcode) {
  if (list == nullptr || barcode[0] == '\0') return false;
  size_t n = strlen(barcode);
  for (const char* p = list; *p != '\0';) {
    const char* comma = strchr(p, ',');
    size_t len = comma != nullptr ? static_cast<size_t>(comma - p) : strlen(p);
    if (len == n && strncmp(p, barcode, n) == 0) return true;
    if (comma == nullptr) break;
    p = comma + 1;
  }
  return false;
}

Reply Execute(State* state, const Faults& faults, const uint8_t* cdb, size_t cdb_length, uint8_t* data,
              size_t cap) {
  static constexpr struct {
    uint8_t opcode;
    size_t length;
  } kLengths[] = {
      {kTestUnitReady, 6},   {kRequestSense, 6},       {kInitializeElementStatus, 6},
      {kInquiry, 6},         {kReserve6, 6},
      {kRelease6, 6},        {kModeSense6, 6},         {kPreventAllowMediumRemoval, 6},
      {kPositionToElement, 10}, {kInitializeElementStatusWithRange, 10}, {kModeSense10, 10},
      {kMoveMedium, 12},     {kReadElementStatus, 12},
  };
  if (cdb_length == 0) return Check(kInvalidOpcode);
  size_t needed = 0;
  for (const auto& entry : kLengths) {
    if (entry.opcode == cdb[0]) needed = entry.length;
  }
  if (needed == 0) return Check(kInvalidOpcode);
  if (cdb_length < needed) return Check(kInvalidFieldInCdb);
  switch (cdb[0]) {
    case kTestUnitReady:
    case kInitializeElementStatus:
    case kInitializeElementStatusWithRange:
    case kReserve6:
    case kRelease6:
      // The library always knows where its cartridges are: an inventory
      // finds nothing new.
      return Good();
    case kRequestSense:
      return RequestSense(cdb, data, cap);
    case kInquiry:
      return Inquiry(*state, cdb, data, cap);
    case kModeSense6:
      return ModeSense(*state, cdb, data, cap, false);
    case kModeSense10:
      return ModeSense(*state, cdb, data, cap, true);
    case kPreventAllowMediumRemoval: {
      bool prevent = (cdb[4] & 0x03) != 0;
      Reply r = Good();
      r.changed = prevent != state->prevent_removal;
      state->prevent_removal = prevent;
      return r;
    }
    case kPositionToElement:
      return CheckElement(*state, Be16(cdb + 4));
    case kMoveMedium:
      return MoveMedium(state, faults, cdb);
    case kReadElementStatus:
      return ReadElementStatus(*state, faults, cdb, data, cap);
    default:
      return Check(kInvalidOpcode);
  }
}

}  // namespace vtape::library
