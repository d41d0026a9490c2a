#include "primitives/driver_memory.h"

namespace kvz {

POOL_TYPE DriverPoolType = NonPagedPool;

PVOID AllocateMemory(ULONG byteCount) {
  return ExAllocatePool(DriverPoolType, byteCount);
}

VOID FreeMemory(PVOID block) {
  ExFreePool(block);
}

}  // namespace kvz
