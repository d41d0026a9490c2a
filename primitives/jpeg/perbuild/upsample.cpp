// Triangle-filter up-sampling, one copy per processor build. The vector builds make 32 outputs
// from 16 source samples a step in 16-bit lanes (the largest sum, 4088, fits) and finish each
// row with the sample formulas; the x86 SSE build has no integer vectors and runs the portable
// row by design.
#include "primitives/jpeg/upsample.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

PrimitiveStatus CheckArgs(const uint8_t* src, int32_t srcStep, RoiSize srcSize, const uint8_t* dst,
                          int32_t dstStep, RoiSize dstSize) {
  if (src == nullptr) return kStsNullPointer;
  if (srcStep <= 0) return kStsStepError;
  if (srcSize.width <= 0 || srcSize.height <= 0) return kStsSizeError;
  if (dst == nullptr) return kStsNullPointer;
  if (dstStep <= 0) return kStsStepError;
  if (dstSize.width <= 0 || dstSize.height <= 0) return kStsSizeError;
  return kStsOk;
}

#if KVZ_BUILD_HAS(SSE2)
inline __m128i Widen(const uint8_t* p, __m128i zero, bool high) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return high ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
}

// Even and odd outputs of 8 centre values c with their left and right neighbours, as
// (3c + side + bias) >> shift, interleaved into 16 bytes.
template <int kShift>
inline __m128i Outputs(__m128i c, __m128i left, __m128i right, __m128i biasEven,
                       __m128i biasOdd) {
  const __m128i c3 = _mm_add_epi16(_mm_add_epi16(c, c), c);
  const __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(c3, left), biasEven), kShift);
  const __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(c3, right), biasOdd), kShift);
  return _mm_or_si128(even, _mm_slli_epi16(odd, 8));
}
#endif

// Returns the number of destination samples written (a multiple of 32, at most width).
int32_t RowH2V1Vector(const uint8_t* s, uint8_t* d, int32_t width) {
  int32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi16(1), two = _mm_set1_epi16(2);
  for (; j + 32 <= width; j += 32) {
    const uint8_t* p = s + (j >> 1);
    for (int h = 0; h < 2; ++h) {
      const __m128i out = Outputs<2>(Widen(p, zero, h), Widen(p - 1, zero, h),
                                     Widen(p + 1, zero, h), one, two);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + j + 16 * h), out);
    }
  }
#else
  (void)s;
  (void)d;
  (void)width;
#endif
  return j;
}

int32_t RowH2V2Vector(const uint8_t* n, const uint8_t* f, uint8_t* d, int32_t width) {
  int32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
  const __m128i zero = _mm_setzero_si128();
  const __m128i eight = _mm_set1_epi16(8), seven = _mm_set1_epi16(7);
  for (; j + 32 <= width; j += 32) {
    const int32_t k = j >> 1;
    for (int h = 0; h < 2; ++h) {
      __m128i c[3];
      for (int o = 0; o < 3; ++o) {
        const __m128i nv = Widen(n + k + o - 1, zero, h);
        c[o] = _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(nv, nv), nv), Widen(f + k + o - 1, zero, h));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + j + 16 * h),
                       Outputs<4>(c[1], c[0], c[2], eight, seven));
    }
  }
#else
  (void)n;
  (void)f;
  (void)d;
  (void)width;
#endif
  return j;
}

void RowH2V1(const uint8_t* s, uint8_t* d, int32_t width) {
  for (int32_t j = RowH2V1Vector(s, d, width); j < width; ++j) {
    const int32_t k = j >> 1;
    d[j] = static_cast<uint8_t>((j & 1) == 0 ? (3 * s[k] + s[k - 1] + 1) >> 2
                                             : (3 * s[k] + s[k + 1] + 2) >> 2);
  }
}

void RowH2V2(const uint8_t* n, const uint8_t* f, uint8_t* d, int32_t width) {
  for (int32_t j = RowH2V2Vector(n, f, d, width); j < width; ++j) {
    const int32_t k = j >> 1;
    const int32_t c = 3 * n[k] + f[k];
    d[j] = static_cast<uint8_t>((j & 1) == 0 ? (3 * c + 3 * n[k - 1] + f[k - 1] + 8) >> 4
                                             : (3 * c + 3 * n[k + 1] + f[k + 1] + 7) >> 4);
  }
}

}  // namespace

PrimitiveStatus SampleUpH2V1(const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst,
                             int32_t dstStep, RoiSize dstSize) {
  const PrimitiveStatus st = CheckArgs(src, srcStep, srcSize, dst, dstStep, dstSize);
  if (st != kStsOk) return st;
  for (int32_t r = 0; r < dstSize.height; ++r) {
    RowH2V1(src + static_cast<intptr_t>(r) * srcStep, dst + static_cast<intptr_t>(r) * dstStep,
            dstSize.width);
  }
  return kStsOk;
}

PrimitiveStatus SampleUpH2V2(const uint8_t* src, int32_t srcStep, RoiSize srcSize, uint8_t* dst,
                             int32_t dstStep, RoiSize dstSize) {
  const PrimitiveStatus st = CheckArgs(src, srcStep, srcSize, dst, dstStep, dstSize);
  if (st != kStsOk) return st;
  for (int32_t r = 0; r < dstSize.height; ++r) {
    const intptr_t nearRow = r >> 1;
    const intptr_t farRow = (r & 1) == 0 ? nearRow - 1 : nearRow + 1;
    RowH2V2(src + nearRow * srcStep, src + farRow * srcStep,
            dst + static_cast<intptr_t>(r) * dstStep, dstSize.width);
  }
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
