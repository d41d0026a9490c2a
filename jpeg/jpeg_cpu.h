// Which processor build of the primitives the codec runs, and the processor vendor as the
// registry names it.
#pragma once
#include <stdint.h>

namespace kvz::jpeg {

// 1 Intel; 2 or 3 AMD family 15 in 32- or 64-bit identification; 0 anything else or unreadable.
uint32_t DetectCpuVendor();

// Selects the highest build whose instruction set the processor offers (CPUID feature bits
// through the kernel's identification seam) and sets the driver-wide dispatch index. The mode
// (a vendor code, or 1 automatic) is accepted for the callers' sake: a vendor code never
// selects a build the processor cannot run. Always 0.
int32_t SelectJpegCpu(uint32_t mode);

// SelectJpegCpu once per driver load, whoever calls first (decoder or encoder). Racing first
// callers store the same index.
void EnsureJpegBuildSelected(uint32_t mode);

#if defined(KVZ_PATH_COUNTS)
// Only in the tests' copy of this library: run every later codec call on one build slot (the
// selection then stores this slot); -1 returns to selection by the processor at the next call.
void OverrideJpegBuild(int32_t slot);
#endif

}  // namespace kvz::jpeg
