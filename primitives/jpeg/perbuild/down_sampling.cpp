// Down-sampling. The vector builds handle 16 outputs per step from a 16-byte aligned output
// address, finish a row with one overlapping step, and take rows of fewer than 16 outputs one
// sample at a time; the 32-bit SSE build, without integer vectors, runs the same rules in
// scalar code. Their two differences from the generic build (odd lengths, lengths 4, 8, 12)
// are kept so every vector build gives the same rows.
#include "primitives/jpeg/down_sampling.h"

#include <stddef.h>

#include "jpeg_simd.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

constexpr bool kGeneric = !KVZ_BUILD_HAS(SSE);

// Output k of a row: bias base + (k & 1) with base 0 (H2V1) or 1 (H2V2); `phase` is 1 where
// the alternation starts with the odd value.
template <bool kV2>
inline uint8_t Output(const uint8_t* upper, const uint8_t* lower, int32_t k, int32_t phase) {
  uint32_t sum = upper[2 * k] + upper[2 * k + 1];
  if (kV2) sum += lower[2 * k] + lower[2 * k + 1];
  uint32_t bias = (kV2 ? 1 : 0) + ((k + phase) & 1);
  return static_cast<uint8_t>((sum + bias) >> (kV2 ? 2 : 1));
}

#if KVZ_BUILD_HAS(SSE2)
// Eight sums of adjacent sample pairs as 16-bit values.
inline __m128i PairSums(__m128i x) {
#if KVZ_BUILD_HAS(SSSE3)
  return _mm_maddubs_epi16(x, _mm_set1_epi8(1));
#else
  return _mm_add_epi16(_mm_and_si128(x, _mm_set1_epi16(0xFF)), _mm_srli_epi16(x, 8));
#endif
}

// Outputs k .. k + 15.
template <bool kV2>
inline __m128i Block(const uint8_t* upper, const uint8_t* lower, int32_t k, int32_t phase) {
  const uint8_t* u = upper + 2 * k;
  __m128i s0 = PairSums(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u)));
  __m128i s1 = PairSums(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + 16)));
  if (kV2) {
    const uint8_t* l = lower + 2 * k;
    s0 = _mm_add_epi16(s0, PairSums(_mm_loadu_si128(reinterpret_cast<const __m128i*>(l))));
    s1 = _mm_add_epi16(s1, PairSums(_mm_loadu_si128(reinterpret_cast<const __m128i*>(l + 16))));
  }
  const int16_t even = kV2 ? 1 : 0, odd = static_cast<int16_t>(even + 1);
  const __m128i bias = ((k + phase) & 1) ? _mm_setr_epi16(odd, even, odd, even, odd, even, odd, even)
                                         : _mm_setr_epi16(even, odd, even, odd, even, odd, even, odd);
  s0 = _mm_srli_epi16(_mm_add_epi16(s0, bias), kV2 ? 2 : 1);
  s1 = _mm_srli_epi16(_mm_add_epi16(s1, bias), kV2 ? 2 : 1);
  return _mm_packus_epi16(s0, s1);
}
#endif

template <bool kV2>
PrimitiveStatus SampleDownRow(const uint8_t* upper, const uint8_t* lower, int32_t length,
                              uint8_t* dst) {
  if (upper == nullptr || (kV2 && lower == nullptr) || dst == nullptr) return kStsNullPointer;
  if (length <= 0) return kStsSizeError;
  if (kGeneric) {
    for (int32_t k = 0; 2 * k < length; ++k) dst[k] = Output<kV2>(upper, lower, k, 0);
    return kStsOk;
  }
  const int32_t outputs = length / 2;
  const int32_t phase = (length == 4 || length == 8 || length == 12) ? 1 : 0;
  int32_t k = 0;
#if KVZ_BUILD_HAS(SSE2)
  if (outputs >= 16) {
    for (; (reinterpret_cast<uintptr_t>(dst + k) & 15) != 0; ++k)
      dst[k] = Output<kV2>(upper, lower, k, phase);
    for (; k + 16 <= outputs; k += 16)
      _mm_store_si128(reinterpret_cast<__m128i*>(dst + k), Block<kV2>(upper, lower, k, phase));
    if (k < outputs) {
      k = outputs - 16;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), Block<kV2>(upper, lower, k, phase));
      k = outputs;
    }
  }
#endif
  for (; k < outputs; ++k) dst[k] = Output<kV2>(upper, lower, k, phase);
  return kStsOk;
}

}  // namespace

PrimitiveStatus SampleDownRowH2V1(const uint8_t* src, int32_t srcLength, uint8_t* dst) {
  return SampleDownRow<false>(src, nullptr, srcLength, dst);
}

PrimitiveStatus SampleDownRowH2V2(const uint8_t* upper, const uint8_t* lower, int32_t srcLength,
                                  uint8_t* dst) {
  return SampleDownRow<true>(upper, lower, srcLength, dst);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
