// The capture pin's own pixel routines: YUY2 to bottom-up RGB24 for RGB24 clients, and the
// widening of YUY2 frames through RGB24 for clients that ask for a wider picture. Integer
// arithmetic only; rows tightly packed.
#pragma once
#include <wdm.h>

#include "postproc/convert/yuy2_to_rgb24.h"

namespace kvz {

// The RGB24 client's conversion: the first source row becomes the last destination row.
inline VOID ConvertYuy2ToRgb24BottomUp(const UCHAR* source, UCHAR* destination, ULONG width, ULONG height) {
  ConvertYuy2ToRgb24(source, destination, width, height);
}

// RGB24 read from its last row upwards into YUY2 written from the first row down; width even.
VOID ConvertRgb24ToYuy2(const UCHAR* source, UCHAR* destination, ULONG width, ULONG height);

// RGB24 rows of sourceWidth pixels to rows of destinationWidth pixels (linear blend).
VOID ResampleRowsHorizontal(const UCHAR* source, UCHAR* destination, ULONG sourceWidth, ULONG rows,
                            ULONG destinationWidth);

}  // namespace kvz
