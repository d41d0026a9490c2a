// The kernel interface the driver is written against: everything of the kernel, I/O manager,
// power manager, executive and run-time library that the driver calls. Our own declarations,
// written from the documented behaviour.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
} POOL_TYPE;

extern "C" {
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
}
