// Forward colour conversion. The generic build is the table-driven reference. The vector
// builds compute 15-bit equations on whole groups of 8 pixels and 14-bit ones on the rest of a
// row, clamping every sample; the 32-bit SSE build computes those same equations in scalar
// code, as SSE has no integer vectors.
#include "primitives/jpeg/forward_colour.h"

#include <stddef.h>

#include "jpeg_simd.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

constexpr bool kGeneric = !KVZ_BUILD_HAS(SSE);

template <int kPlanes>
PrimitiveStatus CheckArguments(const uint8_t* src, int32_t srcStep, uint8_t* const* planes,
                               int32_t dstStep, RoiSize roi) {
  if (src == nullptr || planes == nullptr) return kStsNullPointer;
  for (int p = 0; p < kPlanes; ++p)
    if (planes[p] == nullptr) return kStsNullPointer;
  if (srcStep <= 0 || dstStep <= 0) return kStsStepError;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
  return kStsOk;
}

// Generic: three look-ups and two additions per sample.
inline uint8_t TableY(int r, int g, int b) {
  const auto& t = RgbToYccTable.entry;
  return static_cast<uint8_t>((t[kRToY][r] + t[kGToY][g] + t[kBToY][b]) >> 16);
}
inline uint8_t TableCb(int r, int g, int b) {
  const auto& t = RgbToYccTable.entry;
  return static_cast<uint8_t>((t[kRToCb][r] + t[kGToCb][g] + t[kBToCbRToCr][b]) >> 16);
}
inline uint8_t TableCr(int r, int g, int b) {
  const auto& t = RgbToYccTable.entry;
  return static_cast<uint8_t>((t[kBToCbRToCr][r] + t[kGToCr][g] + t[kBToCr][b]) >> 16);
}

// The vector builds' equations: multipliers and rounding terms per component, then the shift.
struct Equation {
  int16_t r, g, b;
  int32_t add;
};
constexpr Equation kY15 = {9798, 19235, 3736, 16266};
constexpr Equation kCb15 = {-5529, -10855, 16384, 4210688};
constexpr Equation kCr15 = {16384, -13720, -2664, 4210704};
constexpr Equation kY14 = {4899, 9617, 1868, 8192};
constexpr Equation kCb14 = {-2764, -5428, 8192, 2105344};
constexpr Equation kCr14 = {8192, -6860, -1332, 2105344};

inline uint8_t Apply(const Equation& e, int shift, int r, int g, int b) {
  int32_t v = (e.r * r + e.g * g + e.b * b + e.add) >> shift;
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

#if KVZ_BUILD_HAS(SSE2)
#if !KVZ_BUILD_HAS(SSSE3)  // the SSSE3 build gathers channels by byte shuffles instead
// 16 pixels of three interleaved bytes, split into one register per channel. Only `bytes`
// source bytes are read (48, or 24 for the first 8 pixels); the rest of the lanes is garbage.
inline void SplitChannels3(const uint8_t* p, int bytes, __m128i* c0, __m128i* c1, __m128i* c2) {
  __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i b, c;
  if (bytes == 48) {
    b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  } else {
    b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));
    c = _mm_setzero_si128();
  }
  // Four rounds of byte unpacks, each interleaving the low half of one register with the high
  // half of the next, sort the 48 bytes by channel.
  for (int round = 0; round < 4; ++round) {
    __m128i na = _mm_unpacklo_epi8(a, _mm_unpackhi_epi64(b, b));
    __m128i nb = _mm_unpacklo_epi8(_mm_unpackhi_epi64(a, a), c);
    __m128i nc = _mm_unpacklo_epi8(b, _mm_unpackhi_epi64(c, c));
    a = na;
    b = nb;
    c = nc;
  }
  *c0 = a;
  *c1 = b;
  *c2 = c;
}
#endif

// Eight pixels' channels widened to 16 bits and paired for the multiply-adds: (R, G) and (B, 0).
struct PixelPairs {
  __m128i rgLo, rgHi, bLo, bHi;
};

inline PixelPairs Pair(__m128i r16, __m128i g16, __m128i b16) {
  const __m128i zero = _mm_setzero_si128();
  return {_mm_unpacklo_epi16(r16, g16), _mm_unpackhi_epi16(r16, g16), _mm_unpacklo_epi16(b16, zero),
          _mm_unpackhi_epi16(b16, zero)};
}

// One component of eight pixels as eight 16-bit values (packing saturates, so the final byte
// pack clamps to 0..255).
template <int kShift>
inline __m128i Component(const PixelPairs& p, const Equation& e) {
  const __m128i rg = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(e.g)) << 16) |
                                                         static_cast<uint16_t>(e.r)));
  const __m128i b0 = _mm_set1_epi32(static_cast<uint16_t>(e.b));
  const __m128i add = _mm_set1_epi32(e.add);
  __m128i lo = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(p.rgLo, rg), _mm_madd_epi16(p.bLo, b0)), add);
  __m128i hi = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(p.rgHi, rg), _mm_madd_epi16(p.bHi, b0)), add);
  return _mm_packs_epi32(_mm_srai_epi32(lo, kShift), _mm_srai_epi32(hi, kShift));
}

// `count` (8 or 16) pixels of three channels in the order (first, second, third); rIndex says
// which one is red (0 for RGB, 2 for BGR). Stores `count` samples into each requested plane.
#if KVZ_BUILD_HAS(SSSE3)
// (first, second) multipliers of one 16-bit pair, as _mm_madd_epi16 takes them.
inline __m128i Pair16(int16_t first, int16_t second) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16) |
                                             static_cast<uint16_t>(first)));
}

// Four pixels (bytes 0..11 of q) to 32-bit (R, G)-pair and (B, 0)-pair lanes, one shuffle each.
// A component is then two multiply-adds: (R, G) by its two multipliers, and (B, k) by its
// third multiplier and a factor that, times k, makes the rounding term (k = 1, 257 or 513).
template <int kShift>
inline __m128i Component4(__m128i rg, __m128i bz, int32_t k, int16_t mr, int16_t mg, int16_t mb,
                          int16_t factor) {
  const __m128i bk = _mm_or_si128(bz, _mm_set1_epi32(k << 16));
  return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(rg, Pair16(mr, mg)), _mm_madd_epi16(bk, Pair16(mb, factor))),
                        kShift);
}
#endif

// `count` (8 or 16) pixels of three channels in the order (first, second, third); rIndex says
// which one is red (0 for RGB, 2 for BGR). Stores `count` samples into each requested plane.
template <bool kChroma>
inline void ConvertGroup(const uint8_t* src, int count, int rIndex, uint8_t* y, uint8_t* cb,
                         uint8_t* cr) {
  __m128i outY[2], outCb[2], outCr[2];
#if KVZ_BUILD_HAS(SSSE3)
  static_assert(kY15.add == 16266 && kCb15.add == 257 * 16384 && kCr15.add == 513 * 8208,
                "rounding terms as pair products");
  const __m128i rgMask = rIndex == 0 ? _mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1)
                                     : _mm_setr_epi8(2, -1, 1, -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1);
  const __m128i bMask = rIndex == 0 ? _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1)
                                    : _mm_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  __m128i q[4];
  q[0] = a;
  if (count == 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
    q[1] = _mm_alignr_epi8(b, a, 12);
    q[2] = _mm_alignr_epi8(c, b, 8);
    q[3] = _mm_srli_si128(c, 4);
  } else {
    q[1] = _mm_alignr_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 16)), a, 12);
  }
  for (int half = 0; half < count / 8; ++half) {
    __m128i ys[2], cbs[2], crs[2];
    for (int i = 0; i < 2; ++i) {
      const __m128i rg = _mm_shuffle_epi8(q[2 * half + i], rgMask);
      const __m128i bz = _mm_shuffle_epi8(q[2 * half + i], bMask);
      ys[i] = Component4<15>(rg, bz, 1, kY15.r, kY15.g, kY15.b, 16266);
      if (kChroma) {
        cbs[i] = Component4<15>(rg, bz, 257, kCb15.r, kCb15.g, kCb15.b, 16384);
        crs[i] = Component4<15>(rg, bz, 513, kCr15.r, kCr15.g, kCr15.b, 8208);
      }
    }
    outY[half] = _mm_packs_epi32(ys[0], ys[1]);
    if (kChroma) {
      outCb[half] = _mm_packs_epi32(cbs[0], cbs[1]);
      outCr[half] = _mm_packs_epi32(crs[0], crs[1]);
    }
  }
#else
  __m128i ch[3];
  SplitChannels3(src, count * 3, &ch[0], &ch[1], &ch[2]);
  const __m128i zero = _mm_setzero_si128();
  const __m128i r = ch[rIndex], g = ch[1], b = ch[2 - rIndex];
  for (int half = 0; half < count / 8; ++half) {
    __m128i r16 = half ? _mm_unpackhi_epi8(r, zero) : _mm_unpacklo_epi8(r, zero);
    __m128i g16 = half ? _mm_unpackhi_epi8(g, zero) : _mm_unpacklo_epi8(g, zero);
    __m128i b16 = half ? _mm_unpackhi_epi8(b, zero) : _mm_unpacklo_epi8(b, zero);
    PixelPairs p = Pair(r16, g16, b16);
    outY[half] = Component<15>(p, kY15);
    if (kChroma) {
      outCb[half] = Component<15>(p, kCb15);
      outCr[half] = Component<15>(p, kCr15);
    }
  }
#endif
  if (count == 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y), _mm_packus_epi16(outY[0], outY[1]));
    if (kChroma) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cb), _mm_packus_epi16(outCb[0], outCb[1]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cr), _mm_packus_epi16(outCr[0], outCr[1]));
    }
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y), _mm_packus_epi16(outY[0], outY[0]));
    if (kChroma) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(cb), _mm_packus_epi16(outCb[0], outCb[0]));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(cr), _mm_packus_epi16(outCr[0], outCr[0]));
    }
  }
}
#endif

// One row of 3-byte pixels to three planes.
void RowToYcc(const uint8_t* s, int rIndex, uint8_t* y, uint8_t* cb, uint8_t* cr, int width) {
  const int bIndex = 2 - rIndex;
  int x = 0;
  if (kGeneric) {
    for (; x < width; ++x, s += 3) {
      int r = s[rIndex], g = s[1], b = s[bIndex];
      y[x] = TableY(r, g, b);
      cb[x] = TableCb(r, g, b);
      cr[x] = TableCr(r, g, b);
    }
    return;
  }
  const int whole = width & ~7;
#if KVZ_BUILD_HAS(SSE2)
  for (; x + 16 <= whole; x += 16, s += 48) ConvertGroup<true>(s, 16, rIndex, y + x, cb + x, cr + x);
  if (x < whole) {
    ConvertGroup<true>(s, 8, rIndex, y + x, cb + x, cr + x);
    x += 8;
    s += 24;
  }
#endif
  for (; x < whole; ++x, s += 3) {
    int r = s[rIndex], g = s[1], b = s[bIndex];
    y[x] = Apply(kY15, 15, r, g, b);
    cb[x] = Apply(kCb15, 15, r, g, b);
    cr[x] = Apply(kCr15, 15, r, g, b);
  }
  for (; x < width; ++x, s += 3) {
    int r = s[rIndex], g = s[1], b = s[bIndex];
    y[x] = Apply(kY14, 14, r, g, b);
    cb[x] = Apply(kCb14, 14, r, g, b);
    cr[x] = Apply(kCr14, 14, r, g, b);
  }
}

void RowToY(const uint8_t* s, uint8_t* y, int width) {
  int x = 0;
  if (kGeneric) {
    for (; x < width; ++x, s += 3) y[x] = TableY(s[0], s[1], s[2]);
    return;
  }
#if KVZ_BUILD_HAS(SSE2)
  // Single pixels up to the first 16-byte boundary of the plane row, then 16 at a time.
  for (; x < width && (reinterpret_cast<uintptr_t>(y + x) & 15) != 0; ++x, s += 3)
    y[x] = Apply(kY15, 15, s[0], s[1], s[2]);
  for (; x + 16 <= width; x += 16, s += 48) ConvertGroup<false>(s, 16, 0, y + x, nullptr, nullptr);
  if (x + 8 <= width) {
    ConvertGroup<false>(s, 8, 0, y + x, nullptr, nullptr);
    x += 8;
    s += 24;
  }
#endif
  for (; x < width; ++x, s += 3) y[x] = Apply(kY15, 15, s[0], s[1], s[2]);
}

void RowCmykToYcck(const uint8_t* s, uint8_t* const* planes, ptrdiff_t offset, int width) {
  uint8_t* y = planes[0] + offset;
  uint8_t* cb = planes[1] + offset;
  uint8_t* cr = planes[2] + offset;
  uint8_t* k = planes[3] + offset;
  int x = 0;
  if (kGeneric) {
    for (; x < width; ++x, s += 4) {
      int r = 255 - s[0], g = 255 - s[1], b = 255 - s[2];
      y[x] = TableY(r, g, b);
      cb[x] = TableCb(r, g, b);
      cr[x] = TableCr(r, g, b);
      k[x] = s[3];
    }
    return;
  }
#if KVZ_BUILD_HAS(SSE2)
  const __m128i byte = _mm_set1_epi32(0xFF);
  const __m128i invertCmy = _mm_set1_epi32(0x00FFFFFF);
  for (; x + 8 <= width; x += 8, s += 32) {
    __m128i p0 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), invertCmy);
    __m128i p1 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)), invertCmy);
    __m128i r16 = _mm_packs_epi32(_mm_and_si128(p0, byte), _mm_and_si128(p1, byte));
    __m128i g16 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(p0, 8), byte),
                                  _mm_and_si128(_mm_srli_epi32(p1, 8), byte));
    __m128i b16 = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(p0, 16), byte),
                                  _mm_and_si128(_mm_srli_epi32(p1, 16), byte));
    __m128i k16 = _mm_packs_epi32(_mm_srli_epi32(p0, 24), _mm_srli_epi32(p1, 24));
    PixelPairs p = Pair(r16, g16, b16);
    __m128i vy = Component<14>(p, kY14), vcb = Component<14>(p, kCb14), vcr = Component<14>(p, kCr14);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y + x), _mm_packus_epi16(vy, vy));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + x), _mm_packus_epi16(vcb, vcb));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + x), _mm_packus_epi16(vcr, vcr));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(k + x), _mm_packus_epi16(k16, k16));
  }
#endif
  for (; x < width; ++x, s += 4) {
    int r = 255 - s[0], g = 255 - s[1], b = 255 - s[2];
    y[x] = Apply(kY14, 14, r, g, b);
    cb[x] = Apply(kCb14, 14, r, g, b);
    cr[x] = Apply(kCr14, 14, r, g, b);
    k[x] = s[3];
  }
}

PrimitiveStatus ThreeChannelsToYcc(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                   int32_t dstStep, RoiSize roi, int rIndex) {
  PrimitiveStatus status = CheckArguments<3>(src, srcStep, dst, dstStep, roi);
  if (status != kStsOk) return status;
  for (int32_t row = 0; row < roi.height; ++row) {
    ptrdiff_t o = static_cast<ptrdiff_t>(row) * dstStep;
    RowToYcc(src + static_cast<ptrdiff_t>(row) * srcStep, rIndex, dst[0] + o, dst[1] + o, dst[2] + o,
             roi.width);
  }
  return kStsOk;
}

}  // namespace

PrimitiveStatus RgbToY(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                       RoiSize roi) {
  uint8_t* const planes[1] = {dst};
  PrimitiveStatus status = CheckArguments<1>(src, srcStep, planes, dstStep, roi);
  if (status != kStsOk) return status;
  for (int32_t row = 0; row < roi.height; ++row)
    RowToY(src + static_cast<ptrdiff_t>(row) * srcStep, dst + static_cast<ptrdiff_t>(row) * dstStep,
           roi.width);
  return kStsOk;
}

PrimitiveStatus RgbToYCbCr(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                           int32_t dstStep, RoiSize roi) {
  return ThreeChannelsToYcc(src, srcStep, dst, dstStep, roi, 0);
}

PrimitiveStatus BgrToYCbCr(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                           int32_t dstStep, RoiSize roi) {
  return ThreeChannelsToYcc(src, srcStep, dst, dstStep, roi, 2);
}

PrimitiveStatus CmykToYcck(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                           int32_t dstStep, RoiSize roi) {
  PrimitiveStatus status = CheckArguments<4>(src, srcStep, dst, dstStep, roi);
  if (status != kStsOk) return status;
  for (int32_t row = 0; row < roi.height; ++row)
    RowCmykToYcck(src + static_cast<ptrdiff_t>(row) * srcStep, dst,
                  static_cast<ptrdiff_t>(row) * dstStep, roi.width);
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
