// 8 x 8 transposes of 16-bit units (a YUY2 pixel is one: its Y, then its U or V), the step that
// lets the geometry routines pick source columns by register instead of by byte: eight rows of
// eight pixels become eight registers, one per column, each holding that column's pixel of the
// eight rows in row order (and back). SSE2 only, so x86-64 builds.
#pragma once
#include <wdm.h>
#if defined(__SSE2__)
#include <emmintrin.h>

namespace kvz {

inline VOID TransposeUnits(const __m128i r[8], __m128i t[8]) {
  const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  t[0] = _mm_unpacklo_epi64(b0, b4);
  t[1] = _mm_unpackhi_epi64(b0, b4);
  t[2] = _mm_unpacklo_epi64(b1, b5);
  t[3] = _mm_unpackhi_epi64(b1, b5);
  t[4] = _mm_unpacklo_epi64(b2, b6);
  t[5] = _mm_unpackhi_epi64(b2, b6);
  t[6] = _mm_unpacklo_epi64(b3, b7);
  t[7] = _mm_unpackhi_epi64(b3, b7);
}

// The eight pixels at byte offset `offset` of each of eight rows, transposed.
inline VOID LoadTransposedUnits(const UCHAR* const rows[8], SIZE_T offset, __m128i t[8]) {
  __m128i r[8];
  r[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[0] + offset));
  r[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[1] + offset));
  r[2] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2] + offset));
  r[3] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[3] + offset));
  r[4] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[4] + offset));
  r[5] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[5] + offset));
  r[6] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[6] + offset));
  r[7] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[7] + offset));
  TransposeUnits(r, t);
}

}  // namespace kvz
#endif
