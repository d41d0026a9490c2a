#include "postproc/frame_rotation.h"

#include <string.h>

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

VOID FillBlack(UCHAR* frame, SIZE_T bytes) {
  const ULONG black = 0x80008000u;  // Y 0, U 128, Y 0, V 128
  SIZE_T i = 0;
  for (; i + 4 <= bytes; i += 4) StorePair(frame + i, black);
  for (; i < bytes; ++i) frame[i] = (i & 1) ? 0x80 : 0x00;
}

// Reverses the order of count pixel pairs from src into dst, each read backwards.
VOID ReversePairs(UCHAR* dst, const UCHAR* src, SIZE_T count) {
  const UCHAR* s = src + (count - 1) * 4;
  for (SIZE_T k = 0; k < count; ++k, dst += 4, s -= 4) StorePair(dst, SwapLuma(LoadPair(s)));
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
  FillBlack(dst, static_cast<SIZE_T>(w) * h * 2);
  if (sw < 2 || sh < 2) return;  // too small to scale: the frame stays black
  if (!NT_SUCCESS(ResizeImage(src, scratch, w, h, sw, sh, kSubtypeYuy2))) return;

  ULONG left = (w - sh) >> 1;
  const ULONG top = (h - sw) >> 1;
  if (rotation == 1 ? (left & 1) : ((left + sh) & 1)) ++left;
  const SIZE_T rowBytes = static_cast<SIZE_T>(w) * 2;
  const SIZE_T srcRowBytes = static_cast<SIZE_T>(sw) * 2;
  const ULONG scaledPairs = sw / 2;
  for (ULONG i = 0; i + 1 < sh; i += 2) {
    // The two scaled rows i and i + 1 become the destination pair starting at column c.
    const ULONG c = rotation == 1 ? left + i : left + sh - 2 - i;
    if (c + 1 >= w) continue;  // after pair alignment an odd-width frame has no room for it
    const UCHAR* a = scratch + i * srcRowBytes;
    const UCHAR* b = a + srcRowBytes;
    for (ULONG k = 0; k < scaledPairs; ++k, a += 4, b += 4) {
      ULONG r0, r1;  // destination rows of scaled pixels 2k and 2k + 1
      UCHAR p0[4], p1[4];
      if (rotation == 1) {
        r0 = top + sw - 1 - 2 * k;
        r1 = r0 - 1;
        const UCHAR u = a[1], v = b[3];
        p0[0] = a[0]; p0[1] = u; p0[2] = b[0]; p0[3] = v;
        p1[0] = a[2]; p1[1] = u; p1[2] = b[2]; p1[3] = v;
      } else {
        r0 = top + 2 * k;
        r1 = r0 + 1;
        const UCHAR v = a[3], u = b[1];
        p0[0] = b[0]; p0[1] = u; p0[2] = a[0]; p0[3] = v;
        p1[0] = b[2]; p1[1] = u; p1[2] = a[2]; p1[3] = v;
      }
      memcpy(dst + r0 * rowBytes + static_cast<SIZE_T>(c) * 2, p0, 4);
      memcpy(dst + r1 * rowBytes + static_cast<SIZE_T>(c) * 2, p1, 4);
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
  const SIZE_T rowBytes = static_cast<SIZE_T>(width) * 2;
  memcpy(scratch, frame, rowBytes * height);
  if (!mirror && !flip) return;
  const SIZE_T pairs = width / 2;
  for (ULONG i = 0; i < height; ++i) {
    const UCHAR* s = scratch + rowBytes * (flip ? height - 1 - i : i);
    UCHAR* d = frame + rowBytes * i;
    if (!mirror) {
      memcpy(d, s, rowBytes);
      continue;
    }
    if (pairs) ReversePairs(d, s, pairs);
    // An odd width leaves a lone last pixel; it stays last, taken from the same source row.
    if (width & 1) memcpy(d + pairs * 4, s + pairs * 4, 2);
  }
}

}  // namespace kvz
