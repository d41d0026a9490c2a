// Down-sampling of 8-bit chroma rows for encoding: box averages of 2 (H2V1) or 2 x 2 (H2V2)
// samples with a rounding bias that alternates from one output to the next.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

// length counts input samples. A null row gives -8, a length of 0 or less -6. The generic build
// writes ceil(length / 2) outputs, reading one sample past an odd length; the vector builds
// write floor(length / 2) and start the bias with the odd value for lengths 4, 8 and 12.
#define KVZ_DECLARE_DOWN_SAMPLING(ns)                                                       \
  namespace kvz::prim::ns {                                                                 \
  PrimitiveStatus SampleDownRowH2V1(const uint8_t* src, int32_t srcLength, uint8_t* dst);  \
  PrimitiveStatus SampleDownRowH2V2(const uint8_t* upper, const uint8_t* lower,             \
                                    int32_t srcLength, uint8_t* dst);                       \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_DOWN_SAMPLING)
#undef KVZ_DECLARE_DOWN_SAMPLING
