#include "primitives/kernel_use.h"

namespace kvz::prim::KVZ_BUILD_NS {
uint32_t KernelUseCounts[kKernelUseCount];
}  // namespace kvz::prim::KVZ_BUILD_NS
