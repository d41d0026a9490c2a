// Time values for the kernel stand-in's waits and timers.
#pragma once
#include <cstdint>

#include "wdm.h"

namespace kvz::testing {

// A due time or timeout `duration` (100 ns units) from now; the kernel reads negative as relative.
inline LARGE_INTEGER Relative(int64_t duration) {
  LARGE_INTEGER t;
  t.QuadPart = -duration;
  return t;
}

}  // namespace kvz::testing
