// Whether the processor running a test can execute code of a processor build's instruction-set
// level (KVZ_ISA_*), so build-against-build tests run only what the machine or emulated model
// offers.
#pragma once
#include <cpuid.h>

#include "primitives/build.h"

namespace kvz::test {

inline bool IsaRunsHere(int isa) {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return isa == KVZ_ISA_GENERIC;
  switch (isa) {
    case KVZ_ISA_GENERIC: return true;
    case KVZ_ISA_SSE: return (d >> 25) & 1;
    case KVZ_ISA_SSE2: return (d >> 26) & 1;
    case KVZ_ISA_SSE3: return c & 1;
    case KVZ_ISA_SSSE3: return (c >> 9) & 1;
    default: return false;
  }
}

}  // namespace kvz::test
