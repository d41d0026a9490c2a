// Zigzag order of the 64 coefficients of a block, and the reorder of a zigzag-ordered block
// (as DQT segments carry quantisation tables) into natural, row-major order.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

namespace kvz::prim {

// Natural index of zigzag position k, followed by eight guard entries of 63 so that a run that
// overshoots position 63 still reads inside the table.
inline constexpr int32_t kZigzagToNatural[64 + 8] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
    63, 63, 63, 63, 63, 63, 63, 63};

// Zigzag position of natural index n.
inline constexpr int32_t kNaturalToZigzag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

}  // namespace kvz::prim

// ZigzagToNatural(zigzag-ordered block, natural-ordered block out): 64 16-bit values; -8 when
// either pointer is null, else 0.
#define KVZ_DECLARE_ZIGZAG(ns)                                               \
  namespace kvz::prim::ns {                                                  \
  PrimitiveStatus ZigzagToNatural(const int16_t* zigzag, int16_t* natural);  \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_ZIGZAG)
#undef KVZ_DECLARE_ZIGZAG
