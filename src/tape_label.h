// Tape access: preparing the drive, reading the label set into the label
// image and writing it back, through the Linux tape driver.
#pragma once

#include <ctime>

/// readLabel results other than the label length.
inline constexpr int kReadFailed = -1;        // a block read failed
inline constexpr int kLabelSetMissing = -2;   // fewer than three blocks, or the UHL1 marker without a fourth

/// Size of the buffer FormatCreationDate fills: room for any two ints, so
/// even a calendar far outside 2000-2099 cannot overflow it.
inline constexpr int kDateBufferSize = 24;
/// Characters of the date that go on the tape (HDR1 columns 42-47).
inline constexpr int kCreationDateLength = 6;

/// Reads the label set at the start of the tape on `filename` into the label
/// image, translated to ASCII, and puts the current label into `prelabel`
/// (6 or 8 characters; the caller zero-fills the buffer). Returns the label
/// length, kReadFailed or kLabelSetMissing; ends the process with status 1
/// when the device cannot be opened or prepared.
int readLabel(const char* filename, char* prelabel, int quiet);

/// Puts `label` (`label_len` characters, 6 or 8) and today's UTC creation
/// date into the label image and writes its three or four records, then two
/// tape marks, at the start of the tape on `filename`. Ends the process with
/// status 1 when the device cannot be opened or rewound. Returns false when
/// any later step failed (already reported), true when all was written.
bool writeLabel(const char* filename, const char* label, int quiet, int label_len);

/// Formats the UTC day of `now` (seconds since the epoch) as a label creation
/// date, 0yyddd, into `today`; only the first six characters are a date, and
/// only for the years 2000-2099.
void FormatCreationDate(time_t now, char (&today)[kDateBufferSize]);
