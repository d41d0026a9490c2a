// The intrinsics the frame geometry's builds use. Its vector code is written for x86-64, where
// every build, the generic one included, has SSE2 (KVZ_BASELINE_HAS(SSE2)) and the SSSE3 build
// adds byte shuffles (KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)); the 32-bit builds run the
// portable loops.
#pragma once
#include "primitives/build.h"

#if KVZ_BASELINE_HAS(SSE2)
#include <emmintrin.h>
#if KVZ_BUILD_HAS(SSSE3)
#include <tmmintrin.h>
#endif
#endif
