// Forward DCT with quantisation: one 8 x 8 block of 8-bit samples, level-shifted by 128,
// transformed and multiplied by a reciprocal table (products scaled by 2^-15, rounded half to
// even, saturated). Every build gives the generic build's coefficients exactly.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

// Null pixels or block -8, then a step of 0 or less -14, then a null table -8; else 0.
#define KVZ_DECLARE_FORWARD_DCT(ns)                                                            \
  namespace kvz::prim::ns {                                                                    \
  PrimitiveStatus ForwardDctQuantize8x8(const uint8_t* src, int32_t srcStep, int16_t* block,  \
                                        const uint16_t* table);                                \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_FORWARD_DCT)
#undef KVZ_DECLARE_FORWARD_DCT

namespace kvz::prim::generic {
// The transform alone, in place, on 64 signed 16-bit values in natural order; -8 on null.
PrimitiveStatus ForwardDct8x8InPlace(int16_t* block);
}  // namespace kvz::prim::generic
