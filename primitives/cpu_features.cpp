#include "primitives/cpu_features.h"

#include <kvz_cpuid.h>

namespace kvz::prim {
namespace {

struct Regs {
  uint32_t eax, ebx, ecx, edx;
};

Regs Cpuid(uint32_t leaf, uint32_t subleaf = 0) {
  int info[4];
  KvzCpuidEx(info, static_cast<int>(leaf), static_cast<int>(subleaf));
  return {static_cast<uint32_t>(info[0]), static_cast<uint32_t>(info[1]),
          static_cast<uint32_t>(info[2]), static_cast<uint32_t>(info[3])};
}

int32_t Bit(uint32_t value, int bit) { return static_cast<int32_t>((value >> bit) & 1u); }

int32_t LongModeFromCpuid() {
  if (Cpuid(0x80000000u).eax < 0x80000001u) return 0;
  return Bit(Cpuid(0x80000001u).edx, 29);
}

int32_t MultipleLogicalFrom(const Regs& leaf1) {
  return (Bit(leaf1.edx, 28) && ((leaf1.ebx >> 16) & 0xFFu) > 1) ? 1 : 0;
}

int32_t CoresPerPackageFromCpuid() {
  if (Cpuid(0).eax < 4) return 1;
  return static_cast<int32_t>(Cpuid(4, 0).eax >> 26) + 1;
}

}  // namespace

int32_t HasCpuid() { return KvzCpuidSupported() ? 1 : 0; }

void QueryCpuFeatures(CpuFeatureRecord* record) {
  const Regs leaf1 = Cpuid(1);
  const Regs leaf2 = Cpuid(2);
  record->family = static_cast<int32_t>((leaf1.eax >> 8) & 0xF);
  record->stepping = static_cast<int32_t>(leaf1.eax & 0xF);
  record->model = static_cast<int32_t>((leaf1.eax >> 4) & 0xF);
  record->featureBits = static_cast<int32_t>(leaf1.edx);
  record->cacheDescriptorsEax = static_cast<int32_t>(leaf2.eax);
  record->cacheDescriptorsEdx = static_cast<int32_t>(leaf2.edx);
  record->mmx = Bit(leaf1.edx, 23);
  record->sse = Bit(leaf1.edx, 25);
  record->sse2 = Bit(leaf1.edx, 26);
  record->multipleLogicalCpus = MultipleLogicalFrom(leaf1);
  record->sse3 = Bit(leaf1.ecx, 0);
  record->longMode = LongModeFromCpuid();
  record->ssse3 = Bit(leaf1.ecx, 9);
  record->coresPerPackage = CoresPerPackageFromCpuid();
}

int32_t IsGenuineIntel() {
  const Regs leaf0 = Cpuid(0);
  // "Genu" "ineI" "ntel" as little-endian words in EBX, EDX, ECX.
  return (leaf0.ebx == 0x756E6547u && leaf0.edx == 0x49656E69u && leaf0.ecx == 0x6C65746Eu) ? 1 : 0;
}

int32_t GetMaxCpuidLeaf() { return static_cast<int32_t>(Cpuid(0).eax); }
int32_t HasTsc() { return Bit(Cpuid(1).edx, 4); }
int32_t HasMmx() { return Bit(Cpuid(1).edx, 23); }
int32_t HasSse() { return Bit(Cpuid(1).edx, 25); }
int32_t HasSse2() { return Bit(Cpuid(1).edx, 26); }
int32_t HasSse3() { return Bit(Cpuid(1).ecx, 0); }
int32_t HasSsse3() { return Bit(Cpuid(1).ecx, 9); }
int32_t HasMultipleLogicalCpus() { return MultipleLogicalFrom(Cpuid(1)); }
int32_t HasLongMode() { return LongModeFromCpuid(); }
int32_t GetCoresPerPackage() { return CoresPerPackageFromCpuid(); }

int32_t LookupCacheDescriptor(const CacheDescriptorEntry* table) {
  const Regs leaf2 = Cpuid(2);
  if ((leaf2.eax & 0xFF) != 1) return -1;
  uint8_t bytes[15];
  int n = 0;
  const uint32_t regs[4] = {leaf2.eax, leaf2.ebx, leaf2.ecx, leaf2.edx};
  for (int r = 0; r < 4; ++r) {
    if (regs[r] & 0x80000000u) continue;  // register holds no descriptors
    for (int b = r == 0 ? 1 : 0; b < 4; ++b) bytes[n++] = static_cast<uint8_t>(regs[r] >> (8 * b));
  }
  for (const CacheDescriptorEntry* e = table; e->descriptor != 0; ++e) {
    const uint8_t wanted = static_cast<uint8_t>(e->descriptor);
    for (int i = 0; i < n; ++i)
      if (bytes[i] == wanted) return e->value;
  }
  return -1;
}

}  // namespace kvz::prim
