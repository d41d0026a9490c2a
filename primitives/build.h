// Processor builds. Sources in perbuild/ are compiled once per build with KVZ_BUILD_NS set to
// the build's name and put everything into namespace kvz::prim::KVZ_BUILD_NS, so a build calls
// its siblings unqualified and any code can name a specific build (kvz::prim::ssse3::X).
// Headers declare a family for every build with KVZ_FOR_EACH_BUILD(MACRO), MACRO(ns) expanding
// to the declarations inside namespace kvz::prim::ns.
#pragma once

// Slot order of the builds is the order of KVZ_FOR_EACH_BUILD.
#if defined(__i386__)
#define KVZ_BUILD_COUNT 5
#define KVZ_FOR_EACH_BUILD(M) M(generic) M(sse) M(sse2) M(sse3) M(ssse3)
#else
#define KVZ_BUILD_COUNT 3
#define KVZ_FOR_EACH_BUILD(M) M(generic) M(sse3) M(ssse3)
#endif

// The gates of the vector code (KVZ_BUILD_HAS, KVZ_BASELINE_HAS) and the builds' levels.
#include "primitives/build_gates.h"
