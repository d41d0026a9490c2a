// Tones, thresholds and inversions: one pass over the pixels, no neighbours.
#include "postproc/effects/effect_pixel.h"
#include "postproc/effects/effect_pixel_kernels.h"

namespace kvz {
namespace {

constexpr UCHAR kNeutralChroma = 127;
constexpr ULONG kThresholdWhite = 144;  // a brightness above this is white
constexpr UCHAR kSepiaU = 116;
constexpr UCHAR kSepiaV = 144;
constexpr LONG kSepiaBlueDrop = 44;
constexpr LONG kSepiaGreenDrop = 30;

inline UCHAR Saturate(LONG v) { return static_cast<UCHAR>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Brightness of black-and-white and sepia (10-bit weights on red and green, a ninth of blue).
inline ULONG Brightness(const UCHAR* p) { return (((p[2] * 304u) >> 10) + p[0] / 9u + ((p[1] * 606u) >> 10)) & 0xFF; }

VOID AddRgb24(UCHAR* frame, LONG width, LONG height, LONG d0, LONG d1, LONG d2) {
  UCHAR* p = frame;
  UCHAR* const end = frame + PixelCount(width, height) * 3;
  for (; p < end; p += 3) {
    p[0] = Saturate(p[0] + d0);
    p[1] = Saturate(p[1] + d1);
    p[2] = Saturate(p[2] + d2);
  }
}

VOID FillChroma(UCHAR* frame, LONG width, LONG height, UCHAR u, UCHAR v) {
  const SIZE_T plane = I420ChromaPlaneBytes(width, height);
  UCHAR* const uPlane = frame + PixelCount(width, height);
  RtlFillMemory(uPlane, plane, u);
  RtlFillMemory(uPlane + plane, plane, v);
}

VOID InvertBytes(UCHAR* p, SIZE_T count) {
  for (SIZE_T i = 0; i < count; ++i) p[i] = static_cast<UCHAR>(255 - p[i]);
}

}  // namespace

VOID BlackWhiteRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  UCHAR* const end = frame + PixelCount(width, height) * 3;
  for (UCHAR* p = frame; p < end; p += 3) {
    const UCHAR v = Brightness(p) > kThresholdWhite ? 255 : 0;
    p[0] = p[1] = p[2] = v;
  }
}

VOID BlackWhiteI420(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  const SIZE_T n = PixelCount(width, height);
  for (SIZE_T i = 0; i < n; ++i) frame[i] = frame[i] > kThresholdWhite ? 255 : 0;
  FillChroma(frame, width, height, kNeutralChroma, kNeutralChroma);
}

VOID GreyRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  UCHAR* const end = frame + PixelCount(width, height) * 3;
  for (UCHAR* p = frame; p < end; p += 3) {
    const UCHAR g = static_cast<UCHAR>(((p[2] * 112u) >> 10) + ((p[1] * 605u) >> 10) + ((p[0] * 307u) >> 10));
    p[0] = p[1] = p[2] = g;
  }
}

VOID NeutralChromaI420(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  FillChroma(frame, width, height, kNeutralChroma, kNeutralChroma);
}

VOID ApplyChromaTint(LONG width, LONG height, UCHAR* frame, LONG mode) {
  const SIZE_T plane = I420ChromaPlaneBytes(width, height);
  UCHAR* const u = frame + PixelCount(width, height);
  UCHAR* const v = u + plane;
  const UCHAR du = mode == kTintBlue ? 10 : 0;
  const UCHAR dv = mode == kTintYellow ? 20 : (mode == kTintRed ? 10 : static_cast<UCHAR>(-10));
  for (SIZE_T i = 0; i < plane; ++i) {
    u[i] = static_cast<UCHAR>(u[i] + du);
    v[i] = static_cast<UCHAR>(v[i] + dv);
  }
}

VOID BlueToneRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) { AddRgb24(frame, width, height, 12, 0, -12); }
VOID YellowToneRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) { AddRgb24(frame, width, height, -16, 10, 16); }
VOID RedToneRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) { AddRgb24(frame, width, height, -16, 0, 16); }
VOID BlueToneI420(UCHAR* frame, LONG width, LONG height, UCHAR*) { ApplyChromaTint(width, height, frame, kTintBlue); }
VOID YellowToneI420(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  ApplyChromaTint(width, height, frame, kTintYellow);
}
VOID RedToneI420(UCHAR* frame, LONG width, LONG height, UCHAR*) { ApplyChromaTint(width, height, frame, kTintRed); }

VOID NegativeRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  InvertBytes(frame, PixelCount(width, height) * 3);
}

VOID NegativeI420(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  InvertBytes(frame, PixelCount(width, height) + 2 * I420ChromaPlaneBytes(width, height));
}

VOID SepiaRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  UCHAR* const end = frame + PixelCount(width, height) * 3;
  for (UCHAR* p = frame; p < end; p += 3) {
    const LONG b = static_cast<LONG>(Brightness(p));
    p[0] = static_cast<UCHAR>(b >= kSepiaBlueDrop ? b - kSepiaBlueDrop : 0);
    p[1] = static_cast<UCHAR>(b >= kSepiaGreenDrop ? b - kSepiaGreenDrop : 0);
    p[2] = static_cast<UCHAR>(b);
  }
}

VOID SepiaI420(UCHAR* frame, LONG width, LONG height, UCHAR*) { FillChroma(frame, width, height, kSepiaU, kSepiaV); }

VOID SolarizeRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  const SIZE_T n = PixelCount(width, height) * 3;
  for (SIZE_T i = 0; i < n; ++i)
    if (frame[i] >= 128) frame[i] = static_cast<UCHAR>(255 - frame[i]);
}

// The first conversion is not limited: its wrap-around is what solarizes.
VOID SolarizeI420(UCHAR* frame, LONG width, LONG height, UCHAR* rgb) {
  const LONG cw = width / 2, ch = height / 2;
  UCHAR* const uPlane = frame + PixelCount(width, height);
  UCHAR* const vPlane = uPlane + I420ChromaPlaneBytes(width, height);
  for (LONG i = 0; i < height; ++i) {
    // An odd last row or column has no chroma of its own and borrows its neighbour's.
    const LONG ci = i / 2 < ch ? i / 2 : ch - 1;
    for (LONG j = 0; j < width; ++j) {
      const LONG cj = j / 2 < cw ? j / 2 : cw - 1;
      LONG u = 0, v = 0;
      if (cw > 0 && ch > 0) {
        u = uPlane[static_cast<SIZE_T>(ci) * cw + cj] - 128;
        v = vPlane[static_cast<SIZE_T>(ci) * cw + cj] - 128;
      }
      const LONG y = frame[static_cast<SIZE_T>(i) * width + j];
      UCHAR* p = rgb + (static_cast<SIZE_T>(i) * width + j) * 3;
      p[2] = static_cast<UCHAR>(y + 1402 * v / 1000);
      p[1] = static_cast<UCHAR>(y - 344 * u / 1000 - 714 * v / 1000);
      p[0] = static_cast<UCHAR>(y + 1772 * u / 1000);
    }
  }
  for (SIZE_T k = 0, n = PixelCount(width, height); k < n; ++k) {
    const UCHAR* p = rgb + k * 3;
    frame[k] = static_cast<UCHAR>((587 * p[1] + 114 * p[0] + 299 * p[2]) / 1000);
  }
  const SIZE_T row = static_cast<SIZE_T>(width) * 3;
  for (LONG bi = 0; bi < ch; ++bi) {
    for (LONG bj = 0; bj < cw; ++bj) {
      const UCHAR* p = rgb + static_cast<SIZE_T>(2 * bi) * row + static_cast<SIZE_T>(2 * bj) * 3;
      const LONG b = (p[0] + p[3] + p[row] + p[row + 3]) >> 2;
      const LONG g = (p[1] + p[4] + p[row + 1] + p[row + 4]) >> 2;
      const LONG r = (p[2] + p[5] + p[row + 2] + p[row + 5]) >> 2;
      uPlane[static_cast<SIZE_T>(bi) * cw + bj] = static_cast<UCHAR>((500 * b - 331 * g - 169 * r) / 1000 + 128);
      vPlane[static_cast<SIZE_T>(bi) * cw + bj] = static_cast<UCHAR>((500 * r - 419 * g - 81 * b) / 1000 + 128);
    }
  }
}

}  // namespace kvz
