#include "primitives/region_copy.h"

#include "primitives/perbuild/simd_moves.h"
#include "primitives/row_kernels.h"
#include "primitives/sample_convert.h"

namespace kvz::prim::KVZ_BUILD_NS {

namespace {
using namespace simd;

template <typename P>
PrimitiveStatus CheckPacked(const void* src, const void* dst, RoiSize roi) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  if (roi.width <= 0 || roi.height <= 0) return kStsSizeError;
  return kStsOk;
}

// Planar side checked array first, then each plane in channel order.
template <typename Plane, int kPlanes>
bool PlanesPresent(Plane const* planes) {
  if (planes == nullptr) return false;
  for (int c = 0; c < kPlanes; ++c)
    if (planes[c] == nullptr) return false;
  return true;
}

inline PrimitiveStatus CheckSizes(RoiSize roi) {
  return roi.width <= 0 || roi.height <= 0 ? kStsSizeError : kStsOk;
}

inline const uint8_t* Row(const void* base, int32_t step, int32_t r) {
  return static_cast<const uint8_t*>(base) + static_cast<ptrdiff_t>(r) * step;
}
inline uint8_t* Row(void* base, int32_t step, int32_t r) {
  return static_cast<uint8_t*>(base) + static_cast<ptrdiff_t>(r) * step;
}

inline uint64_t Area(RoiSize roi) { return static_cast<uint64_t>(roi.width) * static_cast<uint64_t>(roi.height); }

// Rows that lie back to back are joined into one row only while its width stays a positive
// 32-bit pixel count.
inline bool Joinable(RoiSize roi) { return Area(roi) <= 0x7FFFFFFF; }

template <typename T>
void CopyRegion(const T* src, int32_t srcStep, T* dst, int32_t dstStep, RoiSize roi) {
#if KVZ_BUILD_HAS(SSE)
  const size_t rowBytes = sizeof(T) * static_cast<size_t>(roi.width);
  if (kSsse3Strategy) {
    CopyRowCacheAwareKernel(reinterpret_cast<const uint8_t*>(src), srcStep, reinterpret_cast<uint8_t*>(dst),
                            dstStep, rowBytes, static_cast<uint32_t>(roi.height));
    return;
  }
  const uint64_t total = sizeof(T) * Area(roi);
  const uint32_t stream = total > 0x100000 ? 1 : 0;
  if (static_cast<int64_t>(srcStep) == static_cast<int64_t>(rowBytes) &&
      static_cast<int64_t>(dstStep) == static_cast<int64_t>(rowBytes)) {
    CopyRowKernel(reinterpret_cast<const uint8_t*>(src), reinterpret_cast<uint8_t*>(dst), static_cast<size_t>(total),
                  stream);
    return;
  }
  CopyRowsKernel(reinterpret_cast<const uint8_t*>(src), srcStep, reinterpret_cast<uint8_t*>(dst), dstStep, rowBytes,
                 static_cast<uint32_t>(roi.height), stream);
#else
  for (int32_t r = 0; r < roi.height; ++r) {
    const T* s = reinterpret_cast<const T*>(Row(src, srcStep, r));
    T* d = reinterpret_cast<T*>(Row(dst, dstStep, r));
    for (int32_t j = 0; j < roi.width; ++j) St(d + j, Ld(s + j));
  }
#endif
}

template <int kC>
void Interleave(const uint8_t* const src[kC], int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi) {
  if (static_cast<int64_t>(kC) * srcStep == dstStep && srcStep == roi.width && Joinable(roi)) {
    roi.width = static_cast<int32_t>(Area(roi));
    roi.height = 1;
  }
#if KVZ_BUILD_HAS(SSE2)
  const uint32_t stream = kC * Area(roi) > kRegionStreamBytes ? 1 : 0;
  if (kC == 3) {
    InterleavePlanes8uP3C3Kernel(src, srcStep, dst, dstStep, static_cast<uint32_t>(roi.width),
                                 static_cast<uint32_t>(roi.height), stream);
  } else {
    InterleavePlanes8uP4C4Kernel(src, srcStep, dst, dstStep, static_cast<uint32_t>(roi.width),
                                 static_cast<uint32_t>(roi.height), stream);
  }
#else
  for (int32_t r = 0; r < roi.height; ++r) {
    uint8_t* d = Row(dst, dstStep, r);
    for (int c = 0; c < kC; ++c) {
      const uint8_t* s = Row(src[c], srcStep, r);
      for (int32_t j = 0; j < roi.width; ++j) d[kC * j + c] = s[j];
    }
  }
#endif
}

#if KVZ_BUILD_HAS(SSE2)
inline uintptr_t AlignmentClass(const void* src, uint8_t* const* planes, int kC) {
  uintptr_t any = 0;
  for (int c = 0; c < kC; ++c) any |= Addr(planes[c]);
  return (Addr(src) & 7) * 16 + (any & 7);
}
#endif

template <int kC>
void SplitBytes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[kC], int32_t dstStep, RoiSize roi) {
#if KVZ_BUILD_HAS(SSE2)
  const uintptr_t a = AlignmentClass(src, dst, kC);
  const bool sizeLimitWaived = (a & 0x33) == 0;
#else
  const bool sizeLimitWaived = false;
#endif
  if (static_cast<int64_t>(srcStep) == static_cast<int64_t>(kC) * dstStep && dstStep == roi.width &&
      (sizeLimitWaived || static_cast<int64_t>(srcStep) * roi.height < 160000) && Joinable(roi)) {
    roi.width = static_cast<int32_t>(Area(roi));
    roi.height = 1;
  }
#if KVZ_BUILD_HAS(SSE2)
  const uint32_t w = static_cast<uint32_t>(roi.width), h = static_cast<uint32_t>(roi.height);
  if (kC == 3) {
    if (a == 0) {
      SplitPixels8uC3P3Kernel(src, srcStep, dst, dstStep, w, h);
      return;
    }
    if (a == 4) {
      SplitPixels8uC3P3Planes4Kernel(src, srcStep, dst, dstStep, w, h);
      return;
    }
    if (a == 0x40) {
      SplitPixels8uC3P3Source4Kernel(src, srcStep, dst, dstStep, w, h);
      return;
    }
  } else {
    if (a == 0 || a == 0x40) {
      SplitPixels8uC4P4Kernel(src, srcStep, dst, dstStep, w, h);
      return;
    }
    if (a == 4 || a == 0x44) {
      SplitPixels8uC4P4Planes4Kernel(src, srcStep, dst, dstStep, w, h);
      return;
    }
  }
  for (int32_t r = 0; r < roi.height; ++r) {
    for (int c = 0; c < kC; ++c) {
      if (kC == 3) ExtractChannel8uC3Kernel(Row(src, srcStep, r) + c, Row(dst[c], dstStep, r), w);
      else ExtractChannel8uC4Kernel(Row(src, srcStep, r) + c, Row(dst[c], dstStep, r), w);
    }
  }
#else
  for (int32_t r = 0; r < roi.height; ++r) {
    const uint8_t* s = Row(src, srcStep, r);
    for (int c = 0; c < kC; ++c) {
      uint8_t* d = Row(dst[c], dstStep, r);
      for (int32_t j = 0; j < roi.width; ++j) d[j] = s[kC * j + c];
    }
  }
#endif
}

template <int kC>
void SplitWords(const int16_t* src, int32_t srcStep, int16_t* const dst[kC], int32_t dstStep, RoiSize roi) {
#if KVZ_BUILD_HAS(SSE2)
  const uint32_t stream = 2 * kC * Area(roi) > kRegionStreamBytes ? 1 : 0;
  const uint32_t w = static_cast<uint32_t>(roi.width), h = static_cast<uint32_t>(roi.height);
  if (kC == 3) SplitPixels16sC3P3Kernel(src, srcStep, dst, dstStep, w, h, stream);
  else SplitPixels16sC4P4Kernel(src, srcStep, dst, dstStep, w, h, stream);
#else
  for (int32_t r = 0; r < roi.height; ++r) {
    const int16_t* s = reinterpret_cast<const int16_t*>(Row(src, srcStep, r));
    for (int c = 0; c < kC; ++c) {
      int16_t* d = reinterpret_cast<int16_t*>(Row(dst[c], dstStep, r));
      for (int32_t j = 0; j < roi.width; ++j) St(d + j, Ld(s + kC * j + c));
    }
  }
#endif
}

}  // namespace

PrimitiveStatus CopyImage8u(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep, RoiSize roi) {
  const PrimitiveStatus st = CheckPacked<uint8_t>(src, dst, roi);
  if (st != kStsOk) return st;
  CopyRegion(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus CopyImage16s(const int16_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep, RoiSize roi) {
  const PrimitiveStatus st = CheckPacked<int16_t>(src, dst, roi);
  if (st != kStsOk) return st;
  CopyRegion(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus InterleavePlanes8uP3C3(const uint8_t* const src[3], int32_t srcStep, uint8_t* dst, int32_t dstStep,
                                       RoiSize roi) {
  if (!PlanesPresent<const uint8_t*, 3>(src) || dst == nullptr) return kStsNullPointer;
  if (CheckSizes(roi) != kStsOk) return kStsSizeError;
  Interleave<3>(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus InterleavePlanes8uP4C4(const uint8_t* const src[4], int32_t srcStep, uint8_t* dst, int32_t dstStep,
                                       RoiSize roi) {
  if (!PlanesPresent<const uint8_t*, 4>(src) || dst == nullptr) return kStsNullPointer;
  if (CheckSizes(roi) != kStsOk) return kStsSizeError;
  Interleave<4>(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus SplitPixels8uC3P3(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], int32_t dstStep,
                                  RoiSize roi) {
  if (src == nullptr || !PlanesPresent<uint8_t*, 3>(dst)) return kStsNullPointer;
  if (CheckSizes(roi) != kStsOk) return kStsSizeError;
  SplitBytes<3>(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus SplitPixels8uC4P4(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4], int32_t dstStep,
                                  RoiSize roi) {
  if (src == nullptr || !PlanesPresent<uint8_t*, 4>(dst)) return kStsNullPointer;
  if (CheckSizes(roi) != kStsOk) return kStsSizeError;
  SplitBytes<4>(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus SplitPixels16sC3P3(const int16_t* src, int32_t srcStep, int16_t* const dst[3], int32_t dstStep,
                                   RoiSize roi) {
  if (src == nullptr || !PlanesPresent<int16_t*, 3>(dst)) return kStsNullPointer;
  if (CheckSizes(roi) != kStsOk) return kStsSizeError;
  SplitWords<3>(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus SplitPixels16sC4P4(const int16_t* src, int32_t srcStep, int16_t* const dst[4], int32_t dstStep,
                                   RoiSize roi) {
  if (src == nullptr || !PlanesPresent<int16_t*, 4>(dst)) return kStsNullPointer;
  if (CheckSizes(roi) != kStsOk) return kStsSizeError;
  SplitWords<4>(src, srcStep, dst, dstStep, roi);
  return kStsOk;
}

PrimitiveStatus ConvertWordsToBytes(const int16_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                                    RoiSize roi) {
  const PrimitiveStatus st = CheckPacked<int16_t>(src, dst, roi);
  if (st != kStsOk) return st;
  if (srcStep <= 0 || dstStep <= 0) return kStsStepError;
  if (static_cast<int64_t>(srcStep) == 2 * static_cast<int64_t>(dstStep) && dstStep == roi.width &&
      Joinable(roi)) {
    roi.width = static_cast<int32_t>(Area(roi));
    roi.height = 1;
  }
  for (int32_t r = 0; r < roi.height; ++r) {
    const int16_t* s = reinterpret_cast<const int16_t*>(Row(src, srcStep, r));
    uint8_t* d = Row(dst, dstStep, r);
#if KVZ_BUILD_HAS(SSE2)
    ConvertWordsToBytesKernel(s, d, static_cast<size_t>(roi.width));
#else
    for (int32_t j = 0; j < roi.width; ++j) {
      const int16_t v = Ld(s + j);
      d[j] = v >= 255 ? 255 : (v <= 0 ? 0 : static_cast<uint8_t>(v));
    }
#endif
  }
  return kStsOk;
}

PrimitiveStatus ConvertBytesToWords(const uint8_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep,
                                    RoiSize roi) {
  const PrimitiveStatus st = CheckPacked<uint8_t>(src, dst, roi);
  if (st != kStsOk) return st;
  if (srcStep <= 0 || dstStep <= 0) return kStsStepError;
  const uint64_t n = Area(roi);
  bool joined = false;
  if (2 * static_cast<int64_t>(srcStep) == static_cast<int64_t>(dstStep) && srcStep == roi.width &&
      Joinable(roi)) {
    roi.width = static_cast<int32_t>(n);
    roi.height = 1;
    joined = true;
  }
#if KVZ_BUILD_HAS(SSE2)
  // A third of 256 KiB (joined) or 512 KiB of samples, each sample moving 3 bytes.
  const uint32_t stream = joined ? (n > 87381) : (n > 174763 && roi.width > 512);
#else
  (void)joined;
#endif
  for (int32_t r = 0; r < roi.height; ++r) {
    const uint8_t* s = Row(src, srcStep, r);
    int16_t* d = reinterpret_cast<int16_t*>(Row(dst, dstStep, r));
#if KVZ_BUILD_HAS(SSE2)
    ConvertBytesToWordsKernel(s, d, static_cast<size_t>(roi.width), stream);
#else
    for (int32_t j = 0; j < roi.width; ++j) St(d + j, static_cast<int16_t>(s[j]));
#endif
  }
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
