// Reciprocal tables: each 16-bit divisor v of a vector becomes c / v rounded to the nearest
// integer, ties to even (c = 0x8000 makes the quantisation reciprocals).
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_DIVIDE_WORDS(ns)                                                          \
  namespace kvz::prim::ns {                                                                   \
  /* In place. Only the low 16 bits of c count; c = 0 clears the vector. A zero divisor */    \
  /* gives 0xFFFF and the warning 6 once every element is done. */                            \
  PrimitiveStatus ReverseDivideWords(int32_t c, uint16_t* vec, int32_t count);                \
  PrimitiveStatus ReverseDivideWordsKernel(const uint16_t* src, int32_t c, uint16_t* dst,     \
                                           int32_t count);                                    \
  /* Unchecked: c != 0, count >= 1. Nonzero when a divisor was 0. */                          \
  int32_t DivideWordsSimd(const uint16_t* src, uint16_t c, uint16_t* dst, int32_t count);     \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_DIVIDE_WORDS)
#undef KVZ_DECLARE_DIVIDE_WORDS
