// The frame geometry's kernels, one family per processor build (postproc/perbuild), reached
// through the dispatch entries of the same names (primitives/dispatch.h). Sizes and pointers are
// checked by the callers: ResizeImage, ResizeRgb24Bilinear, ResizeYuy2Bilinear,
// RotateYuy2Frame and MirrorFlipYuy2Frame.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "primitives/build.h"

#define KVZ_DECLARE_GEOMETRY(ns)                                                              \
  namespace kvz::prim::ns {                                                                   \
  void ResizeYuy2Nearest(const uint8_t* src, uint8_t* dst, uint32_t sw, uint32_t dw, uint32_t dh, \
                         uint32_t sx, uint32_t sy);                                           \
  void ResampleBilinear(uint8_t* dst, uint32_t dstStride, int32_t dstWidth, int32_t dstHeight, \
                        const uint8_t* src, uint32_t srcStride, int32_t srcWidth,             \
                        int32_t srcHeight, int32_t channels);                                 \
  void TurnYuy2Half(uint8_t* dst, const uint8_t* src, size_t pixels);                         \
  void TurnYuy2Quarter(uint8_t* dst, const uint8_t* src, int32_t rotation, uint32_t w,        \
                       uint32_t h);                                                           \
  void MirrorFlipYuy2(uint8_t* frame, uint8_t* scratch, int32_t mirror, int32_t flip,         \
                      uint32_t w, uint32_t h);                                                \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_GEOMETRY)
#undef KVZ_DECLARE_GEOMETRY
