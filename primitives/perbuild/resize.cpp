// ResizeImage8uC4, one copy per processor build. The checks, tables, horizontal passes and
// nearest-neighbour rows are shared (resize_plan.h); each build has its own vertical passes,
// which the vector builds run on 16-byte vectors with the same operations in the same order,
// so every build gives the same bytes.
#include "primitives/path_counts.h"
#include "primitives/resize.h"

#include <string.h>

#include "primitives/resize_plan.h"
#include "primitives/vector_ops.h"

#define KVZ_RS_CAT2(a, b) a##b
#define KVZ_RS_CAT(a, b) KVZ_RS_CAT2(a, b)
#define KVZ_RS_VECTOR_generic 0
#define KVZ_RS_VECTOR_sse 0
#define KVZ_RS_VECTOR_sse2 1
#define KVZ_RS_VECTOR_sse3 1
#define KVZ_RS_VECTOR_ssse3 1
#if KVZ_RS_CAT(KVZ_RS_VECTOR_, KVZ_BUILD_NS) && defined(__SSE2__)
#define KVZ_RS_VECTOR 1
#include <emmintrin.h>
#else
#define KVZ_RS_VECTOR 0
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

inline uint8_t LinearVertical(int32_t wUp, int32_t up, int32_t wLo, int32_t lo) {
  return static_cast<uint8_t>((wUp * up + wLo * lo + 0x80000) >> 20);
}

#if KVZ_RS_VECTOR
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

// resize::SuperHorizontal for whole reciprocal factors: tap sums gathered four elements at a
// time, then scaled, rounded and limited in vector lanes with the same single-precision steps.
void SuperHorizontalRow(const Plan& plan, uint8_t* dstRow) {
  if (!plan.integerSums) {
    resize::SuperHorizontal(plan, dstRow);
    return;
  }
  const __m128 scale = _mm_set1_ps(plan.scale), half = _mm_set1_ps(0.5f), top = _mm_set1_ps(255.0f);
  int32_t e = 0;
  for (; e + 8 <= plan.elements; e += 8) {
    alignas(16) int32_t sums[8];
    for (int k = 0; k < 8; ++k) {
      int32_t isum = 0;
      for (int32_t t = plan.tapStart[e + k]; t < plan.tapStart[e + k + 1]; ++t) isum += plan.accI[plan.tapIndex[t]];
      sums[k] = isum;
    }
    __m128i q[2];
    for (int h = 0; h < 2; ++h) {
      const __m128 v = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(sums + 4 * h))), scale), half);
      q[h] = _mm_cvttps_epi32(_mm_min_ps(v, top));
    }
    const __m128i words = _mm_packs_epi32(q[0], q[1]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dstRow + e), _mm_packus_epi16(words, words));
  }
  for (; e < plan.elements; ++e) {
    int32_t isum = 0;
    for (int32_t t = plan.tapStart[e]; t < plan.tapStart[e + 1]; ++t) isum += plan.accI[plan.tapIndex[t]];
    const float v = static_cast<float>(isum) * plan.scale + 0.5f;
    const int32_t b = v >= 255.0f ? 255 : static_cast<int32_t>(v);
    dstRow[e] = static_cast<uint8_t>(b < 0 ? 0 : b);
  }
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

void AccumulateRowWhole(const Plan& plan, const uint8_t* s) {
  const __m128i zero = _mm_setzero_si128();
  int32_t u = 0;
  for (; u + 4 <= plan.superUnits; u += 4) {
    __m128i q[4];
    WidenUnits4(s + 4 * u, zero, q);
    for (int k = 0; k < 4; ++k) {
      __m128i* acc = reinterpret_cast<__m128i*>(plan.accI + 4 * (u + k));
      _mm_storeu_si128(acc, _mm_add_epi32(_mm_loadu_si128(acc), q[k]));
    }
  }
  for (; u < plan.superUnits; ++u)
    for (int b = 0; b < 4; ++b) plan.accI[4 * u + b] += s[4 * u + b];
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

void SuperHorizontalRow(const Plan& plan, uint8_t* dstRow) { resize::SuperHorizontal(plan, dstRow); }

void AccumulateRow(const Plan& plan, const uint8_t* s, float w) {
  resize::AccumulateWeighted(plan.accF, s, 4 * plan.superUnits, w);
}

void AccumulateRowWhole(const Plan& plan, const uint8_t* s) {
  for (int32_t k = 0; k < 4 * plan.superUnits; ++k) plan.accI[k] += s[k];
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

void SuperRows(const Plan& plan) {
  const int32_t accBytes = 16 * plan.superUnits;
  for (int32_t i = 0; i < plan.outHeight; ++i) {
    ZeroBytes(plan.integerSums ? reinterpret_cast<uint8_t*>(plan.accI) : reinterpret_cast<uint8_t*>(plan.accF),
              accBytes);
    for (int32_t k = plan.superRowStart[i]; k < plan.superRowStart[i + 1]; ++k) {
      const uint8_t* s = SrcRow(plan, plan.superRows[k]);
      if (plan.integerSums)
        AccumulateRowWhole(plan, s);
      else
        AccumulateRow(plan, s, plan.superRowWeight[k]);
    }
    SuperHorizontalRow(plan, DstRow(plan, i));
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
#if KVZ_RS_VECTOR
  if (plan.mode != kResizeNearest) KVZ_COUNT_PATH(kPathResize);
#endif
  switch (plan.mode) {
    case kResizeNearest:
      resize::NearestRows(plan);
      break;
    case kResizeLinear:
      LinearRows(plan);
      break;
    case kResizeCubic:
      CubicRows(plan);
      break;
    default:
      SuperRows(plan);
      break;
  }
  resize::Release(&plan);
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
