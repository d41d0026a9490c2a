// Memory descriptor lists over flat memory: the system address of a buffer is the buffer.
#include "ke/irql_check.h"
#include "wdm.h"

namespace {
constexpr ULONG kMdlTag = ' ldM';
}

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN,
                                    PIRP Irp) {
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
  if (!mdl) return nullptr;
  RtlZeroMemory(mdl, sizeof(MDL));
  const auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  mdl->Size = static_cast<CSHORT>(sizeof(MDL));
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
  mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  if (Irp) {
    if (!SecondaryBuffer || !Irp->MdlAddress) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (Mdl) ExFreePoolWithTag(Mdl, kMdlTag);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl) {
  Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

extern "C" VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE, LOCK_OPERATION) {
  kvz::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
  Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL Mdl) {
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
    kvz::kernel::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "MmUnlockPages on an MDL whose pages are not locked");
  Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

extern "C" PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
  if (!(Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))) {
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  }
  return Mdl->MappedSystemVa;
}
