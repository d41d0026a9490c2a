// Dispatcher objects (events, mutexes, semaphores) and the waits on them.
#include <climits>

#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

namespace kvz::kernel::detail {
namespace {

UCHAR SizeInLongs(size_t bytes) { return static_cast<UCHAR>(bytes / sizeof(LONG)); }

bool IsValidObject(const DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
      return h->Size == SizeInLongs(sizeof(KEVENT));
    case MutantObject:
      return h->Size == SizeInLongs(sizeof(KMUTEX));
    case SemaphoreObject:
      return h->Size == SizeInLongs(sizeof(KSEMAPHORE));
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      return h->Size == SizeInLongs(sizeof(KTIMER));
    case ThreadObject:
      return h->Size == SizeInLongs(sizeof(KTHREAD));
    default:
      return false;
  }
}

void CheckObject(const void* object, const char* api) {
  if (!object) BugCheck(INVALID_DATA_ACCESS_TRAP, "%s on a null object", api);
  if (!IsValidObject(static_cast<const DISPATCHER_HEADER*>(object)))
    BugCheck(INVALID_DATA_ACCESS_TRAP, "%s on %p, which is not an initialised dispatcher object", api, object);
}

void CheckKind(const void* object, UCHAR type1, UCHAR type2, const char* api) {
  CheckObject(object, api);
  UCHAR t = static_cast<const DISPATCHER_HEADER*>(object)->Type;
  if (t != type1 && t != type2) BugCheck(INVALID_DATA_ACCESS_TRAP, "%s on %p, an object of another type", api, object);
}

void CheckIrqlAtMost(KIRQL limit, const char* api) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > limit) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "%s at %s", api, IrqlName(irql));
}

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, size_t size, LONG state) {
  h->Type = type;
  h->Absolute = 0;
  h->Size = SizeInLongs(size);
  h->Inserted = 0;
  h->SignalState = state;
  InitializeListHead(&h->WaitListHead);
}

// Re-initialising an object a thread waits on would strand that thread.
void CheckNotWaitedOn(Scheduler& s, const void* object, const char* api) {
  for (const ThreadRecord* t : s.waiters)
    for (ULONG k = 0; k < t->count; ++k)
      if (t->objects[k] == object)
        BugCheck(INVALID_DATA_ACCESS_TRAP, "%s on %p while thread '%s' waits on it", api, object, t->name.c_str());
}

// Converts a wait's time-out into an interrupt-time deadline.
int64_t Deadline(Scheduler& s, const LARGE_INTEGER& timeout) {
  int64_t now = s.NowLocked();
  if (timeout.QuadPart < 0) {
    if (timeout.QuadPart == LLONG_MIN) return LLONG_MAX;
    int64_t relative = -timeout.QuadPart;
    return relative > LLONG_MAX - now ? LLONG_MAX : ExpiryLocked(now + relative);
  }
  return ExpiryLocked(timeout.QuadPart - s.systemTimeAtBoot);
}

NTSTATUS Wait(PVOID* objects, ULONG count, WAIT_TYPE type, PLARGE_INTEGER timeout, const char* api) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && (!timeout || timeout->QuadPart != 0)))
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "%s at %s", api, IrqlName(irql));
  ThreadRecord* self = Self();
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  for (ULONG k = 0; k < count; ++k) CheckObject(objects[k], api);
  NTSTATUS status;
  if (TrySatisfy(objects, count, type, self, &status)) return status;
  if (timeout && timeout->QuadPart == 0) return STATUS_TIMEOUT;
  self->objects = objects;
  self->count = count;
  self->waitType = type;
  self->hasDeadline = timeout != nullptr;
  if (timeout) {
    self->deadline = Deadline(s, *timeout);
    if (self->deadline <= s.NowLocked()) {
      self->objects = nullptr;
      self->count = 0;
      self->hasDeadline = false;
      return STATUS_TIMEOUT;
    }
  }
  return s.Block(held, self);
}

}  // namespace

bool IsSignalled(PVOID object, const ThreadRecord* t) {
  auto* h = static_cast<DISPATCHER_HEADER*>(object);
  if (h->Type == MutantObject)
    return h->SignalState > 0 || static_cast<KMUTEX*>(object)->OwnerThread == t->object;
  return h->SignalState > 0;
}

void Consume(PVOID object, ThreadRecord* t) {
  auto* h = static_cast<DISPATCHER_HEADER*>(object);
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      h->SignalState = 0;
      break;
    case SemaphoreObject:
      --h->SignalState;
      break;
    case MutantObject: {
      auto* m = static_cast<KMUTEX*>(object);
      if (m->OwnerThread != t->object) {
        m->OwnerThread = t->object;
        ++t->ownedMutexes;
      }
      --h->SignalState;
      break;
    }
    default:
      break;
  }
}

bool TrySatisfy(PVOID* objects, ULONG count, WAIT_TYPE type, ThreadRecord* t, NTSTATUS* status) {
  if (type == WaitAny) {
    for (ULONG k = 0; k < count; ++k) {
      if (IsSignalled(objects[k], t)) {
        Consume(objects[k], t);
        *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(k);
        return true;
      }
    }
    return false;
  }
  for (ULONG k = 0; k < count; ++k)
    if (!IsSignalled(objects[k], t)) return false;
  for (ULONG k = 0; k < count; ++k) Consume(objects[k], t);
  *status = STATUS_SUCCESS;
  return count > 0;
}

void SignalEventLocked(PKEVENT event) {
  if (event->Header.SignalState) return;
  event->Header.SignalState = 1;
  Sched().SatisfyWaiters(event);
}

void FinishOneLocked(uint64_t* finished, std::vector<std::pair<uint64_t, PKEVENT>>* flushers) {
  ++*finished;
  for (size_t i = 0; i < flushers->size();) {
    if ((*flushers)[i].first <= *finished) {
      SignalEventLocked((*flushers)[i].second);
      flushers->erase(flushers->begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

}  // namespace kvz::kernel::detail

using namespace kvz::kernel;
using namespace kvz::kernel::detail;

// ---- Events ----

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (Type != NotificationEvent && Type != SynchronizationEvent)
    BugCheck(INVALID_DATA_ACCESS_TRAP, "KeInitializeEvent with event type %d", static_cast<int>(Type));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckNotWaitedOn(s, Event, "KeInitializeEvent");
  InitHeader(&Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
             sizeof(KEVENT), State ? 1 : 0);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Event, EventNotificationObject, EventSynchronizationObject, "KeSetEvent");
  LONG previous = Event->Header.SignalState;
  SignalEventLocked(Event);
  return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Event, EventNotificationObject, EventSynchronizationObject, "KeResetEvent");
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Event, EventNotificationObject, EventSynchronizationObject, "KeReadStateEvent");
  return Event->Header.SignalState;
}

extern "C" LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "KePulseEvent");
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Event, EventNotificationObject, EventSynchronizationObject, "KePulseEvent");
  LONG previous = Event->Header.SignalState;
  SignalEventLocked(Event);
  Event->Header.SignalState = 0;
  return previous;
}

// ---- Mutexes ----

extern "C" VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckNotWaitedOn(s, Mutex, "KeInitializeMutex");
  InitHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX), 1);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

extern "C" LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  ThreadRecord* self = Self();
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Mutex, MutantObject, MutantObject, "KeReleaseMutex");
  if (Mutex->OwnerThread != self->object)
    BugCheck(THREAD_NOT_MUTEX_OWNER, "KeReleaseMutex by thread '%s', which does not own the mutex (owner %s)",
             self->object->Name, Mutex->OwnerThread ? Mutex->OwnerThread->Name : "none");
  LONG previous = Mutex->Header.SignalState;
  if (++Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    --self->ownedMutexes;
    s.SatisfyWaiters(Mutex);
  }
  return previous;
}

extern "C" LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Mutex, MutantObject, MutantObject, "KeReadStateMutex");
  return Mutex->Header.SignalState;
}

// ---- Semaphores ----

extern "C" VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  if (Count < 0 || Limit <= 0 || Count > Limit)
    BugCheck(INVALID_DATA_ACCESS_TRAP, "KeInitializeSemaphore with count %d and limit %d", static_cast<int>(Count),
             static_cast<int>(Limit));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckNotWaitedOn(s, Semaphore, "KeInitializeSemaphore");
  InitHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
  Semaphore->Limit = Limit;
}

extern "C" LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Semaphore, SemaphoreObject, SemaphoreObject, "KeReleaseSemaphore");
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || Adjustment > Semaphore->Limit - previous)
    BugCheck(SEMAPHORE_LIMIT_EXCEEDED,
             "KeReleaseSemaphore raised STATUS_SEMAPHORE_LIMIT_EXCEEDED (count %d + %d, limit %d)",
             static_cast<int>(previous), static_cast<int>(Adjustment), static_cast<int>(Semaphore->Limit));
  Semaphore->Header.SignalState += Adjustment;
  s.SatisfyWaiters(Semaphore);
  return previous;
}

extern "C" LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  CheckKind(Semaphore, SemaphoreObject, SemaphoreObject, "KeReadStateSemaphore");
  return Semaphore->Header.SignalState;
}

// ---- Waits ----

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                                PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return Wait(objects, 1, WaitAny, Timeout, "KeWaitForSingleObject");
}

extern "C" NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                                   KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                                                   PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KeWaitForMultipleObjects with %u objects",
             static_cast<unsigned>(Count));
  if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "KeWaitForMultipleObjects with %u objects and no wait block array", static_cast<unsigned>(Count));
  if (WaitType != WaitAll && WaitType != WaitAny)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KeWaitForMultipleObjects with wait type %d",
             static_cast<int>(WaitType));
  return Wait(Object, Count, WaitType, Timeout, "KeWaitForMultipleObjects");
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  CheckIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (!Interval) BugCheck(INVALID_DATA_ACCESS_TRAP, "KeDelayExecutionThread without an interval");
  ThreadRecord* self = Self();
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  int64_t deadline = Deadline(s, *Interval);
  if (Interval->QuadPart == 0 || deadline <= s.NowLocked()) return STATUS_SUCCESS;
  self->hasDeadline = true;
  self->deadline = deadline;
  self->what = "delays";
  s.Block(held, self);
  return STATUS_SUCCESS;
}
