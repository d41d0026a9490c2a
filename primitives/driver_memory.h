// The driver-wide pool type and the untagged allocation pair that the primitives, the JPEG
// codec and the face detector take their memory from.
#pragma once
#include <wdm.h>

namespace kvz {

// Chosen once at driver entry (no-execute non-paged pool on systems that have it); until then
// plain non-paged pool.
extern POOL_TYPE DriverPoolType;

// A block of byteCount bytes from DriverPoolType without a tag, or null. Callable at any IRQL
// the pool type allows.
PVOID AllocateMemory(ULONG byteCount);
VOID FreeMemory(PVOID block);

}  // namespace kvz
