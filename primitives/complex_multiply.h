// Element-wise products of single-precision complex vectors, in place and out of place. Each
// part is two single-precision products and one sum, rounded to nearest. Unchecked: count >= 1.
#pragma once
#include <stdint.h>

#include "primitives/build.h"

namespace kvz::prim {
struct Complex32f {
  float re;
  float im;
};
}  // namespace kvz::prim

#define KVZ_DECLARE_COMPLEX_MULTIPLY(ns)                                                     \
  namespace kvz::prim::ns {                                                                  \
  /* srcDst[i] = srcDst[i] * src[i] */                                                       \
  void MultiplyComplexInPlace(const Complex32f* src, Complex32f* srcDst, int32_t count);     \
  void MultiplyComplex(const Complex32f* a, const Complex32f* b, Complex32f* dst,            \
                       int32_t count);                                                       \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_COMPLEX_MULTIPLY)
#undef KVZ_DECLARE_COMPLEX_MULTIPLY
