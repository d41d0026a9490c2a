// What the property sets ask of flicker detection (the video-procamp power-line control, the
// private set's outdoor switch). The frame processor implements it; the device hands it out.
#pragma once
#include <wdm.h>

namespace kvz {

class FlickerControl {
 public:
  // The detector's state (FlickerDetector::State).
  virtual ULONG FlickerState() = 0;
  // A new detection from the next fed frame on.
  virtual VOID RequestFlickerRedetect() = 0;
  // The power-line value was set to automatic detection: the hold after RUN ends now.
  virtual VOID ReleaseFlickerHold() = 0;

 protected:
  FlickerControl() = default;
  ~FlickerControl() = default;
};

}  // namespace kvz
