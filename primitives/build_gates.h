// Which vector instructions code may use: the one vocabulary of the compile-time gates, derived
// from the processor level of the build being compiled. Every perbuild source is compiled with
// KVZ_BUILD_ISA set to its build's level (cmake/KvzPrimitiveBuilds.cmake).
//
//   #if KVZ_BUILD_HAS(SSE2)      code this build may run because its processors all have SSE2
//   #if KVZ_BASELINE_HAS(SSE2)   code every build and the shared code may run: the deliverable's
//                                architecture guarantees it (x86-64), so not a build's choice
//
// Both are function-like, so a source that uses one without this header does not compile
// instead of silently taking the scalar path; KVZ_BUILD_HAS exists only in perbuild sources.
// (__SSE2__ cannot tell a build's level: the x86-64 generic build has it.)
#pragma once

#define KVZ_ISA_GENERIC 0
#define KVZ_ISA_SSE 1
#define KVZ_ISA_SSE2 2
#define KVZ_ISA_SSE3 3
#define KVZ_ISA_SSSE3 4

#if defined(KVZ_BUILD_ISA)
#define KVZ_BUILD_HAS(isa) (KVZ_BUILD_ISA >= KVZ_ISA_##isa)
#endif

#if defined(__x86_64__)
#define KVZ_BASELINE_ISA KVZ_ISA_SSE2
#else
#define KVZ_BASELINE_ISA KVZ_ISA_GENERIC
#endif
#define KVZ_BASELINE_HAS(isa) (KVZ_BASELINE_ISA >= KVZ_ISA_##isa)
