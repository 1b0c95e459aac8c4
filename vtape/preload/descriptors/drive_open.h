// An open of a drive's st name: st's part, then the descriptor the program
// gets and the open's shared state behind it.
#ifndef VTAPE_PRELOAD_DESCRIPTORS_DRIVE_OPEN_H_
#define VTAPE_PRELOAD_DESCRIPTORS_DRIVE_OPEN_H_

namespace vtape::preload {

/// Opens drive `drive` through its rewinding or non-rewinding name: the part
/// of st_open a drive needs (medium, write protection, exclusive use).
/// Returns the program's new descriptor, or a negative errno.
long OpenTape(int drive, bool rewinding, int flags);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_DESCRIPTORS_DRIVE_OPEN_H_
