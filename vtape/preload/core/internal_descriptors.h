// The library's own descriptors (images, records, the library folder),
// kept apart from the numbers the program expects and out of its
// close_range and closefrom.
#ifndef VTAPE_PRELOAD_CORE_INTERNAL_DESCRIPTORS_H_
#define VTAPE_PRELOAD_CORE_INTERNAL_DESCRIPTORS_H_

namespace vtape::preload {

inline constexpr int kMaxInternal = 64;

/// Moves an internal descriptor out of the low numbers the program expects,
/// and keeps it out of the program's close_range and closefrom.
int MoveHigh(int fd);

/// Remembers `fd` as one of the library's own, where it already stands.
void KeepInternal(int fd);

/// The library's own descriptors in [first, last], in ascending order, in
/// `out` (room for kMaxInternal); returns how many.
int InternalIn(unsigned first, unsigned last, int* out);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_CORE_INTERNAL_DESCRIPTORS_H_
