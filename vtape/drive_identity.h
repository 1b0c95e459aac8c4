// Who the virtual drives say they are: the vendor and product of INQUIRY,
// and the unit serial number that a program matches between a tape device
// (VPD page 80h) and the changer's drive element (READ ELEMENT STATUS with
// DVCID), to learn which device is which drive.
#ifndef VTAPE_DRIVE_IDENTITY_H_
#define VTAPE_DRIVE_IDENTITY_H_

#include <cstddef>
#include <cstdint>

namespace vtape {

inline constexpr char kDriveVendor[] = "VTAPE";
inline constexpr char kDriveProduct[] = "VIRTUAL-TAPE";
inline constexpr char kDriveRevision[] = "0001";

/// A unit serial number has exactly this many characters, A-Z and 0-9: the
/// serial field of the changer's device identifier is 10 bytes wide.
inline constexpr size_t kSerialLength = 10;

/// "VT", the six hex digits of `unit` (a number drawn for each library when
/// it is made) and the drive's two-digit index: VT5C09E301 is drive 1 of
/// library 5C09E3.
void FormatSerial(uint32_t unit, int drive, char (&out)[kSerialLength + 1]);

/// The unit number of the single drive of `vtape run IMAGE`, from the
/// image's absolute path, so the same image gets the same serial each run.
uint32_t UnitOfImage(const char* path);

/// True for kSerialLength characters from A-Z and 0-9.
bool ValidSerial(const char* text);

}  // namespace vtape

#endif  // VTAPE_DRIVE_IDENTITY_H_
