#include "driver/controls/exposure_conversion.h"

namespace kvz {
namespace {

// Lowest time (100-us units) of each logarithmic step from 0 down to -13.
constexpr USHORT kStepFloor[] = {7520, 3760, 1880, 940, 469, 234, 117, 58, 24, 14, 6, 3, 2, 1};
// Time of each logarithmic value from 0 down to -13.
constexpr USHORT kStepTime[] = {10000, 5000, 2500, 1250, 625, 312, 156, 78, 39, 20, 10, 5, 2, 1};
constexpr LONG kLogMinimum = -14;

}  // namespace

LONG ExposureTimeToLog(USHORT time) {
  for (LONG step = 0; step < static_cast<LONG>(sizeof(kStepFloor) / sizeof(kStepFloor[0])); ++step) {
    if (time >= kStepFloor[step]) return -step;
  }
  return kLogMinimum;
}

USHORT ExposureLogToTime(LONG logValue) {
  if (logValue > 0 || logValue <= kLogMinimum) return 0;
  return kStepTime[-logValue];
}

}  // namespace kvz
