// The position record: where the tape is, kept beside the image so that the
// next open, in any process, finds the tape where the last one left it.
#ifndef VTAPE_PRELOAD_POSITION_H_
#define VTAPE_PRELOAD_POSITION_H_

#include <sys/types.h>

namespace vtape::preload {

/// The offset recorded for the image open on `image_fd`, if the record
/// describes this very image (same size, inode and modification time). The
/// caller still checks that it falls on a record boundary.
bool LoadPosition(const char* image, int image_fd, off_t* offset);

/// Records `offset` as the tape's position in the image open on `image_fd`.
void SavePosition(const char* image, int image_fd, off_t offset);

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_POSITION_H_
