// Dequantisation and inverse DCT, one copy per processor build.
//
// The transform is a separable integer butterfly: columns first (3 fraction bits kept), then
// rows, in 32-bit arithmetic that wraps, every pass output cut to 16 bits. The SSE2-and-later
// builds compute exactly that with pmaddwd pairs (constants of 2^15 and above split into a
// 16-bit part and a shifted copy of the input) and a 32-bit multiply assembled from 16-bit
// halves, so decoded pictures are identical in every build. The x86 SSE build has no integer
// vectors and runs the portable code by design.
#include <string.h>

#include "primitives/jpeg/inverse_dct.h"
#include "primitives/jpeg/zigzag.h"
#include "primitives/multiply_scaled.h"
#include "primitives/region_copy.h"

#include "jpeg_simd.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

constexpr int32_t kLevelShift = 128;
constexpr uint32_t kColumnRound = 2048;      // column pass: >> 12
constexpr uint32_t kRowRound = 0x100000;     // row pass: >> 21
constexpr uint32_t kSqrt2Q12 = 5793;         // sqrt(2) with 12 fraction bits

inline int32_t Sra(uint32_t v, int n) { return static_cast<int32_t>(v) >> n; }

// One 1-D pass over x[0], x[stride], ... x[7 * stride] in place.
template <uint32_t kRound, int kShift>
inline void Butterfly(int16_t* x, int stride) {
  const int32_t x0 = x[0], x1 = x[stride], x2 = x[2 * stride], x3 = x[3 * stride];
  const int32_t x4 = x[4 * stride], x5 = x[5 * stride], x6 = x[6 * stride], x7 = x[7 * stride];
  const uint32_t e0 = static_cast<uint32_t>(x0 + x4) << 15;
  const uint32_t e1 = static_cast<uint32_t>(x0 - x4) << 15;
  const uint32_t u2 = static_cast<uint32_t>(x2), u6 = static_cast<uint32_t>(x6);
  const uint32_t r = u2 * 42814u + u6 * 17734u;
  const uint32_t s = u2 * 17734u - u6 * 42813u;
  const uint32_t u1 = static_cast<uint32_t>(x1), u7 = static_cast<uint32_t>(x7);
  const uint32_t u3 = static_cast<uint32_t>(x3), u5 = static_cast<uint32_t>(x5);
  const uint32_t a = u1 * 32139u + u7 * 6393u;
  const uint32_t b = u1 * 6393u - u7 * 32138u;
  const uint32_t c = u5 * 18205u + u3 * 27246u;
  const uint32_t d = u5 * 27246u - u3 * 18205u;
  const uint32_t p = static_cast<uint32_t>(Sra(a + c + 2048u, 12)) * kSqrt2Q12;
  const uint32_t q = static_cast<uint32_t>(Sra(b + d + 2048u, 12)) * kSqrt2Q12;
  const uint32_t u = a - c, v = b - d;
  const uint32_t er = e0 + r + kRound, emr = e0 - r + kRound;
  const uint32_t es = e1 + s + kRound, ems = e1 - s + kRound;
  x[0] = static_cast<int16_t>(Sra(er + p, kShift));
  x[7 * stride] = static_cast<int16_t>(Sra(er - p, kShift));
  x[stride] = static_cast<int16_t>(Sra(es + u + v, kShift));
  x[6 * stride] = static_cast<int16_t>(Sra(es - u - v, kShift));
  x[2 * stride] = static_cast<int16_t>(Sra(ems + u - v, kShift));
  x[5 * stride] = static_cast<int16_t>(Sra(ems - u + v, kShift));
  x[3 * stride] = static_cast<int16_t>(Sra(emr + q, kShift));
  x[4 * stride] = static_cast<int16_t>(Sra(emr - q, kShift));
}

[[maybe_unused]] void InverseDctScalar(int16_t* block) {
  for (int c = 0; c < 8; ++c) Butterfly<kColumnRound, 12>(block + c, 8);
  for (int r = 0; r < 8; ++r) Butterfly<kRowRound, 21>(block + 8 * r, 1);
}

// Adds the level shift and clamps; no argument checks (the block primitive made them).
[[maybe_unused]] void LevelShiftToPixels(const int16_t* src, int32_t srcStep, uint8_t* dst,
                                         int32_t dstStep, RoiSize roi) {
  for (int32_t y = 0; y < roi.height; ++y) {
    const int16_t* s = reinterpret_cast<const int16_t*>(reinterpret_cast<const uint8_t*>(src) +
                                                        static_cast<intptr_t>(y) * srcStep);
    uint8_t* d = dst + static_cast<intptr_t>(y) * dstStep;
    for (int32_t x = 0; x < roi.width; ++x) {
      const int32_t v = s[x] + kLevelShift;
      d[x] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
  }
}

#if KVZ_BUILD_ISA >= KVZ_ISA_SSE2

inline __m128i Pair(int16_t lo, int16_t hi) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16) |
                                             static_cast<uint16_t>(lo)));
}

// Low 32 bits of m * k for 32-bit lanes, from the 16-bit halves of m.
inline __m128i MulLow32(__m128i m, __m128i k16) {
  const __m128i lo = _mm_mullo_epi16(m, k16);
  const __m128i carry = _mm_slli_epi32(_mm_mulhi_epu16(m, k16), 16);
  return _mm_add_epi32(lo, carry);
}

struct PassConstants {
  __m128i e0, e1, r, s, a, b, c, d, sqrt2, round2048;
  PassConstants()
      : e0(Pair(16384, 16384)),
        e1(Pair(16384, -16384)),
        r(Pair(42814 - 65536, 17734)),
        s(Pair(17734, 65536 - 42813)),
        a(Pair(32139, 6393)),
        b(Pair(6393, -32138)),
        c(Pair(18205, 27246)),
        d(Pair(27246, -18205)),
        sqrt2(_mm_set1_epi16(static_cast<int16_t>(kSqrt2Q12))),
        round2048(_mm_set1_epi32(2048)) {}
};

// Four lanes of the butterfly in 32 bits; x04 .. x53 hold the interleaved input pairs, x2s and
// x6s the inputs shifted into the upper half of each lane.
template <bool kColumn>
inline void ButterflyHalf(const PassConstants& k, __m128i x04, __m128i x26, __m128i x17,
                          __m128i x53, __m128i x2s, __m128i x6s, __m128i round, __m128i t[8]) {
  // Each value is formed just before its use and the outputs as soon as their inputs exist,
  // which keeps fewer values live (the build has sixteen vector registers at most).
  auto out = [](__m128i v) {
    // Column outputs keep bits 12..27 (the low 16 bits of >> 12); row outputs fit 16 bits.
    return kColumn ? _mm_srai_epi32(_mm_slli_epi32(v, 4), 16) : _mm_srai_epi32(v, 21);
  };
  const __m128i a = _mm_madd_epi16(x17, k.a), c = _mm_madd_epi16(x53, k.c);
  const __m128i p =
      MulLow32(_mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(a, c), k.round2048), 12), k.sqrt2);
  const __m128i u = _mm_sub_epi32(a, c);
  const __m128i b = _mm_madd_epi16(x17, k.b), d = _mm_madd_epi16(x53, k.d);
  const __m128i q =
      MulLow32(_mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(b, d), k.round2048), 12), k.sqrt2);
  const __m128i v = _mm_sub_epi32(b, d);
  const __m128i e0 = _mm_add_epi32(_mm_slli_epi32(_mm_madd_epi16(x04, k.e0), 1), round);
  const __m128i r = _mm_add_epi32(_mm_madd_epi16(x26, k.r), x2s);
  const __m128i er = _mm_add_epi32(e0, r), emr = _mm_sub_epi32(e0, r);
  t[0] = out(_mm_add_epi32(er, p));
  t[7] = out(_mm_sub_epi32(er, p));
  t[3] = out(_mm_add_epi32(emr, q));
  t[4] = out(_mm_sub_epi32(emr, q));
  const __m128i e1 = _mm_add_epi32(_mm_slli_epi32(_mm_madd_epi16(x04, k.e1), 1), round);
  const __m128i s = _mm_sub_epi32(_mm_madd_epi16(x26, k.s), x6s);
  const __m128i es = _mm_add_epi32(e1, s), ems = _mm_sub_epi32(e1, s);
  const __m128i upv = _mm_add_epi32(u, v), umv = _mm_sub_epi32(u, v);
  t[1] = out(_mm_add_epi32(es, upv));
  t[6] = out(_mm_sub_epi32(es, upv));
  t[2] = out(_mm_add_epi32(ems, umv));
  t[5] = out(_mm_sub_epi32(ems, umv));
}

// Eight lanes of the butterfly: x[k] holds input k of every lane.
template <bool kColumn>
inline void ButterflyVector(const PassConstants& k, __m128i x[8]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i round = _mm_set1_epi32(static_cast<int32_t>(kColumn ? kColumnRound : kRowRound));
  __m128i lo[8], hi[8];
  ButterflyHalf<kColumn>(k, _mm_unpacklo_epi16(x[0], x[4]), _mm_unpacklo_epi16(x[2], x[6]),
                         _mm_unpacklo_epi16(x[1], x[7]), _mm_unpacklo_epi16(x[5], x[3]),
                         _mm_unpacklo_epi16(zero, x[2]), _mm_unpacklo_epi16(zero, x[6]), round, lo);
  ButterflyHalf<kColumn>(k, _mm_unpackhi_epi16(x[0], x[4]), _mm_unpackhi_epi16(x[2], x[6]),
                         _mm_unpackhi_epi16(x[1], x[7]), _mm_unpackhi_epi16(x[5], x[3]),
                         _mm_unpackhi_epi16(zero, x[2]), _mm_unpackhi_epi16(zero, x[6]), round, hi);
  for (int i = 0; i < 8; ++i) x[i] = _mm_packs_epi32(lo[i], hi[i]);
}

// Columns, transpose, rows: x[] enters as rows and leaves as columns (x[k] lane r = out[r][k]).
// When rows 1-7 are zero every column pass output is its top input times 8 (cut to 16 bits),
// and a block with only the DC coefficient gives one value everywhere; both are exact.
inline void InverseDctVector(__m128i x[8]) {
  const PassConstants k;
  const __m128i lowerRows = _mm_or_si128(_mm_or_si128(_mm_or_si128(x[1], x[2]), _mm_or_si128(x[3], x[4])),
                                         _mm_or_si128(_mm_or_si128(x[5], x[6]), x[7]));
  const __m128i zero = _mm_setzero_si128();
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(lowerRows, zero)) == 0xFFFF) {
    const __m128i top = _mm_slli_epi16(x[0], 3);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_srli_si128(top, 2), zero)) == 0xFFFF) {
      // Row pass of (v, 0, ..., 0): (v << 15 + 2^20) >> 21.
      const __m128i v = _mm_unpacklo_epi16(zero, top);
      const __m128i round = _mm_set1_epi32(static_cast<int32_t>(kRowRound));
      const __m128i out = _mm_srai_epi32(_mm_add_epi32(_mm_srai_epi32(v, 1), round), 21);
      const __m128i all = _mm_shuffle_epi32(_mm_shufflelo_epi16(_mm_packs_epi32(out, out), 0), 0);
      for (int i = 0; i < 8; ++i) x[i] = all;
      return;
    }
    for (int i = 0; i < 8; ++i) x[i] = top;
  } else {
    ButterflyVector<true>(k, x);
  }
  Transpose8x16(x);
  ButterflyVector<false>(k, x);
}

inline __m128i Load(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

#endif

}  // namespace

PrimitiveStatus InitInverseQuantTable(const uint8_t* raw, uint16_t* table) {
  if (table == nullptr || raw == nullptr) return kStsNullPointer;
  alignas(32) int16_t local[64];
  PrimitiveStatus st = ConvertBytesToWords(raw, 8, local, 16, RoiSize{8, 8});
  if (st != kStsOk) return st;
  return ZigzagToNatural(local, reinterpret_cast<int16_t*>(table));
}

void InverseDct8x8Kernel(const int16_t* src, int16_t* dst) {
#if KVZ_BUILD_ISA >= KVZ_ISA_SSE2
  __m128i x[8];
  for (int i = 0; i < 8; ++i) x[i] = Load(src + 8 * i);
  InverseDctVector(x);
  Transpose8x16(x);
  for (int i = 0; i < 8; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * i), x[i]);
#else
  if (dst != src) memcpy(dst, src, 64 * sizeof(int16_t));
  InverseDctScalar(dst);
#endif
}

PrimitiveStatus DequantizeInverseDct8x8(const int16_t* coefficients, uint8_t* dst, int32_t dstStep,
                                        const uint16_t* table) {
  if (coefficients == nullptr || dst == nullptr) return kStsNullPointer;
  if (dstStep <= 0) return kStsStepError;
  if (table == nullptr) return kStsNullPointer;
#if KVZ_BUILD_ISA >= KVZ_ISA_SSE2
  const int16_t* q = reinterpret_cast<const int16_t*>(table);
  __m128i raw[8];
  for (int i = 0; i < 8; ++i) raw[i] = Load(coefficients + 8 * i);
  // A block with nothing but its DC coefficient (most blocks of smooth camera pictures) is one
  // value everywhere: the saturated product, times 8 in 16 bits, through the row pass's rounding.
  const __m128i ac = _mm_or_si128(
      _mm_or_si128(_mm_or_si128(_mm_andnot_si128(_mm_cvtsi32_si128(0xFFFF), raw[0]), raw[1]), _mm_or_si128(raw[2], raw[3])),
      _mm_or_si128(_mm_or_si128(raw[4], raw[5]), _mm_or_si128(raw[6], raw[7])));
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(ac, _mm_setzero_si128())) == 0xFFFF) {
    int32_t product = static_cast<int32_t>(coefficients[0]) * q[0];
    product = product > 32767 ? 32767 : product < -32768 ? -32768 : product;
    const int16_t top = static_cast<int16_t>(static_cast<uint16_t>(product) << 3);
    const int32_t value = ((top * 32768 + static_cast<int32_t>(kRowRound)) >> 21) + kLevelShift;
    const __m128i fill = _mm_set1_epi8(static_cast<char>(value < 0 ? 0 : value > 255 ? 255 : value));
    for (int i = 0; i < 8; ++i) _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + static_cast<intptr_t>(i) * dstStep), fill);
    return kStsOk;
  }
  __m128i x[8];
  for (int i = 0; i < 8; ++i) {
    const __m128i c = raw[i], t = Load(q + 8 * i);
    const __m128i lo = _mm_mullo_epi16(c, t), hi = _mm_mulhi_epi16(c, t);
    x[i] = _mm_packs_epi32(_mm_unpacklo_epi16(lo, hi), _mm_unpackhi_epi16(lo, hi));
  }
  InverseDctVector(x);
  // x[k] lane r is sample (r, k): shift, clamp, and transpose the bytes back into rows.
  const __m128i shift = _mm_set1_epi16(kLevelShift);
  const __m128i p01 = _mm_packus_epi16(_mm_add_epi16(x[0], shift), _mm_add_epi16(x[1], shift));
  const __m128i p23 = _mm_packus_epi16(_mm_add_epi16(x[2], shift), _mm_add_epi16(x[3], shift));
  const __m128i p45 = _mm_packus_epi16(_mm_add_epi16(x[4], shift), _mm_add_epi16(x[5], shift));
  const __m128i p67 = _mm_packus_epi16(_mm_add_epi16(x[6], shift), _mm_add_epi16(x[7], shift));
  const __m128i a = _mm_unpacklo_epi8(p01, p23), b = _mm_unpackhi_epi8(p01, p23);
  const __m128i c = _mm_unpacklo_epi8(p45, p67), d = _mm_unpackhi_epi8(p45, p67);
  const __m128i e = _mm_unpacklo_epi8(a, b), f = _mm_unpackhi_epi8(a, b);
  const __m128i g = _mm_unpacklo_epi8(c, d), h = _mm_unpackhi_epi8(c, d);
  const __m128i rows[4] = {_mm_unpacklo_epi32(e, g), _mm_unpackhi_epi32(e, g),
                           _mm_unpacklo_epi32(f, h), _mm_unpackhi_epi32(f, h)};
  for (int i = 0; i < 4; ++i) {
    uint8_t* d0 = dst + static_cast<intptr_t>(2 * i) * dstStep;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d0), rows[i]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d0 + dstStep), _mm_srli_si128(rows[i], 8));
  }
#else
  alignas(32) int16_t work[64];
  MultiplyWordsSat(coefficients, reinterpret_cast<const int16_t*>(table), work, 64);
  InverseDctScalar(work);
  LevelShiftToPixels(work, 16, dst, dstStep, RoiSize{8, 8});
#endif
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
