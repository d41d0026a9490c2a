// Forward DCT and quantisation. The generic build is the reference: a row pass and a column
// pass of one eight-point butterfly in 32-bit arithmetic, then the scaled multiply of the
// primitives library. The SSE2-level builds compute the very same integers eight rows or
// columns at a time: each product is a 16-bit multiply-add into 32 bits, with the few constants
// above 16 bits split into halves and D and V (up to 18 bits in the column pass) split into
// their top bits and low three bits. The 32-bit SSE build, without integer vectors, runs the
// scalar butterfly.
#include "primitives/jpeg/forward_dct.h"

#include <stddef.h>

#include "jpeg_simd.h"
#include "primitives/multiply_scaled.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

// One eight-point butterfly; kRow selects the row pass's output scaling.
template <bool kRow>
inline void Butterfly(const int32_t x[8], int32_t out[8]) {
  const int32_t s07 = x[0] + x[7], d07 = x[0] - x[7], s16 = x[1] + x[6], d16 = x[1] - x[6];
  const int32_t s25 = x[2] + x[5], d25 = x[2] - x[5], s34 = x[3] + x[4], d34 = x[3] - x[4];
  const int32_t t13 = s07 - s34, t12 = s16 - s25;
  const int32_t z = (t13 + t12) * 17734;
  const int32_t y2 = z + t13 * 25080, y6 = z - t12 * 60547;
  const int32_t dd = (d07 * 46341 + 2048) >> 12, vv = (d34 * 46341 + 2048) >> 12;
  const int32_t p = (d16 + d25) * 8, m = (d16 - d25) * 8;
  const int32_t w = p + dd, xx = vv + m;
  const int32_t e = (w + xx) * 799;
  const int32_t y1 = e + w * 3218, y7 = e - xx * 4816;
  const int32_t y3 = (dd - p) * 3406 - (vv - m) * 2275;
  const int32_t y5 = (vv - m) * 3406 + (dd - p) * 2276;
  if (kRow) {
    out[0] = (s07 + s16 + s25 + s34) * 8;
    out[4] = (s07 + s34 - s16 - s25) * 8;
    out[1] = (y1 + 2048) >> 12;
    out[2] = (y2 + 2048) >> 12;
    out[3] = (y3 + 2048) >> 12;
    out[5] = (y5 + 2048) >> 12;
    out[6] = (y6 + 2048) >> 12;
    out[7] = (y7 + 2048) >> 12;
  } else {
    out[0] = (s07 + s16 + s25 + s34 + 32) >> 6;
    out[4] = (s07 + s34 - s16 - s25 + 32) >> 6;
    out[1] = (y1 + 1048576) >> 21;
    out[2] = (y2 + 1048576) >> 21;
    out[3] = (y3 + 1048576) >> 21;
    out[5] = (y5 + 1048576) >> 21;
    out[6] = (y6 + 1048576) >> 21;
    out[7] = (y7 + 1048576) >> 21;
  }
}

[[maybe_unused]] void ScalarDct(int16_t* block) {
  int32_t x[8], out[8];
  for (int r = 0; r < 8; ++r) {
    for (int i = 0; i < 8; ++i) x[i] = block[8 * r + i];
    Butterfly<true>(x, out);
    for (int i = 0; i < 8; ++i) block[8 * r + i] = static_cast<int16_t>(out[i]);
  }
  for (int c = 0; c < 8; ++c) {
    for (int i = 0; i < 8; ++i) x[i] = block[8 * i + c];
    Butterfly<false>(x, out);
    for (int i = 0; i < 8; ++i) block[8 * i + c] = static_cast<int16_t>(out[i]);
  }
}

#if KVZ_JPEG_SSE2
// A pair of 16-bit multipliers for _mm_madd_epi16: `first` applies to the lower lane of a pair.
inline __m128i Pair(int16_t first, int16_t second) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16) |
                                             static_cast<uint16_t>(first)));
}

// Four 32-bit sums rounded and shifted as the pass requires, eight of them packed to 16 bits.
template <bool kRow>
inline __m128i Finish(__m128i lo, __m128i hi) {
  const __m128i round = _mm_set1_epi32(kRow ? 2048 : 1048576);
  return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, round), kRow ? 12 : 21),
                         _mm_srai_epi32(_mm_add_epi32(hi, round), kRow ? 12 : 21));
}

// (d x 46341 + 2048) >> 12 of four lanes, from d paired with itself.
inline __m128i ScaleBySqrt2(__m128i dd) {
  return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(dd, Pair(23170, 23171)), _mm_set1_epi32(2048)), 12);
}

// Four lanes of D and V as (D >> 3, V >> 3) and (D & 7, V & 7) 16-bit pairs.
inline void SplitDv(__m128i d, __m128i v, __m128i* high, __m128i* low) {
  const __m128i word = _mm_set1_epi32(0xFFFF), seven = _mm_set1_epi32(7);
  *high = _mm_or_si128(_mm_and_si128(_mm_srai_epi32(d, 3), word), _mm_slli_epi32(_mm_srai_epi32(v, 3), 16));
  *low = _mm_or_si128(_mm_and_si128(d, seven), _mm_slli_epi32(_mm_and_si128(v, seven), 16));
}

// a_D D + a_V V + 2 (h16 d16 + h25 d25), the form every odd output takes; kWhole: dvHigh holds
// D and V themselves (the row pass).
template <bool kWhole>
inline __m128i OddOutput(__m128i dvHigh, __m128i dvLow, __m128i q, int16_t aD, int16_t aV,
                         int16_t h16, int16_t h25) {
  const __m128i odd = _mm_slli_epi32(_mm_madd_epi16(q, Pair(h16, h25)), 1);
  if (kWhole) return _mm_add_epi32(_mm_madd_epi16(dvHigh, Pair(aD, aV)), odd);
  __m128i sum = _mm_add_epi32(_mm_madd_epi16(dvHigh, Pair(static_cast<int16_t>(aD * 8), static_cast<int16_t>(aV * 8))),
                              _mm_madd_epi16(dvLow, Pair(aD, aV)));
  return _mm_add_epi32(sum, odd);
}

// The four odd outputs from D and V (whole or split) and the d16, d25 pairs of both halves.
template <bool kRow, bool kWhole>
inline void OddOutputs(const __m128i dvHigh[2], const __m128i dvLow[2], const __m128i q[2], __m128i x[8]) {
  x[1] = Finish<kRow>(OddOutput<kWhole>(dvHigh[0], dvLow[0], q[0], 4017, 799, 19264, 12872),
                      OddOutput<kWhole>(dvHigh[1], dvLow[1], q[1], 4017, 799, 19264, 12872));
  x[7] = Finish<kRow>(OddOutput<kWhole>(dvHigh[0], dvLow[0], q[0], 799, -4017, -12872, 19264),
                      OddOutput<kWhole>(dvHigh[1], dvLow[1], q[1], 799, -4017, -12872, 19264));
  x[3] = Finish<kRow>(OddOutput<kWhole>(dvHigh[0], dvLow[0], q[0], 3406, -2275, -4524, -22724),
                      OddOutput<kWhole>(dvHigh[1], dvLow[1], q[1], 3406, -2275, -4524, -22724));
  x[5] = Finish<kRow>(OddOutput<kWhole>(dvHigh[0], dvLow[0], q[0], 2276, 3406, -22728, 4520),
                      OddOutput<kWhole>(dvHigh[1], dvLow[1], q[1], 2276, 3406, -22728, 4520));
}

// The butterfly on eight lanes at once: x[k] holds input k of eight rows (or columns).
template <bool kRow>
inline void VectorButterfly(__m128i x[8]) {
  const __m128i s07 = _mm_add_epi16(x[0], x[7]), d07 = _mm_sub_epi16(x[0], x[7]);
  const __m128i s16 = _mm_add_epi16(x[1], x[6]), d16 = _mm_sub_epi16(x[1], x[6]);
  const __m128i s25 = _mm_add_epi16(x[2], x[5]), d25 = _mm_sub_epi16(x[2], x[5]);
  const __m128i s34 = _mm_add_epi16(x[3], x[4]), d34 = _mm_sub_epi16(x[3], x[4]);
  const __m128i t13 = _mm_sub_epi16(s07, s34), t12 = _mm_sub_epi16(s16, s25);
  const __m128i a = _mm_add_epi16(s07, s34), b = _mm_add_epi16(s16, s25);
  if (kRow) {
    x[0] = _mm_slli_epi16(_mm_add_epi16(a, b), 3);
    x[4] = _mm_slli_epi16(_mm_sub_epi16(a, b), 3);
  } else {
    // a + b can leave 16 bits here: sum in 32.
    const __m128i abLo = _mm_unpacklo_epi16(a, b), abHi = _mm_unpackhi_epi16(a, b);
    const __m128i r32 = _mm_set1_epi32(32);
    x[0] = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(abLo, Pair(1, 1)), r32), 6),
                           _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(abHi, Pair(1, 1)), r32), 6));
    x[4] = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(abLo, Pair(1, -1)), r32), 6),
                           _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(abHi, Pair(1, -1)), r32), 6));
  }
  // Even part: y2 = 42814 t13 + 17734 t12, y6 = 17734 t13 - 42813 t12.
  const __m128i tLo = _mm_unpacklo_epi16(t13, t12), tHi = _mm_unpackhi_epi16(t13, t12);
  const __m128i c2 = Pair(21407, 8867), c6 = Pair(8867, -21407), t12Only = Pair(0, 1);
  x[2] = Finish<kRow>(_mm_slli_epi32(_mm_madd_epi16(tLo, c2), 1), _mm_slli_epi32(_mm_madd_epi16(tHi, c2), 1));
  x[6] = Finish<kRow>(_mm_add_epi32(_mm_slli_epi32(_mm_madd_epi16(tLo, c6), 1), _mm_madd_epi16(tLo, t12Only)),
                      _mm_add_epi32(_mm_slli_epi32(_mm_madd_epi16(tHi, c6), 1), _mm_madd_epi16(tHi, t12Only)));
  // Odd part, expanded: y1 = 4017 D + 799 V + 38528 d16 + 25744 d25, and so on. D and V fit
  // 16 bits in the row pass (from 9-bit differences) and in a column pass whose differences stay
  // within +-2896: then one multiply-add takes both. Otherwise they are split.
  bool whole = kRow;
  if (!kRow) {
    const __m128i limit = _mm_set1_epi16(2896), negative = _mm_set1_epi16(-2896);
    const __m128i outside = _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi16(d07, limit), _mm_cmplt_epi16(d07, negative)),
                                         _mm_or_si128(_mm_cmpgt_epi16(d34, limit), _mm_cmplt_epi16(d34, negative)));
    whole = _mm_movemask_epi8(outside) == 0;
  }
  __m128i dvHigh[2], dvLow[2], q[2];
  for (int h = 0; h < 2; ++h) {
    __m128i dPair = h ? _mm_unpackhi_epi16(d07, d07) : _mm_unpacklo_epi16(d07, d07);
    __m128i vPair = h ? _mm_unpackhi_epi16(d34, d34) : _mm_unpacklo_epi16(d34, d34);
    if (whole) {
      dvHigh[h] = _mm_or_si128(_mm_and_si128(ScaleBySqrt2(dPair), _mm_set1_epi32(0xFFFF)),
                               _mm_slli_epi32(ScaleBySqrt2(vPair), 16));
      dvLow[h] = _mm_setzero_si128();
    } else {
      SplitDv(ScaleBySqrt2(dPair), ScaleBySqrt2(vPair), &dvHigh[h], &dvLow[h]);
    }
    q[h] = h ? _mm_unpackhi_epi16(d16, d25) : _mm_unpacklo_epi16(d16, d25);
  }
  if (whole) {
    OddOutputs<kRow, true>(dvHigh, dvLow, q, x);
  } else {
    OddOutputs<kRow, false>(dvHigh, dvLow, q, x);
  }
}

// c x r / 2^15 rounded half to even and saturated, r unsigned.
#if KVZ_JPEG_SSSE3
// With r = 2^15 h + l (h 0 or 1): c x r / 2^15 = h c + c l / 2^15 exactly, the first term an
// integer, so only c l / 2^15 is rounded: the rounding multiply gives it half up, and on a tie
// (the product's low 15 bits exactly 2^14) a sum that came out odd steps down to the even
// neighbour. The saturating add saturates the exact sum.
inline __m128i Quantize(__m128i c, __m128i r) {
  const __m128i low = _mm_and_si128(r, _mm_set1_epi16(0x7FFF));
  const __m128i whole = _mm_and_si128(c, _mm_srai_epi16(r, 15));
  __m128i q = _mm_mulhrs_epi16(c, low);
  const __m128i tie = _mm_cmpeq_epi16(_mm_and_si128(_mm_mullo_epi16(c, low), _mm_set1_epi16(0x7FFF)),
                                      _mm_set1_epi16(0x4000));
  const __m128i odd = _mm_and_si128(_mm_xor_si128(q, whole), _mm_set1_epi16(1));
  q = _mm_sub_epi16(q, _mm_and_si128(odd, tie));
  return _mm_adds_epi16(q, whole);
}
#else
inline __m128i Quantize(__m128i c, __m128i r) {
  const __m128i lo = _mm_mullo_epi16(c, r);
  const __m128i hi = _mm_add_epi16(_mm_mulhi_epi16(c, r), _mm_and_si128(c, _mm_srai_epi16(r, 15)));
  const __m128i one = _mm_set1_epi32(1), half = _mm_set1_epi32(0x3FFF);
  __m128i p[2] = {_mm_unpacklo_epi16(lo, hi), _mm_unpackhi_epi16(lo, hi)};
  for (__m128i& v : p)
    v = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(v, half), _mm_and_si128(_mm_srai_epi32(v, 15), one)), 15);
  return _mm_packs_epi32(p[0], p[1]);
}
#endif
#endif

}  // namespace

#if KVZ_BUILD_ISA == KVZ_ISA_GENERIC
PrimitiveStatus ForwardDct8x8InPlace(int16_t* block) {
  if (block == nullptr) return kStsNullPointer;
  ScalarDct(block);
  return kStsOk;
}
#endif

PrimitiveStatus ForwardDctQuantize8x8(const uint8_t* src, int32_t srcStep, int16_t* block,
                                      const uint16_t* table) {
  if (src == nullptr || block == nullptr) return kStsNullPointer;
  if (srcStep <= 0) return kStsStepError;
  if (table == nullptr) return kStsNullPointer;
#if KVZ_JPEG_SSE2
  const __m128i zero = _mm_setzero_si128(), shift = _mm_set1_epi16(128);
  __m128i bytes[8];
  for (int r = 0; r < 8; ++r)
    bytes[r] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + static_cast<ptrdiff_t>(r) * srcStep));
  // A uniform block (solid areas, test patterns, the privacy picture) transforms to its DC term
  // alone, 8 (p - 128), every other output being the rounding of zero.
  const __m128i first = _mm_set1_epi8(static_cast<char>(src[0]));
  __m128i same = _mm_cmpeq_epi8(bytes[0], first);
  for (int r = 1; r < 8; ++r) same = _mm_and_si128(same, _mm_cmpeq_epi8(bytes[r], first));
  if ((_mm_movemask_epi8(same) & 0xFF) == 0xFF) {
    const __m128i dc = _mm_cvtsi32_si128(8 * (src[0] - 128) & 0xFFFF);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block),
                     Quantize(dc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(table))));
    for (int r = 1; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), zero);
    return kStsOk;
  }
  __m128i v[8];
  for (int r = 0; r < 8; ++r) v[r] = _mm_sub_epi16(_mm_unpacklo_epi8(bytes[r], zero), shift);
  Transpose8x16(v);
  VectorButterfly<true>(v);
  Transpose8x16(v);
  VectorButterfly<false>(v);
  for (int r = 0; r < 8; ++r)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r),
                     Quantize(v[r], _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 8 * r))));
#else
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) block[8 * r + c] = static_cast<int16_t>(src[static_cast<ptrdiff_t>(r) * srcStep + c] - 128);
  ScalarDct(block);
  MultiplyWordsScaled(table, block, block, 64, 15);
#endif
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
