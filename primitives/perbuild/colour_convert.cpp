// Colour conversions, one copy per processor build. The generic build is the reference; the
// vector builds of YuvToRgb, Yuv420ToBgr and RgbToYuv420 use 16-bit lane arithmetic that rounds
// differently, and their scalar remainders follow the same lane formulas so that a pixel's value
// does not depend on where in the row it falls.
#include <string.h>

#include "primitives/colour_convert.h"
#include "primitives/path_counts.h"
#include "primitives/perbuild/simd_moves.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

#if !KVZ_BUILD_HAS(SSE2)
// Clamp to 0..255 for every index the generic formulas can produce (-394..629).
struct SaturationTable {
  uint8_t v[1024];
  constexpr SaturationTable() : v() {
    for (int i = 0; i < 1024; ++i) {
      const int x = i - 394;
      v[i] = static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : x));
    }
  }
};
constexpr SaturationTable kSaturation;

inline uint8_t Saturate(int32_t x) { return kSaturation.v[x + 394]; }
#endif

inline uint8_t ClampByCompare(int32_t x) {
  if (x < 0) return 0;
  if (x > 255) return 255;
  return static_cast<uint8_t>(x);
}

#if !KVZ_BUILD_HAS(SSE2)
// ---- generic pixel rules ----

inline void YuvToRgbPixelGeneric(int32_t y, int32_t u, int32_t v, uint8_t* d) {
  const int32_t up = u - 128, vp = v - 128, ys = 65536 * y;
  d[0] = Saturate((ys + 74710 * vp) >> 16);
  d[1] = Saturate((ys - 25820 * up - 38075 * vp) >> 16);
  d[2] = Saturate((ys + 133168 * up) >> 16);
}

inline void Yuv420ToBgrPixelGeneric(int32_t y, int32_t up, int32_t vp, uint8_t* d) {
  const int32_t ys = 65536 * y;
  d[0] = ClampByCompare((ys + 133169 * up) >> 16);
  d[1] = ClampByCompare((ys - 38076 * vp - 25821 * up) >> 16);
  d[2] = ClampByCompare((ys + 74711 * vp) >> 16);
}
#endif

// BT.601 video range, exact in 32-bit integers.
inline void Yuy2PixelBgr(int32_t y, int32_t d, int32_t e, uint8_t* out) {
  const int32_t c = 298 * (y - 16) + 128;
  out[0] = ClampByCompare((c + 516 * d) >> 8);
  out[1] = ClampByCompare((c - 100 * d - 208 * e) >> 8);
  out[2] = ClampByCompare((c + 409 * e) >> 8);
}

// One row of `width` pixels from pixel `from` on, pixel by pixel.
inline void Yuy2RowBgrScalar(const uint8_t* s, uint8_t* d, int32_t from, int32_t width) {
  int32_t x = from;
  for (; x + 1 < width; x += 2) {
    const int32_t du = s[2 * x + 1] - 128, ev = s[2 * x + 3] - 128;
    Yuy2PixelBgr(s[2 * x], du, ev, d + 3 * x);
    Yuy2PixelBgr(s[2 * x + 2], du, ev, d + 3 * x + 3);
  }
  if (x < width) Yuy2PixelBgr(s[2 * x], s[2 * x + 1] - 128, (x >= 2 ? s[2 * x - 1] : 128) - 128, d + 3 * x);
}

#if !KVZ_BUILD_HAS(SSE2)
// One 2 x 2 block: s0/s1 the two source rows at the block, y0/y1 the two luma rows.
inline void RgbBlockGeneric(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1,
                            uint8_t* u, uint8_t* v) {
  const uint8_t* px[4] = {s0, s0 + 3, s1, s1 + 3};
  uint8_t* yd[4] = {y0, y0 + 1, y1, y1 + 1};
  int32_t sumP = 0, sumR = 0, sumB = 0;
  for (int k = 0; k < 4; ++k) {
    const int32_t r = px[k][0], g = px[k][1], b = px[k][2];
    const int32_t p = 19595 * r + 38470 * g + 7471 * b;
    *yd[k] = static_cast<uint8_t>(p >> 16);
    sumP += p;
    sumR += r;
    sumB += b;
  }
  *u = static_cast<uint8_t>(((((sumB << 16) - sumP + 0x1FFFF) >> 16) * 32244 >> 18) + 128);
  *v = Saturate(((((sumR << 16) - sumP + 0x1FFFF) >> 16) * 57475 >> 18) + 128);
}
#endif

#if KVZ_BUILD_HAS(SSE2)
// ---- lane rules of the vector builds, in scalar form for the row remainders ----

// (a * b) >> 16 of two 16-bit lanes, as the vector multiply-high gives it.
inline int32_t MulHi(int32_t a, int32_t b) { return (a * b) >> 16; }

inline void YuvToRgbPixelLane(int32_t y, int32_t u, int32_t v, uint8_t* d) {
  const int32_t y2 = 2 * y, u16 = 16 * (u - 128), v16 = 16 * (v - 128);
  d[0] = ClampByCompare((y2 + MulHi(v16, 9338)) >> 1);
  d[1] = ClampByCompare((y2 + MulHi(u16, -3227) + MulHi(v16, -4759)) >> 1);
  d[2] = ClampByCompare((y2 + MulHi(u16, 16645)) >> 1);
}

// Chroma terms of Yuv420ToBgr's lanes for one U, V pair.
struct BgrChromaLane {
  int32_t b, g, r;
};
inline BgrChromaLane BgrChroma(int32_t u, int32_t v) {
  const int32_t u16 = 16 * (u - 128), v16 = 16 * (v - 128);
  return {MulHi(u16, 16646), MulHi(u16, -3228) + MulHi(v16, -4760), MulHi(v16, 9339)};
}
inline void BgrPixelLane(int32_t y, const BgrChromaLane& c, uint8_t* d) {
  d[0] = ClampByCompare((2 * y + c.b) >> 1);
  d[1] = ClampByCompare((2 * y + c.g) >> 1);
  d[2] = ClampByCompare((2 * y + c.r) >> 1);
}

inline int32_t LumaLane(int32_t r, int32_t g, int32_t b) {
  return (((9798 * r + 19235 * g) >> 14) + ((3736 * b) >> 14)) >> 1;
}
inline int32_t ChromaLane(int32_t diffSum, int32_t weight) {
  return ClampByCompare(((diffSum * weight) >> 17) + 128);
}

inline void RgbBlockLane(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1,
                         uint8_t* u, uint8_t* v) {
  const uint8_t* px[4] = {s0, s0 + 3, s1, s1 + 3};
  uint8_t* yd[4] = {y0, y0 + 1, y1, y1 + 1};
  int32_t sumY = 0, sumR = 0, sumB = 0;
  for (int k = 0; k < 4; ++k) {
    const int32_t y = LumaLane(px[k][0], px[k][1], px[k][2]);
    *yd[k] = static_cast<uint8_t>(y);
    sumY += y;
    sumR += px[k][0];
    sumB += px[k][2];
  }
  *u = static_cast<uint8_t>(ChromaLane(sumB - sumY, 16121));
  *v = static_cast<uint8_t>(ChromaLane(sumR - sumY, 28737));
}

// ---- vector helpers ----

inline __m128i Load12(const uint8_t* p) {
  uint32_t tail;
  memcpy(&tail, p + 8, 4);
  return _mm_or_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                      _mm_slli_si128(_mm_cvtsi32_si128(static_cast<int>(tail)), 8));
}

#if !KVZ_BUILD_HAS(SSSE3)
inline void Store12(uint8_t* p, __m128i x) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), x);
  const uint32_t tail = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 8)));
  memcpy(p + 8, &tail, 4);
}

// Four 4-byte pixels (c0 c1 c2 0) packed into 12 bytes of 3-byte pixels in the low bytes.
inline __m128i Pack4x3(__m128i px) {
  const __m128i low3 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i next3 = _mm_set_epi32(0x0000FFFF, static_cast<int>(0xFF000000), 0x0000FFFF,
                                      static_cast<int>(0xFF000000));
  const __m128i t = _mm_or_si128(_mm_and_si128(px, low3), _mm_and_si128(_mm_srli_epi64(px, 8), next3));
  const __m128i lane0 = _mm_set_epi32(0, 0, 0x0000FFFF, -1);
  const __m128i lane1 = _mm_set_epi32(0, -1, static_cast<int>(0xFFFF0000), 0);
  return _mm_or_si128(_mm_and_si128(t, lane0), _mm_and_si128(_mm_srli_si128(t, 2), lane1));
}
#endif

// Twelve bytes of 3-byte pixels (low bytes of x) spread into four 4-byte pixels (c0 c1 c2 0).
inline __m128i Unpack3x4(__m128i x) {
  const __m128i lane0 = _mm_set_epi32(0, 0, 0x0000FFFF, -1);
  const __m128i lane1 = _mm_set_epi32(0x0000FFFF, -1, 0, 0);
  const __m128i w = _mm_or_si128(_mm_and_si128(x, lane0), _mm_and_si128(_mm_slli_si128(x, 2), lane1));
  const __m128i low3 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i high3 = _mm_set_epi32(0x00FFFFFF, 0, 0x00FFFFFF, 0);
  return _mm_or_si128(_mm_and_si128(w, low3), _mm_and_si128(_mm_slli_epi64(w, 8), high3));
}

// Writes 16 pixels from three byte vectors as 48 bytes c0 c1 c2 per pixel.
inline void Store16x3(uint8_t* d, __m128i c0, __m128i c1, __m128i c2) {
#if KVZ_BUILD_HAS(SSSE3)
  simd::Interleave3x8(c0, c1, c2);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), c0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), c1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), c2);
#else
  const __m128i zero = _mm_setzero_si128();
  const __m128i p01lo = _mm_unpacklo_epi8(c0, c1), p01hi = _mm_unpackhi_epi8(c0, c1);
  const __m128i p2lo = _mm_unpacklo_epi8(c2, zero), p2hi = _mm_unpackhi_epi8(c2, zero);
  // Each full 16-byte store runs 4 bytes into the next group, which overwrites them after.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), Pack4x3(_mm_unpacklo_epi16(p01lo, p2lo)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 12), Pack4x3(_mm_unpackhi_epi16(p01lo, p2lo)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 24), Pack4x3(_mm_unpacklo_epi16(p01hi, p2hi)));
  Store12(d + 36, Pack4x3(_mm_unpackhi_epi16(p01hi, p2hi)));
#endif
}

inline __m128i Clamp2xTo8(__m128i lo, __m128i hi) {
  return _mm_packus_epi16(_mm_srai_epi16(lo, 1), _mm_srai_epi16(hi, 1));
}

void YuvToRgbRowVector(const uint8_t* ys, const uint8_t* us, const uint8_t* vs, uint8_t* d,
                       int32_t width) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(128);
  const __m128i kRv = _mm_set1_epi16(9338), kGu = _mm_set1_epi16(-3227),
                kGv = _mm_set1_epi16(-4759), kBu = _mm_set1_epi16(16645);
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ys + x));
    const __m128i u8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(us + x));
    const __m128i v8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(vs + x));
    __m128i out[3][2];
    for (int h = 0; h < 2; ++h) {
      const __m128i y = h ? _mm_unpackhi_epi8(y8, zero) : _mm_unpacklo_epi8(y8, zero);
      const __m128i u = h ? _mm_unpackhi_epi8(u8, zero) : _mm_unpacklo_epi8(u8, zero);
      const __m128i v = h ? _mm_unpackhi_epi8(v8, zero) : _mm_unpacklo_epi8(v8, zero);
      const __m128i y2 = _mm_add_epi16(y, y);
      const __m128i u16 = _mm_slli_epi16(_mm_sub_epi16(u, bias), 4);
      const __m128i v16 = _mm_slli_epi16(_mm_sub_epi16(v, bias), 4);
      out[0][h] = _mm_add_epi16(y2, _mm_mulhi_epi16(v16, kRv));
      out[1][h] = _mm_add_epi16(_mm_add_epi16(y2, _mm_mulhi_epi16(u16, kGu)),
                                _mm_mulhi_epi16(v16, kGv));
      out[2][h] = _mm_add_epi16(y2, _mm_mulhi_epi16(u16, kBu));
    }
    Store16x3(d + 3 * x, Clamp2xTo8(out[0][0], out[0][1]), Clamp2xTo8(out[1][0], out[1][1]),
              Clamp2xTo8(out[2][0], out[2][1]));
  }
  for (; x < width; ++x) YuvToRgbPixelLane(ys[x], us[x], vs[x], d + 3 * x);
}

// Two luma rows of Yuv420ToBgr over `pairs` chroma columns.
void Yuv420ToBgrRowsVector(const uint8_t* y0, const uint8_t* y1, const uint8_t* us,
                           const uint8_t* vs, uint8_t* d0, uint8_t* d1, int32_t pairs) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(128);
  const __m128i kBu = _mm_set1_epi16(16646), kGu = _mm_set1_epi16(-3228),
                kGv = _mm_set1_epi16(-4760), kRv = _mm_set1_epi16(9339);
  int32_t j = 0;
  for (; j + 8 <= pairs; j += 8) {
    const __m128i u = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(us + j)), zero), bias), 4);
    const __m128i v = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(vs + j)), zero), bias), 4);
    const __m128i cb = _mm_mulhi_epi16(u, kBu);
    const __m128i cg = _mm_add_epi16(_mm_mulhi_epi16(u, kGu), _mm_mulhi_epi16(v, kGv));
    const __m128i cr = _mm_mulhi_epi16(v, kRv);
    const __m128i c[3][2] = {{_mm_unpacklo_epi16(cb, cb), _mm_unpackhi_epi16(cb, cb)},
                             {_mm_unpacklo_epi16(cg, cg), _mm_unpackhi_epi16(cg, cg)},
                             {_mm_unpacklo_epi16(cr, cr), _mm_unpackhi_epi16(cr, cr)}};
    for (int row = 0; row < 2; ++row) {
      const uint8_t* ys = row ? y1 : y0;
      const __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ys + 2 * j));
      const __m128i ylo = _mm_unpacklo_epi8(y8, zero), yhi = _mm_unpackhi_epi8(y8, zero);
      const __m128i y2lo = _mm_add_epi16(ylo, ylo), y2hi = _mm_add_epi16(yhi, yhi);
      __m128i out[3];
      for (int k = 0; k < 3; ++k)
        out[k] = Clamp2xTo8(_mm_add_epi16(y2lo, c[k][0]), _mm_add_epi16(y2hi, c[k][1]));
      Store16x3((row ? d1 : d0) + 6 * j, out[0], out[1], out[2]);
    }
  }
  for (; j < pairs; ++j) {
    const BgrChromaLane c = BgrChroma(us[j], vs[j]);
    BgrPixelLane(y0[2 * j], c, d0 + 6 * j);
    BgrPixelLane(y0[2 * j + 1], c, d0 + 6 * j + 3);
    BgrPixelLane(y1[2 * j], c, d1 + 6 * j);
    BgrPixelLane(y1[2 * j + 1], c, d1 + 6 * j + 3);
  }
}

// Luma of four RGB pixels given as 4-byte pixels (r g b 0): 32-bit lanes.
inline __m128i LumaOf4(__m128i px) {
  const __m128i lowByte = _mm_set1_epi32(0xFF), secondByte = _mm_set1_epi32(0xFF00);
  const __m128i rg = _mm_or_si128(_mm_and_si128(px, lowByte),
                                  _mm_slli_epi32(_mm_and_si128(px, secondByte), 8));
  const __m128i b = _mm_srli_epi32(px, 16);
  const __m128i wRG = _mm_set1_epi32((19235 << 16) | 9798), wB = _mm_set1_epi32(3736);
  const __m128i sum = _mm_add_epi32(_mm_srai_epi32(_mm_madd_epi16(rg, wRG), 14),
                                    _mm_srai_epi32(_mm_madd_epi16(b, wB), 14));
  return _mm_srai_epi32(sum, 1);
}

// Sixteen pixels of one row: luma, red and blue as 16-bit lanes (pixels 0-7, 8-15).
struct RgbRow16 {
  __m128i y[2], r[2], b[2];
};

inline RgbRow16 LoadRgb16(const uint8_t* s) {
  RgbRow16 out;
  __m128i px[4];
  for (int g = 0; g < 3; ++g)
    px[g] = Unpack3x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12 * g)));
  px[3] = Unpack3x4(Load12(s + 36));
  const __m128i lowByte = _mm_set1_epi32(0xFF);
  for (int h = 0; h < 2; ++h) {
    const __m128i a = px[2 * h], c = px[2 * h + 1];
    out.y[h] = _mm_packs_epi32(LumaOf4(a), LumaOf4(c));
    out.r[h] = _mm_packs_epi32(_mm_and_si128(a, lowByte), _mm_and_si128(c, lowByte));
    out.b[h] = _mm_packs_epi32(_mm_srli_epi32(a, 16), _mm_srli_epi32(c, 16));
  }
  return out;
}

// ((diff * weight) >> 17) + 128 on 16-bit lanes of |diff| <= 1020, exactly.
inline __m128i ChromaOf(__m128i diff, __m128i weight) {
  return _mm_add_epi16(_mm_srai_epi16(_mm_mulhi_epi16(_mm_slli_epi16(diff, 4), weight), 5),
                       _mm_set1_epi16(128));
}

void RgbToYuv420RowsVector(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1,
                           uint8_t* u, uint8_t* v, int32_t pairs) {
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i wU = _mm_set1_epi16(16121), wV = _mm_set1_epi16(28737);
  int32_t j = 0;
  for (; j + 8 <= pairs; j += 8) {
    const RgbRow16 a = LoadRgb16(s0 + 6 * j), b = LoadRgb16(s1 + 6 * j);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + 2 * j), _mm_packus_epi16(a.y[0], a.y[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + 2 * j), _mm_packus_epi16(b.y[0], b.y[1]));
    __m128i du[2], dv[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i ys = _mm_madd_epi16(_mm_add_epi16(a.y[h], b.y[h]), ones);
      const __m128i rs = _mm_madd_epi16(_mm_add_epi16(a.r[h], b.r[h]), ones);
      const __m128i bs = _mm_madd_epi16(_mm_add_epi16(a.b[h], b.b[h]), ones);
      du[h] = _mm_sub_epi32(bs, ys);
      dv[h] = _mm_sub_epi32(rs, ys);
    }
    const __m128i uu = ChromaOf(_mm_packs_epi32(du[0], du[1]), wU);
    const __m128i vv = ChromaOf(_mm_packs_epi32(dv[0], dv[1]), wV);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + j), _mm_packus_epi16(uu, uu));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + j), _mm_packus_epi16(vv, vv));
  }
  for (; j < pairs; ++j)
    RgbBlockLane(s0 + 6 * j, s1 + 6 * j, y0 + 2 * j, y1 + 2 * j, u + j, v + j);
}

// Y U Y V -> planes for `pairs` pixel pairs; the streaming form needs s and y on 16 bytes.
template <bool kStream>
void Yuy2RowVector(const uint8_t* s, uint8_t* y, uint8_t* u, uint8_t* v, int32_t pairs) {
  const __m128i lowByte = _mm_set1_epi16(0xFF);
  int32_t k = 0;
  for (; k + 8 <= pairs; k += 8) {
    const __m128i a = kStream ? _mm_load_si128(reinterpret_cast<const __m128i*>(s + 4 * k))
                              : _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * k));
    const __m128i b = kStream ? _mm_load_si128(reinterpret_cast<const __m128i*>(s + 4 * k + 16))
                              : _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * k + 16));
    const __m128i yy = _mm_packus_epi16(_mm_and_si128(a, lowByte), _mm_and_si128(b, lowByte));
    const __m128i uv = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    const __m128i uu = _mm_packus_epi16(_mm_and_si128(uv, lowByte), _mm_setzero_si128());
    const __m128i vv = _mm_packus_epi16(_mm_srli_epi16(uv, 8), _mm_setzero_si128());
    if (kStream)
      _mm_stream_si128(reinterpret_cast<__m128i*>(y + 2 * k), yy);
    else
      _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 2 * k), yy);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + k), uu);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + k), vv);
  }
  for (; k < pairs; ++k) {
    y[2 * k] = s[4 * k];
    u[k] = s[4 * k + 1];
    y[2 * k + 1] = s[4 * k + 2];
    v[k] = s[4 * k + 3];
  }
}

inline bool On16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

// Yuy2ToBgr24 sixteen pixels a step in 16-bit lanes. 298 C + k = 256 (C + a) + (42 C + b) with
// a, b from the chroma: every term of the second part stays within 16 bits, and
// (256 n + m) >> 8 = n + (m >> 8), so the lanes give the 32-bit formula's values exactly.
void Yuy2RowBgrVector(const uint8_t* s, uint8_t* d, int32_t width) {
  const __m128i lowByte = _mm_set1_epi16(0xFF), lowWord = _mm_set1_epi32(0xFFFF);
  const __m128i k16 = _mm_set1_epi16(16), k128 = _mm_set1_epi16(128), k42 = _mm_set1_epi16(42);
  const __m128i k4 = _mm_set1_epi16(4), km100 = _mm_set1_epi16(-100), k48 = _mm_set1_epi16(48),
                k153 = _mm_set1_epi16(153);
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * x + 16));
    // Chroma of the eight pairs, then each term doubled onto the pair's two pixels.
    const __m128i uva = _mm_srli_epi16(a, 8), uvb = _mm_srli_epi16(b, 8);
    const __m128i du = _mm_sub_epi16(_mm_packs_epi32(_mm_and_si128(uva, lowWord), _mm_and_si128(uvb, lowWord)), k128);
    const __m128i ev = _mm_sub_epi16(_mm_packs_epi32(_mm_srli_epi32(uva, 16), _mm_srli_epi32(uvb, 16)), k128);
    const __m128i fine[3] = {_mm_add_epi16(_mm_mullo_epi16(du, k4), k128),
                             _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(du, km100), _mm_mullo_epi16(ev, k48)), k128),
                             _mm_add_epi16(_mm_mullo_epi16(ev, k153), k128)};
    const __m128i coarse[3] = {_mm_add_epi16(du, du), _mm_sub_epi16(_mm_setzero_si128(), ev), ev};
    __m128i half[3][2];
    for (int h = 0; h < 2; ++h) {
      const __m128i c = _mm_sub_epi16(_mm_and_si128(h ? b : a, lowByte), k16);
      const __m128i c42 = _mm_mullo_epi16(c, k42);
      for (int ch = 0; ch < 3; ++ch) {
        const __m128i f = h ? _mm_unpackhi_epi16(fine[ch], fine[ch]) : _mm_unpacklo_epi16(fine[ch], fine[ch]);
        const __m128i g = h ? _mm_unpackhi_epi16(coarse[ch], coarse[ch]) : _mm_unpacklo_epi16(coarse[ch], coarse[ch]);
        half[ch][h] = _mm_add_epi16(_mm_add_epi16(c, g), _mm_srai_epi16(_mm_add_epi16(c42, f), 8));
      }
    }
    simd::V blue = _mm_packus_epi16(half[0][0], half[0][1]);
    simd::V green = _mm_packus_epi16(half[1][0], half[1][1]);
    simd::V red = _mm_packus_epi16(half[2][0], half[2][1]);
    simd::Interleave3x8(blue, green, red);
    uint8_t* o = d + 3 * x;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), blue);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), green);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 32), red);
  }
  Yuy2RowBgrScalar(s, d, x, width);
}
#endif  // KVZ_BUILD_HAS(SSE2)

}  // namespace

PrimitiveStatus RgbToYuv420(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                            const int32_t dstStep[3], RoiSize roi) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
  if (dst[0] == nullptr || dst[1] == nullptr || dst[2] == nullptr) return kStsNullPointer;
  if (dstStep == nullptr) return kStsNullPointer;
  const int32_t pairs = roi.width / 2, rowPairs = roi.height / 2;
  const uint8_t* s = src;
  uint8_t* yp = dst[0];
  uint8_t* up = dst[1];
  uint8_t* vp = dst[2];
#if KVZ_BUILD_HAS(SSE2)
  KVZ_COUNT_PATH(kPathColour);
#endif
  for (int32_t i = 0; i < rowPairs; ++i) {
#if KVZ_BUILD_HAS(SSE2)
    RgbToYuv420RowsVector(s, s + srcStep, yp, yp + dstStep[0], up, vp, pairs);
#else
    for (int32_t j = 0; j < pairs; ++j)
      RgbBlockGeneric(s + 6 * j, s + srcStep + 6 * j, yp + 2 * j, yp + dstStep[0] + 2 * j,
                      up + j, vp + j);
#endif
    s += 2 * static_cast<intptr_t>(srcStep);
    yp += 2 * static_cast<intptr_t>(dstStep[0]);
    up += dstStep[1];
    vp += dstStep[2];
  }
  return ((roi.width | roi.height) & 1) ? kStsOddSize : kStsOk;
}

PrimitiveStatus YuvToRgb(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,
                         int32_t dstStep, RoiSize roi) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
  if (src[0] == nullptr || src[1] == nullptr || src[2] == nullptr) return kStsNullPointer;
  const uint8_t* ys = src[0];
  const uint8_t* us = src[1];
  const uint8_t* vs = src[2];
#if KVZ_BUILD_HAS(SSE2)
  KVZ_COUNT_PATH(kPathColour);
#endif
  for (int32_t r = 0; r < roi.height; ++r) {
#if KVZ_BUILD_HAS(SSE2)
    YuvToRgbRowVector(ys, us, vs, dst, roi.width);
#else
    for (int32_t x = 0; x < roi.width; ++x) YuvToRgbPixelGeneric(ys[x], us[x], vs[x], dst + 3 * x);
#endif
    ys += srcStep;
    us += srcStep;
    vs += srcStep;
    dst += dstStep;
  }
  return kStsOk;
}

PrimitiveStatus Yuv420ToBgr(const uint8_t* const src[3], const int32_t srcStep[3],
                            uint8_t* dst, int32_t dstStep, RoiSize roi) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  const int32_t pairs = roi.width / 2, rowPairs = roi.height / 2;
  if (pairs <= 0 || rowPairs <= 0) return kStsSizeError;
  if (src[0] == nullptr || src[1] == nullptr || src[2] == nullptr) return kStsNullPointer;
  if (srcStep == nullptr) return kStsNullPointer;
  const uint8_t* ys = src[0];
  const uint8_t* us = src[1];
  const uint8_t* vs = src[2];
#if KVZ_BUILD_HAS(SSE2)
  KVZ_COUNT_PATH(kPathColour);
#endif
  for (int32_t i = 0; i < rowPairs; ++i) {
    const uint8_t* y1 = ys + srcStep[0];
    uint8_t* d1 = dst + dstStep;
#if KVZ_BUILD_HAS(SSE2)
    Yuv420ToBgrRowsVector(ys, y1, us, vs, dst, d1, pairs);
#else
    for (int32_t j = 0; j < pairs; ++j) {
      const int32_t up = us[j] - 128, vp = vs[j] - 128;
      Yuv420ToBgrPixelGeneric(ys[2 * j], up, vp, dst + 6 * j);
      Yuv420ToBgrPixelGeneric(ys[2 * j + 1], up, vp, dst + 6 * j + 3);
      Yuv420ToBgrPixelGeneric(y1[2 * j], up, vp, d1 + 6 * j);
      Yuv420ToBgrPixelGeneric(y1[2 * j + 1], up, vp, d1 + 6 * j + 3);
    }
#endif
    ys += 2 * static_cast<intptr_t>(srcStep[0]);
    us += srcStep[1];
    vs += srcStep[2];
    dst += 2 * static_cast<intptr_t>(dstStep);
  }
  // An odd last column or row cannot be converted without its chroma pair; say so.
  return ((roi.width | roi.height) & 1) ? kStsOddSize : kStsOk;
}

PrimitiveStatus Yuy2ToPlanar422(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                const int32_t dstStep[3], RoiSize roi) {
  if (src == nullptr || dst == nullptr || dstStep == nullptr) return kStsNullPointer;
  if (dst[0] == nullptr || dst[1] == nullptr || dst[2] == nullptr) return kStsNullPointer;
  if (roi.width < 2 || roi.height <= 0) return kStsSizeError;
  const int32_t pairs = roi.width / 2;
  const uint8_t* s = src;
  uint8_t* y = dst[0];
  uint8_t* u = dst[1];
  uint8_t* v = dst[2];
#if KVZ_BUILD_HAS(SSE2)
  KVZ_COUNT_PATH(kPathColour);
  // Luma streams past the caches only for a region as large as the region copies stream: the
  // JPEG encoder converts eight rows at a time and reads them straight back.
  const uint64_t lumaBytes = static_cast<uint64_t>(2 * pairs) * static_cast<uint64_t>(roi.height);
  const bool stream = lumaBytes > simd::kRegionStreamBytes && On16(src) && On16(dst[0]) && (srcStep & 15) == 0 &&
                      (dstStep[0] & 15) == 0 && ((2 * pairs) & 15) == 0;
#endif
  for (int32_t r = 0; r < roi.height; ++r) {
#if KVZ_BUILD_HAS(SSE2)
    if (stream)
      Yuy2RowVector<true>(s, y, u, v, pairs);
    else
      Yuy2RowVector<false>(s, y, u, v, pairs);
#else
    for (int32_t k = 0; k < pairs; ++k) {
      y[2 * k] = s[4 * k];
      u[k] = s[4 * k + 1];
      y[2 * k + 1] = s[4 * k + 2];
      v[k] = s[4 * k + 3];
    }
#endif
    s += srcStep;
    y += dstStep[0];
    u += dstStep[1];
    v += dstStep[2];
  }
#if KVZ_BUILD_HAS(SSE2)
  if (stream) _mm_sfence();
#endif
  return kStsOk;
}

PrimitiveStatus Yuy2ToBgr24(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
#if KVZ_BUILD_HAS(SSE2)
  KVZ_COUNT_PATH(kPathColour);
#endif
  for (int32_t r = 0; r < roi.height; ++r) {
    const uint8_t* s = src + static_cast<intptr_t>(r) * srcStep;
    uint8_t* d = dst + static_cast<intptr_t>(r) * dstStep;
#if KVZ_BUILD_HAS(SSE2)
    Yuy2RowBgrVector(s, d, roi.width);
#else
    Yuy2RowBgrScalar(s, d, 0, roi.width);
#endif
  }
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
