// Processor builds. Sources in perbuild/ are compiled once per build with KVZ_BUILD_NS set to
// the build's name and put everything into namespace kvz::prim::KVZ_BUILD_NS, so a build calls
// its siblings unqualified and any code can name a specific build (kvz::prim::ssse3::X).
// Headers declare a family for every build with KVZ_FOR_EACH_BUILD(MACRO), MACRO(ns) expanding
// to the declarations inside namespace kvz::prim::ns.
#pragma once

#if defined(__i386__)
#define KVZ_BUILD_COUNT 5
#define KVZ_FOR_EACH_BUILD(M) M(generic) M(sse) M(sse2) M(sse3) M(ssse3)
#else
#define KVZ_BUILD_COUNT 3
#define KVZ_FOR_EACH_BUILD(M) M(generic) M(sse3) M(ssse3)
#endif

// Inside a perbuild source: true in builds that may use the instruction set.
#if defined(KVZ_BUILD_NS)
#define KVZ_BUILD_IS_GENERIC (__builtin_strcmp(KVZ_BUILD_NAME, "generic") == 0)
#endif
