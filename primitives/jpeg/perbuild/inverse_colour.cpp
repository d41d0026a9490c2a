// Inverse colour conversion, one copy per processor build (see inverse_colour.h for how the
// builds differ). The SSE2-and-later builds convert 8 pixels a step with pmaddwd on centred
// chroma; the x86 SSE build has no integer vectors and evaluates the same 14-bit formulas one
// pixel at a time, by design.
#include "primitives/jpeg/inverse_colour.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif
#if KVZ_BUILD_HAS(SSSE3)
#include <tmmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

// 1.402, 1.772, 0.71414 and 0.34414 with 16 fraction bits.
struct ChromaTables {
  int32_t crToR[256], cbToB[256], crToG[256], cbToG[256];
  constexpr ChromaTables() : crToR(), cbToB(), crToG(), cbToG() {
    for (int i = 0; i < 256; ++i) {
      const int32_t c = i - 128;
      crToR[i] = (91881 * c + 32768) >> 16;
      cbToB[i] = (116130 * c + 32768) >> 16;
      crToG[i] = -46802 * c;
      cbToG[i] = -22554 * c + 32768;
    }
  }
};
constexpr ChromaTables kTables;

inline uint8_t Clamp(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

struct Rgb {
  uint8_t r, g, b;
};

inline Rgb TablePixel(int32_t y, int32_t cb, int32_t cr) {
  return Rgb{Clamp(y + kTables.crToR[cr]), Clamp(y + ((kTables.cbToG[cb] + kTables.crToG[cr]) >> 16)),
             Clamp(y + kTables.cbToB[cb])};
}

// The 14-bit coefficients of the non-generic builds. The inverted (YCCK) variant rounds green
// as a subtraction and blue with its own constant.
template <bool kInverted>
inline Rgb FixedPixel(int32_t y, int32_t cb, int32_t cr) {
  const int32_t r = y + ((22970 * cr - 2932015) >> 14);
  if (kInverted) {
    return Rgb{Clamp(r), Clamp(y - ((5638 * cb + 11700 * cr - 2211182) >> 14)),
               Clamp(y + ((29032 * cb - 3708561) >> 14))};
  }
  return Rgb{Clamp(r), Clamp(y + ((-5638 * cb - 11700 * cr + 2227566) >> 14)),
             Clamp(y + ((29032 * cb - 3707961) >> 14))};
}

enum class Layout { kRgb, kBgr, kCmyk };

template <Layout kLayout>
inline void StorePixel(uint8_t* d, Rgb p, uint8_t k) {
  if (kLayout == Layout::kRgb) {
    d[0] = p.r, d[1] = p.g, d[2] = p.b;
  } else if (kLayout == Layout::kBgr) {
    d[0] = p.b, d[1] = p.g, d[2] = p.r;
  } else {
    d[0] = static_cast<uint8_t>(255 - p.r), d[1] = static_cast<uint8_t>(255 - p.g);
    d[2] = static_cast<uint8_t>(255 - p.b), d[3] = k;
  }
}

constexpr bool kGeneric = !KVZ_BUILD_HAS(SSE);

#if KVZ_BUILD_HAS(SSE2)

inline __m128i PairConst(int16_t lo, int16_t hi) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16) |
                                             static_cast<uint16_t>(lo)));
}

// (pairs . coefficients) >> 14 for 8 lanes given as two halves of interleaved pairs.
inline __m128i Offset(__m128i pairsLo, __m128i pairsHi, __m128i coef) {
  return _mm_packs_epi32(_mm_srai_epi32(_mm_madd_epi16(pairsLo, coef), 14),
                         _mm_srai_epi32(_mm_madd_epi16(pairsHi, coef), 14));
}

inline __m128i Load8(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

// Channels of 8 pixels as 16-bit lanes.
struct Channels {
  __m128i r, g, b;
};

// The 14-bit formulas on 8 pixels; the sums are luma plus offset before clamping (-300..600,
// well inside 16 bits). Red and blue each depend on one chroma value, and over its 256 values
// (22970 Cr - 2932015) >> 14 equals mulhi(4 Cr - 522, 22970) + 4 and (29032 Cb - 3707961) >> 14
// equals mulhi(4 Cb - 547, 29032) + 16 (checked exhaustively by the tests), one 16-bit multiply
// each. Green and the inverted variant take pmaddwd with the chroma centred on 128, which moves
// their constants beside a constant-1 lane: 29032 * Cb - 3708561 = 29032 * (Cb - 128) + 7535.
template <bool kInverted>
inline Channels Sums8(const uint8_t* py, const uint8_t* pcb, const uint8_t* pcr) {
  const __m128i y = Load8(py), cb = Load8(pcb), cr = Load8(pcr);
  Channels c;
  if (!kInverted) {
    c.r = _mm_add_epi16(_mm_add_epi16(y, _mm_set1_epi16(4)),
                        _mm_mulhi_epi16(_mm_sub_epi16(_mm_slli_epi16(cr, 2), _mm_set1_epi16(522)), _mm_set1_epi16(22970)));
    c.b = _mm_add_epi16(_mm_add_epi16(y, _mm_set1_epi16(16)),
                        _mm_mulhi_epi16(_mm_sub_epi16(_mm_slli_epi16(cb, 2), _mm_set1_epi16(547)), _mm_set1_epi16(29032)));
    const __m128i k = PairConst(-5638, -11700), bias = _mm_set1_epi32(2227566);
    const __m128i gLo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cb, cr), k), bias);
    const __m128i gHi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cb, cr), k), bias);
    c.g = _mm_add_epi16(y, _mm_packs_epi32(_mm_srai_epi32(gLo, 14), _mm_srai_epi32(gHi, 14)));
    return c;
  }
  const __m128i centre = _mm_set1_epi16(128), ones = _mm_set1_epi16(1);
  const __m128i cbc = _mm_sub_epi16(cb, centre), crc = _mm_sub_epi16(cr, centre);
  const __m128i crLo = _mm_unpacklo_epi16(crc, ones), crHi = _mm_unpackhi_epi16(crc, ones);
  const __m128i cbLo = _mm_unpacklo_epi16(cbc, ones), cbHi = _mm_unpackhi_epi16(cbc, ones);
  const __m128i ccLo = _mm_unpacklo_epi16(cbc, crc), ccHi = _mm_unpackhi_epi16(cbc, crc);
  c.r = _mm_add_epi16(y, Offset(crLo, crHi, PairConst(22970, 8145)));
  // y - ((5638 Cb + 11700 Cr - 2211182) >> 14), the sum centred: + 8082.
  const __m128i gLo = _mm_add_epi32(_mm_madd_epi16(ccLo, PairConst(5638, 11700)), _mm_set1_epi32(8082));
  const __m128i gHi = _mm_add_epi32(_mm_madd_epi16(ccHi, PairConst(5638, 11700)), _mm_set1_epi32(8082));
  const __m128i g = _mm_packs_epi32(_mm_srai_epi32(gLo, 14), _mm_srai_epi32(gHi, 14));
  c.g = _mm_sub_epi16(y, g);
  c.b = _mm_add_epi16(y, Offset(cbLo, cbHi, PairConst(29032, 7535)));
  return c;
}

// The channels of 8 pixels clamped to 0..255.
template <bool kInverted>
inline Channels Convert8(const uint8_t* py, const uint8_t* pcb, const uint8_t* pcr) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i max = _mm_set1_epi16(255);
  auto clamp = [&](__m128i v) { return _mm_min_epi16(_mm_max_epi16(v, zero), max); };
  const Channels s = Sums8<kInverted>(py, pcb, pcr);
  return Channels{clamp(s.r), clamp(s.g), clamp(s.b)};
}

// Writes 8 three-byte pixels (24 bytes) whose bytes are a, b, c per pixel.
inline void Store3x8(uint8_t* d, __m128i a, __m128i b, __m128i c) {
  const __m128i ab = _mm_or_si128(a, _mm_slli_epi16(b, 8));  // a0 b0 a1 b1 ...
  const __m128i cc = _mm_packus_epi16(c, c);                  // c0 .. c7 twice
#if KVZ_BUILD_HAS(SSSE3)
  const __m128i m0 = _mm_setr_epi8(0, 1, -1, 2, 3, -1, 4, 5, -1, 6, 7, -1, 8, 9, -1, 10);
  const __m128i n0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
  const __m128i m1 = _mm_setr_epi8(11, -1, 12, 13, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i n1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i lo = _mm_or_si128(_mm_shuffle_epi8(ab, m0), _mm_shuffle_epi8(cc, n0));
  const __m128i hi = _mm_or_si128(_mm_shuffle_epi8(ab, m1), _mm_shuffle_epi8(cc, n1));
#else
  // Four-byte pixels a b c 0, then squeeze out the zero byte of each with 64-bit shifts.
  const __m128i c16 = _mm_unpacklo_epi8(cc, _mm_setzero_si128());
  const __m128i q0 = _mm_unpacklo_epi16(ab, c16), q1 = _mm_unpackhi_epi16(ab, c16);
  const __m128i low3 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  auto squeeze = [&](__m128i q) {  // 4 pixels -> 12 bytes in the low end
    const __m128i pairs = _mm_or_si128(_mm_and_si128(q, low3), _mm_srli_epi64(_mm_andnot_si128(low3, q), 8));
    const __m128i six = _mm_set_epi32(0, 0, 0x0000FFFF, static_cast<int32_t>(0xFFFFFFFF));
    return _mm_or_si128(_mm_and_si128(pairs, six), _mm_slli_si128(_mm_srli_si128(pairs, 8), 6));
  };
  const __m128i s0 = squeeze(q0), s1 = squeeze(q1);
  const __m128i lo = _mm_or_si128(s0, _mm_slli_si128(s1, 12));
  const __m128i hi = _mm_srli_si128(s1, 4);
#endif
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), lo);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 16), hi);
}

template <Layout kLayout>
inline void Store8(uint8_t* d, const Channels& c, const uint8_t* pk) {
  if (kLayout == Layout::kRgb) {
    Store3x8(d, c.r, c.g, c.b);
  } else if (kLayout == Layout::kBgr) {
    Store3x8(d, c.b, c.g, c.r);
  } else {
    const __m128i max = _mm_set1_epi16(255);
    const __m128i cm = _mm_packus_epi16(_mm_sub_epi16(max, c.r), _mm_sub_epi16(max, c.g));
    const __m128i yk = _mm_unpacklo_epi8(
        _mm_packus_epi16(_mm_sub_epi16(max, c.b), _mm_setzero_si128()),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pk)));
    const __m128i cmi = _mm_unpacklo_epi8(cm, _mm_srli_si128(cm, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(cmi, yk));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi16(cmi, yk));
  }
}

#if KVZ_BUILD_HAS(SSSE3)
// Byte shuffles that spread three 16-byte channels over 48 bytes of three-byte pixels: byte k
// of the output is channel k % 3 of pixel k / 3; m[v][c] fills output register v from channel c.
struct Interleave3 {
  alignas(16) int8_t m[3][3][16];
  constexpr Interleave3() : m() {
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 16; ++i) m[v][c][i] = static_cast<int8_t>((16 * v + i) % 3 == c ? (16 * v + i) / 3 : -1);
  }
};
constexpr Interleave3 kInterleave3;
#endif

// 16 pixels of three-byte layouts: the channels clamped by the unsigned byte saturation, each
// output register gathered from the three channel registers.
template <Layout kLayout>
inline void Store16(uint8_t* d, const uint8_t* py, const uint8_t* pcb, const uint8_t* pcr) {
  const Channels lo = Sums8<false>(py, pcb, pcr), hi = Sums8<false>(py + 8, pcb + 8, pcr + 8);
  const __m128i r = _mm_packus_epi16(lo.r, hi.r), g = _mm_packus_epi16(lo.g, hi.g), b = _mm_packus_epi16(lo.b, hi.b);
  const __m128i first = kLayout == Layout::kRgb ? r : b, third = kLayout == Layout::kRgb ? b : r;
#if KVZ_BUILD_HAS(SSSE3)
  const auto mask = [](int v, int c) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave3.m[v][c]));
  };
  const auto gather = [&](int v) {
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(first, mask(v, 0)), _mm_shuffle_epi8(g, mask(v, 1))),
                        _mm_shuffle_epi8(third, mask(v, 2)));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), gather(0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), gather(1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), gather(2));
#else
  const __m128i zero = _mm_setzero_si128();
  Store3x8(d, _mm_unpacklo_epi8(first, zero), _mm_unpacklo_epi8(g, zero), _mm_unpacklo_epi8(third, zero));
  Store3x8(d + 24, _mm_unpackhi_epi8(first, zero), _mm_unpackhi_epi8(g, zero), _mm_unpackhi_epi8(third, zero));
#endif
}

#endif

template <Layout kLayout, int kPlanes>
PrimitiveStatus Convert(const uint8_t* const src[kPlanes], int32_t srcStep, uint8_t* dst,
                        int32_t dstStep, RoiSize roi) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  for (int p = 0; p < kPlanes; ++p)
    if (src[p] == nullptr) return kStsNullPointer;
  if (srcStep <= 0 || dstStep <= 0) return kStsStepError;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
  constexpr bool kInverted = kLayout == Layout::kCmyk;
  constexpr int kBytes = kLayout == Layout::kCmyk ? 4 : 3;
  const int32_t fixedEnd = kGeneric ? 0 : (roi.width & ~3);
  for (int32_t row = 0; row < roi.height; ++row) {
    const intptr_t so = static_cast<intptr_t>(row) * srcStep;
    const uint8_t* y = src[0] + so;
    const uint8_t* cb = src[1] + so;
    const uint8_t* cr = src[2] + so;
    const uint8_t* k = kPlanes == 4 ? src[kPlanes - 1] + so : nullptr;
    uint8_t* d = dst + static_cast<intptr_t>(row) * dstStep;
    int32_t x = 0;
#if KVZ_BUILD_HAS(SSE2)
    if constexpr (kLayout != Layout::kCmyk) {
      for (; x + 16 <= fixedEnd; x += 16) Store16<kLayout>(d + 3 * x, y + x, cb + x, cr + x);
    }
    for (; x + 8 <= fixedEnd; x += 8)
      Store8<kLayout>(d + kBytes * x, Convert8<kInverted>(y + x, cb + x, cr + x), k ? k + x : nullptr);
#endif
    for (; x < fixedEnd; ++x)
      StorePixel<kLayout>(d + kBytes * x, FixedPixel<kInverted>(y[x], cb[x], cr[x]), k ? k[x] : 0);
    for (; x < roi.width; ++x)
      StorePixel<kLayout>(d + kBytes * x, TablePixel(y[x], cb[x], cr[x]), k ? k[x] : 0);
  }
  return kStsOk;
}

}  // namespace

PrimitiveStatus YCbCrToRgb(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,
                           int32_t dstStep, RoiSize roi) {
  return Convert<Layout::kRgb, 3>(src, srcStep, dst, dstStep, roi);
}

PrimitiveStatus YCbCrToBgr(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst,
                           int32_t dstStep, RoiSize roi) {
  return Convert<Layout::kBgr, 3>(src, srcStep, dst, dstStep, roi);
}

PrimitiveStatus YcckToCmyk(const uint8_t* const src[4], int32_t srcStep, uint8_t* dst,
                           int32_t dstStep, RoiSize roi) {
  return Convert<Layout::kCmyk, 4>(src, srcStep, dst, dstStep, roi);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
