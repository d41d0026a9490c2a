// The kernel interface the driver is written against: everything of the kernel, I/O manager,
// power manager, executive and run-time library that the driver calls. Our own declarations,
// written from the documented behaviour. Driver code includes this header only.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

// Kernel core: IRQL, spin locks, dispatcher objects, waits, time, timers, DPCs, threads,
// interlocked operations, pool, executive work items, object references, debug output.
#if __has_include("nt/ke.h")
#include "nt/ke.h"
#endif
#if __has_include("nt/ex.h")
#include "nt/ex.h"
#endif
#if __has_include("nt/ob.h")
#include "nt/ob.h"
#endif
#if __has_include("nt/dbg.h")
#include "nt/dbg.h"
#endif
// Run-time library, I/O manager, power manager, registry and files, callback objects.
#if __has_include("nt/rtl.h")
#include "nt/rtl.h"
#endif
#if __has_include("nt/io.h")
#include "nt/io.h"
#endif
#if __has_include("nt/po.h")
#include "nt/po.h"
#endif
#if __has_include("nt/zw.h")
#include "nt/zw.h"
#endif
#if __has_include("nt/excallback.h")
#include "nt/excallback.h"
#endif
#if __has_include("nt/mm.h")
#include "nt/mm.h"
#endif

#if !__has_include("nt/ex.h")
// Interim until the kernel core's headers land.
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolNx = 512,
} POOL_TYPE;
extern "C" {
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
}
#endif
