// Marks the C library functions the library replaces: the only symbols it
// exports.
#ifndef VTAPE_PRELOAD_ENTRY_EXPORT_H_
#define VTAPE_PRELOAD_ENTRY_EXPORT_H_

#define VTAPE_EXPORT extern "C" __attribute__((visibility("default")))

#endif  // VTAPE_PRELOAD_ENTRY_EXPORT_H_
