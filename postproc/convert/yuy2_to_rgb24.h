// The still pin's conversion of packed YUY2 into bottom-up 24-bit BGR.
#pragma once
#include <wdm.h>

namespace kvz {

// width x height pixels of YUY2 (Y0 U Y1 V per pixel pair, rows of width x 2 bytes) into
// rows of width x 3 bytes stored blue, green, red, the first source row last. Writes exactly
// width x height x 3 bytes; for an odd width the last pixel of a row takes the chroma of the
// pair before it (neutral chroma when the row has one pixel). Callable at any IRQL.
VOID ConvertYuy2ToRgb24(const UCHAR* source, UCHAR* destination, ULONG width, ULONG height);

}  // namespace kvz
