#include "postproc/bilinear_resample.h"

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvz {
namespace {

constexpr LONG kMaxSide = 32767;  // (width - 1) << 16 stays inside 32 bits

bool Usable(const ResampleImage* d, const ResampleImage* s) {
  return d && s && d->data && s->data && d->width > 0 && d->height > 0 && s->width > 0 &&
         s->height > 0 && s->width <= kMaxSide && s->height <= kMaxSide;
}

ULONG Step(LONG sourceSide, LONG destinationSide) {
  return ((static_cast<ULONG>(sourceSide - 1) << 16) / static_cast<ULONG>(destinationSide)) + 1;
}

ULONG Clamp(ULONG index, ULONG last) { return index > last ? last : index; }

// The blend of four neighbours with 8-bit fractions a (across) and b (down),
//   ((256-a)(256-b) TL + a(256-b) TR + (256-a)b BL + ab BR) >> 16,
// factors exactly into a horizontal blend of each source row, H = (256-a) L + a R (16 bits),
// and a vertical blend ((256-b) Htop + b Hbottom) >> 16, with no rounding in between. Each
// source row's horizontal blend is computed once for a strip of destination columns and reused
// by every destination row that reads it; the vertical blend is the per-pixel work.
constexpr LONG kStripPixels = 64;  // about 2 KiB of kernel stack for the strip's tables
constexpr LONG kMaxChannels = 3;

// Where each destination column of a strip reads in a source row: the byte offsets of its two
// neighbours and their weight, per channel (RGB24: three channels, one pair of columns; YUY2:
// Y from the two columns, then the chroma byte of the destination pixel (U on even, V on odd
// destination pixels) from its own samples, blended only for odd source columns, an even
// column taking its pair's chroma unblended).
struct Taps {
  ULONG left[kStripPixels * kMaxChannels];
  ULONG right[kStripPixels * kMaxChannels];
  USHORT weight[kStripPixels * kMaxChannels];
};

void MakeTaps(LONG channels, ULONG ax, ULONG fx, LONG firstPixel, LONG pixels, ULONG lastCol,
              ULONG lastPair, Taps* t) {
  LONG n = 0;
  for (LONG j = 0; j < pixels; ++j, ax += fx) {
    const ULONG col = Clamp(ax >> 16, lastCol);
    const ULONG a = (ax >> 8) & 0xFF;
    const ULONG right = col < lastCol ? col + 1 : col;
    if (channels == 3) {
      for (ULONG c = 0; c < 3; ++c, ++n) {
        t->left[n] = col * 3 + c;
        t->right[n] = right * 3 + c;
        t->weight[n] = static_cast<USHORT>(a);
      }
      continue;
    }
    t->left[n] = col * 2;
    t->right[n] = right * 2;
    t->weight[n++] = static_cast<USHORT>(a);
    const ULONG chroma = ((firstPixel + j) & 1) ? 3 : 1;
    const ULONG pair = Clamp((col & ~1u) * 2, lastPair);
    t->left[n] = pair + chroma;
    t->right[n] = (pair < lastPair ? pair + 4 : pair) + chroma;
    t->weight[n++] = static_cast<USHORT>((col & 1) ? a : 0);
  }
}

void BlendAcross(const UCHAR* row, const Taps& t, LONG count, USHORT* out) {
  for (LONG n = 0; n < count; ++n) {
    const ULONG a = t.weight[n];
    out[n] = static_cast<USHORT>((256 - a) * row[t.left[n]] + a * row[t.right[n]]);
  }
}

void BlendDown(const USHORT* top, const USHORT* bottom, ULONG b, LONG count, UCHAR* d) {
  LONG k = 0;
#if defined(__SSE2__)
  const __m128i wt = _mm_set1_epi16(static_cast<short>(256 - b));
  const __m128i wb = _mm_set1_epi16(static_cast<short>(b));
  for (; k + 8 <= count; k += 8) {
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + k));
    const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + k));
    // 32-bit products from their low and high halves.
    const __m128i tl = _mm_mullo_epi16(t, wt), th = _mm_mulhi_epu16(t, wt);
    const __m128i ul = _mm_mullo_epi16(u, wb), uh = _mm_mulhi_epu16(u, wb);
    const __m128i lo = _mm_add_epi32(_mm_unpacklo_epi16(tl, th), _mm_unpacklo_epi16(ul, uh));
    const __m128i hi = _mm_add_epi32(_mm_unpackhi_epi16(tl, th), _mm_unpackhi_epi16(ul, uh));
    const __m128i v = _mm_packs_epi32(_mm_srli_epi32(lo, 16), _mm_srli_epi32(hi, 16));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + k), _mm_packus_epi16(v, v));
  }
#endif
  for (; k < count; ++k) d[k] = static_cast<UCHAR>(((256 - b) * top[k] + b * bottom[k]) >> 16);
}

void Resample(const ResampleImage* destination, const ResampleImage* source, LONG channels) {
  const ULONG fx = Step(source->width, destination->width);
  const ULONG fy = Step(source->height, destination->height);
  const ULONG lastCol = source->width - 1, lastRow = source->height - 1;
  // Byte offset of the last complete YUY2 pixel pair (an odd width ends in a lone pixel).
  const ULONG lastPair = channels == 2 ? ((source->width & ~1u) - 2) * 2 : 0;
  USHORT rows[2][kStripPixels * kMaxChannels];
  Taps taps;
  for (LONG x0 = 0; x0 < destination->width; x0 += kStripPixels) {
    const LONG pixels =
        destination->width - x0 < kStripPixels ? destination->width - x0 : kStripPixels;
    const LONG count = pixels * channels;
    MakeTaps(channels, static_cast<ULONG>(x0) * fx, fx, x0, pixels, lastCol, lastPair, &taps);
    USHORT* top = rows[0];
    USHORT* bottom = rows[1];
    ULONG haveTop = ~0u, haveBottom = ~0u;  // source rows held in top and bottom
    ULONG ay = 0;
    for (LONG i = 0; i < destination->height; ++i, ay += fy) {
      const ULONG row = Clamp(ay >> 16, lastRow);
      const ULONG below = row < lastRow ? row + 1 : row;
      if (haveTop != row) {
        if (haveBottom == row) {
          USHORT* t = top;
          top = bottom;
          bottom = t;
          haveBottom = ~0u;
        } else {
          BlendAcross(source->data + static_cast<SIZE_T>(source->stride) * row, taps, count, top);
        }
        haveTop = row;
      }
      if (haveBottom != below) {
        if (below == row)
          memcpy(bottom, top, static_cast<SIZE_T>(count) * sizeof(USHORT));
        else
          BlendAcross(source->data + static_cast<SIZE_T>(source->stride) * below, taps, count,
                      bottom);
        haveBottom = below;
      }
      BlendDown(top, bottom, (ay >> 8) & 0xFF, count,
                destination->data + static_cast<SIZE_T>(destination->stride) * i +
                    static_cast<SIZE_T>(x0) * channels);
    }
  }
}

}  // namespace

VOID ResizeRgb24Bilinear(const ResampleImage* destination, const ResampleImage* source) {
  if (!Usable(destination, source)) return;
  Resample(destination, source, 3);
}

VOID ResizeYuy2Bilinear(const ResampleImage* destination, const ResampleImage* source) {
  if (!Usable(destination, source) || source->width < 2) return;
  Resample(destination, source, 2);
}

}  // namespace kvz
