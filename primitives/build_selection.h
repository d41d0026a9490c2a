// Which processor build every dispatch entry runs: the one global index, the driver's selection
// (SelectBuild), and the library's two entries that set it from a processor-type code or by
// classifying the running processor.
#pragma once
#include <stdint.h>

#include <atomic>

#include "primitives/cpu_type.h"
#include "primitives/primitive_types.h"

namespace kvz::prim {

// Slot of the build in force: 0 generic until a selection is made. Every selection on one
// machine writes the same value, so relaxed loads and stores are all the entries need.
extern std::atomic<int32_t> PrimitiveDispatchIndex;

// The slot a code selects on a deliverable, or -1 when the deliverable refuses the code.
int32_t SlotForCpuCode(Deliverable deliverable, int32_t code);
// The highest slot whose instruction set the processor offers.
int32_t HighestRunnableSlot(Deliverable deliverable, const CpuIdentity& cpu);

struct BuildChoice {
  int32_t slot;
  PrimitiveStatus status;
};
// What SelectPrimitiveCpu and InitPrimitivesForCpu decide, without touching the index.
BuildChoice ChooseBuildForCode(Deliverable deliverable, int32_t code, int32_t currentSlot,
                               const CpuIdentity& cpu);
BuildChoice ChooseBuildForProcessor(Deliverable deliverable, const CpuIdentity& cpu);

// 0, or 21 when the code is refused (index unchanged) or its build cannot run here (index set
// to the highest build that can).
PrimitiveStatus SelectPrimitiveCpu(int32_t code);
// 0 for a GenuineIntel processor, 20 for any other or one without CPUID, 21 when the build its
// type selects cannot run here; the index is always written.
PrimitiveStatus InitPrimitivesForCpu();

// The driver's selection: the highest build whose instruction set the processor offers (CPUID
// feature bits through the kernel's identification seam), put in force for every dispatch group
// (primitives, JPEG, geometry); returns its slot. Made when a device is added and by every
// benchmark and test that measures or checks the selected build; a second call writes the same
// slot.
int32_t SelectBuild();
// SelectBuild unless one has been made since load: the JPEG codec's first call, for its users
// without a device (fuzzing, tools, tests). Racing first callers store the same slot.
void EnsureBuildSelected();

#if defined(KVZ_TEST_HOOKS)
// Only in the tests' copy of this library: every later selection puts this slot in force;
// -1 returns to the processor's build at the next selection (and lets EnsureBuildSelected
// select again).
void OverrideBuild(int32_t slot);
#endif

}  // namespace kvz::prim
