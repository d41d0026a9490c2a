// What the frame processor reads and writes of its camera device. Post-processing cannot see the
// device core, so the device implements this and passes itself to every processor call.
#pragma once
#include <wdm.h>

#include "common/face_services.h"
#include "postproc/base/camera_identity.h"
#include "common/camera_services.h"

namespace kvz {

// ZoomScale, the zoom of the device's settings and its controls: tenths of the magnification,
// applied to the capture stream's frames by the frame processor.
constexpr LONG kZoomScaleNone = 10;  // 1.0x, the whole frame
constexpr LONG kZoomScaleMax = 40;   // 4.0x

// The device's settings as one frame sees them.
struct FrameSettings {
  LONG privacy;             // current value of the privacy control; non-zero draws the picture
  LONG zoomScale;           // kZoomScaleNone ... kZoomScaleMax
  LONG panUpDownSize;       // -16 ... 16
  LONG panLeftRightSize;    // -16 ... 16
  LONG hFlip;
  LONG vFlip;
  LONG powerLineFrequency;  // current value of the power-line control: 0 automatic detection
  LONG outDoor;
  LONG autoExposureMode;    // 8 automatic, 1 manual
};

class FrameDevice : public CameraIdentitySource {
 public:
  virtual CameraServices* Services() = 0;
  // Read once per frame, so that a client changing a setting meanwhile never splits a frame.
  virtual VOID ReadFrameSettings(FrameSettings* settings) const = 0;
  // The power-line value the flicker detector left in the camera (FlickerDetectValue).
  virtual VOID StoreFlickerDetectValue(LONG value) = 0;
  // What the face-detection worker needs of the device; null when the device offers none (the
  // worker then takes no frame).
  virtual FaceDeviceServices* FaceServices() = 0;

 protected:
  FrameDevice() = default;
  ~FrameDevice() = default;
};

}  // namespace kvz
