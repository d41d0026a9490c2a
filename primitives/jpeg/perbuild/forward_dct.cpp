// Forward DCT and quantisation. The generic build is the reference: a row pass and a column
// pass of one eight-point butterfly in 32-bit arithmetic, then the scaled multiply of the
// primitives library. The SSE2-level builds compute the very same integers eight rows or
// columns at a time, in 16-bit lanes wherever the values fit and with multiply-adds into 32 bits
// where they do not. The 32-bit SSE build, without integer vectors, runs the scalar butterfly.
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

#if KVZ_BUILD_HAS(SSE2)
// A pair of 16-bit multipliers for _mm_madd_epi16: `first` applies to the lower lane of a pair.
inline __m128i Pair(int16_t first, int16_t second) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16) |
                                             static_cast<uint16_t>(first)));
}

// (a b + 2^14) >> 15 of each lane (SSE2: from the product's high and low halves).
inline __m128i MulHrs(__m128i a, __m128i b) {
#if KVZ_BUILD_HAS(SSSE3)
  return _mm_mulhrs_epi16(a, b);
#else
  const __m128i high = _mm_mulhi_epi16(a, b);
  const __m128i carry = _mm_avg_epu16(_mm_srli_epi16(_mm_mullo_epi16(a, b), 14), _mm_setzero_si128());
  return _mm_add_epi16(_mm_add_epi16(high, high), carry);
#endif
}

// (y + 2^(kShift - 1)) >> kShift of 4 + 4 sums, packed: floor(y / 2^(kShift - 1)) fits 16 bits
// wherever this is used, and halving it rounded up gives the same integer.
template <int kShift>
inline __m128i Descale(__m128i lo, __m128i hi) {
  const __m128i t = _mm_packs_epi32(_mm_srai_epi32(lo, kShift - 1), _mm_srai_epi32(hi, kShift - 1));
#if KVZ_BUILD_HAS(SSSE3)
  return _mm_mulhrs_epi16(t, _mm_set1_epi16(16384));
#else
  return _mm_srai_epi16(_mm_add_epi16(t, _mm_set1_epi16(1)), 1);
#endif
}

// Both halves of an interleaved pair of registers through one multiplier pair.
template <int kShift>
inline __m128i DescaledProduct(__m128i lo, __m128i hi, __m128i pair) {
  return Descale<kShift>(_mm_madd_epi16(lo, pair), _mm_madd_epi16(hi, pair));
}

// c x r / 2^15 rounded half to even and saturated, r unsigned.
#if KVZ_BUILD_HAS(SSSE3)
// With r = 2^15 h + l (h 0 or 1): c x r / 2^15 = h c + c l / 2^15 exactly, the first term an
// integer, so only c l / 2^15 is rounded: the rounding multiply gives it half up, and on a tie
// (the product's low 15 bits exactly 2^14, seen as 2 c l = 2^15 modulo 2^16) the sum, one above
// the even result when odd, loses its lowest bit.
inline __m128i Quantize(__m128i c, __m128i r) {
  const __m128i low = _mm_and_si128(r, _mm_set1_epi16(0x7FFF));
  const __m128i whole = _mm_and_si128(c, _mm_srai_epi16(r, 15));
  const __m128i tie = _mm_cmpeq_epi16(_mm_mullo_epi16(c, _mm_slli_epi16(r, 1)), _mm_set1_epi16(static_cast<int16_t>(0x8000)));
  const __m128i q = _mm_adds_epi16(_mm_mulhrs_epi16(c, low), whole);
  return _mm_andnot_si128(_mm_and_si128(tie, _mm_set1_epi16(1)), q);
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

inline void QuantizeRow(__m128i c, const uint16_t* table, int16_t* out) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Quantize(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(table))));
}
// The odd outputs of a pass in which W = P + D, X = V + M, D - P and V - M all fit 16 bits:
// y1 = 4017 W + 799 X, y7 = 799 W - 4017 X, y3 = 3406 (D - P) - 2275 (V - M),
// y5 = 2276 (D - P) + 3406 (V - M).
template <int kShift, typename Put>
inline void OddOutputs(__m128i dd, __m128i vv, __m128i p, __m128i m, Put put) {
  const __m128i w = _mm_add_epi16(p, dd), xx = _mm_add_epi16(vv, m);
  const __m128i e = _mm_sub_epi16(dd, p), f = _mm_sub_epi16(vv, m);
  const __m128i wLo = _mm_unpacklo_epi16(w, xx), wHi = _mm_unpackhi_epi16(w, xx);
  const __m128i eLo = _mm_unpacklo_epi16(e, f), eHi = _mm_unpackhi_epi16(e, f);
  put(1, DescaledProduct<kShift>(wLo, wHi, Pair(4017, 799)));
  put(7, DescaledProduct<kShift>(wLo, wHi, Pair(799, -4017)));
  put(3, DescaledProduct<kShift>(eLo, eHi, Pair(3406, -2275)));
  put(5, DescaledProduct<kShift>(eLo, eHi, Pair(2276, 3406)));
}

// D = (d x 46341 + 2048) >> 12 from e = 24 d (|d| <= 1365): 46341 x 8 = 24 x 15447.
inline __m128i ScaleBySqrt2(__m128i e) { return MulHrs(e, _mm_set1_epi16(15447)); }

// The row pass on eight rows at once, from the pixel sums s07..s34 (without the level shift,
// which cancels everywhere but in out0), e07 = 24 d07, e34 = 24 d34, p16 = 8 d16, p25 = 8 d25.
// Every intermediate fits 16 bits.
inline void RowPass(__m128i s07, __m128i s16, __m128i s25, __m128i s34, __m128i e07, __m128i e34, __m128i p16,
                    __m128i p25, __m128i x[8]) {
  const __m128i a = _mm_add_epi16(s07, s34), b = _mm_add_epi16(s16, s25);
  x[0] = _mm_slli_epi16(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_set1_epi16(8 * 128)), 3);
  x[4] = _mm_slli_epi16(_mm_sub_epi16(a, b), 3);
  const __m128i t13 = _mm_sub_epi16(s07, s34), t12 = _mm_sub_epi16(s16, s25);
  // y2 / 2 = 21407 t13 + 8867 t12; y6 = 17734 t13 - 14271 (3 t12).
  x[2] = DescaledProduct<11>(_mm_unpacklo_epi16(t13, t12), _mm_unpackhi_epi16(t13, t12), Pair(21407, 8867));
  const __m128i t12x3 = _mm_mullo_epi16(t12, _mm_set1_epi16(3));
  x[6] = DescaledProduct<12>(_mm_unpacklo_epi16(t13, t12x3), _mm_unpackhi_epi16(t13, t12x3), Pair(17734, -14271));
  OddOutputs<12>(ScaleBySqrt2(e07), ScaleBySqrt2(e34), _mm_add_epi16(p16, p25), _mm_sub_epi16(p16, p25),
                 [x](int k, __m128i v) { x[k] = v; });
}

// One odd output of a wide column pass: three multiply-adds of 16-bit pairs per half, plus the
// 16-bit sum `wrap` times 65536.
inline __m128i WideOdd(__m128i aLo, __m128i aHi, __m128i bLo, __m128i bHi, __m128i cLo, __m128i cHi, __m128i wrap,
                       __m128i zero, __m128i ca, __m128i cb, __m128i cc) {
  const __m128i lo = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(aLo, ca), _mm_madd_epi16(bLo, cb)),
                                   _mm_add_epi32(_mm_madd_epi16(cLo, cc), _mm_unpacklo_epi16(zero, wrap)));
  const __m128i hi = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(aHi, ca), _mm_madd_epi16(bHi, cb)),
                                   _mm_add_epi32(_mm_madd_epi16(cHi, cc), _mm_unpackhi_epi16(zero, wrap)));
  return Descale<21>(lo, hi);
}

// Column differences up to this bound keep W, X, D - P and V - M within 16 bits.
constexpr int16_t kNarrowColumnLimit = 1199;

// The column pass on eight columns at once, each output row quantised and stored as soon as it
// is known. Its sums and differences fit 16 bits (row outputs lie within -8192..8160), the
// products do not.
inline void ColumnPass(const __m128i x[8], const uint16_t* table, int16_t* block) {
  const auto put = [table, block](int k, __m128i v) { QuantizeRow(v, table + 8 * k, block + 8 * k); };
  const __m128i s07 = _mm_add_epi16(x[0], x[7]), d07 = _mm_sub_epi16(x[0], x[7]);
  const __m128i s16 = _mm_add_epi16(x[1], x[6]), d16 = _mm_sub_epi16(x[1], x[6]);
  const __m128i s25 = _mm_add_epi16(x[2], x[5]), d25 = _mm_sub_epi16(x[2], x[5]);
  const __m128i s34 = _mm_add_epi16(x[3], x[4]), d34 = _mm_sub_epi16(x[3], x[4]);
  const __m128i a = _mm_add_epi16(s07, s34), b = _mm_add_epi16(s16, s25);
  // (a +- b + 32) >> 6 where a +- b may leave 16 bits: the unsigned average of biased operands
  // gives (a +- b + 32) >> 1 (with b + 31, or a + 32 and ~b = -b - 1), then >> 5.
  const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(0x8000));
  put(0, _mm_srai_epi16(_mm_xor_si128(_mm_avg_epu16(_mm_xor_si128(a, bias),
                                                    _mm_add_epi16(b, _mm_set1_epi16(static_cast<int16_t>(0x801F)))),
                                     bias),
                       5));
  put(4, _mm_srai_epi16(_mm_xor_si128(_mm_avg_epu16(_mm_add_epi16(a, _mm_set1_epi16(static_cast<int16_t>(0x8020))),
                                                    _mm_xor_si128(b, _mm_set1_epi16(0x7FFF))),
                                     bias),
                       5));
  const __m128i t13 = _mm_sub_epi16(s07, s34), t12 = _mm_sub_epi16(s16, s25);
  const __m128i tLo = _mm_unpacklo_epi16(t13, t12), tHi = _mm_unpackhi_epi16(t13, t12);
  // y2 / 2 = 21407 t13 + 8867 t12; y6 = 17734 t13 - 21407 t12 - 21406 t12.
  put(2, DescaledProduct<20>(tLo, tHi, Pair(21407, 8867)));
  const __m128i c6 = Pair(17734, -21407), c6b = Pair(0, -21406);
  put(6, Descale<21>(_mm_add_epi32(_mm_madd_epi16(tLo, c6), _mm_madd_epi16(tLo, c6b)),
                     _mm_add_epi32(_mm_madd_epi16(tHi, c6), _mm_madd_epi16(tHi, c6b))));
#if KVZ_BUILD_HAS(SSSE3)
  const __m128i widest = _mm_max_epi16(_mm_max_epi16(_mm_abs_epi16(d07), _mm_abs_epi16(d16)),
                                       _mm_max_epi16(_mm_abs_epi16(d25), _mm_abs_epi16(d34)));
  const bool narrow = _mm_movemask_epi8(_mm_cmpgt_epi16(widest, _mm_set1_epi16(kNarrowColumnLimit))) == 0;
#else
  const __m128i most = _mm_max_epi16(_mm_max_epi16(d07, d16), _mm_max_epi16(d25, d34));
  const __m128i least = _mm_min_epi16(_mm_min_epi16(d07, d16), _mm_min_epi16(d25, d34));
  const bool narrow = _mm_movemask_epi8(_mm_or_si128(_mm_cmpgt_epi16(most, _mm_set1_epi16(kNarrowColumnLimit)),
                                                     _mm_cmplt_epi16(least, _mm_set1_epi16(-kNarrowColumnLimit)))) == 0;
#endif
  if (narrow) {
    const __m128i e24 = _mm_set1_epi16(24);
    OddOutputs<21>(ScaleBySqrt2(_mm_mullo_epi16(d07, e24)), ScaleBySqrt2(_mm_mullo_epi16(d34, e24)),
                   _mm_slli_epi16(_mm_add_epi16(d16, d25), 3), _mm_slli_epi16(_mm_sub_epi16(d16, d25), 3), put);
    return;
  }
  // Wide differences: with D = 11 d07 + r07, r07 = (1285 d07 + 2048) >> 12 (and V likewise), every
  // odd output is a sum of 16-bit terms, e.g. y1 = 44187 d07 + 4017 r07 + 8789 d34 + 799 r34 +
  // 38528 d16 + 25744 d25. A multiplier above 32767 is taken as itself less 65536, and the 65536
  // multiples return as one 16-bit sum shifted into the upper half (all modulo 2^32, where the
  // exact sum lies).
  const __m128i r = _mm_set1_epi16(10280);
  const __m128i r07 = MulHrs(d07, r), r34 = MulHrs(d34, r);
  const __m128i aLo = _mm_unpacklo_epi16(d07, d34), aHi = _mm_unpackhi_epi16(d07, d34);
  const __m128i bLo = _mm_unpacklo_epi16(r07, r34), bHi = _mm_unpackhi_epi16(r07, r34);
  const __m128i cLo = _mm_unpacklo_epi16(d16, d25), cHi = _mm_unpackhi_epi16(d16, d25);
  const __m128i zero = _mm_setzero_si128();
  put(1, WideOdd(aLo, aHi, bLo, bHi, cLo, cHi, _mm_add_epi16(d07, d16), zero, Pair(-21349, 8789), Pair(4017, 799),
                 Pair(-27008, 25744)));
  put(7, WideOdd(aLo, aHi, bLo, bHi, cLo, cHi, _mm_sub_epi16(d25, d34), zero, Pair(8789, 21349), Pair(799, -4017),
                 Pair(-25744, -27008)));
  put(3, WideOdd(aLo, aHi, bLo, bHi, cLo, cHi, _mm_sub_epi16(d07, d25), zero, Pair(-28070, -25025), Pair(3406, -2275),
                 Pair(-9048, 20088)));
  put(5, WideOdd(aLo, aHi, bLo, bHi, cLo, cHi, _mm_sub_epi16(d34, d16), zero, Pair(25036, -28070), Pair(2276, 3406),
                 Pair(20080, 9040)));
}

// Loads the block's eight rows into four registers, rows 2k and 2k + 1 in register k: side by
// side where byte shuffles gather the row pass's pairs, else interleaved (the byte transpose's
// first step).
inline __m128i LoadRowPair(const uint8_t* p, int32_t srcStep) {
  const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  const __m128i second = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + srcStep));
#if KVZ_BUILD_HAS(SSSE3)
  return _mm_unpacklo_epi64(first, second);
#else
  return _mm_unpacklo_epi8(first, second);
#endif
}

// The row pass's inputs, eight rows to a register.
inline void RowPassFromPixels(const __m128i rows[4], __m128i x[8]) {
#if KVZ_BUILD_HAS(SSSE3)
  // Each row's mirrored pixel pairs (x0, x7), (x1, x6), (x2, x5), (x3, x4), gathered into one
  // register per pair over the eight rows; one unsigned-by-signed multiply-add then forms each
  // sum or scaled difference.
  const __m128i order = _mm_setr_epi8(0, 7, 8, 15, 1, 6, 9, 14, 2, 5, 10, 13, 3, 4, 11, 12);
  const __m128i q0 = _mm_shuffle_epi8(rows[0], order), q1 = _mm_shuffle_epi8(rows[1], order);
  const __m128i q2 = _mm_shuffle_epi8(rows[2], order), q3 = _mm_shuffle_epi8(rows[3], order);
  const __m128i a = _mm_unpacklo_epi32(q0, q1), a2 = _mm_unpackhi_epi32(q0, q1);
  const __m128i b = _mm_unpacklo_epi32(q2, q3), b2 = _mm_unpackhi_epi32(q2, q3);
  const __m128i p07 = _mm_unpacklo_epi64(a, b), p16 = _mm_unpackhi_epi64(a, b);
  const __m128i p25 = _mm_unpacklo_epi64(a2, b2), p34 = _mm_unpackhi_epi64(a2, b2);
  const __m128i sum = _mm_set1_epi16(0x0101), by24 = _mm_set1_epi16(static_cast<int16_t>(0xE818)),
                by8 = _mm_set1_epi16(static_cast<int16_t>(0xF808));
  RowPass(_mm_maddubs_epi16(p07, sum), _mm_maddubs_epi16(p16, sum), _mm_maddubs_epi16(p25, sum),
          _mm_maddubs_epi16(p34, sum), _mm_maddubs_epi16(p07, by24), _mm_maddubs_epi16(p34, by24),
          _mm_maddubs_epi16(p16, by8), _mm_maddubs_epi16(p25, by8), x);
#else
  // The rest of the byte transpose, then widening: column c of the block in register c.
  const __m128i zero = _mm_setzero_si128();
  const __m128i a0 = rows[0], a1 = rows[1], a2 = rows[2], a3 = rows[3];
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  const __m128i c01 = _mm_unpacklo_epi32(b0, b2), c23 = _mm_unpackhi_epi32(b0, b2);
  const __m128i c45 = _mm_unpacklo_epi32(b1, b3), c67 = _mm_unpackhi_epi32(b1, b3);
  __m128i c[8] = {_mm_unpacklo_epi8(c01, zero), _mm_unpackhi_epi8(c01, zero), _mm_unpacklo_epi8(c23, zero),
                  _mm_unpackhi_epi8(c23, zero), _mm_unpacklo_epi8(c45, zero), _mm_unpackhi_epi8(c45, zero),
                  _mm_unpacklo_epi8(c67, zero), _mm_unpackhi_epi8(c67, zero)};
  const __m128i by24 = _mm_set1_epi16(24);
  RowPass(_mm_add_epi16(c[0], c[7]), _mm_add_epi16(c[1], c[6]), _mm_add_epi16(c[2], c[5]), _mm_add_epi16(c[3], c[4]),
          _mm_mullo_epi16(_mm_sub_epi16(c[0], c[7]), by24), _mm_mullo_epi16(_mm_sub_epi16(c[3], c[4]), by24),
          _mm_slli_epi16(_mm_sub_epi16(c[1], c[6]), 3), _mm_slli_epi16(_mm_sub_epi16(c[2], c[5]), 3), x);
#endif
}

#endif

}  // namespace

#if !KVZ_BUILD_HAS(SSE)
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
#if KVZ_BUILD_HAS(SSE2)
  const ptrdiff_t step = srcStep;
  const __m128i rows[4] = {LoadRowPair(src, srcStep), LoadRowPair(src + 2 * step, srcStep),
                           LoadRowPair(src + 4 * step, srcStep), LoadRowPair(src + 6 * step, srcStep)};
  // A uniform block (solid areas, test patterns, the privacy picture) transforms to its DC term
  // alone, 8 (p - 128), every other output being the rounding of zero.
  const __m128i first = _mm_set1_epi8(static_cast<char>(src[0]));
  const __m128i same = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(rows[0], first), _mm_cmpeq_epi8(rows[1], first)),
                                     _mm_and_si128(_mm_cmpeq_epi8(rows[2], first), _mm_cmpeq_epi8(rows[3], first)));
  if (_mm_movemask_epi8(same) == 0xFFFF) {
    const __m128i zero = _mm_setzero_si128();
    QuantizeRow(_mm_cvtsi32_si128(8 * (src[0] - 128) & 0xFFFF), table, block);
    for (int r = 1; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), zero);
    return kStsOk;
  }
  __m128i v[8];
  RowPassFromPixels(rows, v);
  Transpose8x16(v);
  ColumnPass(v, table, block);
#else
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) block[8 * r + c] = static_cast<int16_t>(src[static_cast<ptrdiff_t>(r) * srcStep + c] - 128);
  ScalarDct(block);
  MultiplyWordsScaled(table, block, block, 64, 15);
#endif
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
