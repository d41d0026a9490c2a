#include "primitives/build_selection.h"

namespace kvz::prim {

std::atomic<int32_t> PrimitiveDispatchIndex{0};

namespace {

std::atomic<bool> g_buildSelected{false};
#if defined(KVZ_TEST_HOOKS)
std::atomic<int32_t> g_overrideSlot{-1};
#endif

}  // namespace

int32_t SlotForCpuCode(Deliverable deliverable, int32_t code) {
  if (deliverable == Deliverable::kKvzcam64) {
    switch (code) {
      case kCpuAnyGeneric:
      case kCpuNone:
      case kCpuOther64:
        return 0;
      case kCpuIntel64Sse3:
        return 1;
      case kCpuSsse3:
      case kCpuSsse3Alt:
        return 2;
      default:
        return -1;
    }
  }
  switch (code) {
    case kCpuAnyGeneric:
    case kCpuNone:
    case kCpuP5:
    case kCpuP5Mmx:
    case kCpuP6:
    case kCpuP6Mmx:
      return 0;
    case kCpuP6Sse:
    case kCpuFamily7:
    case kCpuP4NoSse2:
    case kCpuOtherSse:
      return 1;
    case kCpuP4Sse2:
    case kCpuP4Sse2Ht:
    case kCpuP6Sse2:
    case kCpuOtherSse2:
      return 2;
    case kCpuP4Sse3:
    case kCpuP6Sse3:
    case kCpuOtherSse3:
    case kCpuIntel64Sse3:
      return 3;
    case kCpuSsse3:
    case kCpuSsse3Alt:
      return 4;
    default:
      return -1;
  }
}

int32_t HighestRunnableSlot(Deliverable deliverable, const CpuIdentity& cpu) {
  if (!cpu.hasCpuid) return 0;
  const CpuFeatureRecord& f = cpu.features;
  if (deliverable == Deliverable::kKvzcam64) return f.ssse3 ? 2 : f.sse3 ? 1 : 0;
  return f.ssse3 ? 4 : f.sse3 ? 3 : f.sse2 ? 2 : f.sse ? 1 : 0;
}

namespace {

// Some codes name a build without regard to the features that build needs (a vendor mode
// that assumes SSE3 on every 64-bit processor, the family-7 and family-15-without-SSE2 codes):
// never run a build the processor cannot execute.
BuildChoice ClampToProcessor(Deliverable deliverable, BuildChoice choice, const CpuIdentity& cpu) {
  const int32_t highest = HighestRunnableSlot(deliverable, cpu);
  if (choice.slot > highest) return {highest, kStsCpuBuildNotSupported};
  return choice;
}

}  // namespace

BuildChoice ChooseBuildForCode(Deliverable deliverable, int32_t code, int32_t currentSlot,
                               const CpuIdentity& cpu) {
  const int32_t slot = SlotForCpuCode(deliverable, code);
  if (slot < 0) return {currentSlot, kStsCpuBuildNotSupported};
  return ClampToProcessor(deliverable, {slot, kStsOk}, cpu);
}

BuildChoice ChooseBuildForProcessor(Deliverable deliverable, const CpuIdentity& cpu) {
  const int32_t slot = SlotForCpuCode(deliverable, ClassifyCpu(deliverable, cpu));
  const PrimitiveStatus status =
      cpu.hasCpuid && cpu.genuineIntel ? kStsOk : kStsCpuNotRecognised;
  return ClampToProcessor(deliverable, {slot < 0 ? 0 : slot, status}, cpu);
}

PrimitiveStatus SelectPrimitiveCpu(int32_t code) {
  const int32_t current = PrimitiveDispatchIndex.load(std::memory_order_relaxed);
  if (SlotForCpuCode(kThisDeliverable, code) < 0) return kStsCpuBuildNotSupported;
  const BuildChoice choice = ChooseBuildForCode(kThisDeliverable, code, current, ReadCpuIdentity());
  PrimitiveDispatchIndex.store(choice.slot, std::memory_order_relaxed);
  return choice.status;
}

PrimitiveStatus InitPrimitivesForCpu() {
  const BuildChoice choice = ChooseBuildForProcessor(kThisDeliverable, ReadCpuIdentity());
  PrimitiveDispatchIndex.store(choice.slot, std::memory_order_relaxed);
  return choice.status;
}

int32_t SelectBuild() {
  int32_t slot = HighestRunnableSlot(kThisDeliverable, ReadCpuIdentity());
#if defined(KVZ_TEST_HOOKS)
  const int32_t forced = g_overrideSlot.load(std::memory_order_relaxed);
  if (forced >= 0) slot = forced;
#endif
  PrimitiveDispatchIndex.store(slot, std::memory_order_relaxed);
  g_buildSelected.store(true, std::memory_order_release);
  return slot;
}

void EnsureBuildSelected() {
  if (!g_buildSelected.load(std::memory_order_acquire)) SelectBuild();
}

#if defined(KVZ_TEST_HOOKS)
void OverrideBuild(int32_t slot) {
  g_overrideSlot.store(slot, std::memory_order_relaxed);
  g_buildSelected.store(false, std::memory_order_release);
}
#endif

}  // namespace kvz::prim
