// The pixel layouts of frames inside the driver, numbered once: the JPEG codec's entry points,
// the effects' formats, the face worker's offers and the frame geometry all take these. Each
// layout is one bit, so a set of layouts (the formats an effect handles) is their OR. A stream's
// format on the pins is its subtype GUID, not one of these (postproc/base/frame_format.h).
#pragma once
#include <stdint.h>

namespace kvz {

enum PixelLayout : int32_t {
  kPixelNone = 0,
  kPixelRgb24 = 1,  // blue, green, red; rows of 3 x width bytes
  kPixelI420 = 2,   // the Y plane, then the quarter-size U and V planes
  kPixelYuy2 = 4,   // Y0 U Y1 V per pixel pair; rows of 2 x width bytes
  kPixelMjpeg = 8,  // one compressed MJPEG frame
};

}  // namespace kvz
