#include "primitives/row_kernels.h"

#include "primitives/cache_probe.h"
#include "primitives/perbuild/simd_moves.h"

namespace kvz::prim::KVZ_BUILD_NS {

namespace {
using namespace simd;

[[maybe_unused]] void CopyScalar(const uint8_t* s, uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
}

#if KVZ_BUILD_HAS(SSE)
// 8-byte chunks, then one 4-, 2- and 1-byte chunk.
inline void CopyTail8(const uint8_t* s, uint8_t* d, size_t n) {
  for (; n >= 8; n -= 8, s += 8, d += 8) Store8(d, Load8(s));
  if (n & 4) {
    Store4(d, Load4(s));
    s += 4;
    d += 4;
  }
  if (n & 2) {
    Store2(d, Load2(s));
    s += 2;
    d += 2;
  }
  if (n & 1) *d = *s;
}

// 32-, 16-, 8-, 4-, 2- and 1-byte chunks as the bits of n (below 64) say.
void CopyChunks(const uint8_t* s, uint8_t* d, size_t n) {
  if (n & 32) {
    StoreU(d, LoadU(s));
    StoreU(d + 16, LoadU(s + 16));
    s += 32;
    d += 32;
  }
  if (n & 16) {
    StoreU(d, LoadU(s));
    s += 16;
    d += 16;
  }
  CopyTail8(s, d, n & 15);
}

// Streams one row: bytes to a 16-byte destination boundary, pre-read 256 KiB blocks copied
// with streaming stores, then the last part pre-read from its end backward.
void StreamRow(const uint8_t* s, uint8_t* d, size_t n) {
  while (n != 0 && (Addr(d) & 15) != 0) {
    *d++ = *s++;
    --n;
  }
  while (n >= 0x40000) {
    TouchForward(s, 0x40000, 64);
    for (size_t i = 0; i < 0x40000; i += 64) Move64<LoadU, Stream>(s + i, d + i);
    s += 0x40000;
    d += 0x40000;
    n -= 0x40000;
  }
  TouchBackward(s, n, 64);
  for (; n >= 16; n -= 16, s += 16, d += 16) Stream(d, LoadU(s));
  for (; n != 0; --n) *d++ = *s++;
}

// One row of at least 64 bytes copied without streaming.
void NormalRow(const uint8_t* s, uint8_t* d, size_t n) {
  if ((Addr(d) & 15) != 0) {
    AlignDestination(s, d, n);
  }
  size_t done = 0;
  if ((Addr(s) & 15) == 0) {
    const ptrdiff_t diff = static_cast<ptrdiff_t>(Addr(s) & 4095) - static_cast<ptrdiff_t>(Addr(d) & 4095);
    if (diff >= 3936 || (diff >= -160 && diff <= -1)) {
      // Backward: the odd tail first, then 64-byte blocks downward.
      const size_t blocks = n & ~size_t{63};
      CopyChunks(s + blocks, d + blocks, n - blocks);
      for (size_t end = blocks; end != 0;) {
        end -= 64;
        Move64Backward(s + end, d + end);
      }
      return;
    }
    for (; done + 64 <= n; done += 64) Move64<LoadA, StoreA>(s + done, d + done);
  } else {
#if KVZ_BUILD_HAS(SSSE3)
    switch (Addr(s) & 15) {
      case 4: done = RealignedForward<4>(s, d, n); break;
      case 8: done = RealignedForward<8>(s, d, n); break;
      case 12: done = RealignedForward<12>(s, d, n); break;
      default: break;
    }
#endif
    for (; done + 64 <= n; done += 64) Move64<LoadU, StoreA>(s + done, d + done);
  }
  CopyChunks(s + done, d + done, n - done);
}
#endif  // KVZ_BUILD_HAS(SSE)

}  // namespace

#if KVZ_BUILD_HAS(SSE)
namespace {
// The copy of one row; streamed blocks are left unfenced for the caller.
void CopyRowBody(const uint8_t* s, uint8_t* d, size_t n, uint32_t stream) {
  if (stream != 0) {
    // Non-temporal stores only to whole 64-byte lines: a line that ordinary stores also write
    // (the row's ends, its neighbours' ends) would be evicted half-written.
    const size_t head = (64 - (Addr(d) & 63)) & 63;
    if (n < head + 64) {
      stream = 0;
    } else if (head != 0) {
      CopyChunks(s, d, head);
      s += head;
      d += head;
      n -= head;
    }
  }
  if (n >= 64 && (Addr(d) & 15) != 0) {
    AlignDestination(s, d, n);
  }
  if (n >= 64) {
    KVZ_COUNT_PATH(kPathCopyRow);
    if (stream != 0) {
      KVZ_COUNT_PATH(kPathStream);
      for (; n >= 64; n -= 64, s += 64, d += 64) Move64<LoadU, Stream>(s, d);
    } else if ((Addr(s) & 15) == 0) {
      for (; n >= 64; n -= 64, s += 64, d += 64) Move64<LoadA, StoreA>(s, d);
    } else if ((Addr(s) & 7) == 0) {
      for (; n >= 64; n -= 64, s += 64, d += 64) Move64<LoadHalves, StoreA>(s, d);
    } else {
      for (; n >= 64; n -= 64, s += 64, d += 64) Move64<LoadU, StoreA>(s, d);
    }
  }
  CopyTail8(s, d, n);
}
}  // namespace
#endif

void CopyRowKernel(const uint8_t* src, uint8_t* dst, size_t bytes, uint32_t stream) {
#if KVZ_BUILD_HAS(SSE)
  CopyRowBody(src, dst, bytes, stream);
  if (stream != 0) Fence();
#else
  (void)stream;
  CopyScalar(src, dst, bytes);
#endif
}

void CopyRowCacheAwareKernel(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                             size_t rowBytes, uint32_t rows) {
  const uint64_t total = static_cast<uint64_t>(rowBytes) * rows;
  size_t len = rowBytes;
  if (static_cast<int64_t>(srcStep) == static_cast<int64_t>(rowBytes) &&
      static_cast<int64_t>(dstStep) == static_cast<int64_t>(rowBytes)) {
    len = static_cast<size_t>(total);
    rows = 1;
  }
#if KVZ_BUILD_HAS(SSE)
  KVZ_COUNT_PATH(kPathCopyRowCacheAware);
  bool stream = false;
  if (total >= 0x200000) {
    const uint32_t cache = StreamingCacheSize(false);
    stream = cache != 0 && total >= cache / 2;
  }
  if (stream) KVZ_COUNT_PATH(kPathStream);
  for (uint32_t r = 0; r < rows; ++r) {
    const uint8_t* s = src + static_cast<ptrdiff_t>(r) * srcStep;
    uint8_t* d = dst + static_cast<ptrdiff_t>(r) * dstStep;
    if (stream) {
      StreamRow(s, d, len);
    } else if (len < 64) {
      CopyChunks(s, d, len);
    } else {
      NormalRow(s, d, len);
    }
  }
  if (stream) Fence();
#else
  for (uint32_t r = 0; r < rows; ++r)
    CopyScalar(src + static_cast<ptrdiff_t>(r) * srcStep, dst + static_cast<ptrdiff_t>(r) * dstStep, len);
#endif
}

void CopyRowAc4Kernel8u(const uint8_t* src, uint8_t* dst, uint32_t bytes) {
  uint32_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  if ((Addr(dst) & 3) == 0) {
    for (; i + 4 <= bytes && (Addr(dst + i) & 15) != 0; i += 4) {
      dst[i] = src[i];
      dst[i + 1] = src[i + 1];
      dst[i + 2] = src[i + 2];
    }
    if (i + 32 <= bytes) KVZ_COUNT_PATH(kPathCopyRowAc4);
    const V alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    for (; i + 32 <= bytes; i += 32) {
      const V a = LoadU(src + i), b = LoadU(src + i + 16);
      StoreA(dst + i, _mm_or_si128(_mm_andnot_si128(alpha, a), _mm_and_si128(alpha, LoadA(dst + i))));
      StoreA(dst + i + 16, _mm_or_si128(_mm_andnot_si128(alpha, b), _mm_and_si128(alpha, LoadA(dst + i + 16))));
    }
  }
#endif
  for (; i + 4 <= bytes; i += 4) {
    dst[i] = src[i];
    dst[i + 1] = src[i + 1];
    dst[i + 2] = src[i + 2];
  }
}

void CopyRowAc4Kernel16s(const int16_t* src, int16_t* dst, uint32_t samples, uint32_t unused) {
  (void)unused;
  uint32_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  if ((Addr(dst) & 7) == 0) {
    for (; i + 4 <= samples && (Addr(dst + i) & 15) != 0; i += 4) {
      St(dst + i, Ld(src + i));
      St(dst + i + 1, Ld(src + i + 1));
      St(dst + i + 2, Ld(src + i + 2));
    }
    if (i + 16 <= samples) KVZ_COUNT_PATH(kPathCopyRowAc4);
    const V alpha = _mm_set_epi32(static_cast<int>(0xFFFF0000u), 0, static_cast<int>(0xFFFF0000u), 0);
    for (; i + 16 <= samples; i += 16) {
      const V a = LoadU(src + i), b = LoadU(src + i + 8);
      StoreA(dst + i, _mm_or_si128(_mm_andnot_si128(alpha, a), _mm_and_si128(alpha, LoadA(dst + i))));
      StoreA(dst + i + 8, _mm_or_si128(_mm_andnot_si128(alpha, b), _mm_and_si128(alpha, LoadA(dst + i + 8))));
    }
  }
#endif
  for (; i + 4 <= samples; i += 4) {
    St(dst + i, Ld(src + i));
    St(dst + i + 1, Ld(src + i + 1));
    St(dst + i + 2, Ld(src + i + 2));
  }
}

void InterleavePlanes8uP3C3Kernel(const uint8_t* const planes[3], int32_t planeStep, uint8_t* dst,
                                  int32_t dstStep, uint32_t width, uint32_t height, uint32_t stream) {
  for (uint32_t r = 0; r < height; ++r) {
    const ptrdiff_t po = static_cast<ptrdiff_t>(r) * planeStep;
    const uint8_t* p0 = planes[0] + po;
    const uint8_t* p1 = planes[1] + po;
    const uint8_t* p2 = planes[2] + po;
    uint8_t* d = dst + static_cast<ptrdiff_t>(r) * dstStep;
    uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
    // Three bytes a pixel reach every residue of 16 within 16 pixels.
    for (; j < width && (Addr(d + 3 * j) & 15) != 0; ++j) {
      d[3 * j] = p0[j];
      d[3 * j + 1] = p1[j];
      d[3 * j + 2] = p2[j];
    }
    if (j + 16 <= width) KVZ_COUNT_PATH(stream != 0 ? kPathStream : kPathInterleave);
    for (; j + 16 <= width; j += 16) {
      V a = LoadU(p0 + j), b = LoadU(p1 + j), c = LoadU(p2 + j);
      Interleave3x8(a, b, c);
      uint8_t* o = d + 3 * j;
      if (stream != 0) {
        Stream(o, a);
        Stream(o + 16, b);
        Stream(o + 32, c);
      } else {
        StoreA(o, a);
        StoreA(o + 16, b);
        StoreA(o + 32, c);
      }
    }
#endif
    for (; j < width; ++j) {
      d[3 * j] = p0[j];
      d[3 * j + 1] = p1[j];
      d[3 * j + 2] = p2[j];
    }
  }
#if KVZ_BUILD_HAS(SSE2)
  if (stream != 0) Fence();
#else
  (void)stream;
#endif
}

void InterleavePlanes8uP4C4Kernel(const uint8_t* const planes[4], int32_t planeStep, uint8_t* dst,
                                  int32_t dstStep, uint32_t width, uint32_t height, uint32_t stream) {
  for (uint32_t r = 0; r < height; ++r) {
    const ptrdiff_t po = static_cast<ptrdiff_t>(r) * planeStep;
    const uint8_t* p0 = planes[0] + po;
    const uint8_t* p1 = planes[1] + po;
    const uint8_t* p2 = planes[2] + po;
    const uint8_t* p3 = planes[3] + po;
    uint8_t* d = dst + static_cast<ptrdiff_t>(r) * dstStep;
    uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
    if ((Addr(d) & 15) == 0) {
      if (width >= 8) KVZ_COUNT_PATH(stream != 0 ? kPathStream : kPathInterleave);
      for (; j + 8 <= width; j += 8) {
        const V a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p0 + j));
        const V b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p1 + j));
        const V c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p2 + j));
        const V e = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p3 + j));
        const V ab = _mm_unpacklo_epi8(a, b), ce = _mm_unpacklo_epi8(c, e);
        if (stream != 0) {
          Stream(d + 4 * j, _mm_unpacklo_epi16(ab, ce));
          Stream(d + 4 * j + 16, _mm_unpackhi_epi16(ab, ce));
        } else {
          StoreA(d + 4 * j, _mm_unpacklo_epi16(ab, ce));
          StoreA(d + 4 * j + 16, _mm_unpackhi_epi16(ab, ce));
        }
      }
    }
#endif
    for (; j < width; ++j) {
      d[4 * j] = p0[j];
      d[4 * j + 1] = p1[j];
      d[4 * j + 2] = p2[j];
      d[4 * j + 3] = p3[j];
    }
  }
#if KVZ_BUILD_HAS(SSE2)
  if (stream != 0) Fence();
#else
  (void)stream;
#endif
}

namespace {

enum class PlaneStore { k8, k4 };

#if KVZ_BUILD_HAS(SSE2)
// Sixteen bytes of each of kPlanes planes at sample j. The 8-byte-aligned variants store
// whole vectors; the 4-byte ones keep to the 4-byte stores their planes' alignment allows
// being 16-byte aligned by chance.
template <PlaneStore kStore, int kPlanes>
inline void StorePlanes16(uint8_t* const d[], uint32_t j, const V out[]) {
  for (int c = 0; c < kPlanes; ++c) {
    if (kStore == PlaneStore::k8) {
      StoreU(d[c] + j, out[c]);
    } else {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d[c] + j), out[c]);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d[c] + j + 8), _mm_unpackhi_epi64(out[c], out[c]));
    }
  }
}
#endif

template <PlaneStore kStore>
void SplitC3(const uint8_t* src, int32_t srcStep, uint8_t* const planes[3], int32_t planeStep, uint32_t width,
             uint32_t height) {
  for (uint32_t r = 0; r < height; ++r) {
    const uint8_t* s = src + static_cast<ptrdiff_t>(r) * srcStep;
    const ptrdiff_t po = static_cast<ptrdiff_t>(r) * planeStep;
    uint8_t* d[3] = {planes[0] + po, planes[1] + po, planes[2] + po};
    uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
    if (width >= 16) KVZ_COUNT_PATH(kPathSplitPixels);
    for (; j + 16 <= width; j += 16) {
      V out[3];
      LoadDeinterleave3<8>(s + 3 * j, out[0], out[1], out[2]);
      StorePlanes16<kStore, 3>(d, j, out);
    }
#endif
    for (; j < width; ++j) {
      d[0][j] = s[3 * j];
      d[1][j] = s[3 * j + 1];
      d[2][j] = s[3 * j + 2];
    }
  }
}

template <PlaneStore kStore>
void SplitC4(const uint8_t* src, int32_t srcStep, uint8_t* const planes[4], int32_t planeStep, uint32_t width,
             uint32_t height) {
  for (uint32_t r = 0; r < height; ++r) {
    const uint8_t* s = src + static_cast<ptrdiff_t>(r) * srcStep;
    const ptrdiff_t po = static_cast<ptrdiff_t>(r) * planeStep;
    uint8_t* d[4] = {planes[0] + po, planes[1] + po, planes[2] + po, planes[3] + po};
    uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
    if (width >= 16) KVZ_COUNT_PATH(kPathSplitPixels);
    for (; j + 16 <= width; j += 16) {
      const uint8_t* p = s + 4 * j;
      V out[4] = {LoadU(p), LoadU(p + 16), LoadU(p + 32), LoadU(p + 48)};
      Deinterleave4x8(out[0], out[1], out[2], out[3]);
      StorePlanes16<kStore, 4>(d, j, out);
    }
#endif
    for (; j < width; ++j) {
      d[0][j] = s[4 * j];
      d[1][j] = s[4 * j + 1];
      d[2][j] = s[4 * j + 2];
      d[3][j] = s[4 * j + 3];
    }
  }
}

}  // namespace

void SplitPixels8uC3P3Kernel(const uint8_t* src, int32_t srcStep, uint8_t* const planes[3], int32_t planeStep,
                             uint32_t width, uint32_t height) {
  SplitC3<PlaneStore::k8>(src, srcStep, planes, planeStep, width, height);
}
void SplitPixels8uC3P3Planes4Kernel(const uint8_t* src, int32_t srcStep, uint8_t* const planes[3],
                                    int32_t planeStep, uint32_t width, uint32_t height) {
  SplitC3<PlaneStore::k4>(src, srcStep, planes, planeStep, width, height);
}
void SplitPixels8uC3P3Source4Kernel(const uint8_t* src, int32_t srcStep, uint8_t* const planes[3],
                                    int32_t planeStep, uint32_t width, uint32_t height) {
  // Unaligned source loads cost the same at any offset; the planes take 8-byte stores.
  SplitC3<PlaneStore::k8>(src, srcStep, planes, planeStep, width, height);
}
void SplitPixels8uC4P4Kernel(const uint8_t* src, int32_t srcStep, uint8_t* const planes[4], int32_t planeStep,
                             uint32_t width, uint32_t height) {
  SplitC4<PlaneStore::k8>(src, srcStep, planes, planeStep, width, height);
}
void SplitPixels8uC4P4Planes4Kernel(const uint8_t* src, int32_t srcStep, uint8_t* const planes[4],
                                    int32_t planeStep, uint32_t width, uint32_t height) {
  SplitC4<PlaneStore::k4>(src, srcStep, planes, planeStep, width, height);
}

void ExtractChannel8uC3Kernel(const uint8_t* src, uint8_t* plane, uint32_t pixels) {
  uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
  for (; j < pixels && (Addr(plane + j) & 3) != 0; ++j) plane[j] = src[3 * j];
  // Eight pixels read 24 bytes; a ninth pixel keeps the read inside the source.
  if (j + 8 < pixels) KVZ_COUNT_PATH(kPathExtractChannel);
  for (; j + 8 < pixels; j += 8) {
#if KVZ_BUILD_HAS(SSSE3)
    const V lo = LoadU(src + 3 * j);
    const V hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 3 * j + 16));
    const V v = _mm_or_si128(_mm_shuffle_epi8(lo, _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
                             _mm_shuffle_epi8(hi, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, -1, -1, -1, -1, -1, -1, -1, -1)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(plane + j), v);
#else
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= static_cast<uint64_t>(src[3 * (j + k)]) << (8 * k);
    Store8(plane + j, v);
#endif
  }
#endif
  for (; j < pixels; ++j) plane[j] = src[3 * j];
}

void ExtractChannel8uC4Kernel(const uint8_t* src, uint8_t* plane, uint32_t pixels) {
  uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
  for (; j < pixels && (Addr(plane + j) & 3) != 0; ++j) plane[j] = src[4 * j];
  if (j + 8 < pixels) KVZ_COUNT_PATH(kPathExtractChannel);
  const V low = _mm_set1_epi32(0xFF);
  for (; j + 8 < pixels; j += 8) {
    const V a = LoadU(src + 4 * j), b = LoadU(src + 4 * j + 16);
    const V w = _mm_packs_epi32(_mm_and_si128(a, low), _mm_and_si128(b, low));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(plane + j), _mm_packus_epi16(w, w));
  }
#endif
  for (; j < pixels; ++j) plane[j] = src[4 * j];
}

namespace {

#if KVZ_BUILD_HAS(SSE2)
// Eight 16-bit samples src[0], src[k], ..., src[7k] for k = 3 or 4; reads 8k samples.
template <int kStride>
inline V Gather16(const int16_t* s) {
  if (kStride == 4) {
    V q[4];
    for (int i = 0; i < 4; ++i) {
      const V v = LoadU(s + 8 * i);
      // Sign-extend the low sample of each 32-bit lane; lanes 0 and 2 hold samples 0 and 4.
      q[i] = _mm_shuffle_epi32(_mm_srai_epi32(_mm_slli_epi32(v, 16), 16), _MM_SHUFFLE(3, 1, 2, 0));
    }
    return _mm_packs_epi32(_mm_unpacklo_epi64(q[0], q[1]), _mm_unpacklo_epi64(q[2], q[3]));
  }
#if KVZ_BUILD_HAS(SSSE3)
  const V a = LoadU(s), b = LoadU(s + 8), c = LoadU(s + 16);
  const V x = _mm_shuffle_epi8(a, _mm_setr_epi8(0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const V y = _mm_shuffle_epi8(b, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15, -1, -1, -1, -1));
  const V z = _mm_shuffle_epi8(c, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 10, 11));
  return _mm_or_si128(_mm_or_si128(x, y), z);
#else
  alignas(16) int16_t t[8];
  for (int k = 0; k < 8; ++k) t[k] = Ld(s + kStride * k);
  return LoadA(t);
#endif
}
#endif

template <int kStride, bool kStream>
void Extract16(const int16_t* src, int16_t* plane, uint32_t pixels) {
  uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
  const uintptr_t headMask = kStream ? 7 : 3;
  for (; j < pixels && (Addr(plane + j) & headMask) != 0; ++j) St(plane + j, Ld(src + kStride * j));
  if (j + 8 < pixels) KVZ_COUNT_PATH(kStream ? kPathStream : kPathExtractChannel);
  for (; j + 8 < pixels; j += 8) {
    const V v = Gather16<kStride>(src + kStride * j);
    if (kStream) {
      uint64_t lo, hi;
      _mm_storel_epi64(reinterpret_cast<__m128i*>(&lo), v);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(&hi), _mm_unpackhi_epi64(v, v));
      Stream8(plane + j, lo);
      Stream8(plane + j + 4, hi);
    } else {
      StoreU(plane + j, v);
    }
  }
  if (kStream) Fence();
#endif
  for (; j < pixels; ++j) St(plane + j, Ld(src + kStride * j));
}

}  // namespace

void ExtractChannel16sC3Kernel(const int16_t* src, int16_t* plane, uint32_t pixels) {
  Extract16<3, false>(src, plane, pixels);
}
void ExtractChannel16sC3StreamingKernel(const int16_t* src, int16_t* plane, uint32_t pixels) {
  Extract16<3, true>(src, plane, pixels);
}
void ExtractChannel16sC4Kernel(const int16_t* src, int16_t* plane, uint32_t pixels) {
  Extract16<4, false>(src, plane, pixels);
}
void ExtractChannel16sC4StreamingKernel(const int16_t* src, int16_t* plane, uint32_t pixels) {
  Extract16<4, true>(src, plane, pixels);
}

namespace {

// All channels of a row of 16-bit pixels in one pass: the source is read once, eight pixels
// a step. With stream, planes that share their offset within 16 bytes take non-temporal
// stores, fenced once after the last row.
template <int kC>
void SplitWordsRows(const int16_t* src, int32_t srcStep, int16_t* const planes[kC], int32_t planeStep,
                    uint32_t width, uint32_t height, uint32_t stream) {
  for (uint32_t r = 0; r < height; ++r) {
    const int16_t* s = reinterpret_cast<const int16_t*>(reinterpret_cast<const uint8_t*>(src) +
                                                        static_cast<ptrdiff_t>(r) * srcStep);
    int16_t* d[kC];
    for (int c = 0; c < kC; ++c)
      d[c] = reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(planes[c]) + static_cast<ptrdiff_t>(r) * planeStep);
    uint32_t j = 0;
#if KVZ_BUILD_HAS(SSE2)
    bool aligned = (Addr(d[0]) & 1) == 0;
    for (int c = 1; c < kC; ++c) aligned = aligned && ((Addr(d[c]) ^ Addr(d[0])) & 15) == 0;
    if (aligned) {
      for (; j < width && (Addr(d[0] + j) & 15) != 0; ++j)
        for (int c = 0; c < kC; ++c) St(d[c] + j, Ld(s + kC * j + c));
    }
    const bool nonTemporal = aligned && stream != 0;
    if (j + 8 <= width) KVZ_COUNT_PATH(nonTemporal ? kPathStream : kPathSplitPixels);
    for (; j + 8 <= width; j += 8) {
      const int16_t* p = s + kC * j;
      V v[4];
      if (kC == 4) {
        v[0] = LoadU(p), v[1] = LoadU(p + 8), v[2] = LoadU(p + 16), v[3] = LoadU(p + 24);
        Deinterleave4x16(v[0], v[1], v[2], v[3]);
      } else {
        LoadDeinterleave3<16>(p, v[0], v[1], v[2]);
      }
      for (int c = 0; c < kC; ++c) {
        if (nonTemporal) Stream(d[c] + j, v[c]);
        else if (aligned) StoreA(d[c] + j, v[c]);
        else StoreU(d[c] + j, v[c]);
      }
    }
#else
    (void)stream;
#endif
    for (; j < width; ++j)
      for (int c = 0; c < kC; ++c) St(d[c] + j, Ld(s + kC * j + c));
  }
#if KVZ_BUILD_HAS(SSE2)
  if (stream != 0) Fence();
#endif
}

}  // namespace

void SplitPixels16sC3P3Kernel(const int16_t* src, int32_t srcStep, int16_t* const planes[3], int32_t planeStep,
                              uint32_t width, uint32_t height, uint32_t stream) {
  SplitWordsRows<3>(src, srcStep, planes, planeStep, width, height, stream);
}
void SplitPixels16sC4P4Kernel(const int16_t* src, int32_t srcStep, int16_t* const planes[4], int32_t planeStep,
                              uint32_t width, uint32_t height, uint32_t stream) {
  SplitWordsRows<4>(src, srcStep, planes, planeStep, width, height, stream);
}

void CopyRowsKernel(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, size_t rowBytes,
                    uint32_t rows, uint32_t stream) {
#if KVZ_BUILD_HAS(SSE)
  for (uint32_t r = 0; r < rows; ++r)
    CopyRowBody(src + static_cast<ptrdiff_t>(r) * srcStep, dst + static_cast<ptrdiff_t>(r) * dstStep, rowBytes,
                stream);
  if (stream != 0) Fence();
#else
  (void)stream;
  for (uint32_t r = 0; r < rows; ++r)
    CopyScalar(src + static_cast<ptrdiff_t>(r) * srcStep, dst + static_cast<ptrdiff_t>(r) * dstStep, rowBytes);
#endif
}

}  // namespace kvz::prim::KVZ_BUILD_NS
