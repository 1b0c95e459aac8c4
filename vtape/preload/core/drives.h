// How many drives one process serves.
#ifndef VTAPE_PRELOAD_CORE_DRIVES_H_
#define VTAPE_PRELOAD_CORE_DRIVES_H_

namespace vtape::preload {

/// Drives a process can serve: one, or those of a library.
inline constexpr int kMaxDrives = 8;

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_CORE_DRIVES_H_
