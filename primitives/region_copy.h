// Region copy, plane packing and splitting, and 8u <-> 16s sample conversion over a region of
// interest. All take (source, source step, destination, destination step, region).
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_REGION_COPY(ns)                                                          \
  namespace kvz::prim::ns {                                                                  \
  PrimitiveStatus CopyImage8u(const uint8_t* src, int32_t srcStep, uint8_t* dst,             \
                              int32_t dstStep, RoiSize roi);                                 \
  PrimitiveStatus CopyImage16s(const int16_t* src, int32_t srcStep, int16_t* dst,            \
                               int32_t dstStep, RoiSize roi);                                \
  PrimitiveStatus InterleavePlanes8uP3C3(const uint8_t* const src[3], int32_t srcStep,       \
                                         uint8_t* dst, int32_t dstStep, RoiSize roi);        \
  PrimitiveStatus InterleavePlanes8uP4C4(const uint8_t* const src[4], int32_t srcStep,       \
                                         uint8_t* dst, int32_t dstStep, RoiSize roi);        \
  PrimitiveStatus SplitPixels8uC3P3(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3], \
                                    int32_t dstStep, RoiSize roi);                           \
  PrimitiveStatus SplitPixels8uC4P4(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4], \
                                    int32_t dstStep, RoiSize roi);                           \
  PrimitiveStatus SplitPixels16sC3P3(const int16_t* src, int32_t srcStep,                    \
                                     int16_t* const dst[3], int32_t dstStep, RoiSize roi);   \
  PrimitiveStatus SplitPixels16sC4P4(const int16_t* src, int32_t srcStep,                    \
                                     int16_t* const dst[4], int32_t dstStep, RoiSize roi);   \
  PrimitiveStatus ConvertWordsToBytes(const int16_t* src, int32_t srcStep, uint8_t* dst,     \
                                      int32_t dstStep, RoiSize roi);                         \
  PrimitiveStatus ConvertBytesToWords(const uint8_t* src, int32_t srcStep, int16_t* dst,     \
                                      int32_t dstStep, RoiSize roi);                         \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_REGION_COPY)
