// The same workload with the C library, on the processor the tests run on, with the generic
// build selected by its code: the reference the program without a C library is compared with.
#include <stdio.h>

#include "primitives/build_selection.h"
#include "primitives/cpu_type.h"
#include "workload.h"

namespace {
void PrintChecksum(const char* name, uint32_t checksum) { printf("%s %08x\n", name, checksum); }
}  // namespace

int main() {
  const kvz::prim::PrimitiveStatus status = kvz::prim::SelectPrimitiveCpu(kvz::prim::kCpuAnyGeneric);
  printf("selected slot %d status %d\n", kvz::prim::PrimitiveDispatchIndex.load(), status);
  kvz::test::RunPrimitiveWorkload(PrintChecksum);
  return 0;
}
