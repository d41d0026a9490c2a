#include "driver/yuy2_to_rgb24.h"

namespace kvz {
namespace {

// The BT.601 video-range conversion in 8.8 fixed point, as tables: a pixel costs three sums and
// three clamped look-ups. Every entry is the plain formula's term, so results are exact.
constexpr LONG kClampOffset = 384;
constexpr LONG kClampSize = 1024;  // every (term sum) >> 8 lies within -384 .. 639

struct ConversionTables {
  LONG luma[256];      // 298 x (Y - 16) + 128
  LONG blueU[256];     // 516 x (U - 128)
  LONG greenU[256];    // -100 x (U - 128)
  LONG greenV[256];    // -208 x (V - 128)
  LONG redV[256];      // 409 x (V - 128)
  UCHAR clamp[kClampSize];
};

constexpr ConversionTables MakeTables() {
  ConversionTables t{};
  for (LONG i = 0; i < 256; ++i) {
    t.luma[i] = 298 * (i - 16) + 128;
    t.blueU[i] = 516 * (i - 128);
    t.greenU[i] = -100 * (i - 128);
    t.greenV[i] = -208 * (i - 128);
    t.redV[i] = 409 * (i - 128);
  }
  for (LONG i = 0; i < kClampSize; ++i) {
    const LONG v = i - kClampOffset;
    t.clamp[i] = static_cast<UCHAR>(v < 0 ? 0 : v > 255 ? 255 : v);
  }
  return t;
}

constexpr ConversionTables kTables = MakeTables();

inline void PutPixel(UCHAR* out, LONG luma, LONG blue, LONG green, LONG red) {
  const UCHAR* clamp = kTables.clamp + kClampOffset;
  out[0] = clamp[(luma + blue) >> 8];
  out[1] = clamp[(luma + green) >> 8];
  out[2] = clamp[(luma + red) >> 8];
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
      const LONG blue = kTables.blueU[in[1]];
      const LONG green = kTables.greenU[in[1]] + kTables.greenV[in[3]];
      const LONG red = kTables.redV[in[3]];
      PutPixel(out, kTables.luma[in[0]], blue, green, red);
      PutPixel(out + 3, kTables.luma[in[2]], blue, green, red);
    }
    if (x < width) {
      const LONG v = x >= 2 ? in[-1] : 128;
      PutPixel(out, kTables.luma[in[0]], kTables.blueU[in[1]], kTables.greenU[in[1]] + kTables.greenV[v],
               kTables.redV[v]);
    }
  }
}

}  // namespace kvz
