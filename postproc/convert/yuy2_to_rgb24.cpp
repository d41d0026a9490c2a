#include "postproc/convert/yuy2_to_rgb24.h"

#include "primitives/dispatch.h"

namespace kvz {

VOID ConvertYuy2ToRgb24(const UCHAR* source, UCHAR* destination, ULONG width, ULONG height) {
  if (width == 0 || height == 0) return;
  // The processor build was chosen when the device was added.
  const LONG sourceStride = static_cast<LONG>(width) * 2;
  const LONG destinationStride = static_cast<LONG>(width) * 3;
  // Bottom-up: the first source row is written to the last destination row.
  UCHAR* lastRow = destination + static_cast<SIZE_T>(height - 1) * static_cast<SIZE_T>(destinationStride);
  const prim::RoiSize roi = {static_cast<int32_t>(width), static_cast<int32_t>(height)};
  prim::Yuy2ToBgr24(source, sourceStride, lastRow, -destinationStride, roi);
}

}  // namespace kvz
