#include "postproc/convert/pin_conversion.h"

namespace kvz {

namespace {

inline LONG Luma(LONG b, LONG g, LONG r) { return ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16; }
inline LONG ChromaU(LONG b, LONG g, LONG r) { return (112 * b - 74 * g - 38 * r + 128) >> 8; }
inline LONG ChromaV(LONG b, LONG g, LONG r) { return (112 * r - 94 * g - 18 * b + 128) >> 8; }

// Chroma as stored: offset by 128, with what would pass 255 held there.
inline UCHAR StoreChroma(LONG sum) {
  const LONG value = sum / 2;
  return value < 128 ? static_cast<UCHAR>(value + 128) : 255;
}

inline UCHAR StoreLuma(LONG value) { return static_cast<UCHAR>(value); }

}  // namespace

VOID ConvertRgb24ToYuy2(const UCHAR* source, UCHAR* destination, ULONG width, ULONG height) {
  const SIZE_T sourceStride = static_cast<SIZE_T>(width) * 3;
  const SIZE_T destinationStride = static_cast<SIZE_T>(width) * 2;
  for (ULONG row = 0; row < height; ++row) {
    const UCHAR* in = source + (height - 1 - row) * sourceStride;
    UCHAR* out = destination + row * destinationStride;
    for (ULONG pair = 0; pair < width / 2; ++pair, in += 6, out += 4) {
      const LONG b0 = in[0], g0 = in[1], r0 = in[2];
      const LONG b1 = in[3], g1 = in[4], r1 = in[5];
      out[0] = StoreLuma(Luma(b0, g0, r0));
      out[1] = StoreChroma(ChromaU(b0, g0, r0) + ChromaU(b1, g1, r1));
      out[2] = StoreLuma(Luma(b1, g1, r1));
      out[3] = StoreChroma(ChromaV(b0, g0, r0) + ChromaV(b1, g1, r1));
    }
  }
}

VOID ResampleRowsHorizontal(const UCHAR* source, UCHAR* destination, ULONG sourceWidth, ULONG rows,
                            ULONG destinationWidth) {
  const LONGLONG s = sourceWidth;
  const LONGLONG t = destinationWidth;
  if (s == 0 || t == 0) return;
  for (ULONG row = 0; row < rows; ++row) {
    const UCHAR* in = source + static_cast<SIZE_T>(row) * sourceWidth * 3;
    UCHAR* out = destination + static_cast<SIZE_T>(row) * destinationWidth * 3;
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
    for (LONGLONG j = 1; j < t; ++j) {
      const LONGLONG a = j * (t - s);
      LONGLONG index = j - a / t;
      const LONGLONG c = a % t;
      // Never read past the row: the last column, and any beyond the source, repeat its edge.
      if (index > s) index = s;
      for (int k = 0; k < 3; ++k) {
        const LONGLONG previous = in[(index - 1) * 3 + k];
        LONGLONG value = previous;
        if (index < s && j != t - 1) value = ((t - c) * in[index * 3 + k] + c * previous) / t;
        out[j * 3 + k] = static_cast<UCHAR>(value);
      }
    }
  }
}

}  // namespace kvz
