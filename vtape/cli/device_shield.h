// The second half of `vtape run`'s safety net: the command runs where the
// real tape, changer and SCSI generic device nodes cannot be opened at all,
// and where no file can be made at a drive's name, so a program the drive
// misses (a raw system call, a static program) meets an absent device or an
// error instead of a real device or a file of the machine.
#ifndef VTAPE_CLI_DEVICE_SHIELD_H_
#define VTAPE_CLI_DEVICE_SHIELD_H_

#include <string>
#include <vector>

namespace vtape::cli {

/// What became of the machine's tape devices and the drives' names.
enum class Shield { kHidden, kNotHidden };

/// Moves this process into a mount namespace of its own (inside a user
/// namespace of its own unless it runs as root) where /dev is read-only,
/// and every character device node of the st, osst, sch or sg drivers
/// under /dev, in any of its folders, every one in /dev/bsg, and whatever
/// stands at one of `names` (the drives' and the changer's) elsewhere, is
/// covered by a socket, which open() answers with ENXIO. Changes nothing
/// when the machine does not allow the namespaces, and then says why in
/// `*why` and which nodes stay in sight in `*nodes`.
Shield HideRealDevices(const std::vector<std::string>& names, std::string* nodes, std::string* why);

}  // namespace vtape::cli

#endif  // VTAPE_CLI_DEVICE_SHIELD_H_
