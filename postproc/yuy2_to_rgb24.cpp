#include "postproc/yuy2_to_rgb24.h"

#include "jpeg/jpeg_constants.h"
#include "jpeg/jpeg_cpu.h"
#include "primitives/dispatch.h"

namespace kvz {

VOID ConvertYuy2ToRgb24(const UCHAR* source, UCHAR* destination, ULONG width, ULONG height) {
  if (width == 0 || height == 0) return;
  // The conversion runs in the processor build the codec selects; an RGB24 stream may start
  // before any codec object has made that selection. The vendor mode that classifies the
  // processor itself; the registry that names the vendor cannot be read at every IRQL.
  jpeg::EnsureJpegBuildSelected(jpeg::kVendorIntel);
  const LONG sourceStride = static_cast<LONG>(width) * 2;
  const LONG destinationStride = static_cast<LONG>(width) * 3;
  // Bottom-up: the first source row is written to the last destination row.
  UCHAR* lastRow = destination + static_cast<SIZE_T>(height - 1) * static_cast<SIZE_T>(destinationStride);
  const prim::RoiSize roi = {static_cast<int32_t>(width), static_cast<int32_t>(height)};
  prim::Yuy2ToBgr24(source, sourceStride, lastRow, -destinationStride, roi);
}

}  // namespace kvz
