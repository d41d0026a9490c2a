// Image mirrors, one copy per processor build. Samples are moved without looking at them; AC4
// layouts move only the first three samples of a pixel. The vector builds move pixels in groups
// of 16 bytes (12 for three-channel layouts), reversing the pixel order inside a group with
// shuffles or byte shifts; the generic build moves one pixel at a time.
#include <string.h>

#include "primitives/mirror.h"
#include "primitives/path_counts.h"
#include "primitives/row_kernels.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif
#if KVZ_BUILD_HAS(SSSE3)
#include <tmmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

enum Axis : int32_t { kAboutHorizontal = 0, kAboutVertical = 1, kAboutBoth = 2 };

// C is the channel count; 4 means AC4 (the fourth sample stays).
template <typename T, int C>
struct Layout {
  static constexpr int kMoved = C == 4 ? 3 : C;
  static constexpr intptr_t kPixel = static_cast<intptr_t>(sizeof(T)) * C;
};

template <typename T, int C>
inline void MovePixel(const uint8_t* s, uint8_t* d) {
  T v[Layout<T, C>::kMoved];
  memcpy(v, s, sizeof v);
  memcpy(d, v, sizeof v);
}

template <typename T, int C>
inline void SwapPixel(uint8_t* a, uint8_t* b) {
  T va[Layout<T, C>::kMoved], vb[Layout<T, C>::kMoved];
  memcpy(va, a, sizeof va);
  memcpy(vb, b, sizeof vb);
  memcpy(a, vb, sizeof vb);
  memcpy(b, va, sizeof va);
}

inline uint8_t* Row(uint8_t* base, int32_t step, int32_t r) {
  return base + static_cast<intptr_t>(step) * r;
}
inline const uint8_t* Row(const uint8_t* base, int32_t step, int32_t r) {
  return base + static_cast<intptr_t>(step) * r;
}

// ---- pixel-at-a-time forms (the generic build, and the vector builds' remainders) ----

// dst pixel (n-1-j) counted back from dEnd receives src pixel j.
template <typename T, int C>
void CopyReversedScalar(const uint8_t* s, uint8_t* dEnd, intptr_t n) {
  constexpr intptr_t P = Layout<T, C>::kPixel;
  for (intptr_t j = 0; j < n; ++j) MovePixel<T, C>(s + j * P, dEnd - (j + 1) * P);
}

// Pixel j from pL exchanges with the pixel j places back from pR, for j < n.
template <typename T, int C>
void SwapReversedScalar(uint8_t* pL, uint8_t* pR, intptr_t n) {
  constexpr intptr_t P = Layout<T, C>::kPixel;
  for (intptr_t j = 0; j < n; ++j) SwapPixel<T, C>(pL + j * P, pR - (j + 1) * P);
}

#if KVZ_BUILD_HAS(SSE2)
inline __m128i LoadU(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void StoreU(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline bool On16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

inline __m128i Load12(const uint8_t* p) {
  uint32_t tail;
  memcpy(&tail, p + 8, 4);
  return _mm_or_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                      _mm_slli_si128(_mm_cvtsi32_si128(static_cast<int>(tail)), 8));
}
inline void Store12(uint8_t* p, __m128i x) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), x);
  const uint32_t tail = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 8)));
  memcpy(p + 8, &tail, 4);
}

// Mask of bytes [F, T) of a 16-byte vector.
template <int F, int T>
inline __m128i ByteMask() {
#define KVZ_MI_B(i) static_cast<char>((i) >= F && (i) < T ? -1 : 0)
  return _mm_setr_epi8(KVZ_MI_B(0), KVZ_MI_B(1), KVZ_MI_B(2), KVZ_MI_B(3), KVZ_MI_B(4), KVZ_MI_B(5),
                       KVZ_MI_B(6), KVZ_MI_B(7), KVZ_MI_B(8), KVZ_MI_B(9), KVZ_MI_B(10), KVZ_MI_B(11),
                       KVZ_MI_B(12), KVZ_MI_B(13), KVZ_MI_B(14), KVZ_MI_B(15));
#undef KVZ_MI_B
}

// A group is 16 bytes of whole pixels, or 12 bytes for three-channel layouts.
template <typename T, int C>
struct Group {
  static constexpr intptr_t kBytes = C == 3 ? 12 : 16;
  static constexpr intptr_t kPixels = kBytes / Layout<T, C>::kPixel;

  static __m128i Load(const uint8_t* p) { return C == 3 ? Load12(p) : LoadU(p); }
  static void Store(uint8_t* p, __m128i v) {
    if (C == 3) {
      Store12(p, v);
    } else {
      StoreU(p, v);
    }
  }

  // The group's pixels in reverse order.
  static __m128i Reverse(__m128i x) {
    if constexpr (C == 3) {
      if constexpr (sizeof(T) == 1) {
        return _mm_or_si128(
            _mm_or_si128(_mm_and_si128(_mm_srli_si128(x, 9), ByteMask<0, 3>()),
                         _mm_and_si128(_mm_srli_si128(x, 3), ByteMask<3, 6>())),
            _mm_or_si128(_mm_and_si128(_mm_slli_si128(x, 3), ByteMask<6, 9>()),
                         _mm_and_si128(_mm_slli_si128(x, 9), ByteMask<9, 12>())));
      } else if constexpr (sizeof(T) == 2) {
        return _mm_or_si128(_mm_and_si128(_mm_srli_si128(x, 6), ByteMask<0, 6>()),
                            _mm_and_si128(_mm_slli_si128(x, 6), ByteMask<6, 12>()));
      } else {
        return x;
      }
    } else if constexpr (Layout<T, C>::kPixel == 1) {
      x = _mm_shuffle_epi32(x, 0x1B);
      x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
      return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
    } else if constexpr (Layout<T, C>::kPixel == 2) {
      x = _mm_shuffle_epi32(x, 0x1B);
      return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
    } else if constexpr (Layout<T, C>::kPixel == 4) {
      return _mm_shuffle_epi32(x, 0x1B);
    } else if constexpr (Layout<T, C>::kPixel == 8) {
      return _mm_shuffle_epi32(x, 0x4E);
    } else {
      return x;
    }
  }

  // Bytes of the fourth sample of every pixel (AC4 only).
  static __m128i AlphaMask() {
    if constexpr (sizeof(T) == 1) return _mm_set1_epi32(static_cast<int>(0xFF000000u));
    if constexpr (sizeof(T) == 2) return _mm_set_epi32(static_cast<int>(0xFFFF0000u), 0, static_cast<int>(0xFFFF0000u), 0);
    return _mm_set_epi32(-1, 0, 0, 0);
  }

  // The colour samples of `colour` with the fourth samples of `keep`.
  static __m128i Blend(__m128i colour, __m128i keep) {
    if constexpr (C == 4) {
      const __m128i a = AlphaMask();
      return _mm_or_si128(_mm_andnot_si128(a, colour), _mm_and_si128(a, keep));
    } else {
      (void)keep;
      return colour;
    }
  }
};

template <typename T, int C>
void CopyReversed(const uint8_t* s, uint8_t* dEnd, intptr_t n, bool stream) {
  using G = Group<T, C>;
  intptr_t j = 0;
  if (C == 1 && stream) {
    for (; j + G::kPixels <= n; j += G::kPixels) {
      uint8_t* d = dEnd - (j + G::kPixels) * Layout<T, C>::kPixel;
      _mm_stream_si128(reinterpret_cast<__m128i*>(d), G::Reverse(G::Load(s + j * Layout<T, C>::kPixel)));
    }
  }
  if (C == 3 && sizeof(T) > 1 && stream) {
    // 12-byte groups never line up with 16-byte stores; three 4-byte non-temporal stores keep
    // the large copy out of the cache all the same (groups sit on 4-byte boundaries here).
    for (; j + G::kPixels <= n; j += G::kPixels) {
      int* d = reinterpret_cast<int*>(dEnd - (j + G::kPixels) * Layout<T, C>::kPixel);
      const __m128i rev = G::Reverse(G::Load(s + j * Layout<T, C>::kPixel));
      _mm_stream_si32(d, _mm_cvtsi128_si32(rev));
      _mm_stream_si32(d + 1, _mm_cvtsi128_si32(_mm_srli_si128(rev, 4)));
      _mm_stream_si32(d + 2, _mm_cvtsi128_si32(_mm_srli_si128(rev, 8)));
    }
  }
  for (; j + G::kPixels <= n; j += G::kPixels) {
    uint8_t* d = dEnd - (j + G::kPixels) * Layout<T, C>::kPixel;
    const __m128i rev = G::Reverse(G::Load(s + j * Layout<T, C>::kPixel));
    G::Store(d, C == 4 ? G::Blend(rev, G::Load(d)) : rev);
  }
  CopyReversedScalar<T, C>(s + j * Layout<T, C>::kPixel, dEnd - j * Layout<T, C>::kPixel, n - j);
}

// Sixteen 3-byte pixels (48 bytes in x[0..2]) in reverse order.
#if KVZ_BUILD_HAS(SSSE3)
inline void Reverse16C3(const __m128i x[3], __m128i y[3]) {
  const auto sh = [](__m128i v, __m128i m) { return _mm_shuffle_epi8(v, m); };
  y[0] = _mm_or_si128(sh(x[1], _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 14)),
                      sh(x[2], _mm_setr_epi8(13, 14, 15, 10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3, -1)));
  y[1] = _mm_or_si128(
      _mm_or_si128(sh(x[0], _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 15, -1)),
                   sh(x[1], _mm_setr_epi8(15, -1, 11, 12, 13, 8, 9, 10, 5, 6, 7, 2, 3, 4, -1, 0))),
      sh(x[2], _mm_setr_epi8(-1, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)));
  y[2] = _mm_or_si128(sh(x[0], _mm_setr_epi8(-1, 12, 13, 14, 9, 10, 11, 6, 7, 8, 3, 4, 5, 0, 1, 2)),
                      sh(x[1], _mm_setr_epi8(1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)));
}
#else
// The same with byte shifts: reverse all 48 bytes, then put each pixel's first and third
// samples back in place (byte B takes B + 2 or B - 2 by B's position in its pixel).
inline __m128i ReverseBytes(__m128i x) {
  x = _mm_shuffle_epi32(x, 0x1B);
  x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
  return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
}
inline void Reverse16C3(const __m128i x[3], __m128i y[3]) {
  const __m128i z[3] = {ReverseBytes(x[2]), ReverseBytes(x[1]), ReverseBytes(x[0])};
  // Bytes at 0, 1 and 2 past a multiple of 3 within a vector, counting from its first byte.
  const __m128i phase[3] = {_mm_setr_epi8(-1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1),
                            _mm_setr_epi8(0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0),
                            _mm_setr_epi8(0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0)};
  for (int k = 0; k < 3; ++k) {
    // Vector k starts 16 k bytes in: 16 k mod 3 = k mod 3 shifts the phases.
    const __m128i keep = phase[(1 + 2 * k) % 3], fromRight = phase[(2 * k) % 3], fromLeft = phase[(2 + 2 * k) % 3];
    __m128i right = _mm_srli_si128(z[k], 2), left = _mm_slli_si128(z[k], 2);
    if (k < 2) right = _mm_or_si128(right, _mm_slli_si128(z[k + 1], 14));
    if (k > 0) left = _mm_or_si128(left, _mm_srli_si128(z[k - 1], 14));
    y[k] = _mm_or_si128(_mm_and_si128(z[k], keep),
                        _mm_or_si128(_mm_and_si128(right, fromRight), _mm_and_si128(left, fromLeft)));
  }
}
#endif

template <typename T, int C>
void SwapReversed(uint8_t* pL, uint8_t* pR, intptr_t n) {
  using G = Group<T, C>;
  constexpr intptr_t P = Layout<T, C>::kPixel;
  intptr_t j = 0;
  if constexpr (C == 3 && sizeof(T) == 1) {
    for (; j + 16 <= n; j += 16) {
      uint8_t* l = pL + j * P;
      uint8_t* r = pR - (j + 16) * P;
      const __m128i a[3] = {LoadU(l), LoadU(l + 16), LoadU(l + 32)};
      const __m128i b[3] = {LoadU(r), LoadU(r + 16), LoadU(r + 32)};
      __m128i ra[3], rb[3];
      Reverse16C3(a, ra);
      Reverse16C3(b, rb);
      for (int k = 0; k < 3; ++k) {
        StoreU(l + 16 * k, rb[k]);
        StoreU(r + 16 * k, ra[k]);
      }
    }
  }
  for (; j + G::kPixels <= n; j += G::kPixels) {
    uint8_t* l = pL + j * P;
    uint8_t* r = pR - (j + G::kPixels) * P;
    const __m128i a = G::Load(l), b = G::Load(r);
    G::Store(l, G::Blend(G::Reverse(b), a));
    G::Store(r, G::Blend(G::Reverse(a), b));
  }
  SwapReversedScalar<T, C>(pL + j * P, pR - j * P, n - j);
}

// Exchanges height/2 row pairs from the outside in, in 64- down to 1-byte chunks.
template <bool kAligned>
void SwapRowsKernelImpl(uint8_t* image, int32_t step, size_t rowBytes, int32_t height) {
  uint8_t* up = image;
  uint8_t* lo = Row(image, step, height - 1);
  for (int32_t i = 0; i < height / 2; ++i, up += step, lo -= step) {
    size_t k = 0;
    for (; k + 64 <= rowBytes; k += 64) {
      __m128i a[4], b[4];
      for (int q = 0; q < 4; ++q) {
        a[q] = kAligned ? _mm_load_si128(reinterpret_cast<const __m128i*>(up + k + 16 * q)) : LoadU(up + k + 16 * q);
        b[q] = kAligned ? _mm_load_si128(reinterpret_cast<const __m128i*>(lo + k + 16 * q)) : LoadU(lo + k + 16 * q);
      }
      for (int q = 0; q < 4; ++q) {
        if (kAligned) {
          _mm_store_si128(reinterpret_cast<__m128i*>(up + k + 16 * q), b[q]);
          _mm_store_si128(reinterpret_cast<__m128i*>(lo + k + 16 * q), a[q]);
        } else {
          StoreU(up + k + 16 * q, b[q]);
          StoreU(lo + k + 16 * q, a[q]);
        }
      }
    }
    static constexpr size_t kChunks[] = {32, 16, 8, 4, 2, 1};
    for (size_t chunk : kChunks) {
      if (rowBytes - k >= chunk) {
        uint8_t ta[32], tb[32];
        memcpy(ta, up + k, chunk);
        memcpy(tb, lo + k, chunk);
        memcpy(up + k, tb, chunk);
        memcpy(lo + k, ta, chunk);
        k += chunk;
      }
    }
  }
}

void SwapRowsKernel(uint8_t* image, int32_t step, size_t rowBytes, int32_t height) {
  if (On16(image) && (step & 15) == 0)
    SwapRowsKernelImpl<true>(image, step, rowBytes, height);
  else
    SwapRowsKernelImpl<false>(image, step, rowBytes, height);
}

// Axis-0 exchange of AC4 rows that leaves every fourth sample where it is.
template <typename T>
void SwapRowsAc4(uint8_t* image, int32_t step, int32_t width, int32_t height) {
  using G = Group<T, 4>;
  constexpr intptr_t P = Layout<T, 4>::kPixel;
  for (int32_t i = 0; i < height / 2; ++i) {
    uint8_t* up = Row(image, step, i);
    uint8_t* lo = Row(image, step, height - 1 - i);
    intptr_t j = 0;
    for (; j + G::kPixels <= width; j += G::kPixels) {
      const __m128i a = G::Load(up + j * P), b = G::Load(lo + j * P);
      G::Store(up + j * P, G::Blend(b, a));
      G::Store(lo + j * P, G::Blend(a, b));
    }
    for (; j < width; ++j) SwapPixel<T, 4>(up + j * P, lo + j * P);
  }
}

// Row copy for 32-bit AC4 pixels keeping the destination's fourth sample.
void CopyRowAc4Kernel32s(const uint8_t* s, uint8_t* d, int32_t width) {
  using G = Group<int32_t, 4>;
  for (int32_t j = 0; j < width; ++j)
    G::Store(d + 16 * j, G::Blend(G::Load(s + 16 * j), G::Load(d + 16 * j)));
}
#endif  // KVZ_BUILD_HAS(SSE2)

template <typename T, int C>
PrimitiveStatus MirrorCopy(const T* srcT, int32_t srcStep, T* dstT, int32_t dstStep, RoiSize roi,
                           int32_t axis) {
  if (srcT == nullptr || dstT == nullptr) return kStsNullPointer;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
  if (axis < kAboutHorizontal || axis > kAboutBoth) return kStsBadFlipAxis;
  const uint8_t* src = reinterpret_cast<const uint8_t*>(srcT);
  uint8_t* dst = reinterpret_cast<uint8_t*>(dstT);
  constexpr intptr_t P = Layout<T, C>::kPixel;
  const int32_t w = roi.width, h = roi.height;
#if KVZ_BUILD_HAS(SSE2)
  KVZ_COUNT_PATH(kPathMirror);
  if (axis == kAboutHorizontal) {
    const bool stream = int64_t{h} * (srcStep < 0 ? -int64_t{srcStep} : int64_t{srcStep}) > 131000;
    if constexpr (C != 4) {
      // Destination rows from the bottom up; one store fence for the whole image.
      const bool rowStream = stream && !(C == 3 && sizeof(T) == 1);
      CopyRowsKernel(src, srcStep, Row(dst, dstStep, h - 1), -dstStep, static_cast<size_t>(w) * P,
                     static_cast<uint32_t>(h), rowStream);
      return kStsOk;
    }
    for (int32_t i = 0; i < h; ++i) {
      const uint8_t* s = Row(src, srcStep, i);
      uint8_t* d = Row(dst, dstStep, h - 1 - i);
      if constexpr (C == 4 && sizeof(T) == 1) {
        CopyRowAc4Kernel8u(s, d, 4u * static_cast<uint32_t>(w));
      } else if constexpr (C == 4 && sizeof(T) == 2) {
        CopyRowAc4Kernel16s(reinterpret_cast<const int16_t*>(s), reinterpret_cast<int16_t*>(d),
                            4u * static_cast<uint32_t>(w), stream);
      } else {
        CopyRowAc4Kernel32s(s, d, w);
      }
    }
    return kStsOk;
  }
  const bool stream = (C == 1 || (C == 3 && sizeof(T) > 1)) && On16(src) && On16(dst) && (srcStep & 15) == 0 &&
                      (dstStep & 15) == 0 && ((w * P) & 15) == 0 &&
                      int64_t{h} * (int64_t{srcStep} + int64_t{dstStep}) > 0x100000;
  for (int32_t i = 0; i < h; ++i) {
    uint8_t* d = Row(dst, dstStep, axis == kAboutVertical ? i : h - 1 - i);
    CopyReversed<T, C>(Row(src, srcStep, i), d + w * P, w, stream);
  }
  if (stream) _mm_sfence();
#else
  for (int32_t i = 0; i < h; ++i) {
    const uint8_t* s = Row(src, srcStep, i);
    uint8_t* d = Row(dst, dstStep, axis == kAboutVertical ? i : h - 1 - i);
    if (axis == kAboutHorizontal) {
      for (int32_t j = 0; j < w; ++j) MovePixel<T, C>(s + j * P, d + j * P);
    } else {
      CopyReversedScalar<T, C>(s, d + w * P, w);
    }
  }
#endif
  return kStsOk;
}

template <typename T, int C>
PrimitiveStatus MirrorInPlace(T* imageT, int32_t step, RoiSize roi, int32_t axis) {
  if (imageT == nullptr) return kStsNullPointer;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
  if (axis < kAboutHorizontal || axis > kAboutBoth) return kStsBadFlipAxis;
  uint8_t* image = reinterpret_cast<uint8_t*>(imageT);
  constexpr intptr_t P = Layout<T, C>::kPixel;
  const int32_t w = roi.width, h = roi.height;
#if KVZ_BUILD_HAS(SSE2)
  KVZ_COUNT_PATH(kPathMirror);
  if (axis == kAboutHorizontal) {
    if constexpr (C == 4) {
      SwapRowsAc4<T>(image, step, w, h);
    } else {
      SwapRowsKernel(image, step, static_cast<size_t>(w) * P, h);
    }
    return kStsOk;
  }
#define KVZ_MI_SWAP SwapReversed<T, C>
#else
  if (axis == kAboutHorizontal) {
    for (int32_t i = 0; i < h / 2; ++i) {
      uint8_t* up = Row(image, step, i);
      uint8_t* lo = Row(image, step, h - 1 - i);
      for (int32_t j = 0; j < w; ++j) SwapPixel<T, C>(up + j * P, lo + j * P);
    }
    return kStsOk;
  }
#define KVZ_MI_SWAP SwapReversedScalar<T, C>
#endif
  if (axis == kAboutVertical) {
    for (int32_t i = 0; i < h; ++i) {
      uint8_t* row = Row(image, step, i);
      KVZ_MI_SWAP(row, row + w * P, w / 2);
    }
    return kStsOk;
  }
  for (int32_t i = 0; i < h / 2; ++i)
    KVZ_MI_SWAP(Row(image, step, i), Row(image, step, h - 1 - i) + w * P, w);
  if (h & 1) {
    uint8_t* mid = Row(image, step, h / 2);
    KVZ_MI_SWAP(mid, mid + w * P, w / 2);
  }
#undef KVZ_MI_SWAP
  return kStsOk;
}

}  // namespace

#define KVZ_MI_DEFINE(T, C, name)                                                              \
  PrimitiveStatus name(const T* src, int32_t srcStep, T* dst, int32_t dstStep, RoiSize roi,   \
                       int32_t axis) {                                                        \
    return MirrorCopy<T, C>(src, srcStep, dst, dstStep, roi, axis);                           \
  }                                                                                           \
  PrimitiveStatus name##InPlace(T* image, int32_t step, RoiSize roi, int32_t axis) {          \
    return MirrorInPlace<T, C>(image, step, roi, axis);                                       \
  }

KVZ_MI_DEFINE(uint8_t, 1, MirrorImage8uC1)
KVZ_MI_DEFINE(uint8_t, 3, MirrorImage8uC3)
KVZ_MI_DEFINE(uint8_t, 4, MirrorImage8uAc4)
KVZ_MI_DEFINE(uint16_t, 1, MirrorImage16uC1)
KVZ_MI_DEFINE(uint16_t, 3, MirrorImage16uC3)
KVZ_MI_DEFINE(uint16_t, 4, MirrorImage16uAc4)
KVZ_MI_DEFINE(int32_t, 1, MirrorImage32sC1)
KVZ_MI_DEFINE(int32_t, 3, MirrorImage32sC3)
KVZ_MI_DEFINE(int32_t, 4, MirrorImage32sAc4)
#undef KVZ_MI_DEFINE

}  // namespace kvz::prim::KVZ_BUILD_NS
