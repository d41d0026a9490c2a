// Stream formats as the pins name them and the format record of the effects. A frame's pixel
// layout inside the driver is a PixelLayout (primitives/pixel_layout.h); SetFormatInfo in the
// frame processor is the one place a stream's subtype becomes one.
#pragma once
#include <wdm.h>

#include "primitives/pixel_layout.h"

namespace kvz {

// A stream format is named by the first 32-bit word of its subtype GUID.
constexpr ULONG kSubtypeRgb24 = 0xE436EB7D;
constexpr ULONG kSubtypeYuy2 = 0x32595559;  // "YUY2"
constexpr ULONG kSubtypeMjpg = 0x47504A4D;  // "MJPG"
constexpr ULONG kSubtypeI420 = 0x30323449;  // "I420"

struct EffectFormat {
  LONG formatCode;  // a PixelLayout: kPixelRgb24, kPixelYuy2 or kPixelI420; kPixelNone for any other
  LONG width;
  LONG height;
};

}  // namespace kvz
