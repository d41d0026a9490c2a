// YUY2 row packing, one copy per processor build. On x86-64 every build (SSE2 is part of the
// architecture) packs sixteen pixels a step; the 32-bit builds run the portable loop.
#include "primitives/jpeg/yuy2_pack.h"

#include <string.h>

#include "primitives/build_gates.h"
#if KVZ_BASELINE_HAS(SSE2)
#include <emmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {

void PackYuy2Row(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int32_t width, uint8_t* dst) {
  int32_t x = 0;
#if KVZ_BASELINE_HAS(SSE2)
  for (; x + 16 <= width; x += 16, dst += 32) {
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x));
    const __m128i chroma = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + (x >> 1))),
                                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + (x >> 1))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(y, chroma));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm_unpackhi_epi8(y, chroma));
  }
#endif
  for (; x + 1 < width; x += 2, dst += 4) {
    const uint32_t pair = static_cast<uint32_t>(luma[x]) | static_cast<uint32_t>(cb[x >> 1]) << 8 |
                          static_cast<uint32_t>(luma[x + 1]) << 16 | static_cast<uint32_t>(cr[x >> 1]) << 24;
    memcpy(dst, &pair, sizeof(pair));
  }
  if (x < width) {
    dst[0] = luma[x];
    dst[1] = cb[x >> 1];
  }
}

}  // namespace kvz::prim::KVZ_BUILD_NS
