// Checks that keep vtape's own opens of an image to regular files: a FIFO
// would block the open or the read, and a device node could be a real drive.
#ifndef VTAPE_CLI_IMAGE_FILE_H_
#define VTAPE_CLI_IMAGE_FILE_H_

namespace vtape::cli {

/// Exits through Fatal unless `path` names a regular file (following
/// symbolic links); a missing file passes when `missing_ok`.
void RefuseUnlessRegular(const char* path, bool missing_ok);
/// The same for the file open on `fd`, named `path` in the message.
void RefuseUnlessRegular(int fd, const char* path);

}  // namespace vtape::cli

#endif  // VTAPE_CLI_IMAGE_FILE_H_
