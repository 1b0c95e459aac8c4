// The second half of `vtape run`'s safety net: on a machine with tape
// hardware, the command runs where the real tape, changer and SCSI generic
// device nodes cannot be opened at all, so a program the drive misses meets
// an absent device instead of a real one.
#ifndef VTAPE_CLI_DEVICE_SHIELD_H_
#define VTAPE_CLI_DEVICE_SHIELD_H_

#include <string>

namespace vtape::cli {

/// What became of the machine's tape devices.
enum class Shield { kNoDevices, kHidden, kNotHidden };

/// Moves this process into a mount namespace of its own (inside a user
/// namespace of its own unless it runs as root) where every character
/// device node of the st, osst, sch or sg drivers under /dev, in any of its
/// folders, and every one in /dev/bsg, is covered by a socket, which open()
/// answers with ENXIO. Does nothing when there is no such node; changes
/// nothing when the machine does not allow the namespaces, and then says
/// why in `*why` and which nodes stay in sight in `*nodes`.
Shield HideRealDevices(std::string* nodes, std::string* why);

}  // namespace vtape::cli

#endif  // VTAPE_CLI_DEVICE_SHIELD_H_
