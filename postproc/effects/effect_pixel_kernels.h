// The pixel routines of the catalogue's per-pixel and filter effects, as plain functions over a
// packed frame of width x height pixels (1 ... kEffectMaxDimension each). RGB24 rows hold
// width x 3 bytes (blue, green, red); I420 has a Y plane of width x height bytes, then U and V
// planes of floor(width / 2) x floor(height / 2) bytes each. "work" is scratch of at least one
// frame of the routine's format. No routine touches a byte outside the buffers it is given.
#pragma once
#include <wdm.h>

namespace kvz {

typedef VOID PixelRoutine(UCHAR* frame, LONG width, LONG height, UCHAR* work);

// Tones and thresholds (work unused).
PixelRoutine BlackWhiteRgb24, BlackWhiteI420;
PixelRoutine GreyRgb24, NeutralChromaI420;
PixelRoutine BlueToneRgb24, BlueToneI420;
PixelRoutine YellowToneRgb24, YellowToneI420;
PixelRoutine RedToneRgb24, RedToneI420;
PixelRoutine NegativeRgb24, NegativeI420;
PixelRoutine SepiaRgb24, SepiaI420;
PixelRoutine SolarizeRgb24;
// rgbScratch: width x height x 3 bytes (the wrapped RGB24 copy the effect lives on).
VOID SolarizeI420(UCHAR* frame, LONG width, LONG height, UCHAR* rgbScratch);

// Modes of the I420 tint: 0 adds 20 to V, 1 adds 10 to V, 2 adds 10 to U and takes 10 from V
// (all modulo 256).
enum ChromaTintMode : LONG { kTintYellow = 0, kTintRed = 1, kTintBlue = 2 };
VOID ApplyChromaTint(LONG width, LONG height, UCHAR* frame, LONG mode);

// Filters.
PixelRoutine BlurRgb24, EmbossRgb24, EmbossI420, MosaicRgb24, MosaicI420;
// ring: five rows of width row sums.
VOID BlurI420(UCHAR* frame, LONG width, LONG height, USHORT* ring);

// The pseudo-random sequence of diffuse and sketch; each effect keeps its own state.
constexpr ULONG kJitterSeed = 0x5555;
ULONG JitterStep(ULONG* state);  // 0 ... 7
VOID DiffuseRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state);
VOID DiffuseI420(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state);
VOID SketchRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state);
VOID SketchI420(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state);

// Wave stretches (RGB24): amount 1 ... 15 squeezes columns or rows towards a moving edge.
VOID WaveColumnsRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, LONG amount);
VOID WaveRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, LONG amount);

// Index of the neighbour `offset` away from index in 0 ... count - 1; one outside is taken on
// the other side (index - offset), and whatever still falls outside is held at the edge.
inline LONG OppositeNeighbour(LONG index, LONG offset, LONG count) {
  LONG n = index + offset;
  if (n < 0 || n >= count) n = index - offset;
  if (n < 0) n = 0;
  if (n >= count) n = count - 1;
  return n;
}

inline SIZE_T PixelCount(LONG width, LONG height) {
  return static_cast<SIZE_T>(width) * static_cast<SIZE_T>(height);
}
inline SIZE_T I420ChromaPlaneBytes(LONG width, LONG height) {
  return static_cast<SIZE_T>(width / 2) * static_cast<SIZE_T>(height / 2);
}

}  // namespace kvz
