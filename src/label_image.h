// The label image: one in-memory copy of a tape's label set, its built-in
// initial contents, the EBCDIC/ASCII tables and the diagnostic dump.
#pragma once

#include <array>

/// Bytes in one label record, and so in one label block on the tape.
inline constexpr int kRecordSize = 80;
/// Records in the image: VOL1, HDR1, HDR2, UHL1.
inline constexpr int kRecordCount = 4;
inline constexpr int kLabelImageSize = kRecordSize * kRecordCount;
/// The two label lengths; the records in use are always the length / 2.
inline constexpr int kShortLabelLength = 6;  // in the VOL1 volume serial
inline constexpr int kLongLabelLength = 8;   // in UHL1, VOL1 holding the marker
/// The VOL1 volume serial that says the label is in UHL1.
inline constexpr char kUhl1Marker[] = "*UHL1*";
/// Bytes in one row of the dump and of a label text file.
inline constexpr int kRowSize = 8;
inline constexpr int kRowsPerRecord = kRecordSize / kRowSize;

/// The label set a run starts from, in ASCII, before anything is read.
extern const std::array<char, kLabelImageSize> kInitialLabelImage;

/// The one label image of the process, used in place by every operation.
extern std::array<char, kLabelImageSize> tapeLabel;

/// ASCII to EBCDIC and its exact inverse.
extern const unsigned char AsciiToEbcdic[256];
extern const unsigned char EbcdicToAscii[256];

/// Translates `count` bytes at `bufP` in place; a count of zero or less does nothing.
void ConvertToEbcdic(char* bufP, int count);
void ConvertToAscii(char* bufP, int count);

/// Writes records 0 to `records` - 1 of the image to standard error, one line per 8-byte row.
void DumpLabelRecords(int records);
