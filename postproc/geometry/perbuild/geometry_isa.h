// What vector code a build of the frame geometry compiles. On x86-64 every build, the generic
// one included, has SSE2 (part of the architecture) and the SSSE3 build adds byte shuffles; the
// 32-bit builds run the portable loops.
#pragma once
#include "primitives/build.h"

#if defined(__x86_64__)
#define KVZ_GEOMETRY_SSE2 1
#include <emmintrin.h>
#if KVZ_BUILD_ISA >= KVZ_ISA_SSSE3
#define KVZ_GEOMETRY_SSSE3 1
#include <tmmintrin.h>
#endif
#endif
