// Processor-type codes and the classification of a processor into one of them. The
// classification is a pure function of the identification data, for either deliverable, so
// both tables can be exercised from one binary; GetCpuType applies it to the running processor.
#pragma once
#include <stdint.h>

#include "primitives/cpu_features.h"

namespace kvz::prim {

enum class Deliverable { kKvzcam64, kKvzcam };

#if defined(__i386__)
inline constexpr Deliverable kThisDeliverable = Deliverable::kKvzcam;
#else
inline constexpr Deliverable kThisDeliverable = Deliverable::kKvzcam64;
#endif

enum CpuTypeCode : int32_t {
  kCpuAnyGeneric = -1,
  kCpuNone = 0,
  kCpuP5 = 1,
  kCpuP5Mmx = 2,
  kCpuP6 = 3,
  kCpuP6Mmx = 4,
  kCpuP6Sse = 5,
  kCpuP4Sse2 = 6,
  kCpuP4Sse2Ht = 7,
  kCpuP4Sse3 = 8,
  kCpuP6Sse2 = 9,
  kCpuP6Sse3 = 0x0A,
  kCpuFamily7 = 0x10,
  kCpuP4NoSse2 = 0x11,
  kCpuIntel64Sse3 = 0x20,
  kCpuSsse3 = 0x21,
  kCpuSsse3Alt = 0x22,
  kCpuOtherSse = 0x40,
  kCpuOtherSse2 = 0x41,
  kCpuOtherSse3 = 0x42,
  kCpuOther64 = 0x43,
};

// Everything the classification and the build checks look at.
struct CpuIdentity {
  bool hasCpuid;
  bool genuineIntel;
  CpuFeatureRecord features;  // all zero without CPUID
};

CpuIdentity ReadCpuIdentity();
int32_t ClassifyCpu(Deliverable deliverable, const CpuIdentity& cpu);

// The code of the running processor for this deliverable.
int32_t GetCpuType();

}  // namespace kvz::prim
