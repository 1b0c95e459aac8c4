#include "scsi.h"

#include <cstring>

namespace vtape::scsi {

size_t FixedSense(const Sense& sense, uint8_t* out, size_t cap) {
  constexpr size_t kLength = 18;
  if (cap < kLength) return 0;
  memset(out, 0, kLength);
  out[0] = 0x70;  // current error, fixed format
  out[2] = sense.key;
  out[7] = kLength - 8;
  out[12] = sense.asc;
  out[13] = sense.ascq;
  return kLength;
}

void Writer::Text(const char* s, size_t width) {
  size_t len = strlen(s);
  for (size_t i = 0; i < width; ++i) Byte(i < len ? static_cast<unsigned char>(s[i]) : ' ');
}

void PutStandardInquiry(Writer* w, uint8_t peripheral_type, const char* vendor, const char* product,
                        const char* revision) {
  constexpr unsigned kRemovable = 0x80, kSpc3 = 0x05, kResponseFormat2 = 0x02, kLength = 36;
  w->Byte(peripheral_type);
  w->Byte(kRemovable);
  w->Byte(kSpc3);
  w->Byte(kResponseFormat2);
  w->Byte(kLength - 5);
  w->Zeros(3);
  w->Text(vendor, 8);
  w->Text(product, 16);
  w->Text(revision, 4);
}

}  // namespace vtape::scsi
