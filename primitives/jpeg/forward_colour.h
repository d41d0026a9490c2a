// Forward colour conversion: pixel-interleaved RGB, BGR or CMYK to 8-bit sample planes with the
// JFIF full-range equations, the first step of encoding.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

namespace kvz::prim {

// The generic build's fixed-point products: 8 segments of 256 entries, index the channel value.
enum RgbToYccSegment {
  kRToY, kGToY, kBToY, kRToCb, kGToCb, kBToCbRToCr, kGToCr, kBToCr, kRgbToYccSegments
};

struct RgbToYccTableData {
  int32_t entry[kRgbToYccSegments][256];
};

constexpr RgbToYccTableData MakeRgbToYccTable() {
  // 0.299, 0.587, 0.114, 0.16874, 0.33126, 0.5, 0.41869, 0.08131 in 16-bit fixed point; 32768
  // is one half; 128 << 16 plus one half less one centres the chroma.
  constexpr int32_t kMul[kRgbToYccSegments] = {19595, 38470, 7471, -11059, -21709, 32768, -27439, -5329};
  constexpr int32_t kAdd[kRgbToYccSegments] = {0, 0, 32768, 0, 0, (128 << 16) + 32767, 0, 0};
  RgbToYccTableData t{};
  for (int s = 0; s < kRgbToYccSegments; ++s)
    for (int i = 0; i < 256; ++i) t.entry[s][i] = kMul[s] * i + kAdd[s];
  return t;
}

inline constexpr RgbToYccTableData RgbToYccTable = MakeRgbToYccTable();

}  // namespace kvz::prim

// Checks, in order: a null source, destination or plane -8; a step of 0 or less -14; a width or
// height of 0 or less -6. The vector builds use shorter multipliers and clamp, so their samples
// can differ from the generic build's by one.
#define KVZ_DECLARE_FORWARD_COLOUR(ns)                                                          \
  namespace kvz::prim::ns {                                                                     \
  PrimitiveStatus RgbToY(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,    \
                         RoiSize roi);                                                          \
  PrimitiveStatus RgbToYCbCr(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],        \
                             int32_t dstStep, RoiSize roi);                                     \
  PrimitiveStatus BgrToYCbCr(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],        \
                             int32_t dstStep, RoiSize roi);                                     \
  PrimitiveStatus CmykToYcck(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],        \
                             int32_t dstStep, RoiSize roi);                                     \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_FORWARD_COLOUR)
#undef KVZ_DECLARE_FORWARD_COLOUR
