// The vtape command's library side: creating a library folder, listing it,
// and the options and environment of `vtape run LIBDIR`.
#ifndef VTAPE_LIBRARY_COMMAND_H_
#define VTAPE_LIBRARY_COMMAND_H_

#include <string>
#include <utility>
#include <vector>

namespace vtape::library {

/// True when `create`'s arguments ask for a library (--slots or --drives).
bool AsksForLibrary(int argc, char** argv);

/// vtape create LIBDIR --slots N [--drives D] [--drive-devices N,...]
///   [--barcodes FIRST|LIST] [--empty SLOTS] [--copy IMAGE]...
int CreateLibrary(int argc, char** argv);

/// vtape list LIBDIR: the drives and slots, each tape's first label record.
int ListLibrary(const char* dir);

/// True if `path` is a directory holding a library.
bool IsLibrary(const char* path);

/// Environment settings of `vtape run` for a library, as NAME, value.
using Settings = std::vector<std::pair<std::string, std::string>>;

/// Takes the library option at argv[*i] (and its value), adding its
/// setting; false if argv[*i] is no library option. A bad value is fatal.
bool TakeRunOption(int argc, char** argv, int* i, Settings* settings);

/// Every variable TakeRunOption can set, so an outer run's do not leak.
std::vector<const char*> RunVariables();

/// The settings that put the library in `dir` in place, its changer named
/// by the settings (default /dev/sch0): VTAPE_LIBRARY, VTAPE_CHANGER and
/// the CHANGER and TAPE variables mtx and mt read.
Settings LibraryEnvironment(const char* dir, const Settings& options);

}  // namespace vtape::library

#endif  // VTAPE_LIBRARY_COMMAND_H_
