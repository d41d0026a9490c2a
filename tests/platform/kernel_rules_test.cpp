// One death case per kernel rule: spin locks, lists, pool, floating-point state, and what a
// DPC, work item or thread may not leave behind when it ends.
#include <atomic>
#include <thread>

#include "death_cases.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/system_testing.h"
#include "ntstrsafe.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;
using kvz::testing::DeathCase;

KSPIN_LOCK g_lock;
KSPIN_LOCK g_other;
std::atomic<bool> g_taken{false};

void SpinForever() {
  for (;;) std::this_thread::yield();
}

void WaitUntilTaken() {
  while (!g_taken) std::this_thread::yield();
}

// A DPC or work item that runs `body` and is waited for.
VOID NTAPI RunDpcBody(PKDPC, PVOID body, PVOID, PVOID) { reinterpret_cast<void (*)()>(body)(); }
VOID NTAPI RunWorkBody(PVOID body) { reinterpret_cast<void (*)()>(body)(); }

void InDpc(void (*body)()) {
  static KDPC dpc;
  KeInitializeDpc(&dpc, RunDpcBody, reinterpret_cast<PVOID>(body));
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
}

void InWorkItem(void (*body)()) {
  static WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, RunWorkBody, reinterpret_cast<PVOID>(body));
  ExQueueWorkItem(&item, DelayedWorkQueue);
  RunUntilIdle();
}

void AcquireAtDpc() { KeAcquireSpinLockAtDpcLevel(&g_lock); }
void AcquireRaising() {
  KIRQL old;
  KeAcquireSpinLock(&g_lock, &old);
}

// ---- Spin locks ----

void LowerWhileHeld() {
  AcquireRaising();
  KeLowerIrql(PASSIVE_LEVEL);
}

void ReleaseOutOfOrder() {
  KIRQL outer, inner;
  KeAcquireSpinLock(&g_lock, &outer);
  KeAcquireSpinLock(&g_other, &inner);
  KeReleaseSpinLock(&g_lock, outer);
}

void ThreadEndsHolding() { KernelThread("holder", AcquireRaising).Join(); }
void DpcReturnsHolding() { InDpc(AcquireAtDpc); }
void WorkItemReturnsHolding() { InWorkItem(AcquireRaising); }

void SpinOnALockNobodyReleases() {
  KernelThread holder("holder", [] {
    AcquireRaising();
    g_taken = true;
    SpinForever();
  });
  WaitUntilTaken();
  AcquireRaising();
}

// ---- Lists ----

void RemoveTwice() {
  LIST_ENTRY head, entry;
  InitializeListHead(&head);
  InsertTailList(&head, &entry);
  RemoveEntryList(&entry);
  RemoveEntryList(&entry);
}

void InsertIntoOverwrittenList() {
  LIST_ENTRY head, entry, stray, more;
  InitializeListHead(&head);
  InsertTailList(&head, &entry);
  entry.Flink = &stray;  // a write through a stale pointer
  InsertTailList(&head, &more);
}

void RemoveHeadOfOverwrittenList() {
  LIST_ENTRY head, first, second, stray;
  InitializeListHead(&head);
  InsertTailList(&head, &first);
  InsertTailList(&head, &second);
  second.Blink = &stray;
  RemoveHeadList(&head);
}

void RemoveTailOfOverwrittenList() {
  LIST_ENTRY head, first, second, stray;
  InitializeListHead(&head);
  InsertTailList(&head, &first);
  InsertTailList(&head, &second);
  first.Flink = &stray;
  RemoveTailList(&head);
}

// ---- Pool ----

void NxPoolBeforeWindows8() {
  SetSystemVersion(SystemVersion::Windows7());
  ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
}

void ZeroBytes() { ExAllocatePoolWithTag(NonPagedPool, 0, 'tseT'); }
void TagZero() { ExAllocatePoolWithTag(NonPagedPool, 16, 0); }

struct DpcBlock {
  KDPC dpc;
};

VOID NTAPI SpinningDpc(PKDPC, PVOID, PVOID, PVOID) {
  g_taken = true;
  SpinForever();
}

void FreeTheRunningDpc() {
  auto* block = static_cast<DpcBlock*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DpcBlock), 'tseT'));
  KeInitializeDpc(&block->dpc, SpinningDpc, nullptr);
  KeInsertQueueDpc(&block->dpc, nullptr, nullptr);
  WaitUntilTaken();
  ExFreePoolWithTag(block, 'tseT');
}

void FreeAWaitedOnEvent() {
  auto* event = static_cast<KEVENT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), 'tseT'));
  KeInitializeEvent(event, NotificationEvent, FALSE);
  KernelThread waiter("waiter", [event] { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); });
  RunUntilIdle();
  ExFreePoolWithTag(event, 'tseT');
}

VOID NTAPI WaitForever(PVOID event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }
VOID NTAPI Nothing(PVOID) {}

void FreeAQueuedWorkItem() {
  // The one hypercritical worker is kept busy, so the second item stays queued.
  static KEVENT never;
  static WORK_QUEUE_ITEM blocker;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  ExInitializeWorkItem(&blocker, WaitForever, &never);
  ExQueueWorkItem(&blocker, HyperCriticalWorkQueue);
  RunUntilIdle();
  auto* item = static_cast<WORK_QUEUE_ITEM*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), 'tseT'));
  ExInitializeWorkItem(item, Nothing, nullptr);
  ExQueueWorkItem(item, HyperCriticalWorkQueue);
  ExFreePoolWithTag(item, 'tseT');
}

// ---- Floating-point state ----

void RestoreUnsaved() {
  KFLOATING_SAVE save;
  KeRestoreFloatingPointState(&save);
}

void RestoreOutOfOrder() {
  KFLOATING_SAVE outer, inner;
  KeSaveFloatingPointState(&outer);
  KeSaveFloatingPointState(&inner);
  KeRestoreFloatingPointState(&outer);
}

void RestoreAtAnotherIrql() {
  KFLOATING_SAVE save;
  KeSaveFloatingPointState(&save);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeRestoreFloatingPointState(&save);
}

// ---- What DPCs, work items and threads leave behind ----

void LowerToPassive() { KeLowerIrql(PASSIVE_LEVEL); }
void RaiseToApc() {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
}
void TakeAMutex() {
  static KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
}

void DpcReturnsAtPassive() { InDpc(LowerToPassive); }
void ThreadEndsAtApcLevel() { KernelThread("raiser", RaiseToApc).Join(); }
void WorkItemReturnsHoldingAMutex() { InWorkItem(TakeAMutex); }

// ---- The virtual clock and the unload check's bookkeeping ----

void WaitOutsideTheKernel() {
  std::thread([] {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -kSecond;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
  }).join();
}

void ReleaseAnInterfaceTwice() {
  int clock = 0;
  InterfaceReferenced(&clock, "reference clock");
  InterfaceReleased(&clock);
  InterfaceReleased(&clock);
}

// ---- Pageable routines above PASSIVE_LEVEL ----

void AtDispatchLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void CompareStringsAtDispatch() {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, u"a");
  RtlInitUnicodeString(&b, u"b");
  AtDispatchLevel();
  RtlCompareUnicodeString(&a, &b, TRUE);
}

void ConvertAStringAtDispatch() {
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "text");
  UNICODE_STRING wide;
  AtDispatchLevel();
  RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE);
}

void FormatWideAtDispatch() {
  WCHAR text[16];
  AtDispatchLevel();
  RtlStringCbPrintfW(text, sizeof text, u"%d", 1);
}

void PrintWideAtDispatch() {
  AtDispatchLevel();
  DbgPrint("%ws", u"wide");
}

void LookUpARoutineAtDispatch() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"RtlQueryRegistryValuesEx");
  AtDispatchLevel();
  MmGetSystemRoutineAddress(&name);
}

KVZ_DEATH_CASES(
    PageableRoutineDeathTest,
    DeathCase{"RtlCompareUnicodeString", CompareStringsAtDispatch,
              "bugcheck: RtlCompareUnicodeString called at IRQL 2"},
    DeathCase{"RtlAnsiStringToUnicodeString", ConvertAStringAtDispatch,
              "bugcheck: RtlAnsiStringToUnicodeString called at IRQL 2"},
    DeathCase{"RtlStringCbPrintfW", FormatWideAtDispatch, "bugcheck: RtlStringCbPrintfW called at IRQL 2"},
    DeathCase{"DbgPrintWithAWideConversion", PrintWideAtDispatch,
              "bugcheck: DbgPrint with a wide-string conversion in \"%ws\" at IRQL 2"},
    DeathCase{"MmGetSystemRoutineAddress", LookUpARoutineAtDispatch,
              "bugcheck: MmGetSystemRoutineAddress called at IRQL 2"});

KVZ_DEATH_CASES(
    KernelRuleDeathTest,
    DeathCase{"NonKernelThreadWaitsOnTheVirtualClock", WaitOutsideTheKernel,
              "bugcheck: thread 'thread [0-9]+' is not a kernel thread and blocks in a kernel wait while the clock "
              "is virtual"},
    DeathCase{"InterfaceReleasedMoreOftenThanReferenced", ReleaseAnInterfaceTwice,
              "bugcheck: interface 0x[0-9a-f]+ released more often than it was referenced"},
    DeathCase{"SpinLockHeldWhileIrqlDrops", LowerWhileHeld,
              "bugcheck: KeLowerIrql to PASSIVE_LEVEL while spin lock 0x[0-9a-f]+ is held"},
    DeathCase{"SpinLocksReleasedOutOfOrder", ReleaseOutOfOrder,
              "bugcheck: KeReleaseSpinLock of 0x[0-9a-f]+ lowers to PASSIVE_LEVEL while spin lock 0x[0-9a-f]+ is "
              "still held \\(released out of order\\)"},
    DeathCase{"ThreadEndsHoldingASpinLock", ThreadEndsHolding,
              "bugcheck: kernel thread 'holder' ended holding spin lock"},
    DeathCase{"DpcReturnsHoldingASpinLock", DpcReturnsHolding,
              "bugcheck: DPC routine 0x[0-9a-f]+ returned holding spin lock"},
    DeathCase{"WorkItemReturnsHoldingASpinLock", WorkItemReturnsHolding,
              "bugcheck: work item 'WORK_QUEUE_ITEM .*' returned holding spin lock"},
    DeathCase{"SpinningOnALockNobodyReleasesIsADeadlock", SpinOnALockNobodyReleases,
              "bugcheck: deadlock: 'test' spins in KeAcquireSpinLock on spin lock 0x[0-9a-f]+ for more than 5 s; "
              "'holder' holds it"},
    DeathCase{"ListEntryRemovedTwice", RemoveTwice, "bugcheck: RemoveEntryList: corrupt list entry"},
    DeathCase{"InsertTailIntoACorruptList", InsertIntoOverwrittenList, "bugcheck: InsertTailList: corrupt list entry"},
    DeathCase{"RemoveHeadOfACorruptList", RemoveHeadOfOverwrittenList, "bugcheck: RemoveHeadList: corrupt list entry"},
    DeathCase{"RemoveTailOfACorruptList", RemoveTailOfOverwrittenList, "bugcheck: RemoveTailList: corrupt list entry"},
    DeathCase{"NxPoolBeforeWindows8", NxPoolBeforeWindows8,
              "bugcheck: NonPagedPoolNx allocated on a system before Windows 8 \\(tag 'Test'\\)"},
    DeathCase{"ZeroByteAllocation", ZeroBytes, "bugcheck: pool allocated with 0 bytes \\(tag 'Test'\\)"},
    DeathCase{"AllocationWithTagZero", TagZero, "bugcheck: pool allocated with tag 0"},
    DeathCase{"FreeingTheRunningDpc", FreeTheRunningDpc,
              "bugcheck: pool freed that holds DPC 0x[0-9a-f]+, whose routine is running now"},
    DeathCase{"FreeingAWaitedOnEvent", FreeAWaitedOnEvent,
              "bugcheck: pool freed that holds KEVENT 0x[0-9a-f]+ .*, which thread 'waiter' waits on"},
    DeathCase{"FreeingAQueuedWorkItem", FreeAQueuedWorkItem,
              "bugcheck: pool freed that holds work item 0x[0-9a-f]+, which is still queued"},
    DeathCase{"FloatingPointRestoredUnsaved", RestoreUnsaved,
              "bugcheck: KeRestoreFloatingPointState of 0x[0-9a-f]+, which this thread has not saved"},
    DeathCase{"FloatingPointRestoredOutOfOrder", RestoreOutOfOrder,
              "bugcheck: KeRestoreFloatingPointState of 0x[0-9a-f]+ out of order"},
    DeathCase{"FloatingPointRestoredAtAnotherIrql", RestoreAtAnotherIrql,
              "bugcheck: KeRestoreFloatingPointState at DISPATCH_LEVEL of a state saved at PASSIVE_LEVEL"},
    DeathCase{"DpcReturnsAtAnotherIrql", DpcReturnsAtPassive,
              "bugcheck: DPC routine 0x[0-9a-f]+ returned at PASSIVE_LEVEL"},
    DeathCase{"ThreadEndsAtRaisedIrql", ThreadEndsAtApcLevel, "bugcheck: kernel thread 'raiser' ended at APC_LEVEL"},
    DeathCase{"WorkItemReturnsHoldingAMutex", WorkItemReturnsHoldingAMutex,
              "bugcheck: work item 'WORK_QUEUE_ITEM .*' returned holding a mutex"});

}  // namespace
