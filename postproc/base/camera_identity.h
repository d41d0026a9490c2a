// Who the camera is, and how its frames are turned, as the device core reports it to the pins
// and to post-processing.
#pragma once
#include <wdm.h>

namespace kvz {

struct CameraIdentity {
  bool listedCamera;        // stands in the device's table of six listed cameras: frames pass untouched
  ULONG chipFamily;         // camera register 0x20FF masked with 0xF0
  LONG displayOrientation;  // quarter turns (0 to 3) the capture pin chose for the frames
};

// The device's answer to the pins and to post-processing alike; read afresh at each call, since
// the orientation follows the capture pin.
class CameraIdentitySource {
 public:
  virtual CameraIdentity Identity() const = 0;

 protected:
  CameraIdentitySource() = default;
  ~CameraIdentitySource() = default;
};

}  // namespace kvz
