// Mirror of an image region about the horizontal axis (0), the vertical axis (1) or both (2),
// into a second image or in place. AC4 layouts leave the fourth sample of every pixel alone.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

#define KVZ_DECLARE_MIRROR_PAIR(T, name)                                                        \
  PrimitiveStatus name(const T* src, int32_t srcStep, T* dst, int32_t dstStep, RoiSize roi,     \
                       int32_t axis);                                                           \
  PrimitiveStatus name##InPlace(T* image, int32_t step, RoiSize roi, int32_t axis);

#define KVZ_DECLARE_MIRROR(ns)                                    \
  namespace kvz::prim::ns {                                       \
  KVZ_DECLARE_MIRROR_PAIR(uint8_t, MirrorImage8uC1)               \
  KVZ_DECLARE_MIRROR_PAIR(uint8_t, MirrorImage8uC3)               \
  KVZ_DECLARE_MIRROR_PAIR(uint8_t, MirrorImage8uAc4)              \
  KVZ_DECLARE_MIRROR_PAIR(uint16_t, MirrorImage16uC1)             \
  KVZ_DECLARE_MIRROR_PAIR(uint16_t, MirrorImage16uC3)             \
  KVZ_DECLARE_MIRROR_PAIR(uint16_t, MirrorImage16uAc4)            \
  KVZ_DECLARE_MIRROR_PAIR(int32_t, MirrorImage32sC1)              \
  KVZ_DECLARE_MIRROR_PAIR(int32_t, MirrorImage32sC3)              \
  KVZ_DECLARE_MIRROR_PAIR(int32_t, MirrorImage32sAc4)             \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_MIRROR)
#undef KVZ_DECLARE_MIRROR
