// Test-side controls of the kernel stand-in. Never included by driver code.
#pragma once
#include <cstdint>
#include <array>
#include <map>
#include <utility>

namespace kvz::kernel {

// An injected processor: leaves keyed by (leaf, subleaf); a leaf that is not listed answers
// zeros, as a processor does above its highest leaf.
struct CpuidTable {
  bool supported = true;  // false: the processor has no CPUID instruction
  std::map<std::pair<uint32_t, uint32_t>, std::array<uint32_t, 4>> leaves;
};

// Install a table (nullptr: back to the hardware instruction). The table is copied.
void InjectCpuid(const CpuidTable* table);
// How many times leaf was queried since the last InjectCpuid or ResetCpuidCounters.
uint32_t CpuidCallCount(uint32_t leaf);
void ResetCpuidCounters();

}  // namespace kvz::kernel
