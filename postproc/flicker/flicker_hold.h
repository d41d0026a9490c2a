// When the frame processor may feed the flicker detector: only in automatic power-line mode,
// indoors, with automatic exposure, and not within 20 s of the capture pin starting to run.
#pragma once
#include <wdm.h>

namespace kvz {

struct FlickerHold {
  static constexpr LONGLONG kHoldTime = 200000000;  // 20 s in 100-ns units
  static constexpr LONG kAutoExposureAutomatic = 8;

  // No hold until the first run.
  VOID Init() {
    startTime = 0;
    holdFlag = 1;
  }
  // The capture pin started running: hold for 20 s from now.
  VOID StartHold();
  // The power-line value was set to automatic: feed at once.
  VOID Release();
  bool HasPassed() const;
  // powerLineValue 0 is automatic detection; autoExposureMode 8 is automatic.
  bool AllowsFeed(LONG powerLineValue, LONG outDoor, LONG autoExposureMode) const;

  LONGLONG startTime;  // system time, 100-ns units
  ULONG holdFlag;
};

}  // namespace kvz
