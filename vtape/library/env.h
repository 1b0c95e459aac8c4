// The environment through which `vtape run` hands a library to the preload
// library: where it is, what the changer is called, its faults and timing.
#ifndef VTAPE_LIBRARY_ENV_H_
#define VTAPE_LIBRARY_ENV_H_

namespace vtape::library {

/// Absolute path of the library folder; set instead of VTAPE_IMAGE.
inline constexpr char kEnvLibrary[] = "VTAPE_LIBRARY";
/// Absolute device name of the changer.
inline constexpr char kEnvChanger[] = "VTAPE_CHANGER";
inline constexpr char kDefaultChanger[] = "/dev/sch0";

/// Comma-separated barcodes whose labels the changer cannot read.
inline constexpr char kEnvUnreadable[] = "VTAPE_UNREADABLE_BARCODES";
/// Comma-separated barcodes whose every move fails (mechanical error).
inline constexpr char kEnvFailMove[] = "VTAPE_FAIL_MOVE";
/// Comma-separated drive numbers that fail to load a cartridge.
inline constexpr char kEnvFailLoad[] = "VTAPE_FAIL_LOAD";
/// Comma-separated barcodes of write-protected cartridges.
inline constexpr char kEnvProtectedTapes[] = "VTAPE_WRITE_PROTECTED_TAPES";
/// "1": the changer does not answer.
inline constexpr char kEnvChangerSilent[] = "VTAPE_CHANGER_SILENT";
/// Speed-up factor of the timing model; unset, the library takes no time.
inline constexpr char kEnvTiming[] = "VTAPE_TIMING";

}  // namespace vtape::library

#endif  // VTAPE_LIBRARY_ENV_H_
