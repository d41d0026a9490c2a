// Element-wise products of 16-bit vectors, saturated to the signed 16-bit range: the plain
// product (dequantisation) and the product scaled by 2^-scale with rounding half to even
// (quantisation by a reciprocal table).
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_MULTIPLY_SCALED(ns)                                                       \
  namespace kvz::prim::ns {                                                                   \
  PrimitiveStatus MultiplyWordsSat(const int16_t* a, const int16_t* b, int16_t* dst,          \
                                   int32_t count);                                            \
  /* dst may be b. Scale 32 or more clears dst; negative scales multiply by 2^-scale. */      \
  PrimitiveStatus MultiplyWordsScaled(const uint16_t* a, const int16_t* b, int16_t* dst,      \
                                      int32_t count, int32_t scale);                          \
  /* Unchecked kernel for the block transforms of the same build: count >= 1, scale 2..31. */ \
  void MultiplyWordsScaledKernel(const uint16_t* a, const int16_t* b, int16_t* dst,           \
                                 int32_t count, int32_t scale);                               \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_MULTIPLY_SCALED)
#undef KVZ_DECLARE_MULTIPLY_SCALED
