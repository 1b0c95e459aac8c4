// The environment through which `vtape run` configures the preload library.
#ifndef VTAPE_DRIVE_ENV_H_
#define VTAPE_DRIVE_ENV_H_

#include <cstddef>
#include <cstdint>

namespace vtape {

/// AWSTAPE image holding the tape; unset or missing means no tape loaded.
inline constexpr char kEnvImage[] = "VTAPE_IMAGE";
/// Device name the drive answers to, default kDefaultDevice.
inline constexpr char kEnvDevice[] = "VTAPE_DEVICE";
/// errno (name or number) that every open of the device fails with.
inline constexpr char kEnvFailOpen[] = "VTAPE_FAIL_OPEN";
/// Boolean faults: set to "1" to turn on.
inline constexpr char kEnvNoMedium[] = "VTAPE_NO_MEDIUM";
inline constexpr char kEnvWriteProtect[] = "VTAPE_WRITE_PROTECT";
inline constexpr char kEnvFailRewind[] = "VTAPE_FAIL_REWIND";
inline constexpr char kEnvFailSetblk[] = "VTAPE_FAIL_SETBLK";
inline constexpr char kEnvFailWeof[] = "VTAPE_FAIL_WEOF";
inline constexpr char kEnvFailClose[] = "VTAPE_FAIL_CLOSE";
/// N: the Nth read() or write() on the device in the process fails with EIO.
inline constexpr char kEnvFailRead[] = "VTAPE_FAIL_READ";
inline constexpr char kEnvFailWrite[] = "VTAPE_FAIL_WRITE";
/// N: only the Nth MTREW or MTSETBLK in the process fails with EIO, so a
/// program that prepares the drive twice can be failed the second time.
inline constexpr char kEnvFailRewindAt[] = "VTAPE_FAIL_REWIND_AT";
inline constexpr char kEnvFailSetblkAt[] = "VTAPE_FAIL_SETBLK_AT";
/// N:BYTES: the Nth write() puts only its first BYTES bytes on tape.
inline constexpr char kEnvShortWrite[] = "VTAPE_SHORT_WRITE";
/// MIN:MAX: the block limits the drive reports (READ BLOCK LIMITS).
inline constexpr char kEnvBlockLimits[] = "VTAPE_BLOCK_LIMITS";

inline constexpr char kDefaultDevice[] = "/dev/nst0";
inline constexpr size_t kDefaultShortBytes = 40;
/// Suffix of the file beside the image that keeps the tape position.
inline constexpr char kStateSuffix[] = ".vtpos";
/// Suffix of the file beside the image that holds the tape's capacity in
/// bytes; without it the tape has no end.
inline constexpr char kCapacitySuffix[] = ".vtsize";

/// The block limits of an HP LTO (Ultrium) drive: 1 byte to the 24-bit
/// transfer length.
inline constexpr size_t kDefaultMinBlock = 1;
inline constexpr size_t kDefaultMaxBlock = 0xFFFFFF;

/// Parses an errno name ("EIO") or a positive number into `*value`.
bool ParseErrno(const char* text, int* value);
/// Parses a positive decimal count.
bool ParseCount(const char* text, long* value);
/// Parses "N" or "N:BYTES" (BYTES defaulting to kDefaultShortBytes).
bool ParseShortWrite(const char* text, long* nth, size_t* bytes);
/// Parses "MIN:MAX" with 1 <= MIN <= MAX <= kDefaultMaxBlock.
bool ParseBlockLimits(const char* text, size_t* min, size_t* max);
/// Parses a positive size in bytes, with an optional K, M, G or T suffix
/// (powers of 1024).
bool ParseSize(const char* text, uint64_t* bytes);

}  // namespace vtape

#endif  // VTAPE_DRIVE_ENV_H_
