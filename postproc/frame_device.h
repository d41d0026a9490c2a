// What the frame processor reads and writes of its camera device. Post-processing cannot see the
// device core, so the device implements this and passes itself to every processor call.
#pragma once
#include <wdm.h>

#include "face/face_services.h"
#include "postproc/camera_services.h"

namespace kvz {

// The device's settings as one frame sees them.
struct FrameSettings {
  LONG privacy;             // current value of the privacy control; non-zero draws the picture
  LONG zoomScale;           // 10 no zoom ... 40
  LONG panUpDownSize;       // -16 ... 16
  LONG panLeftRightSize;    // -16 ... 16
  LONG hFlip;
  LONG vFlip;
  LONG powerLineFrequency;  // current value of the power-line control: 0 automatic detection
  LONG outDoor;
  LONG autoExposureMode;    // 8 automatic, 1 manual
};

class FrameDevice {
 public:
  virtual CameraServices* Services() = 0;
  // The camera stands in the device's table of six listed cameras: its frames pass untouched.
  virtual bool IsListedCamera() const = 0;
  // Quarter turns (0 to 3) the capture pin chose for the frame being processed.
  virtual LONG AppliedRotation() const = 0;
  // Camera register 0x20FF masked with 0xF0.
  virtual UCHAR ChipCode() const = 0;
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
