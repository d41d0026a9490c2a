#include "primitives/cpu_type.h"

namespace kvz::prim {
namespace {

int32_t ClassifyByFeatures(const CpuFeatureRecord& f) {
  if (f.ssse3) return kCpuSsse3;
  if (f.sse3) return kCpuOtherSse3;
  if (f.sse2) return kCpuOtherSse2;
  if (f.sse) return kCpuOtherSse;
  return kCpuNone;
}

int32_t ClassifyKvzcam64(const CpuIdentity& cpu) {
  const CpuFeatureRecord& f = cpu.features;
  if (f.longMode) {
    if (f.ssse3) return kCpuSsse3;
    return cpu.genuineIntel ? kCpuIntel64Sse3 : kCpuOther64;
  }
  return ClassifyByFeatures(f);
}

int32_t ClassifyKvzcam(const CpuIdentity& cpu) {
  const CpuFeatureRecord& f = cpu.features;
  if (cpu.genuineIntel) {
    switch (f.family) {
      case 5:
        return f.mmx ? kCpuP5Mmx : kCpuP5;
      case 6:
        if (f.sse2) return f.ssse3 ? kCpuSsse3 : f.sse3 ? kCpuP6Sse3 : kCpuP6Sse2;
        if (f.sse) return kCpuP6Sse;
        return f.mmx ? kCpuP6Mmx : kCpuP6;
      case 7:
        return kCpuFamily7;
      case 15:
        if (!f.sse2) return kCpuP4NoSse2;
        if (f.sse3) {
          if (f.longMode) return f.ssse3 ? kCpuSsse3 : kCpuIntel64Sse3;
          return kCpuP4Sse3;
        }
        return f.multipleLogicalCpus ? kCpuP4Sse2Ht : kCpuP4Sse2;
      default:
        break;
    }
  }
  return ClassifyByFeatures(f);
}

}  // namespace

CpuIdentity ReadCpuIdentity() {
  CpuIdentity cpu = {};
  cpu.hasCpuid = HasCpuid() != 0;
  if (!cpu.hasCpuid) return cpu;
  QueryCpuFeatures(&cpu.features);
  cpu.genuineIntel = IsGenuineIntel() != 0;
  return cpu;
}

int32_t ClassifyCpu(Deliverable deliverable, const CpuIdentity& cpu) {
  if (!cpu.hasCpuid) return kCpuNone;
  return deliverable == Deliverable::kKvzcam64 ? ClassifyKvzcam64(cpu) : ClassifyKvzcam(cpu);
}

int32_t GetCpuType() { return ClassifyCpu(kThisDeliverable, ReadCpuIdentity()); }

}  // namespace kvz::prim
