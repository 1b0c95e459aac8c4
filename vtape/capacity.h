// The tape's capacity, kept beside its image (IMAGE.vtsize) by vtape create
// and read by the drive when it opens the tape.
#ifndef VTAPE_CAPACITY_H_
#define VTAPE_CAPACITY_H_

#include <cstdint>

namespace vtape {

/// Gives the tape `name` (relative to `dir_fd`) a capacity of `bytes`, or
/// none (no end) when `bytes` is 0. False with errno set on failure.
bool SetCapacity(int dir_fd, const char* name, uint64_t bytes);

}  // namespace vtape

#endif  // VTAPE_CAPACITY_H_
