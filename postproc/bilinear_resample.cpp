#include "postproc/bilinear_resample.h"

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

// The two source rows around 16.16 position ay; the last row pairs with itself.
void SourceRows(const ResampleImage* s, ULONG ay, ULONG lastRow, const UCHAR** top,
                const UCHAR** bottom) {
  const ULONG row = Clamp(ay >> 16, lastRow);
  *top = s->data + static_cast<SIZE_T>(s->stride) * row;
  *bottom = row < lastRow ? *top + s->stride : *top;
}

// Top-left, top-right, bottom-left and bottom-right weights in 1/65536; they sum to 65536.
struct Weights {
  ULONG tl, tr, bl, br;
};

inline Weights MakeWeights(ULONG x, ULONG y) {
  const ULONG a = (x >> 8) & 0xFF, b = (y >> 8) & 0xFF;
  Weights w;
  w.br = a * b;
  w.bl = b * 256 - w.br;
  w.tr = a * 256 - w.br;
  w.tl = 65536 - w.br - w.bl - w.tr;
  return w;
}

inline UCHAR Mix(const Weights& w, ULONG tl, ULONG tr, ULONG bl, ULONG br) {
  return static_cast<UCHAR>((w.tl * tl + w.tr * tr + w.bl * bl + w.br * br) >> 16);
}

}  // namespace

VOID ResizeRgb24Bilinear(const ResampleImage* destination, const ResampleImage* source) {
  if (!Usable(destination, source)) return;
  const ULONG fx = Step(source->width, destination->width);
  const ULONG fy = Step(source->height, destination->height);
  const ULONG lastCol = source->width - 1, lastRow = source->height - 1;
  ULONG ay = 0;
  for (LONG i = 0; i < destination->height; ++i, ay += fy) {
    const UCHAR* top;
    const UCHAR* bottom;
    SourceRows(source, ay, lastRow, &top, &bottom);
    UCHAR* d = destination->data + static_cast<SIZE_T>(destination->stride) * i;
    ULONG ax = 0;
    for (LONG j = 0; j < destination->width; ++j, ax += fx, d += 3) {
      const ULONG col = Clamp(ax >> 16, lastCol);
      const ULONG left = col * 3, right = (col < lastCol ? col + 1 : col) * 3;
      const Weights w = MakeWeights(ax, ay);
      for (int c = 0; c < 3; ++c)
        d[c] = Mix(w, top[left + c], top[right + c], bottom[left + c], bottom[right + c]);
    }
  }
}

VOID ResizeYuy2Bilinear(const ResampleImage* destination, const ResampleImage* source) {
  if (!Usable(destination, source) || source->width < 2) return;
  const ULONG fx = Step(source->width, destination->width);
  const ULONG fy = Step(source->height, destination->height);
  const ULONG lastCol = source->width - 1, lastRow = source->height - 1;
  // Byte offset of the last complete pixel pair (an odd width ends in a lone pixel).
  const ULONG lastPair = ((source->width & ~1u) - 2) * 2;
  ULONG ay = 0;
  for (LONG i = 0; i < destination->height; ++i, ay += fy) {
    const UCHAR* top;
    const UCHAR* bottom;
    SourceRows(source, ay, lastRow, &top, &bottom);
    UCHAR* d = destination->data + static_cast<SIZE_T>(destination->stride) * i;
    const ULONG b = (ay >> 8) & 0xFF;
    ULONG ax = 0;
    for (LONG j = 0; j < destination->width; ++j, ax += fx, d += 2) {
      const ULONG col = Clamp(ax >> 16, lastCol);
      const ULONG left = col * 2, right = (col < lastCol ? col + 1 : col) * 2;
      const Weights w = MakeWeights(ax, ay);
      d[0] = Mix(w, top[left], top[right], bottom[left], bottom[right]);

      const ULONG chroma = (j & 1) ? 3 : 1;  // V on odd destination pixels, U on even ones
      const ULONG pair = Clamp((col & ~1u) * 2, lastPair);
      if (col & 1) {
        const ULONG next = pair < lastPair ? pair + 4 : pair;
        d[1] = Mix(w, top[pair + chroma], top[next + chroma], bottom[pair + chroma],
                   bottom[next + chroma]);
      } else {
        d[1] = static_cast<UCHAR>((b * 256 * bottom[pair + chroma] +
                                   (65536 - b * 256) * top[pair + chroma]) >> 16);
      }
    }
  }
}

}  // namespace kvz
