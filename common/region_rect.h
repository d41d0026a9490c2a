// The rectangle the region-of-interest control, face detection and face-region exposure pass
// between them.
#pragma once
#include <wdm.h>

namespace kvz {

// A face or region rectangle in frame pixels; all zero, or any value not positive, is no face.
struct RegionRect {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

}  // namespace kvz
