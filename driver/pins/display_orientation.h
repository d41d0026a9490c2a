// Keeping the picture upright on a rotated display: the display keys located when a capture pin
// negotiates, the first attached display's orientation read back every few frames, and the
// per-client opt-out decided when the pin starts running. PASSIVE_LEVEL, pageable.
#pragma once
#include <wdm.h>

namespace kvz {

constexpr ULONG kMaxDisplayPaths = 10;
constexpr ULONG kDisplayPathChars = 256;
constexpr ULONG kDisplayValueBytes = 512;
constexpr LONG kMaxDisplayObjects = 64;
// The display's orientation is read back every this many frames plus one.
constexpr ULONG kOrientationPeriod = 10;

class DeviceSettings;

struct DisplayPaths {
  WCHAR Paths[kMaxDisplayPaths][kDisplayPathChars];
  LONG Count;
};

// The running capture pin's orientation poll: its display keys (located at each negotiation),
// the frames since the last read-back and its client's opt-out (decided at each RUN). The pin
// owns it; the device steps it each time the pin takes a frame.
struct CaptureOrientation {
  DisplayPaths Displays;
  LONG Countdown;
  LONG OptOut;
};

// One frame taken: *turns is the orientation the device applies from now, or the poll keeps the
// current one (false). With the opt-out no turn; otherwise the display is read back every
// kOrientationPeriod + 1 frames.
bool StepCaptureOrientation(CaptureOrientation* poll, DeviceSettings* settings, LONG* turns);

// Finds the display keys under the video device map. Leaves the list as it was when the map or
// its object count is missing.
VOID CollectDisplayPaths(DisplayPaths* paths);

// The quarter turns to apply: the first attached display's orientation with the user's rotation
// turned the other way.
LONG LookUpDisplayOrientation(const DisplayPaths* paths, LONG rotation);

// 1 when the calling client gets no orientation compensation; current is the pin's value so far.
LONG DecideRotationOptOut(DeviceSettings* settings, LONG current);

}  // namespace kvz
