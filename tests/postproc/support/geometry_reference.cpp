#include "support/geometry_reference.h"

#include <cstring>

namespace kvz::test {

void ReferenceResizeYuy2(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh) {
  const uint32_t sx = static_cast<uint32_t>(sw) * 1024 / dw;
  const uint32_t sy = static_cast<uint32_t>(sh) * 1024 / dh;
  const uint32_t lastPair = (static_cast<uint32_t>(sw) & ~1u) - 2;  // first pixel of it
  for (int i = 0; i < dh; ++i) {
    const uint8_t* row = src + static_cast<size_t>((i * sy) >> 10) * sw * 2;
    for (int k = 0; k < dw / 2; ++k) {
      uint32_t pair = 2 * ((k * sx) >> 10);
      if (pair > lastPair) pair = lastPair;
      uint8_t* d = dst + (static_cast<size_t>(i) * dw + 2 * k) * 2;
      d[0] = row[((2 * k * sx) >> 10) * 2];
      d[1] = row[pair * 2 + 1];
      d[2] = row[(((2 * k + 1) * sx) >> 10) * 2];
      d[3] = row[pair * 2 + 3];
    }
  }
}

std::vector<uint8_t> ReferenceQuarterTurn(const std::vector<uint8_t>& src, int rotation, int w,
                                          int h) {
  std::vector<uint8_t> dst(static_cast<size_t>(w) * h * 2);
  for (size_t i = 0; i < dst.size(); ++i) dst[i] = (i & 1) ? 128 : 0;
  // The picture scaled to sw x sh turns into sh columns and sw rows.
  int sw, sh;
  if (h < w) {
    sw = h;
    sh = (h * h / w) & ~3;
  } else {
    sh = w;
    sw = (w * w / h) & ~3;
  }
  if (sw < 2 || sh < 2) return dst;
  std::vector<uint8_t> scaled(static_cast<size_t>(sw) * sh * 2);
  ReferenceResizeYuy2(src.data(), w, h, scaled.data(), sw, sh);
  int left = (w - sh) / 2;
  const int top = (h - sw) / 2;
  if (rotation == 1 ? (left & 1) : ((left + sh) & 1)) ++left;
  auto at = [&](int x, int y) { return &dst[(static_cast<size_t>(y) * w + x) * 2]; };
  // Scaled rows i and i + 1 make one destination pixel pair per scaled pixel.
  for (int i = 0; i + 1 < sh; i += 2) {
    const int c = rotation == 1 ? left + i : left + sh - 2 - i;
    if (c + 1 >= w) continue;
    const uint8_t* a = &scaled[static_cast<size_t>(i) * sw * 2];
    const uint8_t* b = a + static_cast<size_t>(sw) * 2;
    for (int p = 0; p < (sw & ~1); ++p) {
      const int pair = (p & ~1) * 2;
      const int y = rotation == 1 ? top + sw - 1 - p : top + p;
      uint8_t* d = at(c, y);
      if (rotation == 1) {
        d[0] = a[p * 2];
        d[1] = a[pair + 1];
        d[2] = b[p * 2];
        d[3] = b[pair + 3];
      } else {
        d[0] = b[p * 2];
        d[1] = b[pair + 1];
        d[2] = a[p * 2];
        d[3] = a[pair + 3];
      }
    }
  }
  return dst;
}

void ReferenceBilinear(const uint8_t* src, int sw, int sh, int srcStride, uint8_t* dst, int dw,
                       int dh, int dstStride, int channels) {
  const uint32_t fx = ((static_cast<uint32_t>(sw - 1) << 16) / dw) + 1;
  const uint32_t fy = ((static_cast<uint32_t>(sh - 1) << 16) / dh) + 1;
  const uint32_t lastCol = sw - 1, lastRow = sh - 1;
  const uint32_t lastPair = ((static_cast<uint32_t>(sw) & ~1u) - 2) * 2;
  auto blend = [](uint32_t a, uint32_t b, uint32_t tl, uint32_t tr, uint32_t bl, uint32_t br) {
    return static_cast<uint8_t>(((256 - a) * (256 - b) * tl + a * (256 - b) * tr +
                                 (256 - a) * b * bl + a * b * br) >> 16);
  };
  for (int i = 0; i < dh; ++i) {
    const uint32_t ay = i * fy;
    const uint32_t row = (ay >> 16) < lastRow ? (ay >> 16) : lastRow;
    const uint8_t* t = src + static_cast<size_t>(srcStride) * row;
    const uint8_t* u = row < lastRow ? t + srcStride : t;
    const uint32_t b = (ay >> 8) & 0xFF;
    for (int j = 0; j < dw; ++j) {
      const uint32_t ax = j * fx;
      const uint32_t col = (ax >> 16) < lastCol ? (ax >> 16) : lastCol;
      const uint32_t right = col < lastCol ? col + 1 : col;
      const uint32_t a = (ax >> 8) & 0xFF;
      uint8_t* d = dst + static_cast<size_t>(dstStride) * i + static_cast<size_t>(j) * channels;
      if (channels == 3) {
        for (int c = 0; c < 3; ++c)
          d[c] = blend(a, b, t[col * 3 + c], t[right * 3 + c], u[col * 3 + c], u[right * 3 + c]);
        continue;
      }
      d[0] = blend(a, b, t[col * 2], t[right * 2], u[col * 2], u[right * 2]);
      const uint32_t chroma = (j & 1) ? 3 : 1;
      const uint32_t pair = ((col & ~1u) * 2) < lastPair ? (col & ~1u) * 2 : lastPair;
      const uint32_t next = pair < lastPair ? pair + 4 : pair;
      const uint32_t ca = (col & 1) ? a : 0;
      d[1] = blend(ca, b, t[pair + chroma], t[next + chroma], u[pair + chroma], u[next + chroma]);
    }
  }
}

}  // namespace kvz::test
