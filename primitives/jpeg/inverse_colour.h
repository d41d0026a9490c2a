// Inverse colour conversion of the JPEG decoder: full-resolution Y, Cb, Cr (and K) planes with
// one shared step to packed RGB, BGR or CMYK pixels (JFIF full-range equations).
//
// The generic build works through 16-fraction-bit tables. Every other build converts the first
// (width rounded down to 4) pixels of each row with 14-bit coefficients and the rest with the
// tables, so its colour offsets differ from the generic ones by one for a few chroma values.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_INVERSE_COLOUR(ns)                                                       \
  namespace kvz::prim::ns {                                                                  \
  PrimitiveStatus YCbCrToRgb(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,     \
                             int32_t dstStep, RoiSize roi);                                  \
  PrimitiveStatus YCbCrToBgr(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,     \
                             int32_t dstStep, RoiSize roi);                                  \
  PrimitiveStatus YcckToCmyk(const uint8_t* const src[4], int32_t srcStep, uint8_t* dst,     \
                             int32_t dstStep, RoiSize roi);                                  \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_INVERSE_COLOUR)
#undef KVZ_DECLARE_INVERSE_COLOUR
