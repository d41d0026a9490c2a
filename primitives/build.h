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

// Instruction-set levels; inside a perbuild source KVZ_BUILD_ISA is the level of the build
// being compiled, so `#if KVZ_BUILD_ISA >= KVZ_ISA_SSE2` guards SSE2 code. (__SSE2__ cannot
// tell: the x86-64 generic build has it.)
#define KVZ_ISA_GENERIC 0
#define KVZ_ISA_SSE 1
#define KVZ_ISA_SSE2 2
#define KVZ_ISA_SSE3 3
#define KVZ_ISA_SSSE3 4

// Inside a perbuild source: true in builds that may use the instruction set.
#if defined(KVZ_BUILD_NS)
#define KVZ_BUILD_IS_GENERIC (__builtin_strcmp(KVZ_BUILD_NAME, "generic") == 0)
#endif
