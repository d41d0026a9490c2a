// The decoder's YUY2 output rows: Y0 Cb Y1 Cr for every pixel pair of one row of samples, a
// last odd pixel getting its Y and Cb. Byte interleaving only, so every build writes the same
// bytes.
#pragma once
#include <stdint.h>

#include "primitives/build.h"

#define KVZ_DECLARE_YUY2_PACK(ns)                                                         \
  namespace kvz::prim::ns {                                                               \
  void PackYuy2Row(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int32_t width, \
                   uint8_t* dst);                                                         \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_YUY2_PACK)
#undef KVZ_DECLARE_YUY2_PACK
