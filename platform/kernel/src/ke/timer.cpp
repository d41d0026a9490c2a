// Kernel timers and the clock queries.
#include <climits>

#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

namespace kvz::kernel::detail {
namespace {

void CheckTimer(PKTIMER timer, const char* api) {
  if (!timer || (timer->Header.Type != TimerNotificationObject && timer->Header.Type != TimerSynchronizationObject) ||
      timer->Header.Size != sizeof(KTIMER) / sizeof(LONG))
    BugCheck(TIMER_OR_DPC_INVALID, "%s on %p, which is not an initialised timer", api, static_cast<void*>(timer));
}

void Dequeue(Scheduler& s, PKTIMER timer) {
  auto it = s.queuedTimers.find(timer);
  s.timerQueue.erase({it->second, timer});
  s.queuedTimers.erase(it);
  timer->Header.Inserted = FALSE;
}

void Enqueue(Scheduler& s, PKTIMER timer, int64_t due) {
  due = ExpiryLocked(due);
  std::pair<int64_t, uint64_t> key{due, ++s.timerSequence};
  s.queuedTimers[timer] = key;
  s.timerQueue.insert({key, timer});
  timer->Header.Inserted = TRUE;
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
}

}  // namespace

void ExpireTimerLocked(PKTIMER timer, int64_t now) {
  Scheduler& s = Sched();
  int64_t due = s.queuedTimers[timer].first;
  Dequeue(s, timer);
  if (timer->Period > 0) {
    int64_t period = static_cast<int64_t>(timer->Period) * 10'000;
    int64_t next = due + period;
    Enqueue(s, timer, next > now ? next : now + period);
  }
  timer->Header.SignalState = 1;
  s.SatisfyWaiters(timer);
  if (timer->Dpc) {
    ULARGE_INTEGER systemTime;
    systemTime.QuadPart = static_cast<ULONGLONG>(s.systemTimeAtBoot + now);
    InsertQueueDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.u.LowPart)),
                         reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.u.HighPart)));
  }
}

}  // namespace kvz::kernel::detail

using namespace kvz::kernel;
using namespace kvz::kernel::detail;

extern "C" VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  if (Type != NotificationTimer && Type != SynchronizationTimer)
    BugCheck(TIMER_OR_DPC_INVALID, "KeInitializeTimerEx with timer type %d", static_cast<int>(Type));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (s.queuedTimers.count(Timer))
    BugCheck(TIMER_OR_DPC_INVALID, "KeInitializeTimer on timer %p, which is still queued", static_cast<void*>(Timer));
  for (const ThreadRecord* t : s.waiters)
    for (ULONG k = 0; k < t->count; ++k)
      if (t->objects[k] == Timer)
        BugCheck(TIMER_OR_DPC_INVALID, "KeInitializeTimer on timer %p while thread '%s' waits on it",
                 static_cast<void*>(Timer), t->name.c_str());
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.Absolute = 0;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeSetTimer at %s", IrqlName(irql));
  if (Period < 0) BugCheck(TIMER_OR_DPC_INVALID, "KeSetTimerEx with period %d", static_cast<int>(Period));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckTimer(Timer, "KeSetTimer");
  BOOLEAN wasQueued = s.queuedTimers.count(Timer) ? TRUE : FALSE;
  if (wasQueued) Dequeue(s, Timer);
  int64_t now = s.NowLocked();
  int64_t due;
  if (DueTime.QuadPart < 0) {
    int64_t relative = DueTime.QuadPart == LLONG_MIN ? LLONG_MAX : -DueTime.QuadPart;
    due = relative > LLONG_MAX - now ? LLONG_MAX : now + relative;
  } else {
    due = DueTime.QuadPart - s.systemTimeAtBoot;
  }
  if (due < now) due = now;
  Timer->Header.SignalState = 0;
  Timer->Header.Absolute = DueTime.QuadPart >= 0 ? 1 : 0;
  Timer->Period = Period;
  Timer->Dpc = Dpc;
  Enqueue(s, Timer, due);
  s.DeadlineAdded();
  return wasQueued;
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeCancelTimer at %s", IrqlName(irql));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckTimer(Timer, "KeCancelTimer");
  if (!s.queuedTimers.count(Timer)) return FALSE;
  Dequeue(s, Timer);
  return TRUE;
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckTimer(Timer, "KeReadStateTimer");
  return Timer->Header.SignalState ? TRUE : FALSE;
}

// ---- Time ----

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CurrentTime->QuadPart = s.systemTimeAtBoot + s.NowLocked();
}

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(Now()); }

extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10'000'000;
  LARGE_INTEGER value;
  value.QuadPart = Now();
  return value;
}

extern "C" ULONG NTAPI KeQueryTimeIncrement(void) { return kTimeIncrement; }

extern "C" VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  CurrentCount->QuadPart = Now() / kTimeIncrement;
}
