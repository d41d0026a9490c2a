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
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_COLOUR_CONVERT)
#undef KVZ_DECLARE_COLOUR_CONVERT
