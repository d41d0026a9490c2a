// Deferred procedure calls: one queue, run in order at DISPATCH_LEVEL by the DPC kernel thread.
#include <thread>

#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

namespace kvz::kernel::detail {
namespace {

// Marks a queued DPC the way the kernel does (DpcData non-null).
int g_queuedMarker;

void DpcThreadMain(ThreadRecord* self) {
  SetCurrentRecord(self);
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  PVOID work[1] = {&s.dpcWork};
  for (;;) {
    NTSTATUS status;
    if (!TrySatisfy(work, 1, WaitAny, self, &status)) {
      self->objects = work;
      self->count = 1;
      self->waitType = WaitAny;
      self->idle = true;
      self->what = "no DPC queued";
      s.Block(held, self);
    }
    if (s.dpcQueue.empty()) continue;
    PKDPC dpc = s.dpcQueue.front();
    s.dpcQueue.pop_front();
    s.queuedDpcs.erase(dpc);
    dpc->DpcData = nullptr;
    s.runningDpc = dpc;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    held.unlock();
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    routine(dpc, context, arg1, arg2);
    KIRQL after = KeGetCurrentIrql();
    if (after != DISPATCH_LEVEL)
      BugCheck(IRQL_NOT_LESS_OR_EQUAL, "DPC routine %p returned at %s", reinterpret_cast<void*>(routine),
               IrqlName(after));
    if (self->ownedMutexes)
      BugCheck(THREAD_TERMINATE_HELD_MUTEX, "DPC routine %p returned holding a mutex", reinterpret_cast<void*>(routine));
    if (PKSPIN_LOCK lock = HeldSpinLock())
      BugCheck(SPIN_LOCK_ALREADY_OWNED, "DPC routine %p returned holding spin lock %p",
               reinterpret_cast<void*>(routine), static_cast<void*>(lock));
    KeLowerIrql(old);
    held.lock();
    s.runningDpc = nullptr;
    FinishOneLocked(&s.dpcFinished, &s.dpcFlushers);
  }
}

}  // namespace

void Scheduler::EnsureDpcThread() {
  if (dpcThreadStarted) return;
  dpcThreadStarted = true;
  auto* record = new ThreadRecord;
  record->name = "dpc";
  record->object = NewThreadObject(record->name, false, record);
  AddKernelThread(record);
  dpcThread = record;
  std::thread(DpcThreadMain, record).detach();
}

BOOLEAN InsertQueueDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2) {
  Scheduler& s = Sched();
  if (s.queuedDpcs.count(dpc)) return FALSE;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  dpc->DpcData = &g_queuedMarker;
  if (dpc->Importance == HighImportance)
    s.dpcQueue.push_front(dpc);
  else
    s.dpcQueue.push_back(dpc);
  s.queuedDpcs.insert(dpc);
  ++s.dpcInserted;
  s.EnsureDpcThread();
  ++s.dpcWork.Header.SignalState;
  s.SatisfyWaiters(&s.dpcWork);
  return TRUE;
}

}  // namespace kvz::kernel::detail

using namespace kvz::kernel;
using namespace kvz::kernel::detail;

extern "C" VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (s.queuedDpcs.count(Dpc))
    BugCheck(TIMER_OR_DPC_INVALID, "KeInitializeDpc on DPC %p, which is still queued", static_cast<void*>(Dpc));
  Dpc->Type = 19;  // DpcObject
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > HIGH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeInsertQueueDpc at %s", IrqlName(irql));
  if (!Dpc || !Dpc->DeferredRoutine)
    BugCheck(TIMER_OR_DPC_INVALID, "KeInsertQueueDpc on DPC %p, which is not initialised", static_cast<void*>(Dpc));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  return InsertQueueDpcLocked(Dpc, SystemArgument1, SystemArgument2);
}

extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (!s.queuedDpcs.erase(Dpc)) return FALSE;
  for (auto it = s.dpcQueue.begin(); it != s.dpcQueue.end(); ++it) {
    if (*it == Dpc) {
      s.dpcQueue.erase(it);
      break;
    }
  }
  Dpc->DpcData = nullptr;
  if (s.dpcWork.Header.SignalState > 0) --s.dpcWork.Header.SignalState;
  FinishOneLocked(&s.dpcFinished, &s.dpcFlushers);
  return TRUE;
}

extern "C" VOID NTAPI KeFlushQueuedDpcs(void) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeFlushQueuedDpcs at %s", IrqlName(irql));
  ThreadRecord* self = Self();
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  if (s.dpcFinished >= s.dpcInserted) return;
  KEVENT done;
  done.Header.Type = EventNotificationObject;
  done.Header.Size = sizeof(KEVENT) / sizeof(LONG);
  done.Header.SignalState = 0;
  InitializeListHead(&done.Header.WaitListHead);
  s.dpcFlushers.push_back({s.dpcInserted, &done});
  s.objectNames[&done] = "DPC flush";
  PVOID objects[1] = {&done};
  self->objects = objects;
  self->count = 1;
  self->waitType = WaitAny;
  s.Block(held, self);
  s.objectNames.erase(&done);
}

extern "C" VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
  Dpc->Importance = static_cast<UCHAR>(Importance);
}
