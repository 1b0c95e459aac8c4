// What the virtual changer and the virtual drives have in common as SCSI
// devices: sense data, big-endian fields and the buffer a command's data
// goes into, cut at the allocation length.
//
// Used by the preload library, so no heap and no C++ runtime.
#ifndef VTAPE_SCSI_H_
#define VTAPE_SCSI_H_

#include <cstddef>
#include <cstdint>

namespace vtape::scsi {

/// Sense keys.
inline constexpr uint8_t kNoSense = 0x0;
inline constexpr uint8_t kNotReady = 0x2;
inline constexpr uint8_t kHardwareError = 0x4;
inline constexpr uint8_t kIllegalRequest = 0x5;

struct Sense {
  uint8_t key;
  uint8_t asc;
  uint8_t ascq;
};

inline constexpr Sense kInvalidOpcode = {kIllegalRequest, 0x20, 0x00};
inline constexpr Sense kInvalidFieldInCdb = {kIllegalRequest, 0x24, 0x00};
inline constexpr Sense kSavingNotSupported = {kIllegalRequest, 0x39, 0x00};

/// Fixed-format sense data (18 bytes) for `sense`; returns its length.
size_t FixedSense(const Sense& sense, uint8_t* out, size_t cap);

inline unsigned Be16(const uint8_t* p) { return static_cast<unsigned>(p[0] << 8 | p[1]); }
inline unsigned Be24(const uint8_t* p) { return static_cast<unsigned>(p[0] << 16 | p[1] << 8 | p[2]); }

/// Appends bytes to the data buffer and counts those that do not fit, so a
/// report can be cut at the allocation length and still tell its full size.
class Writer {
 public:
  Writer(uint8_t* out, size_t cap) : out_(out), cap_(cap) {}
  void Byte(unsigned b) {
    if (n_ < cap_) out_[n_] = static_cast<uint8_t>(b);
    ++n_;
  }
  void U16(unsigned v) {
    Byte(v >> 8);
    Byte(v);
  }
  void U24(unsigned v) {
    Byte(v >> 16);
    U16(v & 0xFFFF);
  }
  void U32(unsigned v) {
    U16(v >> 16);
    U16(v & 0xFFFF);
  }
  /// `s` padded with spaces to `width`.
  void Text(const char* s, size_t width);
  void Zeros(size_t count) {
    for (size_t i = 0; i < count; ++i) Byte(0);
  }
  size_t written() const { return n_ < cap_ ? n_ : cap_; }

 private:
  uint8_t* out_;
  size_t cap_;
  size_t n_ = 0;
};

/// Standard INQUIRY data of 36 bytes: SPC-3, removable medium.
void PutStandardInquiry(Writer* w, uint8_t peripheral_type, const char* vendor, const char* product,
                        const char* revision);

}  // namespace vtape::scsi

#endif  // VTAPE_SCSI_H_
