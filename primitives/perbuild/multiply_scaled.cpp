#include "primitives/multiply_scaled.h"

#include "primitives/vector_ops.h"
#include "primitives/path_counts.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

int16_t Saturate(int32_t v) {
  return static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
}

// p / 2^scale rounded half to even, for scale 2..31, without overflowing 32 bits.
int16_t ScaleRounded(int32_t p, int32_t scale) {
  const int32_t half = p >> 1;
  const int32_t bias = ((p & 1) + (1 << (scale - 1)) - 1 + ((p >> scale) & 1)) >> 1;
  return Saturate((half + bias) >> (scale - 1));
}

int16_t ScaleAny(uint16_t a, int16_t b, int32_t scale) {
  const int32_t p = static_cast<int32_t>(a) * b;
  if (scale == 0) return Saturate(p);
  if (scale == 1) return Saturate((p + ((p >> 1) & 1)) >> 1);
  if (scale >= 2) return ScaleRounded(p, scale);
  if (scale >= -14) return Saturate(Saturate(p) * (1 << -scale));
  if (p == 0) return 0;
  return b > 0 ? 32767 : -32768;
}

#if KVZ_BUILD_HAS(SSE2)
// Eight scaled products. a is unsigned, so it is split into a >> 1 and a & 1: the signed
// multiply-add of (a >> 1, a & 1) with (b, b >> 1) is floor(a * b / 2) exactly.
inline __m128i ScaleEight(__m128i va, __m128i vb, __m128i bias, __m128i shiftLess1) {
  const __m128i one16 = _mm_set1_epi16(1);
  const __m128i one32 = _mm_set1_epi32(1);
  const __m128i zero = _mm_setzero_si128();
  const __m128i aHalf = _mm_srli_epi16(va, 1);
  const __m128i aLow = _mm_and_si128(va, one16);
  const __m128i bHalf = _mm_srai_epi16(vb, 1);
  const __m128i pBit0 = _mm_and_si128(_mm_mullo_epi16(va, vb), one16);
  const __m128i hLo = _mm_madd_epi16(_mm_unpacklo_epi16(aHalf, aLow), _mm_unpacklo_epi16(vb, bHalf));
  const __m128i hHi = _mm_madd_epi16(_mm_unpackhi_epi16(aHalf, aLow), _mm_unpackhi_epi16(vb, bHalf));
  // Bit `scale` of the product is bit scale-1 of the halved product.
  const __m128i oddLo = _mm_or_si128(_mm_unpacklo_epi16(pBit0, zero),
                                     _mm_and_si128(_mm_srl_epi32(hLo, shiftLess1), one32));
  const __m128i oddHi = _mm_or_si128(_mm_unpackhi_epi16(pBit0, zero),
                                     _mm_and_si128(_mm_srl_epi32(hHi, shiftLess1), one32));
  const __m128i rLo = _mm_sra_epi32(_mm_add_epi32(_mm_add_epi32(hLo, bias), oddLo), shiftLess1);
  const __m128i rHi = _mm_sra_epi32(_mm_add_epi32(_mm_add_epi32(hHi, bias), oddHi), shiftLess1);
  return _mm_packs_epi32(rLo, rHi);
}
#endif

}  // namespace

void MultiplyWordsScaledKernel(const uint16_t* a, const int16_t* b, int16_t* dst, int32_t count,
                               int32_t scale) {
  int32_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  if (count >= 15) {
    KVZ_COUNT_PATH(kPathMultiplyScaled);
    const uintptr_t address = reinterpret_cast<uintptr_t>(dst);
    const bool aligned = (address & 1) == 0;
    if (aligned) {
      for (; (reinterpret_cast<uintptr_t>(dst + i) & 15) != 0; ++i)
        dst[i] = ScaleRounded(static_cast<int32_t>(a[i]) * b[i], scale);
    }
    const __m128i bias = _mm_set1_epi32((1 << (scale - 2)) - 1);
    const __m128i shiftLess1 = _mm_cvtsi32_si128(scale - 1);
    const int32_t groupsEnd = i + ((count - i) & ~7);
    for (; i < groupsEnd; i += 8) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      const __m128i r = ScaleEight(va, vb, bias, shiftLess1);
      if (aligned)
        _mm_store_si128(reinterpret_cast<__m128i*>(dst + i), r);
      else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
    }
  }
#endif
  for (; i < count; ++i) dst[i] = ScaleRounded(static_cast<int32_t>(a[i]) * b[i], scale);
}

PrimitiveStatus MultiplyWordsScaled(const uint16_t* a, const int16_t* b, int16_t* dst,
                                    int32_t count, int32_t scale) {
  if (a == nullptr || b == nullptr || dst == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  if (scale >= 32) return ZeroWords(dst, count);
  if (scale >= 2) {
    MultiplyWordsScaledKernel(a, b, dst, count, scale);
    return kStsOk;
  }
  for (int32_t i = 0; i < count; ++i) dst[i] = ScaleAny(a[i], b[i], scale);
  return kStsOk;
}

PrimitiveStatus MultiplyWordsSat(const int16_t* a, const int16_t* b, int16_t* dst, int32_t count) {
  if (a == nullptr || b == nullptr || dst == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  int32_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  if (count >= 8) {
    KVZ_COUNT_PATH(kPathMultiplySat);
    for (; i + 8 <= count; i += 8) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      const __m128i lo = _mm_mullo_epi16(va, vb);
      const __m128i hi = _mm_mulhi_epi16(va, vb);
      const __m128i r = _mm_packs_epi32(_mm_unpacklo_epi16(lo, hi), _mm_unpackhi_epi16(lo, hi));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
    }
  }
#endif
  for (; i < count; ++i) dst[i] = Saturate(static_cast<int32_t>(a[i]) * b[i]);
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
