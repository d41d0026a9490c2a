// What the primitives learn about the processor from CPUID (always through the kernel's CPUID
// seam, so tests can present any processor).
#pragma once
#include <stdint.h>

namespace kvz::prim {

// Every field a 32-bit integer, in this order.
struct CpuFeatureRecord {
  int32_t family;    // leaf 1 EAX bits 8-11 (base family only)
  int32_t stepping;  // leaf 1 EAX bits 0-3
  int32_t model;     // leaf 1 EAX bits 4-7 (base model only)
  int32_t featureBits;  // leaf 1 EDX
  int32_t cacheDescriptorsEax;  // leaf 2 EAX
  int32_t cacheDescriptorsEdx;  // leaf 2 EDX
  int32_t mmx;
  int32_t sse;
  int32_t sse2;
  int32_t multipleLogicalCpus;
  int32_t sse3;
  int32_t longMode;
  int32_t ssse3;
  int32_t coresPerPackage;
};

// 1 when the processor has the CPUID instruction.
int32_t HasCpuid();
void QueryCpuFeatures(CpuFeatureRecord* record);
int32_t IsGenuineIntel();

// Single-purpose queries of the same library; nothing in the driver calls them.
int32_t GetMaxCpuidLeaf();
int32_t HasTsc();
int32_t HasMmx();
int32_t HasSse();
int32_t HasSse2();
int32_t HasSse3();
int32_t HasSsse3();
int32_t HasMultipleLogicalCpus();
int32_t HasLongMode();
int32_t GetCoresPerPackage();
uint64_t ReadTimeStampCounter();

// One {descriptor, value} pair of a leaf-2 lookup table; a descriptor word of 0 ends the table.
struct CacheDescriptorEntry {
  int32_t descriptor;  // only the low byte is compared
  int32_t value;
};
// The value of the first table entry whose descriptor byte CPUID leaf 2 reports, else -1.
int32_t LookupCacheDescriptor(const CacheDescriptorEntry* table);

}  // namespace kvz::prim
