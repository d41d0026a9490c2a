#include "postproc/geometry/image_crop_resize.h"

#include <string.h>

#include "postproc/base/effect_catalogue.h"
#include "primitives/dispatch.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

// Keeps width x 1024 inside 32 bits.
constexpr LONG kMaxSide = 65535;

bool SideOk(LONG side) { return side > 0 && side <= kMaxSide; }

SIZE_T I420Bytes(SIZE_T w, SIZE_T h) { return w * h + 2 * (w / 2) * (h / 2); }

// Nearest-neighbour rows are often repeated (enlarging, or the zoom's resize back to full
// size); a destination row whose source row is the previous one's is a copy of it.
inline bool SameSourceRow(ULONG i, ULONG ay, ULONG sy) { return i > 0 && (ay >> 10) == ((ay - sy) >> 10); }

// Planes of w x h luma and floor(w / 2) x floor(h / 2) of each chroma: an odd side has its last
// luma column or row without chroma of its own.
void ResizeI420(const UCHAR* src, UCHAR* dst, ULONG sw, ULONG sh, ULONG dw, ULONG dh, ULONG sx,
                ULONG sy) {
  const SIZE_T srcChromaWidth = sw / 2, dstChromaWidth = dw / 2;
  const UCHAR* su = src + static_cast<SIZE_T>(sw) * sh;
  const UCHAR* sv = su + srcChromaWidth * (sh / 2);
  UCHAR* du = dst + static_cast<SIZE_T>(dw) * dh;
  UCHAR* dv = du + dstChromaWidth * (dh / 2);
  const ULONG lastSrcChromaRow = sh / 2 ? sh / 2 - 1 : 0;
  const ULONG lastSrcChromaCol = sw / 2 ? sw / 2 - 1 : 0;
  ULONG ay = 0;
  for (ULONG i = 0; i < dh; ++i, ay += sy) {
    const ULONG r = ay >> 10;
    UCHAR* drow = dst + static_cast<SIZE_T>(i) * dw;
    if (SameSourceRow(i, ay, sy)) {
      memcpy(drow, drow - dw, dw);
    } else {
      const UCHAR* srow = src + static_cast<SIZE_T>(r) * sw;
      ULONG ax = 0;
      for (ULONG j = 0; j < dw; ++j, ax += sx) drow[j] = srow[ax >> 10];
    }
    if ((i & 1) || i / 2 >= dh / 2) continue;
    const SIZE_T dstChroma = dstChromaWidth * (i / 2);
    if (sh < 2 || sw < 2) {  // a source without chroma: neutral chroma
      memset(du + dstChroma, 128, dstChromaWidth);
      memset(dv + dstChroma, 128, dstChromaWidth);
      continue;
    }
    const ULONG cr = r / 2 < lastSrcChromaRow ? r / 2 : lastSrcChromaRow;
    const SIZE_T srcChroma = srcChromaWidth * cr;
    ULONG ax = 0;
    for (ULONG j = 0; j + 1 < dw; j += 2, ax += 2 * sx) {
      const ULONG cc = (ax >> 11) < lastSrcChromaCol ? (ax >> 11) : lastSrcChromaCol;
      du[dstChroma + j / 2] = su[srcChroma + cc];
      dv[dstChroma + j / 2] = sv[srcChroma + cc];
    }
  }
}

void ResizeRgb24(const UCHAR* src, UCHAR* dst, ULONG sw, ULONG dw, ULONG dh, ULONG sx, ULONG sy) {
  const SIZE_T dstRow = static_cast<SIZE_T>(dw) * 3;
  ULONG ay = 0;
  for (ULONG i = 0; i < dh; ++i, ay += sy) {
    UCHAR* d = dst + i * dstRow;
    if (SameSourceRow(i, ay, sy)) {
      memcpy(d, d - dstRow, dstRow);
      continue;
    }
    const UCHAR* srow = src + static_cast<SIZE_T>(ay >> 10) * sw * 3;
    ULONG ax = 0;
    for (ULONG j = 0; j < dw; ++j, ax += sx, d += 3) {
      const UCHAR* s = srow + (ax >> 10) * 3;
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
  }
}

}  // namespace

NTSTATUS ResizeImage(const UCHAR* source, UCHAR* destination, LONG sourceWidth, LONG sourceHeight,
                     LONG destinationWidth, LONG destinationHeight, PixelLayout layout) {
  if (!source || !destination || !SideOk(sourceWidth) || !SideOk(sourceHeight) ||
      !SideOk(destinationWidth) || !SideOk(destinationHeight))
    return STATUS_INVALID_PARAMETER;
  const ULONG sw = sourceWidth, sh = sourceHeight, dw = destinationWidth, dh = destinationHeight;
  const ULONG sx = (sourceWidth * 1024) / destinationWidth;
  const ULONG sy = (sourceHeight * 1024) / destinationHeight;

  const bool sameSize = sw == dw && sh == dh;
  if (layout == kPixelYuy2) {
    if (sw < 2) return STATUS_INVALID_PARAMETER;
    if (sameSize && !(sw & 1))
      memcpy(destination, source, static_cast<SIZE_T>(sw) * sh * 2);
    else
      prim::ResizeYuy2Nearest(source, destination, sw, dw, dh, sx, sy);
  } else if (layout == kPixelI420) {
    if (sameSize)
      memcpy(destination, source, I420Bytes(sw, sh));
    else
      ResizeI420(source, destination, sw, sh, dw, dh, sx, sy);
  } else {
    if (sw == dw && sh == dh)
      memcpy(destination, source, static_cast<SIZE_T>(sw) * sh * 3);
    else
      ResizeRgb24(source, destination, sw, dw, dh, sx, sy);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CropImage(const UCHAR* source, UCHAR* destination, LONG sourceWidth, LONG sourceHeight,
                   LONG cropWidth, LONG cropHeight, LONG x, LONG y, PixelLayout layout) {
  if (!source || !destination || !SideOk(sourceWidth) || !SideOk(sourceHeight) ||
      !SideOk(cropWidth) || !SideOk(cropHeight) || x < 0 || y < 0 ||
      cropWidth > sourceWidth - x || cropHeight > sourceHeight - y)
    return STATUS_INVALID_PARAMETER;
  const SIZE_T sw = sourceWidth, sh = sourceHeight, cw = cropWidth, ch = cropHeight;

  if (layout == kPixelYuy2) {
    for (SIZE_T row = 0; row < ch; ++row)
      memcpy(destination + row * cw * 2, source + ((y + row) * sw + x) * 2, cw * 2);
  } else if (layout == kPixelI420) {
    // Chroma planes are floor(w / 2) x floor(h / 2); the window's chroma starts at the chroma
    // sample holding its first pixel.
    const UCHAR* su = source + sw * sh;
    const UCHAR* sv = su + (sw / 2) * (sh / 2);
    UCHAR* du = destination + cw * ch;
    UCHAR* dv = du + (cw / 2) * (ch / 2);
    const SIZE_T window = (sw / 2) * (y / 2) + x / 2;
    for (SIZE_T row = 0; row < ch; ++row) {
      memcpy(destination + row * cw, source + (y + row) * sw + x, cw);
      if ((row & 1) || row / 2 >= ch / 2) continue;
      const SIZE_T s = window + (sw / 2) * (row / 2);
      const SIZE_T d = (cw / 2) * (row / 2);
      memcpy(du + d, su + s, cw / 2);
      memcpy(dv + d, sv + s, cw / 2);
    }
  } else {
    // Bottom-up: the window's lowest image row is the first in memory.
    const UCHAR* s = source + ((sh - ch - y) * sw + x) * 3;
    for (SIZE_T row = 0; row < ch; ++row) memcpy(destination + row * cw * 3, s + row * sw * 3, cw * 3);
  }
  return STATUS_SUCCESS;
}

}  // namespace kvz
