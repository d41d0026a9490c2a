#include "postproc/frame_rotation.h"

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "postproc/frame_format.h"
#include "postproc/image_crop_resize.h"

namespace kvz {
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
#if defined(__SSE2__)
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

#if defined(__SSE2__)
inline VOID Transpose4(__m128i* v) {
  const __m128i t0 = _mm_unpacklo_epi32(v[0], v[1]), t1 = _mm_unpackhi_epi32(v[0], v[1]);
  const __m128i t2 = _mm_unpacklo_epi32(v[2], v[3]), t3 = _mm_unpackhi_epi32(v[2], v[3]);
  v[0] = _mm_unpacklo_epi64(t0, t2);
  v[1] = _mm_unpackhi_epi64(t0, t2);
  v[2] = _mm_unpacklo_epi64(t1, t3);
  v[3] = _mm_unpackhi_epi64(t1, t3);
}

// Four pixel pairs read backwards: dwords reversed, then Y0 and Y1 of each exchanged.
inline __m128i ReverseFourPairs(__m128i v) {
  v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
  const __m128i chroma = _mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFF00FF00u)));
  const __m128i y0 = _mm_and_si128(v, _mm_set1_epi32(0xFF));
  const __m128i y1 = _mm_and_si128(_mm_srli_epi32(v, 16), _mm_set1_epi32(0xFF));
  return _mm_or_si128(chroma, _mm_or_si128(_mm_slli_epi32(y0, 16), y1));
}
#endif

// Reverses the order of count pixel pairs from src into dst (not overlapping), each read
// backwards.
VOID ReversePairs(UCHAR* dst, const UCHAR* src, SIZE_T count) {
  const UCHAR* s = src + count * 4;
  SIZE_T k = 0;
#if defined(__SSE2__)
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
#if defined(__SSE2__)
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

VOID HalfTurn(UCHAR* dst, const UCHAR* src, SIZE_T pixels) {
  const SIZE_T pairs = pixels / 2;
  if (pairs) ReversePairs(dst, src, pairs);
  if (pixels & 1) memcpy(dst + pairs * 4, src + pairs * 4, 2);
}

VOID QuarterTurn(UCHAR* dst, const UCHAR* src, UCHAR* scratch, LONG rotation, ULONG w, ULONG h) {
  // Sw x Sh is the scaled picture before it is turned; turned, it is Sh wide and Sw tall.
  ULONG sw, sh;
  if (h < w) {
    sw = h;
    sh = ((h * h) / w) & ~3u;
  } else {
    sh = w;
    sw = ((w * w) / h) & ~3u;
  }
  if (sw < 2 || sh < 2 ||
      !NT_SUCCESS(ResizeImage(src, scratch, w, h, sw, sh, kSubtypeYuy2))) {
    FillBlack(dst, static_cast<SIZE_T>(w) * h);  // too small to scale: the frame stays black
    return;
  }

  ULONG left = (w - sh) >> 1;
  const ULONG top = (h - sw) >> 1;
  if (rotation == 1 ? (left & 1) : ((left + sh) & 1)) ++left;
  const SIZE_T rowBytes = static_cast<SIZE_T>(w) * 2;
  const SIZE_T srcRowBytes = static_cast<SIZE_T>(sw) * 2;
  const ULONG scaledPairs = sw / 2;
  // Scaled rows i and i + 1 become the destination pair starting at column c; after pair
  // alignment an odd-width frame may have no room for the outermost one.
  const auto column = [&](ULONG i) { return rotation == 1 ? left + i : left + sh - 2 - i; };
  ULONG firstI = 0, endI = 0, x0 = w, x1 = 0;
  for (ULONG i = 0; i + 1 < sh; i += 2) {
    if (column(i) + 1 >= w) continue;
    if (x0 > x1) firstI = i;
    endI = i + 2;
    if (column(i) < x0) x0 = column(i);
    if (column(i) + 2 > x1) x1 = column(i) + 2;
  }
  // An odd scaled width leaves one row of the region without a pixel: the top one after a
  // counter-clockwise turn, the bottom one after a clockwise turn.
  const ULONG y0 = rotation == 1 ? top + sw - 2 * scaledPairs : top;
  FillBlackOutside(dst, w, h, x0, x1, y0, y0 + 2 * scaledPairs);
  if (x0 >= x1) return;

  // Scaled pair k of the scaled rows i (step 2) from i to iEnd, one pixel pair at a time.
  const auto TurnPairs = [&](ULONG k, ULONG iStart, ULONG iEnd) {
    // Destination rows of scaled pixels 2k and 2k + 1.
    const ULONG r0 = rotation == 1 ? top + sw - 1 - 2 * k : top + 2 * k;
    const ULONG r1 = rotation == 1 ? r0 - 1 : r0 + 1;
    UCHAR* d0 = dst + r0 * rowBytes;
    UCHAR* d1 = dst + r1 * rowBytes;
    const UCHAR* a = scratch + iStart * srcRowBytes + k * 4;
    for (ULONG i = iStart; i < iEnd; i += 2, a += 2 * srcRowBytes) {
      const SIZE_T c = static_cast<SIZE_T>(column(i)) * 2;
      const UCHAR* b = a + srcRowBytes;
      ULONG p0, p1;
      if (rotation == 1) {
        const ULONG uv = (static_cast<ULONG>(a[1]) << 8) | (static_cast<ULONG>(b[3]) << 24);
        p0 = uv | a[0] | (static_cast<ULONG>(b[0]) << 16);
        p1 = uv | a[2] | (static_cast<ULONG>(b[2]) << 16);
      } else {
        const ULONG uv = (static_cast<ULONG>(b[1]) << 8) | (static_cast<ULONG>(a[3]) << 24);
        p0 = uv | b[0] | (static_cast<ULONG>(a[0]) << 16);
        p1 = uv | b[2] | (static_cast<ULONG>(a[2]) << 16);
      }
      StorePair(d0 + c, p0);
      StorePair(d1 + c, p1);
    }
  };

  // Tiles of scaled pairs by scaled rows keep both the rows read and the rows written in cache.
  constexpr ULONG kTilePairs = 16, kTileRows = 64;
  for (ULONG k0 = 0; k0 < scaledPairs; k0 += kTilePairs) {
    const ULONG kEnd = k0 + kTilePairs < scaledPairs ? k0 + kTilePairs : scaledPairs;
    for (ULONG i0 = firstI; i0 < endI; i0 += kTileRows) {
      const ULONG iEnd = i0 + kTileRows < endI ? i0 + kTileRows : endI;
      ULONG k = k0;
#if defined(__SSE2__)
      // Four scaled pairs of eight scaled rows at a time: the destination pairs are built in
      // registers and a 4 x 4 transpose makes each destination row's four pairs one store.
      for (; k + 4 <= kEnd; k += 4) {
        ULONG i = i0;
        for (; i + 6 < iEnd; i += 8) {
          __m128i p0[4], p1[4];
          for (int g = 0; g < 4; ++g) {
            const UCHAR* a = scratch + (i + 2 * g) * srcRowBytes + k * 4;
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
            __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + srcRowBytes));
            if (rotation != 1) {  // clockwise: the second row gives Y0 and U, the first V
              const __m128i t = x;
              x = y;
              y = t;
            }
            const __m128i lowByte = _mm_set1_epi32(0xFF);
            const __m128i topByte = _mm_set1_epi32(static_cast<int>(0xFF000000u));
            p0[g] = _mm_or_si128(_mm_or_si128(_mm_and_si128(x, _mm_set1_epi32(0xFFFF)),
                                              _mm_slli_epi32(_mm_and_si128(y, lowByte), 16)),
                                 _mm_and_si128(y, topByte));
            p1[g] = _mm_or_si128(
                _mm_or_si128(_mm_and_si128(_mm_srli_epi32(x, 16), lowByte),
                             _mm_and_si128(x, _mm_set1_epi32(0xFF00))),
                _mm_and_si128(y, _mm_set1_epi32(static_cast<int>(0xFFFF0000u))));
          }
          Transpose4(p0);
          Transpose4(p1);
          // Counter-clockwise the four columns run left to right, clockwise right to left.
          const SIZE_T c = static_cast<SIZE_T>(rotation == 1 ? column(i) : column(i + 6)) * 2;
          for (int kk = 0; kk < 4; ++kk) {
            const ULONG r0 = rotation == 1 ? top + sw - 1 - 2 * (k + kk) : top + 2 * (k + kk);
            const ULONG r1 = rotation == 1 ? r0 - 1 : r0 + 1;
            const __m128i q0 = rotation == 1 ? p0[kk] : _mm_shuffle_epi32(p0[kk], 0x1B);
            const __m128i q1 = rotation == 1 ? p1[kk] : _mm_shuffle_epi32(p1[kk], 0x1B);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + r0 * rowBytes + c), q0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + r1 * rowBytes + c), q1);
          }
        }
        for (ULONG kk = k; kk < k + 4; ++kk) TurnPairs(kk, i, iEnd);
      }
#endif
      for (; k < kEnd; ++k) TurnPairs(k, i0, iEnd);
    }
  }
}

}  // namespace

VOID RotateYuy2Frame(UCHAR* destination, const UCHAR* source, UCHAR* scratch, LONG rotation,
                     ULONG width, ULONG height) {
  if (!destination || !source || width == 0 || height == 0) return;
  const SIZE_T pixels = static_cast<SIZE_T>(width) * height;
  if (rotation == 2) {
    HalfTurn(destination, source, pixels);
  } else if ((rotation == 1 || rotation == 3) && scratch && width <= 65535 && height <= 65535) {
    QuarterTurn(destination, source, scratch, rotation, width, height);
  } else {
    memcpy(destination, source, pixels * 2);
  }
}

VOID MirrorFlipYuy2Frame(UCHAR* frame, UCHAR* scratch, LONG mirror, LONG flip, ULONG width,
                         ULONG height) {
  if (!frame || !scratch || width == 0 || height == 0) return;
  if (!mirror && !flip) return;
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

}  // namespace kvz
