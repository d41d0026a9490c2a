#include "driver/yuy2_to_rgb24.h"

namespace kvz {
namespace {

inline UCHAR Clamp(LONG value) {
  if (value < 0) return 0;
  if (value > 255) return 255;
  return static_cast<UCHAR>(value);
}

inline void PutPixel(UCHAR* out, LONG y, LONG u, LONG v) {
  const LONG c = y - 16;
  const LONG d = u - 128;
  const LONG e = v - 128;
  out[0] = Clamp((298 * c + 516 * d + 128) >> 8);
  out[1] = Clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
  out[2] = Clamp((298 * c + 409 * e + 128) >> 8);
}

}  // namespace

VOID ConvertYuy2ToRgb24(const UCHAR* source, UCHAR* destination, ULONG width, ULONG height) {
  const SIZE_T sourceStride = static_cast<SIZE_T>(width) * 2;
  const SIZE_T destinationStride = static_cast<SIZE_T>(width) * 3;
  // Row by row, so that no pair of an odd-width image spills into the next row or past the end.
  for (ULONG row = 0; row < height; ++row) {
    const UCHAR* in = source + row * sourceStride;
    UCHAR* out = destination + (height - 1 - row) * destinationStride;
    ULONG x = 0;
    for (; x + 1 < width; x += 2, in += 4, out += 6) {
      PutPixel(out, in[0], in[1], in[3]);
      PutPixel(out + 3, in[2], in[1], in[3]);
    }
    if (x < width) {
      const LONG v = x >= 2 ? in[-1] : 128;
      PutPixel(out, in[0], in[1], v);
    }
  }
}

}  // namespace kvz
