// Up-sampling of 8-bit chroma planes by the triangle filter: SampleUpH2V1 doubles the width,
// SampleUpH2V2 width and height. Both read one sample beyond every edge of what they produce
// (the caller replicates edge samples there); the destination size alone decides what is read
// and written. Every processor build gives identical rows.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_UPSAMPLE(ns)                                                             \
  namespace kvz::prim::ns {                                                                  \
  PrimitiveStatus SampleUpH2V1(const uint8_t* src, int32_t srcStep, RoiSize srcSize,         \
                               uint8_t* dst, int32_t dstStep, RoiSize dstSize);              \
  PrimitiveStatus SampleUpH2V2(const uint8_t* src, int32_t srcStep, RoiSize srcSize,         \
                               uint8_t* dst, int32_t dstStep, RoiSize dstSize);              \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_UPSAMPLE)
#undef KVZ_DECLARE_UPSAMPLE
