// Private to the perbuild sources of the JPEG primitives: the intrinsics this build may use.
// KVZ_BUILD_HAS(SSE2): integer vectors (every vector build but the 32-bit SSE one, whose
// processors have no integer vectors, so it runs the vector builds' arithmetic in scalar code).
// KVZ_BUILD_HAS(SSSE3): byte shuffles and the unsigned-by-signed byte multiply-add.
#pragma once
#include "primitives/build.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif
#if KVZ_BUILD_HAS(SSSE3)
#include <tmmintrin.h>
#endif

#if KVZ_BUILD_HAS(SSE2)
#include "primitives/transpose_lanes16.h"

// Inside the build's namespace: each build's copy is compiled for its own instruction set.
namespace kvz::prim::KVZ_BUILD_NS {

// Transposes eight registers of eight 16-bit values (an 8 x 8 block held row by row).
inline void Transpose8x16(__m128i x[8]) { simd::TransposeLanes16(x, x); }

}  // namespace kvz::prim::KVZ_BUILD_NS
#endif
