// Private to the perbuild sources of the JPEG primitives: which instructions this build may
// use. KVZ_JPEG_SSE2: SSE2 integer vectors (every vector build but the 32-bit SSE one, whose
// processors have no integer vectors, so it runs the vector builds' arithmetic in scalar code).
// KVZ_JPEG_SSSE3: byte shuffles and the unsigned-by-signed byte multiply-add.
#pragma once
#include "primitives/build.h"

#if KVZ_BUILD_ISA >= KVZ_ISA_SSE2
#define KVZ_JPEG_SSE2 1
#include <emmintrin.h>
#endif
#if KVZ_BUILD_ISA >= KVZ_ISA_SSSE3
#define KVZ_JPEG_SSSE3 1
#include <tmmintrin.h>
#endif

#if KVZ_JPEG_SSE2
// Inside the build's namespace: each build's copy is compiled for its own instruction set.
namespace kvz::prim::KVZ_BUILD_NS {

// Transposes eight registers of eight 16-bit values (an 8 x 8 block held row by row).
inline void Transpose8x16(__m128i x[8]) {
  const __m128i a0 = _mm_unpacklo_epi16(x[0], x[1]), a1 = _mm_unpackhi_epi16(x[0], x[1]);
  const __m128i a2 = _mm_unpacklo_epi16(x[2], x[3]), a3 = _mm_unpackhi_epi16(x[2], x[3]);
  const __m128i a4 = _mm_unpacklo_epi16(x[4], x[5]), a5 = _mm_unpackhi_epi16(x[4], x[5]);
  const __m128i a6 = _mm_unpacklo_epi16(x[6], x[7]), a7 = _mm_unpackhi_epi16(x[6], x[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  x[0] = _mm_unpacklo_epi64(b0, b4);
  x[1] = _mm_unpackhi_epi64(b0, b4);
  x[2] = _mm_unpacklo_epi64(b1, b5);
  x[3] = _mm_unpackhi_epi64(b1, b5);
  x[4] = _mm_unpacklo_epi64(b2, b6);
  x[5] = _mm_unpackhi_epi64(b2, b6);
  x[6] = _mm_unpacklo_epi64(b3, b7);
  x[7] = _mm_unpackhi_epi64(b3, b7);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
#endif
