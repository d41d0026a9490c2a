// The driver's one way to wait a while in a thread at PASSIVE_LEVEL.
#pragma once
#include <wdm.h>

namespace kvz {

// Blocks the calling thread for the given number of milliseconds (a relative, non-alertable
// kernel-mode wait).
inline VOID DelayMilliseconds(ULONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace kvz
