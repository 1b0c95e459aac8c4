// What the environment asks of the drive and the library, read once at
// start-up into g_config and g_library.
#ifndef VTAPE_PRELOAD_ENTRY_ENVIRONMENT_H_
#define VTAPE_PRELOAD_ENTRY_ENVIRONMENT_H_

namespace vtape::preload {

/// Fills g_config from the environment; a bad value aborts the program.
void LoadConfig();

/// Fills g_library from the environment; a bad value aborts the program.
void LoadLibraryConfig();

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_ENTRY_ENVIRONMENT_H_
