// Bilinear resamplers in 16.16 fixed point for packed RGB24 and YUY2 images.
#pragma once
#include <wdm.h>

namespace kvz {

struct ResampleImage {
  UCHAR* data;
  ULONG stride;  // bytes per row
  LONG width;    // pixels
  LONG height;
};

// The destination descriptor gives the output size. Nothing is written when either image is
// empty (a YUY2 source needs at least one full pixel pair). Neighbours past the last source
// column or row repeat the edge, so any enlargement stays inside the source.
VOID ResizeRgb24Bilinear(const ResampleImage* destination, const ResampleImage* source);
VOID ResizeYuy2Bilinear(const ResampleImage* destination, const ResampleImage* source);

}  // namespace kvz
