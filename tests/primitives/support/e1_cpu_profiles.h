// Identification data of well-known processors, as CPUID tables to inject into the kernel
// stand-in, so detection and build selection can be tested on any of them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "kvz/kernel_testing.h"

namespace kvz::test {

struct CpuProfile {
  std::string name;
  bool hasCpuid = true;
  std::string vendor;  // 12 characters
  uint32_t maxLeaf = 1;
  uint32_t leaf1Eax = 0;  // signature: stepping, model, family
  uint32_t logicalCount = 1;  // leaf 1 EBX bits 16-23
  uint32_t leaf1Ecx = 0;
  uint32_t leaf1Edx = 0;
  uint32_t leaf2Eax = 0;
  uint32_t leaf2Edx = 0;
  uint32_t maxExtendedLeaf = 0;
  uint32_t extendedEdx = 0;  // leaf 0x80000001 EDX
  uint32_t leaf4Eax = 0;
};

namespace cpubits {
constexpr uint32_t kTsc = 1u << 4, kMmx = 1u << 23, kFxsr = 1u << 24, kSse = 1u << 25,
                   kSse2 = 1u << 26, kHtt = 1u << 28;
constexpr uint32_t kSse3 = 1u << 0, kSsse3 = 1u << 9;
constexpr uint32_t kLongMode = 1u << 29;
}  // namespace cpubits

kernel::CpuidTable MakeCpuidTable(const CpuProfile& profile);

// The named profiles: "none", "core2", "yonah", "prescott64", "prescott", "northwood-ht",
// "northwood", "pentium3", "pentium2", "p5-mmx", "p5", "athlon64", "zen2", "family7",
// "family15-nosse2", "family15-nosse".
const CpuProfile& Profile(const std::string& name);

// Injects a profile for the life of the object.
class ScopedCpu {
 public:
  explicit ScopedCpu(const CpuProfile& profile);
  explicit ScopedCpu(const std::string& name) : ScopedCpu(Profile(name)) {}
  ~ScopedCpu();
  ScopedCpu(const ScopedCpu&) = delete;
  ScopedCpu& operator=(const ScopedCpu&) = delete;
};

}  // namespace kvz::test
