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

#if KVZ_BUILD_HAS(SSE2)

#define KVZ_IDCT_INLINE __attribute__((always_inline)) inline

KVZ_IDCT_INLINE __m128i Pair(int16_t lo, int16_t hi) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16) |
                                             static_cast<uint16_t>(lo)));
}

KVZ_IDCT_INLINE __m128i HighHalves() { return _mm_set1_epi32(static_cast<int32_t>(0xFFFF0000u)); }

// Low 32 bits of m * sqrt(2) (Q12) for 32-bit lanes, from the 16-bit halves of m.
KVZ_IDCT_INLINE __m128i MulSqrt2(__m128i m) {
  const __m128i k = _mm_set1_epi16(static_cast<int16_t>(kSqrt2Q12));
  return _mm_add_epi32(_mm_mullo_epi16(m, k), _mm_slli_epi32(_mm_mulhi_epu16(m, k), 16));
}

// The butterfly on four lanes in 32 bits. Each 32-bit lane of x04, x26, x17 and x35 holds a pair
// of 16-bit inputs (x0 low, x4 high, and so on); pmaddwd forms every product sum of a pair at
// once, a constant of 2^15 or more being split into a 16-bit part and the input shifted up by
// 16 (the low or high half of the pair register itself). t[] receives the eight outputs with
// the pass's rounding added, not yet shifted.
template <uint32_t kRound>
KVZ_IDCT_INLINE void Butterfly4(__m128i x04, __m128i x26, __m128i x17, __m128i x35, __m128i t[8]) {
  const __m128i round2048 = _mm_set1_epi32(2048);
  const __m128i a = _mm_madd_epi16(x17, Pair(32139, 6393));
  const __m128i c = _mm_madd_epi16(x35, Pair(27246, 18205));
  const __m128i p = MulSqrt2(_mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(a, c), round2048), 12));
  const __m128i u = _mm_sub_epi32(a, c);
  const __m128i b = _mm_madd_epi16(x17, Pair(6393, -32138));
  const __m128i d = _mm_madd_epi16(x35, Pair(-18205, 27246));
  const __m128i q = MulSqrt2(_mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(b, d), round2048), 12));
  const __m128i v = _mm_sub_epi32(b, d);
  // (x0 + x4) << 15 is (x0 + x4) * -32768 negated (exact modulo 2^32 even for two -32768s), and
  // (x0 - x4) << 15 is that minus x4 << 16.
  const __m128i e0 = _mm_sub_epi32(_mm_set1_epi32(static_cast<int32_t>(kRound)), _mm_madd_epi16(x04, Pair(-32768, -32768)));
  const __m128i e1 = _mm_sub_epi32(e0, _mm_and_si128(x04, HighHalves()));
  // R's constants are both even: half of each fits 16 bits.
  const __m128i r = _mm_slli_epi32(_mm_madd_epi16(x26, Pair(42814 / 2, 17734 / 2)), 1);
  const __m128i s = _mm_sub_epi32(_mm_madd_epi16(x26, Pair(17734, 65536 - 42813)), _mm_and_si128(x26, HighHalves()));
  const __m128i er = _mm_add_epi32(e0, r), emr = _mm_sub_epi32(e0, r);
  const __m128i es = _mm_add_epi32(e1, s), ems = _mm_sub_epi32(e1, s);
  const __m128i upv = _mm_add_epi32(u, v), umv = _mm_sub_epi32(u, v);
  t[0] = _mm_add_epi32(er, p);
  t[1] = _mm_add_epi32(es, upv);
  t[2] = _mm_add_epi32(ems, umv);
  t[3] = _mm_add_epi32(emr, q);
  t[4] = _mm_sub_epi32(emr, q);
  t[5] = _mm_sub_epi32(ems, umv);
  t[6] = _mm_sub_epi32(es, upv);
  t[7] = _mm_sub_epi32(er, p);
}

// Column pass outputs keep bits 12..27 (the low 16 bits of >> 12): output a goes to the low and
// output b to the high half of each 32-bit lane, which is the first step of the transpose.
KVZ_IDCT_INLINE __m128i ColumnOutputs(__m128i a, __m128i b) {
  return _mm_or_si128(_mm_srli_epi32(_mm_slli_epi32(a, 4), 16), _mm_and_si128(_mm_slli_epi32(b, 4), HighHalves()));
}

// Four columns of the column pass from their interleaved row pairs; w[k] holds outputs 2k and
// 2k + 1 of every column, interleaved.
KVZ_IDCT_INLINE void ColumnHalf(__m128i x04, __m128i x26, __m128i x17, __m128i x35, __m128i w[4]) {
  __m128i t[8];
  Butterfly4<kColumnRound>(x04, x26, x17, x35, t);
  w[0] = ColumnOutputs(t[0], t[1]);
  w[1] = ColumnOutputs(t[2], t[3]);
  w[2] = ColumnOutputs(t[4], t[5]);
  w[3] = ColumnOutputs(t[6], t[7]);
}

// Four rows of the row pass: l[k] holds outputs 2k and 2k + 1 (row pass outputs fit 16 bits),
// the four rows of output 2k in its low half.
KVZ_IDCT_INLINE void RowHalf(__m128i x04, __m128i x26, __m128i x17, __m128i x35, __m128i l[4]) {
  __m128i t[8];
  Butterfly4<kRowRound>(x04, x26, x17, x35, t);
  l[0] = _mm_packs_epi32(_mm_srai_epi32(t[0], 21), _mm_srai_epi32(t[1], 21));
  l[1] = _mm_packs_epi32(_mm_srai_epi32(t[2], 21), _mm_srai_epi32(t[3], 21));
  l[2] = _mm_packs_epi32(_mm_srai_epi32(t[4], 21), _mm_srai_epi32(t[5], 21));
  l[3] = _mm_packs_epi32(_mm_srai_epi32(t[6], 21), _mm_srai_epi32(t[7], 21));
}

// Row pass of four rows from the column pass outputs of those rows (lo: columns 0-3, hi: columns
// 4, 7, 6, 5): the 32-bit step of the transpose, then one 16-bit interleave per pair.
KVZ_IDCT_INLINE void RowPairs(__m128i lo0, __m128i lo1, __m128i hi0, __m128i hi1, __m128i l[4]) {
  const __m128i b0 = _mm_unpacklo_epi32(lo0, lo1), b1 = _mm_unpackhi_epi32(lo0, lo1);
  const __m128i b2 = _mm_unpacklo_epi32(hi0, hi1), b3 = _mm_unpackhi_epi32(hi0, hi1);
  RowHalf(_mm_unpacklo_epi16(b0, b2), _mm_unpacklo_epi16(b1, b3), _mm_unpackhi_epi16(b0, b2), _mm_unpackhi_epi16(b1, b3),
          l);
}

// The columns 4-7 of a column pass are taken in the order 4, 7, 6, 5 (pshufd on the pairs), so
// that after the 32-bit step of the transpose each row pass pair is one 16-bit interleave away.
KVZ_IDCT_INLINE __m128i Columns4765(__m128i pairs) { return _mm_shuffle_epi32(pairs, _MM_SHUFFLE(1, 2, 3, 0)); }

// The whole transform of x[] (eight rows of dequantised coefficients). out[0..3] receive rows
// 0-3 and out[4..7] rows 4-7 of the result, each register two columns: out[k] for rows 0-3 holds
// columns 2k (low half) and 2k + 1 (high half), four rows each. Shortcuts, all exact: when rows
// 1-7 are zero every column output is its top input times 8 (cut to 16 bits); when columns 4-7
// are zero so are theirs.
KVZ_IDCT_INLINE void InverseDctVector(const __m128i x[8], bool lowerRowsZero, bool rightHalfZero, __m128i out[8]) {
  __m128i w[8];  // w[0..3] columns 0-3, w[4..7] columns 4, 7, 6, 5; w[k] outputs 2k, 2k + 1
  if (lowerRowsZero) {
    const __m128i top = _mm_slli_epi16(x[0], 3);
    const __m128i left = _mm_unpacklo_epi16(top, top);
    const __m128i right = Columns4765(_mm_unpackhi_epi16(top, top));
    w[0] = w[1] = w[2] = w[3] = left;
    w[4] = w[5] = w[6] = w[7] = right;
  } else {
    ColumnHalf(_mm_unpacklo_epi16(x[0], x[4]), _mm_unpacklo_epi16(x[2], x[6]), _mm_unpacklo_epi16(x[1], x[7]),
               _mm_unpacklo_epi16(x[3], x[5]), w);
    if (rightHalfZero) {
      w[4] = w[5] = w[6] = w[7] = _mm_setzero_si128();
    } else {
      ColumnHalf(Columns4765(_mm_unpackhi_epi16(x[0], x[4])), Columns4765(_mm_unpackhi_epi16(x[2], x[6])),
                 Columns4765(_mm_unpackhi_epi16(x[1], x[7])), Columns4765(_mm_unpackhi_epi16(x[3], x[5])), w + 4);
    }
  }
  // 32-bit step of the transpose: b0 = columns 0|1, b1 = 2|3, b2 = 4|7, b3 = 6|5, four rows each.
  RowPairs(w[0], w[1], w[4], w[5], out);
  RowPairs(w[2], w[3], w[6], w[7], out + 4);
}

KVZ_IDCT_INLINE void StoreRowPairs(__m128i rows01, __m128i rows23, uint8_t* dst, int32_t step) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), rows01);
  _mm_storeh_pi(reinterpret_cast<__m64*>(dst + step), _mm_castsi128_ps(rows01));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * step), rows23);
  _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 3 * step), _mm_castsi128_ps(rows23));
}

// Four rows of InverseDctVector's output to 8-bit samples: +128 and clamping is the signed byte
// saturation with the top bit flipped; the 4 x 4 byte blocks, column by column, become rows.
KVZ_IDCT_INLINE void StoreFourRows(const __m128i l[4], uint8_t* dst, int32_t step) {
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i left = _mm_xor_si128(_mm_packs_epi16(l[0], l[1]), flip);
  const __m128i right = _mm_xor_si128(_mm_packs_epi16(l[2], l[3]), flip);
#if KVZ_BUILD_HAS(SSSE3)
  const __m128i byRow = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m128i lr = _mm_shuffle_epi8(left, byRow), rr = _mm_shuffle_epi8(right, byRow);
  StoreRowPairs(_mm_unpacklo_epi32(lr, rr), _mm_unpackhi_epi32(lr, rr), dst, step);
#else
  const __m128i a = _mm_unpacklo_epi8(left, right), b = _mm_unpackhi_epi8(left, right);
  const __m128i c = _mm_unpacklo_epi8(a, b), d = _mm_unpackhi_epi8(a, b);
  StoreRowPairs(_mm_unpacklo_epi8(c, d), _mm_unpackhi_epi8(c, d), dst, step);
#endif
}

KVZ_IDCT_INLINE __m128i Load(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Saturating 16-bit products of a row of coefficients and its table entries.
KVZ_IDCT_INLINE __m128i DequantizeRow(__m128i c, const int16_t* q) {
  const __m128i t = Load(q);
  const __m128i lo = _mm_mullo_epi16(c, t), hi = _mm_mulhi_epi16(c, t);
  return _mm_packs_epi32(_mm_unpacklo_epi16(lo, hi), _mm_unpackhi_epi16(lo, hi));
}

KVZ_IDCT_INLINE bool AllZero(__m128i v) { return _mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128())) == 0xFFFF; }

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
#if KVZ_BUILD_HAS(SSE2)
  const __m128i x[8] = {Load(src),      Load(src + 8),  Load(src + 16), Load(src + 24),
                        Load(src + 32), Load(src + 40), Load(src + 48), Load(src + 56)};
  const __m128i below = _mm_or_si128(_mm_or_si128(_mm_or_si128(x[1], x[2]), _mm_or_si128(x[3], x[4])),
                                     _mm_or_si128(_mm_or_si128(x[5], x[6]), x[7]));
  const __m128i all = _mm_or_si128(below, x[0]);
  __m128i out[8];
  InverseDctVector(x, AllZero(below), AllZero(_mm_unpackhi_epi64(all, all)), out);
  // out[4h + k] holds columns 2k and 2k + 1 of rows 4h..4h + 3.
  alignas(16) int16_t held[64];
  for (int i = 0; i < 8; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(held + 8 * i), out[i]);
  for (int i = 0; i < 64; ++i) {
    const int h = i / 32, k = i / 8 % 4, j = i % 8;
    dst[8 * (4 * h + j % 4) + 2 * k + j / 4] = held[i];
  }
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
#if KVZ_BUILD_HAS(SSE2)
  const int16_t* q = reinterpret_cast<const int16_t*>(table);
  // Written out: a loop over the register arrays would go through memory.
  const __m128i raw[8] = {Load(coefficients),      Load(coefficients + 8),  Load(coefficients + 16),
                          Load(coefficients + 24), Load(coefficients + 32), Load(coefficients + 40),
                          Load(coefficients + 48), Load(coefficients + 56)};
  // Zero coefficients contribute exactly zero, so the shape of the non-zero ones picks a
  // shorter exact path: the raw values decide (a zero stays zero through dequantisation).
  const __m128i below = _mm_or_si128(_mm_or_si128(_mm_or_si128(raw[1], raw[2]), _mm_or_si128(raw[3], raw[4])),
                                     _mm_or_si128(_mm_or_si128(raw[5], raw[6]), raw[7]));
  const int zeroColumns = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(below, raw[0]), _mm_setzero_si128()));
  const bool onlyFirstColumn = (zeroColumns & 0xFFFC) == 0xFFFC;
  if (onlyFirstColumn && (_mm_movemask_epi8(_mm_cmpeq_epi16(below, _mm_setzero_si128())) & 3) == 3) {
    // Nothing but the DC coefficient (most blocks of smooth camera pictures): one value
    // everywhere, the saturated product times 8 in 16 bits through the row pass's rounding.
    int32_t product = static_cast<int32_t>(coefficients[0]) * q[0];
    product = product > 32767 ? 32767 : product < -32768 ? -32768 : product;
    const int16_t top = static_cast<int16_t>(static_cast<uint16_t>(product) << 3);
    const int32_t value = ((top * 32768 + static_cast<int32_t>(kRowRound)) >> 21) + kLevelShift;
    const __m128i fill = _mm_set1_epi8(static_cast<char>(value < 0 ? 0 : value > 255 ? 255 : value));
    for (int i = 0; i < 8; ++i) _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + static_cast<intptr_t>(i) * dstStep), fill);
    return kStsOk;
  }
  const __m128i x[8] = {DequantizeRow(raw[0], q),      DequantizeRow(raw[1], q + 8),  DequantizeRow(raw[2], q + 16),
                        DequantizeRow(raw[3], q + 24), DequantizeRow(raw[4], q + 32), DequantizeRow(raw[5], q + 40),
                        DequantizeRow(raw[6], q + 48), DequantizeRow(raw[7], q + 56)};
  if (onlyFirstColumn) {
    // Vertical detail only (gradients, horizontal edges): one column through the column pass;
    // every row pass then sees (v, 0, ..., 0) and gives (v << 15 + 2^20) >> 21 across the row,
    // which is ((v >> 5) + 1) >> 1 without overflow.
    __m128i w[4];
    ColumnHalf(_mm_unpacklo_epi16(x[0], x[4]), _mm_unpacklo_epi16(x[2], x[6]), _mm_unpacklo_epi16(x[1], x[7]),
               _mm_unpacklo_epi16(x[3], x[5]), w);
    const __m128i column = _mm_unpacklo_epi64(_mm_unpacklo_epi32(w[0], w[1]), _mm_unpacklo_epi32(w[2], w[3]));
    const __m128i v = _mm_srai_epi16(_mm_add_epi16(_mm_srai_epi16(column, 5), _mm_set1_epi16(1)), 1);
    const __m128i samples = _mm_xor_si128(_mm_packs_epi16(v, v), _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i twice = _mm_unpacklo_epi8(samples, samples);
    const __m128i top = _mm_unpacklo_epi16(twice, twice), bottom = _mm_unpackhi_epi16(twice, twice);
    StoreRowPairs(_mm_unpacklo_epi32(top, top), _mm_unpackhi_epi32(top, top), dst, dstStep);
    StoreRowPairs(_mm_unpacklo_epi32(bottom, bottom), _mm_unpackhi_epi32(bottom, bottom),
                  dst + static_cast<intptr_t>(4) * dstStep, dstStep);
    return kStsOk;
  }
  __m128i out[8];
  InverseDctVector(x, AllZero(below), (zeroColumns & 0xFF00) == 0xFF00, out);
  StoreFourRows(out, dst, dstStep);
  StoreFourRows(out + 4, dst + static_cast<intptr_t>(4) * dstStep, dstStep);
#else
  alignas(32) int16_t work[64];
  MultiplyWordsSat(coefficients, reinterpret_cast<const int16_t*>(table), work, 64);
  InverseDctScalar(work);
  LevelShiftToPixels(work, 16, dst, dstStep, RoiSize{8, 8});
#endif
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
