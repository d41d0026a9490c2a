// List operations guarded by a spin lock, callable up to DISPATCH_LEVEL.
#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

#undef KeReleaseSpinLock

using namespace kvz::kernel;

namespace {

KIRQL Lock(PKSPIN_LOCK lock, const char* api) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "%s at %s", api, detail::IrqlName(irql));
  return KeAcquireSpinLockRaiseToDpc(lock);
}

}  // namespace

extern "C" PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                         PKSPIN_LOCK Lock_) {
  KIRQL old = Lock(Lock_, "ExInterlockedInsertHeadList");
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock_, old);
  return first;
}

extern "C" PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                         PKSPIN_LOCK Lock_) {
  KIRQL old = Lock(Lock_, "ExInterlockedInsertTailList");
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertTailList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock_, old);
  return first;
}

extern "C" PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock_) {
  KIRQL old = Lock(Lock_, "ExInterlockedRemoveHeadList");
  PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
  KeReleaseSpinLock(Lock_, old);
  return entry;
}

extern "C" PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                               PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock_) {
  KIRQL old = Lock(Lock_, "ExInterlockedPushEntryList");
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  PushEntryList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock_, old);
  return first;
}

extern "C" PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock_) {
  KIRQL old = Lock(Lock_, "ExInterlockedPopEntryList");
  PSINGLE_LIST_ENTRY entry = PopEntryList(ListHead);
  KeReleaseSpinLock(Lock_, old);
  return entry;
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock_) {
  return ExInterlockedInsertHeadList(ListHead, ListEntry, Lock_);
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock_) {
  return ExInterlockedInsertTailList(ListHead, ListEntry, Lock_);
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock_) {
  return ExInterlockedRemoveHeadList(ListHead, Lock_);
}
