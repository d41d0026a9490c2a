// Keeping the picture upright on a rotated display: the display keys located when a capture pin
// negotiates, the first attached display's orientation read back every few frames, and the
// per-client opt-out decided when the pin starts running. PASSIVE_LEVEL, pageable.
#pragma once
#include <wdm.h>

#include "driver/pin_constants.h"

namespace kvz {

class DeviceSettings;

struct DisplayPaths {
  WCHAR Paths[kMaxDisplayPaths][kDisplayPathChars];
  LONG Count;
};

// Finds the display keys under the video device map. Leaves the list as it was when the map or
// its object count is missing.
VOID CollectDisplayPaths(DisplayPaths* paths);

// The quarter turns to apply: the first attached display's orientation with the user's rotation
// turned the other way.
LONG LookUpDisplayOrientation(const DisplayPaths* paths, LONG rotation);

// 1 when the calling client gets no orientation compensation; current is the pin's value so far.
LONG DecideRotationOptOut(DeviceSettings* settings, LONG current);

}  // namespace kvz
