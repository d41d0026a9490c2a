// YUY2 half and quarter turns, mirror and flip, one copy per processor build: pixel pairs are
// reversed by a byte shuffle in the SSSE3 build and by masks and shifts in the other x86-64
// builds; quarter turns gather through 8 x 8 transposes in every x86-64 build.
#include <string.h>

#include "postproc/geometry/geometry_kernels.h"
#include "postproc/geometry/perbuild/geometry_isa.h"
#include "postproc/geometry/perbuild/unit_transpose.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {


inline ULONG LoadPair(const UCHAR* p) {
  ULONG v;
  memcpy(&v, p, 4);
  return v;
}

inline VOID StorePair(UCHAR* p, ULONG v) { memcpy(p, &v, 4); }

// Y0 U Y1 V becomes Y1 U Y0 V: a pixel pair read backwards.
inline ULONG SwapLuma(ULONG v) {
  return (v & 0xFF00FF00u) | ((v & 0xFFu) << 16) | ((v >> 16) & 0xFFu);
}

// Every pixel of a black YUY2 frame is the two bytes 00 80 (Y 0, U or V 128), so any run of
// pixels can be filled with the same pattern.
VOID FillBlack(UCHAR* p, SIZE_T pixels) {
  const ULONG black = 0x80008000u;
  SIZE_T i = 0;
#if KVZ_BASELINE_HAS(SSE2)
  const __m128i black16 = _mm_set1_epi32(static_cast<int>(black));
  for (; i + 8 <= pixels; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i * 2), black16);
#endif
  for (; i + 2 <= pixels; i += 2) StorePair(p + i * 2, black);
  if (i < pixels) {
    p[i * 2] = 0x00;
    p[i * 2 + 1] = 0x80;
  }
}

// Black outside the rectangle of columns [x0, x1) and rows [y0, y1) of a w-wide frame of h rows.
VOID FillBlackOutside(UCHAR* frame, ULONG w, ULONG h, ULONG x0, ULONG x1, ULONG y0, ULONG y1) {
  const SIZE_T rowBytes = static_cast<SIZE_T>(w) * 2;
  if (x0 >= x1 || y0 >= y1) {
    FillBlack(frame, static_cast<SIZE_T>(w) * h);
    return;
  }
  FillBlack(frame, static_cast<SIZE_T>(w) * y0);
  for (ULONG r = y0; r < y1; ++r) {
    UCHAR* row = frame + rowBytes * r;
    FillBlack(row, x0);
    FillBlack(row + static_cast<SIZE_T>(x1) * 2, w - x1);
  }
  FillBlack(frame + rowBytes * y1, static_cast<SIZE_T>(w) * (h - y1));
}

#if KVZ_BASELINE_HAS(SSE2)
// Four pixel pairs read backwards: dwords reversed, then Y0 and Y1 of each exchanged.
inline __m128i ReverseFourPairs(__m128i v) {
  v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
  const __m128i chroma = _mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFF00FF00u)));
  const __m128i y0 = _mm_and_si128(v, _mm_set1_epi32(0xFF));
  const __m128i y1 = _mm_and_si128(_mm_srli_epi32(v, 16), _mm_set1_epi32(0xFF));
  return _mm_or_si128(chroma, _mm_or_si128(_mm_slli_epi32(y0, 16), y1));
}

#endif

#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
// With SSSE3 the whole reversal is one byte shuffle per four pairs.
inline __m128i ReverseFourPairsShuffled(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
}

// The whole blocks of four pairs of ReversePairs: s is the end of the source run; returns
// the pairs done.
SIZE_T ReverseBlocksShuffled(UCHAR* dst, const UCHAR* s, SIZE_T count) {
  SIZE_T k = 0;
  for (; k + 4 <= count; k += 4, dst += 16) {
    s -= 16;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                     ReverseFourPairsShuffled(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))));
  }
  return k;
}

// The whole blocks of ReversePairsInPlace, moving a and b towards each other.
VOID ExchangeBlocksShuffled(UCHAR*& a, UCHAR*& b) {
  while (b - a >= 32) {
    b -= 16;
    const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a), ReverseFourPairsShuffled(right));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b), ReverseFourPairsShuffled(left));
    a += 16;
  }
}
#endif

// Reverses the order of count pixel pairs from src into dst (not overlapping), each read
// backwards.
VOID ReversePairs(UCHAR* dst, const UCHAR* src, SIZE_T count) {
  const UCHAR* s = src + count * 4;
  SIZE_T k = 0;
#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
  k = ReverseBlocksShuffled(dst, s, count);
  dst += k * 4;
  s -= k * 4;
#endif
#if KVZ_BASELINE_HAS(SSE2)
  for (; k + 4 <= count; k += 4, dst += 16) {
    s -= 16;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                     ReverseFourPairs(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))));
  }
#endif
  for (; k < count; ++k, dst += 4) {
    s -= 4;
    StorePair(dst, SwapLuma(LoadPair(s)));
  }
}

// The same in place: pairs are exchanged from both ends towards the middle.
VOID ReversePairsInPlace(UCHAR* row, SIZE_T count) {
  UCHAR* a = row;
  UCHAR* b = row + count * 4;
#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
  ExchangeBlocksShuffled(a, b);
#endif
#if KVZ_BASELINE_HAS(SSE2)
  while (b - a >= 32) {
    b -= 16;
    const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a), ReverseFourPairs(right));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b), ReverseFourPairs(left));
    a += 16;
  }
#endif
  while (b - a >= 8) {
    b -= 4;
    const ULONG left = LoadPair(a);
    StorePair(a, SwapLuma(LoadPair(b)));
    StorePair(b, SwapLuma(left));
    a += 4;
  }
  if (b - a == 4) StorePair(a, SwapLuma(LoadPair(a)));
}


// Where a quarter turn reads: the picture is scaled by nearest neighbour (ResizeImage's 10-bit
// sampling) to sw x sh and turned, so scaled row i is source row (i * sy) >> 10, and scaled
// pair k takes its Y from columns y0 and y1 and its U and V from the source pair starting at
// column c. The scaled picture is never stored: each destination pair is gathered straight
// from the two source rows of its scaled rows.
struct TurnSampling {
  ULONG sx, sy, lastPair;
  ULONG Y0(ULONG k) const { return (2 * k * sx) >> 10; }
  ULONG Y1(ULONG k) const { return ((2 * k + 1) * sx) >> 10; }
  ULONG ChromaPair(ULONG k) const {
    const ULONG c = 2 * ((k * sx) >> 10);
    return c > lastPair ? lastPair : c;
  }
  ULONG Row(ULONG i) const { return (i * sy) >> 10; }
};

// Where the turned picture lands: scaled pixel p on destination row Row(p), scaled rows i and
// i + 1 (i even) on the pixel pair starting at destination column Column(i).
struct TurnPlacement {
  LONG rotation;
  ULONG left, top, sw, sh;
  ULONG Column(ULONG i) const { return rotation == 1 ? left + i : left + sh - 2 - i; }
  ULONG Row(ULONG p) const { return rotation == 1 ? top + sw - 1 - p : top + p; }
};

// Scaled pairs [k0, k1) of the scaled row pairs i = iStart, iStart + 2, ... < iEnd, one
// destination pixel pair at a time. Counter-clockwise a pair is (Y and U of row i, Y and V of
// row i + 1); clockwise it is (Y and U of row i + 1, Y and V of row i).
VOID TurnPairsScalar(UCHAR* dst, SIZE_T rowBytes, const UCHAR* src, SIZE_T srcRowBytes,
                     const TurnSampling& s, const TurnPlacement& place, ULONG k0, ULONG k1,
                     ULONG iStart, ULONG iEnd) {
  for (ULONG k = k0; k < k1; ++k) {
    const ULONG y0 = s.Y0(k) * 2, y1 = s.Y1(k) * 2, uv = s.ChromaPair(k) * 2 + 1;
    UCHAR* d0 = dst + place.Row(2 * k) * rowBytes;
    UCHAR* d1 = dst + place.Row(2 * k + 1) * rowBytes;
    for (ULONG i = iStart; i < iEnd; i += 2) {
      const UCHAR* a = src + s.Row(i) * srcRowBytes;
      const UCHAR* b = src + s.Row(i + 1) * srcRowBytes;
      if (place.rotation != 1) {
        const UCHAR* t = a;
        a = b;
        b = t;
      }
      const ULONG chroma = (static_cast<ULONG>(a[uv]) << 8) | (static_cast<ULONG>(b[uv + 2]) << 24);
      const SIZE_T c = static_cast<SIZE_T>(place.Column(i)) * 2;
      StorePair(d0 + c, chroma | a[y0] | (static_cast<ULONG>(b[y0]) << 16));
      StorePair(d1 + c, chroma | a[y1] | (static_cast<ULONG>(b[y1]) << 16));
    }
  }
}

// Scaled steps up to this many source pixels keep every scaled pair's columns within two
// neighbouring 8-pixel blocks.
constexpr ULONG kMaxVectorStep = 4 << 10;

}  // namespace

void TurnYuy2Half(uint8_t* dst, const uint8_t* src, size_t pixels) {
  const SIZE_T pairs = pixels / 2;
  if (pairs) ReversePairs(dst, src, pairs);
  if (pixels & 1) memcpy(dst + pairs * 4, src + pairs * 4, 2);
}

void TurnYuy2Quarter(uint8_t* dst, const uint8_t* src, int32_t rotation, uint32_t w, uint32_t h) {
  // Sw x Sh is the scaled picture before it is turned; turned, it is Sh wide and Sw tall.
  ULONG sw, sh;
  if (h < w) {
    sw = h;
    sh = ((h * h) / w) & ~3u;
  } else {
    sh = w;
    sw = ((w * w) / h) & ~3u;
  }
  if (sw < 2 || sh < 2) {
    FillBlack(dst, static_cast<SIZE_T>(w) * h);  // too small to scale: the frame stays black
    return;
  }
  TurnSampling s;
  s.sx = (w * 1024) / sw;
  s.sy = (h * 1024) / sh;
  s.lastPair = (w & ~1u) - 2;

  TurnPlacement place;
  place.rotation = rotation;
  place.sw = sw;
  place.sh = sh;
  place.left = (w - sh) >> 1;
  place.top = (h - sw) >> 1;
  if (rotation == 1 ? (place.left & 1) : ((place.left + sh) & 1)) ++place.left;
  const SIZE_T rowBytes = static_cast<SIZE_T>(w) * 2;
  const ULONG scaledPairs = sw / 2;
  // After pair alignment an odd-width frame may have no room for the outermost scaled row pair.
  ULONG firstI = 0, endI = 0, x0 = w, x1 = 0;
  for (ULONG i = 0; i + 1 < sh; i += 2) {
    const ULONG c = place.Column(i);
    if (c + 1 >= w) continue;
    if (x0 > x1) firstI = i;
    endI = i + 2;
    if (c < x0) x0 = c;
    if (c + 2 > x1) x1 = c + 2;
  }
  // An odd scaled width leaves one row of the region without a pixel: the top one after a
  // counter-clockwise turn, the bottom one after a clockwise turn.
  const ULONG y0 = rotation == 1 ? place.top + sw - 2 * scaledPairs : place.top;
  FillBlackOutside(dst, w, h, x0, x1, y0, y0 + 2 * scaledPairs);
  if (x0 >= x1) return;

  ULONG i0 = firstI;
#if KVZ_BASELINE_HAS(SSE2)
  // Eight scaled rows at a time: their source rows are transposed eight pixels by eight, so a
  // source column becomes one register of eight units, and a destination run of four pairs is
  // that column's Y with the chroma of the scaled pair's U and V columns, one store per row.
  // Scaled pairs [0, vectorPairs) read only whole 8-pixel blocks of the source.
  ULONG vectorPairs = 0;
  if (s.sx <= kMaxVectorStep)
    while (vectorPairs < scaledPairs && s.Y1(vectorPairs) < (w & ~7u)) ++vectorPairs;
  const __m128i lumaMask = _mm_set1_epi16(0x00FF);
  const __m128i uMask = _mm_set1_epi32(0x0000FF00);
  const __m128i vMask = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  const ULONG vectorEndI = vectorPairs ? firstI + ((endI - firstI) & ~7u) : firstI;
  // Destination rows step by two scaled pixels per scaled pair: up the frame counter-clockwise.
  const LONG_PTR pairStep = (rotation == 1 ? -2 : 2) * static_cast<LONG_PTR>(rowBytes);
  const LONG_PTR secondRow = (rotation == 1 ? -1 : 1) * static_cast<LONG_PTR>(rowBytes);
  // Chunks of scaled pairs keep the destination rows they write in cache while every group of
  // eight scaled rows adds its four pairs to them.
  constexpr ULONG kChunkPairs = 64;
  for (ULONG k0 = 0; k0 < vectorPairs; k0 += kChunkPairs) {
    const ULONG k1 = k0 + kChunkPairs < vectorPairs ? k0 + kChunkPairs : vectorPairs;
    for (ULONG i = firstI; i < vectorEndI; i += 8) {
      // Units run left to right along the destination row: rows i ... i + 7 counter-clockwise,
      // i + 7 ... i clockwise.
      const UCHAR* rows[8];
      for (ULONG m = 0; m < 8; ++m)
        rows[m] = src + s.Row(rotation == 1 ? i + m : i + 7 - m) * rowBytes;
      UCHAR* d = dst + place.Row(2 * k0) * rowBytes +
                 static_cast<SIZE_T>(place.Column(rotation == 1 ? i : i + 6)) * 2;
      // The last two transposed 8-pixel blocks, source column x at units[x & 15]; a scaled
      // pair reads at most the block of its chroma and the next.
      __m128i units[16];
      ULONG nextBlock = ((k0 * s.sx) >> 10) >> 2;
      ULONG a0 = 2 * k0 * s.sx, a1 = a0 + s.sx, ac = k0 * s.sx;
      for (ULONG k = k0; k < k1; ++k, a0 += 2 * s.sx, a1 += 2 * s.sx, ac += s.sx, d += pairStep) {
        const ULONG y0 = a0 >> 10, y1 = a1 >> 10, uv = 2 * (ac >> 10);
        for (; nextBlock <= (y1 >> 3); ++nextBlock)
          LoadTransposedUnits(rows, static_cast<SIZE_T>(nextBlock) * 16, units + (nextBlock & 1) * 8);
        const __m128i chroma = _mm_or_si128(_mm_and_si128(units[uv & 15], uMask),
                                            _mm_and_si128(units[(uv + 1) & 15], vMask));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                         _mm_or_si128(_mm_and_si128(units[y0 & 15], lumaMask), chroma));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + secondRow),
                         _mm_or_si128(_mm_and_si128(units[y1 & 15], lumaMask), chroma));
      }
    }
  }
  if (vectorEndI > firstI)
    TurnPairsScalar(dst, rowBytes, src, rowBytes, s, place, vectorPairs, scaledPairs, firstI, vectorEndI);
  i0 = vectorEndI;
#endif
  // Tiles of scaled pairs by scaled rows keep both the source rows read and the destination
  // rows written in cache.
  constexpr ULONG kTilePairs = 16, kTileRows = 64;
  for (ULONG k0 = 0; k0 < scaledPairs; k0 += kTilePairs) {
    const ULONG k1 = k0 + kTilePairs < scaledPairs ? k0 + kTilePairs : scaledPairs;
    for (ULONG i = i0; i < endI; i += kTileRows) {
      const ULONG iEnd = i + kTileRows < endI ? i + kTileRows : endI;
      TurnPairsScalar(dst, rowBytes, src, rowBytes, s, place, k0, k1, i, iEnd);
    }
  }
}

void MirrorFlipYuy2(uint8_t* frame, uint8_t* scratch, int32_t mirror, int32_t flip, uint32_t width,
                    uint32_t height) {
  // In place in one pass: rows are exchanged from both ends through one scratch row, so the
  // frame is read and written once instead of being copied whole first.
  const SIZE_T rowBytes = static_cast<SIZE_T>(width) * 2;
  const SIZE_T pairs = width / 2;
  // An odd width leaves a lone last pixel; it stays last, taken from the same source row.
  const SIZE_T loneOffset = pairs * 4;
  const bool lone = (width & 1) != 0;
  if (!flip) {
    for (ULONG i = 0; i < height; ++i) ReversePairsInPlace(frame + rowBytes * i, pairs);
    return;
  }
  for (ULONG i = 0, j = height - 1; i < j; ++i, --j) {
    UCHAR* a = frame + rowBytes * i;
    UCHAR* b = frame + rowBytes * j;
    if (!mirror) {
      memcpy(scratch, a, rowBytes);
      memcpy(a, b, rowBytes);
      memcpy(b, scratch, rowBytes);
      continue;
    }
    ReversePairs(scratch, a, pairs);
    if (lone) memcpy(scratch + loneOffset, a + loneOffset, 2);
    ReversePairs(a, b, pairs);
    if (lone) memcpy(a + loneOffset, b + loneOffset, 2);
    memcpy(b, scratch, rowBytes);
  }
  if (mirror && (height & 1)) ReversePairsInPlace(frame + rowBytes * (height / 2), pairs);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
