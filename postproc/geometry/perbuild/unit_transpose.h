// 8 x 8 transposes of 16-bit units (a YUY2 pixel is one: its Y, then its U or V), the step that
// lets the geometry routines pick source columns by register instead of by byte: eight rows of
// eight pixels become eight registers, one per column, each holding that column's pixel of the
// eight rows in row order (and back). For the builds that compile SSE2 geometry.
#pragma once
#include <wdm.h>

#include "postproc/geometry/perbuild/geometry_isa.h"
#if KVZ_BASELINE_HAS(SSE2)
#include "primitives/transpose_lanes16.h"

// In each build's own namespace: every build compiles its own copy for its instruction set.
namespace kvz::prim::KVZ_BUILD_NS {

inline VOID TransposeUnits(const __m128i r[8], __m128i t[8]) { simd::TransposeLanes16(r, t); }

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

}  // namespace kvz::prim::KVZ_BUILD_NS
#endif
