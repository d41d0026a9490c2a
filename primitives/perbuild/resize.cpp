// ResizeImage8uC4, one copy per processor build. The checks and tables are shared
// (resize_plan.h), with the scalar passes the generic build runs. The vector builds run their
// own linear and cubic passes with the same operations in the same order, sum whole-factor
// supersampling boxes exactly in integer lanes, and gather nearest-neighbour rows whose offsets
// repeat, so every build gives the same bytes.
#include "primitives/path_counts.h"
#include "primitives/resize.h"

#include <string.h>

#include "primitives/aligned_alloc.h"
#include "primitives/resize_plan.h"
#include "primitives/vector_ops.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif
#if KVZ_BUILD_HAS(SSSE3)
#include <tmmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

using resize::Plan;

inline uint8_t* DstRow(const Plan& plan, int32_t i) {
  return plan.dst + static_cast<intptr_t>(i) * plan.dstStep;
}
inline const uint8_t* SrcRow(const Plan& plan, int32_t r) {
  return plan.src + static_cast<intptr_t>(r) * plan.srcStep;
}

// How a build runs the supersampling rows beyond the shared tables.
struct SuperShape {
  int32_t kx;        // whole factors: source units per output unit
  int32_t boxUnits;  // whole factors: leading output units summed as whole boxes
  // Weighted factors, one output unit's four elements in the lanes of a vector: per unit the
  // first of its tap rows (units + 1 entries); per tap row four accumulator indexes and weights.
  int32_t* laneStart;
  int32_t* laneIndex;
  float* laneWeight;
};

inline uint8_t LinearVertical(int32_t wUp, int32_t up, int32_t wLo, int32_t lo) {
  return static_cast<uint8_t>((wUp * up + wLo * lo + 0x80000) >> 20);
}

#if KVZ_BUILD_HAS(SSE2)
void VerticalLinearRow(const int16_t* a, const int16_t* b, int32_t wUp, int32_t wLo, uint8_t* d,
                       int32_t n) {
  const __m128i w = _mm_set1_epi32((wLo << 16) | (wUp & 0xFFFF));
  const __m128i round = _mm_set1_epi32(0x80000);
  int32_t e = 0;
  for (; e + 8 <= n; e += 8) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + e));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + e));
    const __m128i lo = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(va, vb), w), round), 20);
    const __m128i hi = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(va, vb), w), round), 20);
    const __m128i words = _mm_packs_epi32(lo, hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + e), _mm_packus_epi16(words, words));
  }
  for (; e < n; ++e) d[e] = LinearVertical(wUp, a[e], wLo, b[e]);
}

// resize::LinearHorizontal eight elements a step: each element's two neighbours gathered into
// one 16-bit word, then the weighted sum in 32-bit lanes with the same rounding.
void HorizontalLinearRow(const Plan& plan, int32_t srcRow, int16_t* out) {
  const uint8_t* s = SrcRow(plan, srcRow);
  const __m128i one = _mm_set1_epi16(resize::kOne), round = _mm_set1_epi32(128), zero = _mm_setzero_si128();
  int32_t e = 0;
  for (; e + 8 <= plan.elements; e += 8) {
    const int32_t* at = plan.elemOffset + e;
    // Even elements are luma (neighbour 2 bytes on), odd ones chroma (4 bytes on).
    __m128i pairs = _mm_cvtsi32_si128(s[at[0]] | s[at[0] + 2] << 8);
    pairs = _mm_insert_epi16(pairs, s[at[1]] | s[at[1] + 4] << 8, 1);
    pairs = _mm_insert_epi16(pairs, s[at[2]] | s[at[2] + 2] << 8, 2);
    pairs = _mm_insert_epi16(pairs, s[at[3]] | s[at[3] + 4] << 8, 3);
    pairs = _mm_insert_epi16(pairs, s[at[4]] | s[at[4] + 2] << 8, 4);
    pairs = _mm_insert_epi16(pairs, s[at[5]] | s[at[5] + 4] << 8, 5);
    pairs = _mm_insert_epi16(pairs, s[at[6]] | s[at[6] + 2] << 8, 6);
    pairs = _mm_insert_epi16(pairs, s[at[7]] | s[at[7] + 4] << 8, 7);
    const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.elemWeight + e));
    const __m128i left = _mm_sub_epi16(one, right);
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(pairs, zero), _mm_unpacklo_epi16(left, right));
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(pairs, zero), _mm_unpackhi_epi16(left, right));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + e),
                     _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, round), 8),
                                     _mm_srai_epi32(_mm_add_epi32(hi, round), 8)));
  }
  for (; e < plan.elements; ++e) {
    const uint8_t* p = s + plan.elemOffset[e];
    const int32_t wr = plan.elemWeight[e];
    out[e] = static_cast<int16_t>(((resize::kOne - wr) * p[0] + wr * p[(e & 1) ? 4 : 2] + 128) >> 8);
  }
}

// resize::CubicValue on four lanes, same operations in the same order.
inline __m128 CubicValue4(__m128 p0, __m128 p1, __m128 p2, __m128 p3, const float* coef) {
  const __m128 two = _mm_set1_ps(2.0f), three = _mm_set1_ps(3.0f);
  const __m128 d1 = _mm_sub_ps(p1, p0);
  const __m128 d2 = _mm_add_ps(_mm_sub_ps(p2, _mm_mul_ps(two, p1)), p0);
  const __m128 d3 = _mm_sub_ps(_mm_add_ps(_mm_sub_ps(p3, _mm_mul_ps(three, p2)), _mm_mul_ps(three, p1)), p0);
  __m128 v = _mm_add_ps(p0, _mm_mul_ps(_mm_set1_ps(coef[0]), d1));
  v = _mm_add_ps(v, _mm_mul_ps(_mm_set1_ps(coef[1]), d2));
  return _mm_add_ps(v, _mm_mul_ps(_mm_set1_ps(coef[2]), d3));
}

// resize::CubicHorizontal four elements a step, with each lane's own coefficients.
void HorizontalCubicRow(const Plan& plan, int32_t srcRow, float* out) {
  const uint8_t* s = SrcRow(plan, srcRow);
  const __m128 two = _mm_set1_ps(2.0f), three = _mm_set1_ps(3.0f);
  int32_t e = 0;
  for (; e + 4 <= plan.elements; e += 4) {
    const int32_t* at = plan.elemOffset + e;
    const uint8_t* q[4] = {s + at[0], s + at[1], s + at[2], s + at[3]};
    // Luma neighbours 2 bytes apart (even elements), chroma 4 (odd).
    const __m128 p0 = _mm_cvtepi32_ps(_mm_setr_epi32(q[0][0], q[1][0], q[2][0], q[3][0]));
    const __m128 p1 = _mm_cvtepi32_ps(_mm_setr_epi32(q[0][2], q[1][4], q[2][2], q[3][4]));
    const __m128 p2 = _mm_cvtepi32_ps(_mm_setr_epi32(q[0][4], q[1][8], q[2][4], q[3][8]));
    const __m128 p3 = _mm_cvtepi32_ps(_mm_setr_epi32(q[0][6], q[1][12], q[2][6], q[3][12]));
    // Coefficients stored three per element: transposed to one vector per coefficient.
    const float* c = plan.elemCoef + 3 * e;
    const __m128 c0 = _mm_loadu_ps(c), c1 = _mm_loadu_ps(c + 4), c2 = _mm_loadu_ps(c + 8);
    // In memory a0 b0 c0 a1 | b1 c1 a2 b2 | c2 a3 b3 c3 (element 0..3, coefficient a b c).
    const __m128 ka = _mm_shuffle_ps(_mm_shuffle_ps(c0, c0, _MM_SHUFFLE(0, 0, 3, 0)),
                                     _mm_shuffle_ps(c1, c2, _MM_SHUFFLE(1, 1, 2, 2)), _MM_SHUFFLE(2, 0, 1, 0));
    const __m128 kb = _mm_shuffle_ps(_mm_shuffle_ps(c0, c1, _MM_SHUFFLE(0, 0, 1, 1)),
                                     _mm_shuffle_ps(c1, c2, _MM_SHUFFLE(2, 2, 3, 3)), _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 kc = _mm_shuffle_ps(_mm_shuffle_ps(c0, c1, _MM_SHUFFLE(1, 1, 2, 2)),
                                     _mm_shuffle_ps(c2, c2, _MM_SHUFFLE(3, 3, 0, 0)), _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 d1 = _mm_sub_ps(p1, p0);
    const __m128 d2 = _mm_add_ps(_mm_sub_ps(p2, _mm_mul_ps(two, p1)), p0);
    const __m128 d3 = _mm_sub_ps(_mm_add_ps(_mm_sub_ps(p3, _mm_mul_ps(three, p2)), _mm_mul_ps(three, p1)), p0);
    __m128 v = _mm_add_ps(p0, _mm_mul_ps(ka, d1));
    v = _mm_add_ps(v, _mm_mul_ps(kb, d2));
    _mm_storeu_ps(out + e, _mm_add_ps(v, _mm_mul_ps(kc, d3)));
  }
  for (; e < plan.elements; ++e) {
    const uint8_t* p = s + plan.elemOffset[e];
    const int32_t n = (e & 1) ? 4 : 2;
    out[e] = resize::CubicValue(p[0], p[n], p[2 * n], p[3 * n], &plan.elemCoef[3 * e]);
  }
}

void VerticalCubicRow(const float* const r[4], const float* coef, uint8_t* d, int32_t n) {
  const __m128 half = _mm_set1_ps(0.5000001f);
  int32_t e = 0;
  for (; e + 8 <= n; e += 8) {
    __m128i q[2];
    for (int h = 0; h < 2; ++h) {
      const int32_t at = e + 4 * h;
      const __m128 v = CubicValue4(_mm_loadu_ps(r[0] + at), _mm_loadu_ps(r[1] + at), _mm_loadu_ps(r[2] + at),
                                   _mm_loadu_ps(r[3] + at), coef);
      q[h] = _mm_cvttps_epi32(_mm_add_ps(v, half));
    }
    const __m128i words = _mm_packs_epi32(q[0], q[1]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + e), _mm_packus_epi16(words, words));
  }
  for (; e < n; ++e) d[e] = resize::CubicToByte(resize::CubicValue(r[0][e], r[1][e], r[2][e], r[3][e], coef));
}

// Nearest neighbour by vector gathers where the offset table repeats: the rows then get the
// same bytes as the shared scalar rows, faster. Output units go in pairs, each unit's four
// bytes from an 8-byte window of its source row; the pairs repeat when every pair's windows
// lie the same distance further on than the previous pair's and hold the bytes at the same
// places (factor 1 / n for n up to 3, 2 / n, and others whose period is one or two units).
struct NearestGather {
  int32_t pairs;        // leading unit pairs gathered by vector (0: the scalar rows)
  int32_t window[2];    // source offsets of the windows of units 0 and 1
  int32_t advance;      // source bytes from one pair's windows to the next pair's
  uint8_t at[8];        // byte k of unit u sits at byte at[4 u + k] of its window
};

void FindNearestGather(const Plan& plan, NearestGather* g) {
  g->pairs = 0;
  if (plan.units < 4) return;
  const int32_t* off = plan.elemOffset;
  int32_t last = 0;  // the last byte a scalar row reads: windows end at or before it
  for (int32_t e = 0; e < plan.elements; ++e) last = off[e] > last ? off[e] : last;
  auto window = [off](int32_t unit) {
    const int32_t* o = off + 4 * unit;
    int32_t w = o[0];
    for (int32_t k = 1; k < 4; ++k) w = o[k] < w ? o[k] : w;
    return w;
  };
  g->window[0] = window(0);
  g->window[1] = window(1);
  g->advance = window(2) - g->window[0];
  for (int32_t k = 0; k < 8; ++k) {
    const int32_t at = off[k] - g->window[k >> 2];
    if (at > 7) return;
    g->at[k] = static_cast<uint8_t>(at);
  }
  int32_t p = 0;
  for (; 2 * p + 1 < plan.units; ++p) {
    const int32_t shift = p * g->advance;
    if (g->window[0] + shift + 7 > last || g->window[1] + shift + 7 > last) break;
    bool same = true;
    for (int32_t k = 0; k < 8; ++k) same = same && off[8 * p + k] == g->window[k >> 2] + shift + g->at[k];
    if (!same) break;
  }
  g->pairs = p;
}

// The 16 source bytes of pair p: unit 2p's window, then unit 2p + 1's.
inline __m128i PairWindows(const uint8_t* s, const NearestGather& g, bool adjacent, int32_t p) {
  const uint8_t* w = s + g.window[0] + p * g.advance;
  if (adjacent) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(w));
  return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(w)),
                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(w + g.window[1] - g.window[0])));
}

#if KVZ_BUILD_HAS(SSSE3)
// Each pair: one byte shuffle of its two windows into 8 output bytes.
struct PairGather {
  __m128i mask;
  explicit PairGather(const NearestGather& g) {
    alignas(16) uint8_t m[16];
    for (int32_t k = 0; k < 8; ++k) m[k] = static_cast<uint8_t>(8 * (k >> 2) + g.at[k]);
    for (int32_t k = 8; k < 16; ++k) m[k] = 0x80;
    mask = _mm_load_si128(reinterpret_cast<const __m128i*>(m));
  }
  __m128i operator()(__m128i windows) const { return _mm_shuffle_epi8(windows, mask); }
};
#else
// Each pair: the bytes that move by the same distance within their window, shifted there
// together (64-bit lane shifts) and masked in; then the two units' bytes joined. kMoves > 0
// fixes the number of distances so the loop unrolls.
template <int32_t kMoves>
struct ShiftGather {
  int32_t moves;
  __m128i count[11], mask[11];
  bool left[11];
  explicit ShiftGather(const NearestGather& g) : moves(0) {
    alignas(16) uint8_t m[16];
    for (int32_t d = -3; d <= 7; ++d) {
      bool any = false;
      for (int32_t k = 0; k < 16; ++k) m[k] = 0;
      for (int32_t k = 0; k < 8; ++k) {
        if (g.at[k] - (k & 3) != d) continue;
        m[8 * (k >> 2) + (k & 3)] = 0xFF;
        any = true;
      }
      if (!any) continue;
      count[moves] = _mm_cvtsi32_si128(8 * (d < 0 ? -d : d));
      mask[moves] = _mm_load_si128(reinterpret_cast<const __m128i*>(m));
      left[moves] = d < 0;
      ++moves;
    }
  }
  __m128i operator()(__m128i windows) const {
    __m128i r = _mm_setzero_si128();
    for (int32_t i = 0; i < (kMoves > 0 ? kMoves : moves); ++i) {
      const __m128i moved = left[i] ? _mm_sll_epi64(windows, count[i]) : _mm_srl_epi64(windows, count[i]);
      r = _mm_or_si128(r, _mm_and_si128(moved, mask[i]));
    }
    return _mm_shuffle_epi32(r, _MM_SHUFFLE(3, 1, 2, 0));
  }
};
#endif

template <typename Gather>
void GatherRows(const Plan& plan, const NearestGather& g, const Gather& gather) {
  const bool adjacent = g.window[1] == g.window[0] + 8;
  for (int32_t i = 0; i < plan.outHeight; ++i) {
    const uint8_t* s = SrcRow(plan, plan.rowIndex[i]);
    uint8_t* d = DstRow(plan, i);
    int32_t p = 0;
    for (; p + 2 <= g.pairs; p += 2) {
      const __m128i lo = gather(PairWindows(s, g, adjacent, p)), hi = gather(PairWindows(s, g, adjacent, p + 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 8 * p), _mm_unpacklo_epi64(lo, hi));
    }
    if (p < g.pairs) _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 8 * p), gather(PairWindows(s, g, adjacent, p)));
    for (int32_t e = 8 * g.pairs; e < plan.elements; ++e) d[e] = s[plan.elemOffset[e]];
  }
}

void NearestNeighbourRows(const Plan& plan) {
  NearestGather g;
  FindNearestGather(plan, &g);
  if (g.pairs == 0) {
    resize::NearestRows(plan);
    return;
  }
  KVZ_COUNT_PATH(kPathResizeGather);
#if KVZ_BUILD_HAS(SSSE3)
  GatherRows(plan, g, PairGather(g));
#else
  const ShiftGather<0> any(g);
  switch (any.moves) {
    case 1: GatherRows(plan, g, ShiftGather<1>(g)); break;
    case 2: GatherRows(plan, g, ShiftGather<2>(g)); break;
    case 3: GatherRows(plan, g, ShiftGather<3>(g)); break;
    default: GatherRows(plan, g, any); break;
  }
#endif
}

// One element of a whole-factor supersampling row from its tap list, as resize::SuperHorizontal.
inline uint8_t WholeTapElement(const Plan& plan, int32_t e) {
  int32_t isum = 0;
  for (int32_t t = plan.tapStart[e]; t < plan.tapStart[e + 1]; ++t) isum += plan.accI[plan.tapIndex[t]];
  const float v = static_cast<float>(isum) * plan.scale + 0.5f;
  const int32_t b = v >= 255.0f ? 255 : static_cast<int32_t>(v);
  return static_cast<uint8_t>(b < 0 ? 0 : b);
}

// With whole reciprocal factors output unit j covers the kx source units from j x kx: Y0 sums
// the first kx of their pixels, Y1 the last kx, U and V all of them. Returns how many leading
// output units have exactly those tap lists; the rest (cut by the rectangle's edge) keep theirs.
int32_t WholeBoxUnits(const Plan& plan, int32_t kx) {
  for (int32_t j = 0; j < plan.units; ++j) {
    for (int32_t b = 0; b < 4; ++b) {
      const int32_t e = 4 * j + b;
      if (plan.tapStart[e + 1] - plan.tapStart[e] != kx) return j;
      const int32_t* tap = plan.tapIndex + plan.tapStart[e];
      for (int32_t k = 0; k < kx; ++k) {
        const int32_t pixel = (2 * j + (b >> 1)) * kx + k;
        const int32_t want = (b & 1) ? 4 * (j * kx + k) + b : (pixel >> 1) * 4 + (pixel & 1) * 2;
        if (tap[k] != want) return j;
      }
    }
  }
  return plan.units;
}

inline __m128i SumUnits(const int32_t* acc, int32_t first, int32_t count) {
  __m128i s = _mm_setzero_si128();
  for (int32_t u = first; u < first + count; ++u)
    s = _mm_add_epi32(s, _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + 4 * u)));
  return s;
}

// The sums Y0, U, Y1, V of the output unit whose box starts at source unit `first`: the first
// and last kx / 2 units give a luma pair each, an odd kx's middle unit adds its own bytes.
inline __m128i BoxSums(const int32_t* acc, int32_t first, int32_t kx, __m128i chromaLanes) {
  const int32_t half = kx >> 1;
  const __m128i a = SumUnits(acc, first, half), b = SumUnits(acc, first + kx - half, half);
  const __m128i luma = _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
  __m128i r = _mm_or_si128(_mm_andnot_si128(chromaLanes, luma), _mm_and_si128(chromaLanes, _mm_add_epi32(a, b)));
  if (kx & 1) r = _mm_add_epi32(r, _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + 4 * (first + half))));
  return r;
}

// sum x scale + 0.5, limited to 255 and truncated, in the scalar path's single-precision steps.
inline __m128i ScaleSums(__m128i sums, __m128 scale) {
  const __m128 v = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(sums), scale), _mm_set1_ps(0.5f));
  return _mm_cvttps_epi32(_mm_min_ps(v, _mm_set1_ps(255.0f)));
}

// Output units of 32-bit lanes holding byte values, stored as bytes: one unit, or four.
inline void StoreUnit(uint8_t* d, __m128i q) {
  const __m128i words = _mm_packs_epi32(q, q);
  const uint32_t unit = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
  memcpy(d, &unit, 4);
}
inline void StoreUnits4(uint8_t* d, __m128i q0, __m128i q1, __m128i q2, __m128i q3) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_packus_epi16(_mm_packs_epi32(q0, q1), _mm_packs_epi32(q2, q3)));
}

// The lane tap rows of weighted supersampling: each lane runs its element's taps in order and
// the shorter lists are padded with weight 0 on accumulator 0, which adds exactly 0 to a sum
// that is never negative. An array that cannot be allocated is a work array missing: -9.
PrimitiveStatus PrepareSuper(Plan* plan, SuperShape* shape) {
  shape->kx = plan->tapStart[2] - plan->tapStart[1];  // the first U's taps: whole units
  shape->boxUnits = plan->integerSums ? WholeBoxUnits(*plan, shape->kx) : 0;
  shape->laneStart = nullptr;
  if (plan->integerSums) return kStsOk;
  auto longest = [plan](int32_t j) {
    int32_t m = 0;
    for (int32_t e = 4 * j; e < 4 * j + 4; ++e)
      m = plan->tapStart[e + 1] - plan->tapStart[e] > m ? plan->tapStart[e + 1] - plan->tapStart[e] : m;
    return m;
  };
  int64_t rows = 0;
  for (int32_t j = 0; j < plan->units; ++j) rows += longest(j);
  const int64_t bytes = 32 * rows + 4 * int64_t{plan->units + 1};
  uint8_t* block = plan->blockCount < 16 && bytes <= 0x7FFFFFF0 ? AllocAligned8u(static_cast<int32_t>(bytes)) : nullptr;
  if (block == nullptr) return kStsNoMemory;
  plan->blocks[plan->blockCount++] = block;
  shape->laneIndex = reinterpret_cast<int32_t*>(block);
  shape->laneWeight = reinterpret_cast<float*>(block + 16 * rows);
  shape->laneStart = reinterpret_cast<int32_t*>(block + 32 * rows);
  int32_t row = 0;
  for (int32_t j = 0; j < plan->units; ++j) {
    shape->laneStart[j] = row;
    const int32_t m = longest(j);
    for (int32_t t = 0; t < m; ++t, ++row) {
      for (int32_t l = 0; l < 4; ++l) {
        const int32_t e = 4 * j + l, at = plan->tapStart[e] + t;
        const bool real = at < plan->tapStart[e + 1];
        shape->laneIndex[4 * row + l] = real ? plan->tapIndex[at] : 0;
        shape->laneWeight[4 * row + l] = real ? plan->tapWeight[at] : 0.0f;
      }
    }
  }
  shape->laneStart[plan->units] = row;
  return kStsOk;
}

// resize::SuperHorizontal for weighted factors, one output unit per vector: the same
// single-precision products and sums in the same order in each lane.
inline __m128i WeightedUnit(const Plan& plan, const SuperShape& shape, int32_t j, __m128 scale) {
  __m128 sum = _mm_setzero_ps();
  for (int32_t r = shape.laneStart[j]; r < shape.laneStart[j + 1]; ++r) {
    const int32_t* at = shape.laneIndex + 4 * r;
    const __m128 acc = _mm_setr_ps(plan.accF[at[0]], plan.accF[at[1]], plan.accF[at[2]], plan.accF[at[3]]);
    sum = _mm_add_ps(sum, _mm_mul_ps(_mm_load_ps(shape.laneWeight + 4 * r), acc));
  }
  const __m128 v = _mm_add_ps(_mm_mul_ps(sum, scale), _mm_set1_ps(0.5f));
  return _mm_cvttps_epi32(_mm_min_ps(v, _mm_set1_ps(255.0f)));
}

void WeightedHorizontalRow(const Plan& plan, const SuperShape& shape, uint8_t* dstRow) {
  const __m128 scale = _mm_set1_ps(plan.scale);
  int32_t j = 0;
  for (; j + 4 <= plan.units; j += 4) {
    StoreUnits4(dstRow + 4 * j, WeightedUnit(plan, shape, j, scale), WeightedUnit(plan, shape, j + 1, scale),
                WeightedUnit(plan, shape, j + 2, scale), WeightedUnit(plan, shape, j + 3, scale));
  }
  for (; j < plan.units; ++j) {
    const __m128i q = WeightedUnit(plan, shape, j, scale);
    StoreUnit(dstRow + 4 * j, q);
  }
}

// resize::SuperHorizontal in vector lanes. Whole factors: the exact integer sums of each box
// (their order does not matter), then scaled as the shared pass scales them.
void SuperHorizontalRow(const Plan& plan, const SuperShape& shape, uint8_t* dstRow) {
  if (!plan.integerSums) {
    WeightedHorizontalRow(plan, shape, dstRow);
    return;
  }
  const int32_t kx = shape.kx, boxUnits = shape.boxUnits;
  const __m128 scale = _mm_set1_ps(plan.scale);
  const __m128i chromaLanes = _mm_set_epi32(-1, 0, -1, 0);
  int32_t j = 0;
  for (; j + 4 <= boxUnits; j += 4) {
    __m128i q[4];
    for (int32_t k = 0; k < 4; ++k) q[k] = ScaleSums(BoxSums(plan.accI, (j + k) * kx, kx, chromaLanes), scale);
    StoreUnits4(dstRow + 4 * j, q[0], q[1], q[2], q[3]);
  }
  for (; j < boxUnits; ++j) {
    const __m128i q = ScaleSums(BoxSums(plan.accI, j * kx, kx, chromaLanes), scale);
    StoreUnit(dstRow + 4 * j, q);
  }
  for (int32_t e = 4 * boxUnits; e < plan.elements; ++e) dstRow[e] = WholeTapElement(plan, e);
}

// Four 4-byte units (16 bytes) widened to one vector of 32-bit lanes per unit.
inline void WidenUnits4(const uint8_t* s, __m128i zero, __m128i q[4]) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
  q[0] = _mm_unpacklo_epi16(lo, zero);
  q[1] = _mm_unpackhi_epi16(lo, zero);
  q[2] = _mm_unpacklo_epi16(hi, zero);
  q[3] = _mm_unpackhi_epi16(hi, zero);
}

// Adds one source row, weighted, to the accumulators of the first `units` units.
void AccumulateRow(const Plan& plan, const uint8_t* s, float w) {
  const __m128 vw = _mm_set1_ps(w);
  const __m128i zero = _mm_setzero_si128();
  int32_t u = 0;
  for (; u + 4 <= plan.superUnits; u += 4) {
    __m128i q[4];
    WidenUnits4(s + 4 * u, zero, q);
    for (int k = 0; k < 4; ++k) {
      float* acc = plan.accF + 4 * (u + k);
      _mm_storeu_ps(acc, _mm_add_ps(_mm_loadu_ps(acc), _mm_mul_ps(vw, _mm_cvtepi32_ps(q[k]))));
    }
  }
  for (; u < plan.superUnits; ++u) {
    int32_t unit;
    memcpy(&unit, s + 4 * u, 4);
    const __m128i q = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(unit), zero), zero);
    float* acc = plan.accF + 4 * u;
    _mm_storeu_ps(acc, _mm_add_ps(_mm_loadu_ps(acc), _mm_mul_ps(vw, _mm_cvtepi32_ps(q))));
  }
}

// Adds the whole-weight rows superRows[first..end) to the accumulators: up to 257 rows summed
// in 16-bit lanes (257 x 255 fits), then widened and added once.
void AccumulateRowsWhole(const Plan& plan, int32_t first, int32_t end) {
  const __m128i zero = _mm_setzero_si128();
  for (int32_t k0 = first; k0 < end; k0 += 257) {
    const int32_t k1 = end - k0 > 257 ? k0 + 257 : end;
    int32_t u = 0;
    for (; u + 4 <= plan.superUnits; u += 4) {
      __m128i lo = zero, hi = zero;
      for (int32_t k = k0; k < k1; ++k) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(SrcRow(plan, plan.superRows[k]) + 4 * u));
        lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(b, zero));
        hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(b, zero));
      }
      __m128i* acc = reinterpret_cast<__m128i*>(plan.accI + 4 * u);
      _mm_storeu_si128(acc, _mm_add_epi32(_mm_loadu_si128(acc), _mm_unpacklo_epi16(lo, zero)));
      _mm_storeu_si128(acc + 1, _mm_add_epi32(_mm_loadu_si128(acc + 1), _mm_unpackhi_epi16(lo, zero)));
      _mm_storeu_si128(acc + 2, _mm_add_epi32(_mm_loadu_si128(acc + 2), _mm_unpacklo_epi16(hi, zero)));
      _mm_storeu_si128(acc + 3, _mm_add_epi32(_mm_loadu_si128(acc + 3), _mm_unpackhi_epi16(hi, zero)));
    }
    for (int32_t k = k0; k < k1; ++k) {
      const uint8_t* s = SrcRow(plan, plan.superRows[k]);
      for (int32_t b = 4 * u; b < 4 * plan.superUnits; ++b) plan.accI[b] += s[b];
    }
  }
}
#else
void HorizontalLinearRow(const Plan& plan, int32_t srcRow, int16_t* out) { resize::LinearHorizontal(plan, srcRow, out); }

void VerticalLinearRow(const int16_t* a, const int16_t* b, int32_t wUp, int32_t wLo, uint8_t* d,
                       int32_t n) {
  for (int32_t e = 0; e < n; ++e) d[e] = LinearVertical(wUp, a[e], wLo, b[e]);
}

void HorizontalCubicRow(const Plan& plan, int32_t srcRow, float* out) { resize::CubicHorizontal(plan, srcRow, out); }

void VerticalCubicRow(const float* const r[4], const float* coef, uint8_t* d, int32_t n) {
  for (int32_t e = 0; e < n; ++e) d[e] = resize::CubicToByte(resize::CubicValue(r[0][e], r[1][e], r[2][e], r[3][e], coef));
}

PrimitiveStatus PrepareSuper(Plan*, SuperShape*) { return kStsOk; }

void SuperHorizontalRow(const Plan& plan, const SuperShape&, uint8_t* dstRow) { resize::SuperHorizontal(plan, dstRow); }

void NearestNeighbourRows(const Plan& plan) { resize::NearestRows(plan); }

void AccumulateRow(const Plan& plan, const uint8_t* s, float w) {
  resize::AccumulateWeighted(plan.accF, s, 4 * plan.superUnits, w);
}

void AccumulateRowsWhole(const Plan& plan, int32_t first, int32_t end) {
  for (int32_t k = first; k < end; ++k) {
    const uint8_t* s = SrcRow(plan, plan.superRows[k]);
    for (int32_t b = 0; b < 4 * plan.superUnits; ++b) plan.accI[b] += s[b];
  }
}
#endif

void LinearRows(Plan& plan) {
  for (int32_t i = 0; i < plan.outHeight; ++i) {
    const int32_t up = plan.rowIndex[i];
    for (int32_t r = up; r <= up + 1; ++r) {
      if (plan.bufRow[r & 1] != r) {
        HorizontalLinearRow(plan, r, plan.lineBuf[r & 1]);
        plan.bufRow[r & 1] = r;
      }
    }
    const int32_t wLo = plan.rowWeight[i];
    VerticalLinearRow(plan.lineBuf[up & 1], plan.lineBuf[(up + 1) & 1], resize::kOne - wLo, wLo,
                      DstRow(plan, i), plan.elements);
  }
}

void CubicRows(Plan& plan) {
  for (int32_t i = 0; i < plan.outHeight; ++i) {
    const int32_t base = plan.rowIndex[i];
    const float* rows[4];
    for (int32_t k = 0; k < 4; ++k) {
      const int32_t r = base + k;
      if (plan.bufRow[r & 3] != r) {
        HorizontalCubicRow(plan, r, plan.cubicBuf[r & 3]);
        plan.bufRow[r & 3] = r;
      }
      rows[k] = plan.cubicBuf[r & 3];
    }
    VerticalCubicRow(rows, &plan.rowCoef[3 * i], DstRow(plan, i), plan.elements);
  }
}

void SuperRows(const Plan& plan, const SuperShape& shape) {
  const int32_t accBytes = 16 * plan.superUnits;
  for (int32_t i = 0; i < plan.outHeight; ++i) {
    ZeroBytes(plan.integerSums ? reinterpret_cast<uint8_t*>(plan.accI) : reinterpret_cast<uint8_t*>(plan.accF),
              accBytes);
    if (plan.integerSums) {
      AccumulateRowsWhole(plan, plan.superRowStart[i], plan.superRowStart[i + 1]);
    } else {
      for (int32_t k = plan.superRowStart[i]; k < plan.superRowStart[i + 1]; ++k)
        AccumulateRow(plan, SrcRow(plan, plan.superRows[k]), plan.superRowWeight[k]);
    }
    SuperHorizontalRow(plan, shape, DstRow(plan, i));
  }
}

}  // namespace

PrimitiveStatus ResizeImage8uC4(const uint8_t* src, RoiSize srcSize, int32_t srcStep,
                                ResizeRect* srcRect, uint8_t* dst, int32_t dstStep,
                                RoiSize dstSize, double xFactor, double yFactor, int32_t mode) {
  Plan plan;
  bool proceed = false;
  PrimitiveStatus st = resize::Prepare(src, srcSize, srcStep, srcRect, dst, dstStep, dstSize, xFactor,
                                       yFactor, mode, &plan, &proceed);
  if (!proceed) return st;
  st = resize::BuildTables(&plan, xFactor, yFactor);
  if (st != kStsOk) return st;
  SuperShape shape = {};
  if (plan.mode == kResizeSuper) st = PrepareSuper(&plan, &shape);
  if (st != kStsOk) {
    resize::Release(&plan);
    return st;
  }
#if KVZ_BUILD_HAS(SSE2)
  if (plan.mode != kResizeNearest) KVZ_COUNT_PATH(kPathResize);
#endif
  switch (plan.mode) {
    case kResizeNearest:
      NearestNeighbourRows(plan);
      break;
    case kResizeLinear:
      LinearRows(plan);
      break;
    case kResizeCubic:
      CubicRows(plan);
      break;
    default:
      SuperRows(plan, shape);
      break;
  }
  resize::Release(&plan);
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
