#include "postproc/flicker/flicker_hold.h"

namespace kvz {
namespace {

LONGLONG SystemTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

}  // namespace

VOID FlickerHold::StartHold() {
  startTime = SystemTime();
  holdFlag = 1;
}

VOID FlickerHold::Release() {
  startTime = SystemTime();
  holdFlag = 0;
}

bool FlickerHold::HasPassed() const { return holdFlag == 0 || SystemTime() - startTime > kHoldTime; }

bool FlickerHold::AllowsFeed(LONG powerLineValue, LONG outDoor, LONG autoExposureMode) const {
  return powerLineValue == 0 && outDoor == 0 && autoExposureMode == kAutoExposureAutomatic &&
         HasPassed();
}

}  // namespace kvz
