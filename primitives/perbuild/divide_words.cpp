#include "primitives/divide_words.h"

#include "primitives/vector_ops.h"
#include "primitives/path_counts.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

// c / v rounded half to even, decided on the exact remainder (a truncated fixed-point
// fraction cannot tell a half from slightly less).
uint16_t DivideRounded(uint32_t c, uint32_t v) {
  uint32_t q = c / v;
  const uint32_t twiceRemainder = 2 * (c - q * v);
  if (twiceRemainder > v || (twiceRemainder == v && (q & 1) != 0)) ++q;
  return static_cast<uint16_t>(q);
}

#if KVZ_BUILD_HAS(SSE2)
inline __m128i Select(__m128i mask, __m128i ifSet, __m128i ifClear) {
  return _mm_or_si128(_mm_and_si128(mask, ifSet), _mm_andnot_si128(mask, ifClear));
}

// Four quotients from a refined single-precision reciprocal, then put right with the exact
// remainder: the estimate is within one of the answer, and every product and difference of
// the correction is an integer below 2^24, so single precision holds it exactly.
inline __m128i DivideFour(__m128 c, __m128i vInt) {
  const __m128 v = _mm_cvtepi32_ps(vInt);
  const __m128 r = _mm_rcp_ps(v);
  const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(v, r));
  const __m128 x = _mm_mul_ps(c, r);
  const __m128 xe = _mm_add_ps(x, _mm_mul_ps(e, x));
  const __m128 refined = _mm_add_ps(xe, _mm_mul_ps(_mm_mul_ps(e, e), xe));
  const __m128i q = _mm_cvtps_epi32(refined);
  const __m128 twiceRem = _mm_mul_ps(_mm_set1_ps(2.0f), _mm_sub_ps(c, _mm_mul_ps(_mm_cvtepi32_ps(q), v)));
  const __m128 negV = _mm_sub_ps(_mm_setzero_ps(), v);
  // Above v rounds up, below -v rounds down; equal is a tie that goes to the even neighbour.
  const __m128 qOdd = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(q, _mm_set1_epi32(1)), _mm_set1_epi32(1)));
  const __m128 up = _mm_or_ps(_mm_cmpgt_ps(twiceRem, v), _mm_and_ps(_mm_cmpeq_ps(twiceRem, v), qOdd));
  const __m128 down = _mm_or_ps(_mm_cmplt_ps(twiceRem, negV), _mm_and_ps(_mm_cmpeq_ps(twiceRem, negV), qOdd));
  // The masks are -1 where set: subtracting rounds up, adding rounds down.
  return _mm_add_epi32(_mm_sub_epi32(q, _mm_castps_si128(up)), _mm_castps_si128(down));
}
#endif

}  // namespace

int32_t DivideWordsSimd(const uint16_t* src, uint16_t c, uint16_t* dst, int32_t count) {
  int32_t zeroSeen = 0;
  int32_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  // An odd destination never reaches a 16-byte boundary: it takes unaligned stores instead.
  const bool aligned = (reinterpret_cast<uintptr_t>(dst) & 1) == 0;
  for (; aligned && i < count && (reinterpret_cast<uintptr_t>(dst + i) & 15) != 0; ++i) {
    if (src[i] == 0) {
      dst[i] = 0xFFFF;
      zeroSeen = 1;
    } else {
      dst[i] = DivideRounded(c, src[i]);
    }
  }
  const int32_t groupsEnd = i + ((count - i) & ~7);
  if (i < groupsEnd) {
    KVZ_COUNT_PATH(kPathReverseDivide);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones16 = _mm_set1_epi16(1);
    const __m128 cFloat = _mm_set1_ps(static_cast<float>(c));
    const __m128i bias = _mm_set1_epi32(0x8000);
    __m128i anyZero = zero;
    for (; i < groupsEnd; i += 8) {
      const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      const __m128i isZero = _mm_cmpeq_epi16(raw, zero);
      anyZero = _mm_or_si128(anyZero, isZero);
      const __m128i v = Select(isZero, ones16, raw);
      const __m128i qLo = DivideFour(cFloat, _mm_unpacklo_epi16(v, zero));
      const __m128i qHi = DivideFour(cFloat, _mm_unpackhi_epi16(v, zero));
      // Quotients run to 65535: pack them offset into the signed range, then undo the offset.
      const __m128i packed = _mm_xor_si128(
          _mm_packs_epi32(_mm_sub_epi32(qLo, bias), _mm_sub_epi32(qHi, bias)), _mm_set1_epi16(-32768));
      const __m128i result = Select(isZero, _mm_set1_epi16(-1), packed);
      if (aligned)
        _mm_store_si128(reinterpret_cast<__m128i*>(dst + i), result);
      else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), result);
    }
    if (_mm_movemask_epi8(anyZero) != 0) zeroSeen = 1;
  }
#endif
  for (; i < count; ++i) {
    if (src[i] == 0) {
      dst[i] = 0xFFFF;
      zeroSeen = 1;
    } else {
      dst[i] = DivideRounded(c, src[i]);
    }
  }
  return zeroSeen;
}

PrimitiveStatus ReverseDivideWordsKernel(const uint16_t* src, int32_t c, uint16_t* dst,
                                         int32_t count) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  const uint16_t numerator = static_cast<uint16_t>(c);
  if (numerator == 0) {
    bool zeroSeen = false;
    for (int32_t i = 0; i < count && !zeroSeen; ++i) zeroSeen = src[i] == 0;
    ZeroWords(reinterpret_cast<int16_t*>(dst), count);
    return zeroSeen ? kStsDivisionByZero : kStsOk;
  }
  return DivideWordsSimd(src, numerator, dst, count) ? kStsDivisionByZero : kStsOk;
}

PrimitiveStatus ReverseDivideWords(int32_t c, uint16_t* vec, int32_t count) {
  if (vec == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  return ReverseDivideWordsKernel(vec, c, vec, count);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
