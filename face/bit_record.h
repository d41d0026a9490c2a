// Bit-packed records of the scan (hits, ring jobs): fields most significant bit first, a final
// partial byte shifted to the top.
#pragma once
#include <wdm.h>

namespace kvz {

class BitWriter {
 public:
  explicit BitWriter(UCHAR* out) : out_(out) {}
  VOID Write(ULONG value, ULONG bits) {
    for (ULONG i = bits; i-- > 0;) {
      current_ = static_cast<UCHAR>((current_ << 1) | ((value >> i) & 1));
      if (++used_ == 8) {
        *out_++ = current_;
        current_ = 0;
        used_ = 0;
      }
    }
  }
  VOID Flush() {
    if (used_ != 0) *out_++ = static_cast<UCHAR>(current_ << (8 - used_));
    current_ = 0;
    used_ = 0;
  }

 private:
  UCHAR* out_;
  UCHAR current_ = 0;
  ULONG used_ = 0;
};

class BitReader {
 public:
  explicit BitReader(const UCHAR* in) : in_(in) {}
  ULONG Read(ULONG bits) {
    ULONG value = 0;
    for (ULONG i = 0; i < bits; ++i) {
      value = (value << 1) | ((in_[position_ >> 3] >> (7 - (position_ & 7))) & 1);
      ++position_;
    }
    return value;
  }

 private:
  const UCHAR* in_;
  ULONG position_ = 0;
};

}  // namespace kvz
