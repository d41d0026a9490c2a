// Memory manager: memory descriptor lists over buffers and the lookup of exported routines.
// The stand-in has one flat address space, so a buffer's system address is its own address.
#pragma once
#include "../ntdef.h"
#include "../ntstatus.h"

typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  struct _EPROCESS* Process;
  PVOID MappedSystemVa;
  PVOID StartVa;  // page-aligned start of the buffer
  ULONG ByteCount;
  ULONG ByteOffset;  // offset of the buffer in its first page
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010

#ifndef PAGE_SIZE
#define PAGE_SIZE 0x1000
#endif
#define PAGE_SHIFT 12

typedef enum _MM_PAGE_PRIORITY {
  LowPagePriority = 0,
  NormalPagePriority = 16,
  HighPagePriority = 32
} MM_PAGE_PRIORITY;

typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)

extern "C" {

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);

// The address of an exported kernel routine by name, or null when this system does not export
// it (tests can hide routines to play an older system; see kvz/system_testing.h).
PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

}  // extern "C"
