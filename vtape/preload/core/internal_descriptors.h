// The library's own descriptors (images, records, the library folder),
// kept apart from the numbers the program expects and out of its reach:
// its close, dup2, dup3, close_range and closefrom.
#ifndef VTAPE_PRELOAD_CORE_INTERNAL_DESCRIPTORS_H_
#define VTAPE_PRELOAD_CORE_INTERNAL_DESCRIPTORS_H_

namespace vtape::preload {

inline constexpr int kMaxInternal = 64;

/// Moves an internal descriptor to the highest free number below the soft
/// descriptor limit (and 1024), out of the low numbers the program expects
/// and of the ones it names, and keeps it as the library's.
int MoveHigh(int fd);

/// Remembers `fd` as one of the library's own, where it already stands;
/// `home`, where given, is where the library keeps its number, so that it
/// can move when the program takes the number with dup2.
void KeepInternal(int fd, int* home = nullptr);

/// Whether `fd` is one of the library's own: not the program's to close,
/// duplicate or read.
bool IsInternal(int fd);

/// Makes number `fd` free for the program: the library's descriptor there,
/// if any, moves to another number. False when it cannot.
bool MoveAside(int fd);

/// The library's own descriptors in [first, last], in ascending order, in
/// `out` (room for kMaxInternal); returns how many.
int InternalIn(unsigned first, unsigned last, int* out);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_CORE_INTERNAL_DESCRIPTORS_H_
