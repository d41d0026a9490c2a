// What face detection needs of the camera device: the device's face-detection mutex, the face
// window handed on to the face-region exposure of the device's frame processor, and the face
// work flags. The device implements it.
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

// Bits of the device's face work flags: run face detection on submitted frames (set when
// capture runs, cleared when a client reads the region property), and run the face-region
// exposure on them (set by a new face window or region rectangle, cleared once no face has
// been seen long enough).
constexpr LONG kFaceWorkDetect = 0x1;
constexpr LONG kFaceWorkExposure = 0x4;

class FaceDeviceServices {
 public:
  // Serialises a search with a reset; held across SetFaceRectangle.
  virtual PKMUTEX FaceDetectionMutex() = 0;
  // SetFaceRectangle of the frame processor's face-region exposure.
  virtual NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) = 0;
  virtual VOID SetFaceWorkFlags(LONG bits) = 0;

 protected:
  FaceDeviceServices() = default;
  ~FaceDeviceServices() = default;
};

}  // namespace kvz
