// Row kernels of the region copy, packing, splitting and mirror primitives. They check nothing:
// counts are at least 1 and ranges do not overlap. A non-zero stream flag asks for
// non-temporal stores of the full vector blocks and a store fence at the end.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "primitives/build.h"

#define KVZ_DECLARE_ROW_KERNELS(ns)                                                          \
  namespace kvz::prim::ns {                                                                  \
  void CopyRowKernel(const uint8_t* src, uint8_t* dst, size_t bytes, uint32_t stream);       \
  /* CopyRowKernel over rows, with one store fence after the last when streaming. */         \
  void CopyRowsKernel(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,    \
                      size_t rowBytes, uint32_t rows, uint32_t stream);                      \
  /* Copies rows of rowBytes; joins them when both steps equal rowBytes and decides         \
     streaming from the region size and the processor's cache size. */                       \
  void CopyRowCacheAwareKernel(const uint8_t* src, int32_t srcStep, uint8_t* dst,            \
                               int32_t dstStep, size_t rowBytes, uint32_t rows);             \
  /* Bytes (samples) 0..2 of each 4-byte (4-sample) pixel; the fourth keeps its value. */    \
  void CopyRowAc4Kernel8u(const uint8_t* src, uint8_t* dst, uint32_t bytes);                 \
  void CopyRowAc4Kernel16s(const int16_t* src, int16_t* dst, uint32_t samples,               \
                           uint32_t unused);                                                 \
  void InterleavePlanes8uP3C3Kernel(const uint8_t* const planes[3], int32_t planeStep,       \
                                    uint8_t* dst, int32_t dstStep, uint32_t width,           \
                                    uint32_t height, uint32_t stream);                       \
  void InterleavePlanes8uP4C4Kernel(const uint8_t* const planes[4], int32_t planeStep,       \
                                    uint8_t* dst, int32_t dstStep, uint32_t width,           \
                                    uint32_t height, uint32_t stream);                       \
  /* Pixel splitting by pointer alignment: all pointers on 8 bytes; planes on 4 bytes;       \
     source at 4 mod 8 with planes on 8 bytes. */                                            \
  void SplitPixels8uC3P3Kernel(const uint8_t* src, int32_t srcStep, uint8_t* const planes[3], \
                               int32_t planeStep, uint32_t width, uint32_t height);          \
  void SplitPixels8uC3P3Planes4Kernel(const uint8_t* src, int32_t srcStep,                   \
                                      uint8_t* const planes[3], int32_t planeStep,           \
                                      uint32_t width, uint32_t height);                      \
  void SplitPixels8uC3P3Source4Kernel(const uint8_t* src, int32_t srcStep,                   \
                                      uint8_t* const planes[3], int32_t planeStep,           \
                                      uint32_t width, uint32_t height);                      \
  /* Planes on 8 bytes; planes on 4 bytes. */                                                \
  void SplitPixels8uC4P4Kernel(const uint8_t* src, int32_t srcStep, uint8_t* const planes[4], \
                               int32_t planeStep, uint32_t width, uint32_t height);          \
  void SplitPixels8uC4P4Planes4Kernel(const uint8_t* src, int32_t srcStep,                   \
                                      uint8_t* const planes[4], int32_t planeStep,           \
                                      uint32_t width, uint32_t height);                      \
  /* plane[j] = src[3j] (or src[4j]); src points at the channel's first sample. */           \
  void ExtractChannel8uC3Kernel(const uint8_t* src, uint8_t* plane, uint32_t pixels);        \
  void ExtractChannel8uC4Kernel(const uint8_t* src, uint8_t* plane, uint32_t pixels);        \
  void ExtractChannel16sC3Kernel(const int16_t* src, int16_t* plane, uint32_t pixels);       \
  void ExtractChannel16sC3StreamingKernel(const int16_t* src, int16_t* plane, uint32_t pixels); \
  void ExtractChannel16sC4Kernel(const int16_t* src, int16_t* plane, uint32_t pixels);       \
  void ExtractChannel16sC4StreamingKernel(const int16_t* src, int16_t* plane, uint32_t pixels); \
  /* Every channel of each row in one pass; one store fence at the end when streaming. */    \
  void SplitPixels16sC3P3Kernel(const int16_t* src, int32_t srcStep, int16_t* const planes[3], \
                                int32_t planeStep, uint32_t width, uint32_t height,          \
                                uint32_t stream);                                            \
  void SplitPixels16sC4P4Kernel(const int16_t* src, int32_t srcStep, int16_t* const planes[4], \
                                int32_t planeStep, uint32_t width, uint32_t height,          \
                                uint32_t stream);                                            \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_ROW_KERNELS)
