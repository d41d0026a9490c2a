#include "postproc/image_crop_resize.h"

#include <string.h>

#include "postproc/frame_format.h"

namespace kvz {
namespace {

// Keeps width x 1024 inside 32 bits.
constexpr LONG kMaxSide = 65535;

bool SideOk(LONG side) { return side > 0 && side <= kMaxSide; }

void ResizeYuy2(const UCHAR* src, UCHAR* dst, ULONG sw, ULONG dw, ULONG dh, ULONG sx, ULONG sy) {
  // An odd source width ends in a lone pixel without V; chroma never comes from there.
  const ULONG lastPair = (sw & ~1u) - 2;
  const ULONG pairs = dw / 2;
  ULONG ay = 0;
  for (ULONG i = 0; i < dh; ++i, ay += sy) {
    const UCHAR* srow = src + static_cast<SIZE_T>(ay >> 10) * sw * 2;
    UCHAR* d = dst + static_cast<SIZE_T>(i) * dw * 2;
    ULONG a0 = 0, a1 = sx, ac = 0;
    for (ULONG k = 0; k < pairs; ++k, d += 4) {
      ULONG c = 2 * (ac >> 10);
      if (c > lastPair) c = lastPair;
      d[0] = srow[(a0 >> 10) * 2];
      d[1] = srow[c * 2 + 1];
      d[2] = srow[(a1 >> 10) * 2];
      d[3] = srow[c * 2 + 3];
      a0 += 2 * sx;
      a1 += 2 * sx;
      ac += sx;
    }
  }
}

void ResizeI420(const UCHAR* src, UCHAR* dst, ULONG sw, ULONG sh, ULONG dw, ULONG dh, ULONG sx,
                ULONG sy) {
  const UCHAR* su = src + static_cast<SIZE_T>(sw) * sh;
  const UCHAR* sv = su + static_cast<SIZE_T>(sw) * sh / 4;
  UCHAR* du = dst + static_cast<SIZE_T>(dw) * dh;
  UCHAR* dv = du + static_cast<SIZE_T>(dw) * dh / 4;
  ULONG ay = 0;
  for (ULONG i = 0; i < dh; ++i, ay += sy) {
    const ULONG r = ay >> 10;
    const UCHAR* srow = src + static_cast<SIZE_T>(r) * sw;
    UCHAR* drow = dst + static_cast<SIZE_T>(i) * dw;
    ULONG ax = 0;
    for (ULONG j = 0; j < dw; ++j, ax += sx) drow[j] = srow[ax >> 10];
    if (i & 1) continue;
    const SIZE_T srcChroma = static_cast<SIZE_T>(sw / 2) * (r / 2);
    const SIZE_T dstChroma = (static_cast<SIZE_T>(dw) * (i / 2)) / 2;
    ax = 0;
    for (ULONG j = 0; j < dw; j += 2, ax += 2 * sx) {
      du[dstChroma + j / 2] = su[srcChroma + (ax >> 11)];
      dv[dstChroma + j / 2] = sv[srcChroma + (ax >> 11)];
    }
  }
}

void ResizeRgb24(const UCHAR* src, UCHAR* dst, ULONG sw, ULONG dw, ULONG dh, ULONG sx, ULONG sy) {
  ULONG ay = 0;
  for (ULONG i = 0; i < dh; ++i, ay += sy) {
    const UCHAR* srow = src + static_cast<SIZE_T>(ay >> 10) * sw * 3;
    UCHAR* d = dst + static_cast<SIZE_T>(i) * dw * 3;
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
                     LONG destinationWidth, LONG destinationHeight, ULONG format) {
  if (!source || !destination || !SideOk(sourceWidth) || !SideOk(sourceHeight) ||
      !SideOk(destinationWidth) || !SideOk(destinationHeight))
    return STATUS_INVALID_PARAMETER;
  const ULONG sw = sourceWidth, sh = sourceHeight, dw = destinationWidth, dh = destinationHeight;
  const ULONG sx = (sourceWidth * 1024) / destinationWidth;
  const ULONG sy = (sourceHeight * 1024) / destinationHeight;

  if (format == kSubtypeYuy2) {
    if (sw < 2) return STATUS_INVALID_PARAMETER;
    ResizeYuy2(source, destination, sw, dw, dh, sx, sy);
  } else if (format == kSubtypeI420) {
    if ((sw | sh | dw | dh) & 1) return STATUS_INVALID_PARAMETER;
    if (sw == dw && sh == dh)
      memcpy(destination, source, static_cast<SIZE_T>(sw) * sh * 3 / 2);
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
                   LONG cropWidth, LONG cropHeight, LONG x, LONG y, ULONG format) {
  if (!source || !destination || !SideOk(sourceWidth) || !SideOk(sourceHeight) ||
      !SideOk(cropWidth) || !SideOk(cropHeight) || x < 0 || y < 0 ||
      cropWidth > sourceWidth - x || cropHeight > sourceHeight - y)
    return STATUS_INVALID_PARAMETER;
  const SIZE_T sw = sourceWidth, sh = sourceHeight, cw = cropWidth, ch = cropHeight;

  if (format == kSubtypeYuy2) {
    for (SIZE_T row = 0; row < ch; ++row)
      memcpy(destination + row * cw * 2, source + ((y + row) * sw + x) * 2, cw * 2);
  } else if (format == kSubtypeI420) {
    if ((sourceWidth | sourceHeight | cropWidth | cropHeight | x | y) & 1)
      return STATUS_INVALID_PARAMETER;
    const UCHAR* su = source + sw * sh;
    const UCHAR* sv = su + (sh * (sw / 2)) / 2;
    UCHAR* du = destination + cw * ch;
    UCHAR* dv = du + (ch * (cw / 2)) / 2;
    const SIZE_T window = (sw * (y / 2)) / 2 + x / 2;
    for (SIZE_T row = 0; row < ch; ++row) {
      memcpy(destination + row * cw, source + (y + row) * sw + x, cw);
      if (row & 1) continue;
      const SIZE_T s = window + (sw * (row / 2)) / 2;
      const SIZE_T d = (cw * (row / 2)) / 2;
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
