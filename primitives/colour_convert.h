// Colour-space conversions between packed 8-bit RGB/BGR/YUY2 pixels and planar 8-bit YUV.
// Planar images are three plane pointers in the order Y, U, V.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_COLOUR_CONVERT(ns)                                                           \
  namespace kvz::prim::ns {                                                                      \
  PrimitiveStatus RgbToYuv420(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],        \
                              const int32_t dstStep[3], RoiSize roi);                            \
  PrimitiveStatus Yuv420ToBgr(const uint8_t* const src[3], const int32_t srcStep[3],             \
                              uint8_t* dst, int32_t dstStep, RoiSize roi);                       \
  PrimitiveStatus YuvToRgb(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,           \
                           int32_t dstStep, RoiSize roi);                                        \
  PrimitiveStatus Yuy2ToPlanar422(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],    \
                                  const int32_t dstStep[3], RoiSize roi);                        \
  /* Packed YUY2 to packed B G R, BT.601 video range: with C = Y - 16, D = U - 128,            \
     E = V - 128, each of (298 C + 516 D + 128) >> 8, (298 C - 100 D - 208 E + 128) >> 8 and  \
     (298 C + 409 E + 128) >> 8 clamped to 0..255. A last pixel of an odd width pairs its own \
     U byte with the V of the pixel pair before it (128 when there is none). A negative       \
     destination step writes the rows bottom-up. Same result in every build. */               \
  PrimitiveStatus Yuy2ToBgr24(const uint8_t* src, int32_t srcStep, uint8_t* dst,              \
                              int32_t dstStep, RoiSize roi);                                  \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_COLOUR_CONVERT)
#undef KVZ_DECLARE_COLOUR_CONVERT
