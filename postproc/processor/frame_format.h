// Packed frame layouts of the driver's own image routines and the format record of the
// effects. YUY2: two bytes per pixel, Y0 U Y1 V per pixel pair. RGB24: three bytes per pixel,
// blue, green, red. I420: the full-size Y plane, then the quarter-size U and V planes. Rows are
// tightly packed.
#pragma once
#include <wdm.h>

namespace kvz {

// A stream format is named by the first 32-bit word of its subtype GUID.
constexpr ULONG kSubtypeRgb24 = 0xE436EB7D;
constexpr ULONG kSubtypeYuy2 = 0x32595559;  // "YUY2"
constexpr ULONG kSubtypeMjpg = 0x47504A4D;  // "MJPG"
constexpr ULONG kSubtypeI420 = 0x30323449;  // "I420"

// Format codes of EffectFormat (numbered differently from the JPEG codec's pixel formats).
enum EffectFormatCode : LONG {
  kEffectFormatOther = 0,
  kEffectFormatRgb24 = 1,
  kEffectFormatYuy2 = 2,
  kEffectFormatI420 = 4,
};

struct EffectFormat {
  LONG formatCode;
  LONG width;
  LONG height;
};

}  // namespace kvz
