// Dequantisation and inverse DCT of 8 x 8 blocks, and the dequantisation table built from a
// DQT segment's raw table. Every processor build gives the generic build's results exactly:
// the vector builds reproduce its saturating products and its 32-bit wrapping transform.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_INVERSE_DCT(ns)                                                          \
  namespace kvz::prim::ns {                                                                  \
  /* Raw table (64 bytes, zig-zag order) to 16-bit entries in natural order. */              \
  PrimitiveStatus InitInverseQuantTable(const uint8_t* raw, uint16_t* table);                \
  /* Coefficients (natural order) times table, inverse DCT, +128, clamped 8x8 samples. */    \
  PrimitiveStatus DequantizeInverseDct8x8(const int16_t* coefficients, uint8_t* dst,         \
                                          int32_t dstStep, const uint16_t* table);           \
  /* The bare transform: columns, then rows; src and dst may be the same block. */           \
  void InverseDct8x8Kernel(const int16_t* src, int16_t* dst);                                \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_INVERSE_DCT)
#undef KVZ_DECLARE_INVERSE_DCT
