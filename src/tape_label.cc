#include "tape_label.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "label_image.h"

namespace {

constexpr int kSerialOffset = 4;          // VOL1 columns 5-10
constexpr int kCreationDateOffset = 121;  // HDR1 columns 42-47
constexpr int kCreationDateLength = 6;
constexpr int kUhl1Offset = 3 * kRecordSize;
constexpr int kLongLabelOffset = kUhl1Offset + 4;  // UHL1 columns 5-12
constexpr int kReadBlocks = 4;
constexpr int kTapeMarksAfterLabel = 2;

int TapeOperation(int fileHandle, short op, int count) {
  struct mtop tapeOp {};
  tapeOp.mt_op = op;
  tapeOp.mt_count = count;
  return ioctl(fileHandle, MTIOCTOP, &tapeOp);
}

// Opens and rewinds the drive. Neither the reader nor the writer can do
// anything useful without both, so a failure ends the process.
int OpenAndRewind(const char* filename, int flags, int quiet) {
  int fileHandle = open(filename, flags);
  if (fileHandle < 0) {
    perror("open:");
    exit(EXIT_FAILURE);
  }
  if (quiet) fprintf(stderr, "%s open; handle %d\n", filename, fileHandle);
  if (TapeOperation(fileHandle, MTREW, 0) != 0) {
    fprintf(stderr, "ioctl error while rewinding tape:%s\n", strerror(errno));
    exit(EXIT_FAILURE);
  }
  if (quiet) fprintf(stderr, "rewind succeeded\n");
  return fileHandle;
}

// Variable block mode makes each 80-byte write one tape block and each read
// return one block, whatever the drive was left in.
bool SetVariableBlockMode(int fileHandle, int quiet) {
  if (TapeOperation(fileHandle, MTSETBLK, 0) != 0) {
    fprintf(stderr, "ioctl error while setting blksize:%s\n", strerror(errno));
    return false;
  }
  if (quiet) fprintf(stderr, "blocksize set to 0\n");
  return true;
}

// After a failed read only the bytes that came from the tape are EBCDIC; the
// rest of the image is still ASCII and must not be translated twice.
void TranslateBytesRead(const int (&bytesRead)[kReadBlocks], int blocks) {
  for (int n = 0; n < blocks; ++n) ConvertToAscii(&tapeLabel[n * kRecordSize], bytesRead[n]);
}

void PutDate(char* at) {
  struct timeval now {};
  gettimeofday(&now, nullptr);
  char today[kDateBufferSize];
  FormatCreationDate(now.tv_sec, today);
  memcpy(at, today, kCreationDateLength);
}

void PutLabel(const char* label, int label_len) {
  if (label_len == kLongLabelLength) {
    memcpy(&tapeLabel[kSerialOffset], kUhl1Marker, kShortLabelLength);
    memset(&tapeLabel[kUhl1Offset], ' ', kRecordSize);
    memcpy(&tapeLabel[kUhl1Offset], "UHL1", 4);
    memcpy(&tapeLabel[kLongLabelOffset], label, kLongLabelLength);
  } else {
    memcpy(&tapeLabel[kSerialOffset], label, kShortLabelLength);
  }
}

// Returns false when a block could not be written whole; later blocks are
// then not written, so the label set on the tape ends where the failure was.
bool WriteBlocks(int fileHandle, int numOfwriteBlk, int quiet) {
  for (int n = 0; n < numOfwriteBlk; ++n) {
    ssize_t written = write(fileHandle, &tapeLabel[n * kRecordSize], kRecordSize);
    if (written < 0) {
      perror("write");
      return false;
    }
    if (written < kRecordSize) {
      fprintf(stderr, "short write of block %d: %d of %d bytes written\n", n + 1, static_cast<int>(written),
              kRecordSize);
      return false;
    }
    if (quiet) fprintf(stderr, "block %d written\n", n + 1);
  }
  return true;
}

}  // namespace

// Calendar arithmetic on days since the epoch, not gmtime_r: the C library
// loads the time-zone files for that, and the date is UTC anyway.
void FormatCreationDate(time_t now, char (&today)[kDateBufferSize]) {
  using namespace std::chrono;
  const sys_days day = floor<days>(sys_seconds{seconds{now}});
  const year_month_day date{day};
  const int dayOfYear = static_cast<int>((day - sys_days{date.year() / January / 1}).count()) + 1;
  snprintf(today, sizeof today, "0%02d%03d", static_cast<int>(date.year()) - 2000, dayOfYear);
}

int readLabel(const char* filename, char* prelabel, int quiet) {
  int fileHandle = OpenAndRewind(filename, O_RDONLY, quiet);
  if (!SetVariableBlockMode(fileHandle, quiet)) exit(EXIT_FAILURE);

  int is3Blocks = 0;
  int bytesRead[kReadBlocks] = {};
  for (int n = 0; n < kReadBlocks; ++n) {
    // A failed read may leave anything in its buffer; only a block that
    // arrived goes into the image.
    char block[kRecordSize];
    ssize_t count = read(fileHandle, block, kRecordSize);
    if (count == 0) {
      if (n == kReadBlocks - 1) {
        is3Blocks = 1;
        break;
      }
      if (quiet) fprintf(stderr, "no %d block found during reading \n", n + 1);
      TranslateBytesRead(bytesRead, n);
      close(fileHandle);
      return kLabelSetMissing;
    }
    if (count < 0) {
      perror("read");
      if (quiet) fprintf(stderr, "read error while reading %d block\n", n + 1);
      TranslateBytesRead(bytesRead, n);
      close(fileHandle);
      return kReadFailed;
    }
    memcpy(&tapeLabel[n * kRecordSize], block, static_cast<size_t>(count));
    bytesRead[n] = static_cast<int>(count);
    if (quiet) fprintf(stderr, "block %d read to internal buffer\n", n + 1);
  }

  ConvertToAscii(tapeLabel.data(), kLabelImageSize);
  close(fileHandle);

  int label_len;
  if (memcmp(&tapeLabel[kSerialOffset], kUhl1Marker, kShortLabelLength) == 0) {
    if (is3Blocks) return kLabelSetMissing;
    label_len = kLongLabelLength;
    memcpy(prelabel, &tapeLabel[kLongLabelOffset], kLongLabelLength);
  } else {
    label_len = kShortLabelLength;
    memcpy(prelabel, &tapeLabel[kSerialOffset], kShortLabelLength);
  }
  if (quiet) {
    fprintf(stderr, "### previous label data ###\n");
    DumpLabelRecords(label_len / 2);
  }
  return label_len;
}

bool writeLabel(const char* filename, const char* label, int quiet, int label_len) {
  int fileHandle = OpenAndRewind(filename, O_RDWR, quiet);
  bool allWritten = SetVariableBlockMode(fileHandle, quiet);

  PutLabel(label, label_len);
  PutDate(&tapeLabel[kCreationDateOffset]);
  ConvertToEbcdic(tapeLabel.data(), kLabelImageSize);

  int numOfwriteBlk = label_len == kLongLabelLength ? kLongLabelLength / 2 : kShortLabelLength / 2;
  if (!WriteBlocks(fileHandle, numOfwriteBlk, quiet)) allWritten = false;

  // The tape marks close the label set even after a failed block, so the
  // tape never ends in a half-written label with no end of file.
  if (TapeOperation(fileHandle, MTWEOF, kTapeMarksAfterLabel) != 0) {
    fprintf(stderr, "ioctl error:%s\n", strerror(errno));
    allWritten = false;
  } else if (quiet) {
    fprintf(stderr, "MTIOCTOP succeeded\n");
  }

  if (close(fileHandle) != 0) {
    perror("close");
    allWritten = false;
  }
  return allWritten;
}
