// Exposure time in the camera's 100-microsecond units and the kernel-streaming logarithmic
// exposure (0 is one second, each step down halves it).
#pragma once
#include <wdm.h>

namespace kvz {

// Camera exposure times are unsigned 16-bit values.
LONG ExposureTimeToLog(USHORT time);
// 0 for every value outside -13..0.
USHORT ExposureLogToTime(LONG logValue);

}  // namespace kvz
