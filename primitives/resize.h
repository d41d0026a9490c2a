// Resize of a region of a packed 4:2:2 image (4-byte units Y0 U Y1 V, two pixels each).
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

namespace kvz::prim {

// Source rectangle in pixels; clipped to the source and written back by the resize.
struct ResizeRect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

enum : int32_t {
  kResizeNearest = 1,
  kResizeLinear = 2,
  kResizeCubic = 4,
  kResizeSuper = 8,
};

}  // namespace kvz::prim

#define KVZ_DECLARE_RESIZE(ns)                                                                    \
  namespace kvz::prim::ns {                                                                       \
  PrimitiveStatus ResizeImage8uC4(const uint8_t* src, RoiSize srcSize, int32_t srcStep,           \
                                  ResizeRect* srcRect, uint8_t* dst, int32_t dstStep,             \
                                  RoiSize dstSize, double xFactor, double yFactor, int32_t mode); \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_RESIZE)
#undef KVZ_DECLARE_RESIZE
