#include "ke/scheduler.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "ke/fork_safety.h"
#include "kvz/bugcheck.h"
#include "kvz/object_manager.h"

namespace kvz::kernel::detail {
namespace {

// 2024-01-01 00:00 UTC in 100-ns units since 1601: the system time at boot in virtual time.
constexpr int64_t kVirtualBootSystemTime = (11644473600LL + 1704067200LL) * 10'000'000LL;
constexpr int64_t kUnixEpochAsSystemTime = 11644473600LL * 10'000'000LL;

int64_t WallClockSystemTime() {
  using namespace std::chrono;
  return kUnixEpochAsSystemTime + duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

thread_local ThreadRecord* tls_record = nullptr;

void ClockThreadMain() {
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  for (;;) {
    int64_t due = 0;
    if (s.mode == ClockMode::Virtual || s.stopped || !s.EarliestDeadline(&due)) {
      s.clockCv.wait(held);
      continue;
    }
    int64_t now = s.NowLocked();
    if (due <= now) {
      s.FireDue(now);
      continue;
    }
    s.clockCv.wait_for(held, std::chrono::nanoseconds((due - now) * 100));
  }
}

std::string FormatTime(int64_t t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%" PRId64 ".%07" PRId64 " s", t / 10'000'000, t % 10'000'000);
  return buf;
}

}  // namespace

int64_t MonotonicNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

Scheduler& Sched() {
  static Scheduler* instance = [] {
    RegisterForkHandlers();
    auto* s = new Scheduler;
    s->realBaseNs = MonotonicNs();
    s->systemTimeAtBoot = WallClockSystemTime();
    s->dpcWork.Header.Type = SemaphoreObject;
    s->dpcWork.Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    s->dpcWork.Header.SignalState = 0;
    s->dpcWork.Limit = 0x7FFFFFFF;
    InitializeListHead(&s->dpcWork.Header.WaitListHead);
    s->objectNames[&s->dpcWork] = "DPC queue";
    return s;
  }();
  return *instance;
}

ThreadRecord* CurrentRecordIfAny() { return tls_record; }
void SetCurrentRecord(ThreadRecord* t) { tls_record = t; }

int64_t ExpiryLocked(int64_t due) {
  if (!Sched().roundToTick || due >= LLONG_MAX - kTimeIncrement) return due;
  const int64_t tick = kTimeIncrement;
  return (due + tick - 1) / tick * tick;
}

int64_t Scheduler::NowLocked() const {
  if (mode == ClockMode::Virtual) return virtualNow;
  return realOffset + (MonotonicNs() - realBaseNs) / 100;
}

NTSTATUS Scheduler::Block(std::unique_lock<std::mutex>& held, ThreadRecord* self) {
  // Virtual time moves when every kernel thread waits; a thread the scheduler does not count
  // could be overtaken by time it never saw pass.
  if (mode == ClockMode::Virtual && !self->kernel && !stopped)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
             "thread '%s' is not a kernel thread and blocks in a kernel wait while the clock is virtual (%s)",
             self->name.c_str(), DescribeWait(self).c_str());
  self->waiting = true;
  self->waitStart = NowLocked();
  waiters.push_back(self);
  if (self->kernel) --runnable;
  if (self->hasDeadline) DeadlineAdded();
  MaybeAdvance();
  while (self->waiting) self->cv.wait(held);
  NTSTATUS result = self->result;
  self->objects = nullptr;
  self->count = 0;
  self->hasDeadline = false;
  self->idle = false;
  self->untilIdle = false;
  self->what = nullptr;
  return result;
}

void Scheduler::Wake(ThreadRecord* t, NTSTATUS result) {
  auto it = std::find(waiters.begin(), waiters.end(), t);
  if (it != waiters.end()) waiters.erase(it);
  t->waiting = false;
  t->result = result;
  if (t->kernel) ++runnable;
  t->cv.notify_one();
}

void Scheduler::SatisfyWaiters(PVOID object) {
  for (size_t i = 0; i < waiters.size();) {
    ThreadRecord* t = waiters[i];
    bool involved = false;
    for (ULONG k = 0; k < t->count; ++k) involved = involved || t->objects[k] == object;
    NTSTATUS status;
    if (involved && TrySatisfy(t->objects, t->count, t->waitType, t, &status)) {
      Wake(t, status);  // removes waiters[i]
      continue;
    }
    ++i;
  }
}

bool Scheduler::EarliestDeadline(int64_t* due) const {
  bool found = false;
  if (!timerQueue.empty()) {
    *due = timerQueue.begin()->first.first;
    found = true;
  }
  for (const ThreadRecord* t : waiters) {
    if (t->hasDeadline && (!found || t->deadline < *due)) {
      *due = t->deadline;
      found = true;
    }
  }
  return found;
}

void Scheduler::FireDue(int64_t now) {
  while (!timerQueue.empty() && timerQueue.begin()->first.first <= now) {
    ExpireTimerLocked(timerQueue.begin()->second, now);
  }
  for (size_t i = 0; i < waiters.size();) {
    ThreadRecord* t = waiters[i];
    if (t->hasDeadline && t->deadline <= now) {
      Wake(t, STATUS_TIMEOUT);
      continue;
    }
    ++i;
  }
}

void Scheduler::MaybeAdvance() {
  if (mode != ClockMode::Virtual || stopped) return;
  while (runnable == 0) {
    int64_t due = 0;
    bool has = EarliestDeadline(&due);
    if (has && due <= virtualNow) {
      FireDue(virtualNow);
      continue;
    }
    bool woke = false;
    for (size_t i = 0; i < waiters.size();) {
      if (waiters[i]->untilIdle) {
        Wake(waiters[i], STATUS_SUCCESS);
        woke = true;
        continue;
      }
      ++i;
    }
    if (woke) return;
    // Time moves only for someone who waits for it: with every thread idle, queued timers keep
    // until a thread runs again (a periodic timer would otherwise spin the clock forever).
    bool wanted = false;
    for (const ThreadRecord* t : waiters) wanted = wanted || !t->idle;
    if (!wanted) return;
    if (has) {
      virtualNow = due;
      FireDue(virtualNow);
      CheckHangs();
      continue;
    }
    bool stuck = false;
    for (const ThreadRecord* t : waiters) stuck = stuck || (t->kernel && !t->idle);
    if (stuck) ReportDeadlock("deadlock: every kernel thread waits and nothing is due");
    return;
  }
}

void Scheduler::CheckHangs() {
  for (const ThreadRecord* t : waiters) {
    if (t->kernel && t->scoped && !t->hasDeadline && !t->idle && !t->untilIdle &&
        virtualNow - t->waitStart > hangLimit) {
      ReportDeadlock("deadlock: thread '" + t->name + "' has waited without a time limit since " +
                     FormatTime(t->waitStart) + ", longer than the hang limit");
    }
  }
}

void Scheduler::DeadlineAdded() {
  if (stopped) return;
  if (mode == ClockMode::Real) {
    EnsureClockThread();
    clockCv.notify_one();
  } else {
    MaybeAdvance();
  }
}

void Scheduler::AddKernelThread(ThreadRecord* t) {
  t->kernel = true;
  threads.push_back(t);
  ++runnable;
}

void Scheduler::RemoveKernelThread(ThreadRecord* t) {
  auto it = std::find(threads.begin(), threads.end(), t);
  if (it != threads.end()) threads.erase(it);
  if (t->kernel && !t->waiting) --runnable;
  t->kernel = false;
  MaybeAdvance();
}

std::string Scheduler::DescribeObject(const void* object) const {
  char buf[160];
  auto named = objectNames.find(object);
  std::string label = named == objectNames.end() ? std::string() : " '" + named->second + "'";
  const auto* h = static_cast<const DISPATCHER_HEADER*>(object);
  switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
      std::snprintf(buf, sizeof buf, "KEVENT%s %p (%s, %s)", label.c_str(), object,
                    h->Type == EventNotificationObject ? "Notification" : "Synchronization",
                    h->SignalState ? "signalled" : "not signalled");
      break;
    case MutantObject: {
      const auto* m = static_cast<const KMUTEX*>(object);
      std::snprintf(buf, sizeof buf, "KMUTEX%s %p (owned by %s)", label.c_str(), object,
                    m->OwnerThread ? (std::string("'") + m->OwnerThread->Name + "'").c_str() : "nobody");
      break;
    }
    case SemaphoreObject:
      std::snprintf(buf, sizeof buf, "KSEMAPHORE%s %p (count %d of %d)", label.c_str(), object,
                    static_cast<int>(h->SignalState), static_cast<int>(static_cast<const KSEMAPHORE*>(object)->Limit));
      break;
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      std::snprintf(buf, sizeof buf, "KTIMER%s %p (%s)", label.c_str(), object,
                    h->Inserted ? "queued" : "not queued");
      break;
    case ThreadObject:
      std::snprintf(buf, sizeof buf, "thread '%s' (%p)", static_cast<const KTHREAD*>(object)->Name, object);
      break;
    default:
      std::snprintf(buf, sizeof buf, "object%s %p (type %u)", label.c_str(), object, h->Type);
      break;
  }
  return buf;
}

std::string Scheduler::DescribeWait(const ThreadRecord* t) const {
  if (!t->waiting) return "runs";
  if (t->untilIdle) return "runs until idle";
  std::string s;
  if (t->what) {
    s = t->idle ? std::string("idle (") + t->what + ")" : std::string(t->what);
  } else if (t->idle) {
    s = "idle (waits for work)";
  } else {
    s = "waits on ";
    for (ULONG k = 0; k < t->count; ++k) {
      if (k) s += t->waitType == WaitAll ? " and " : " or ";
      s += DescribeObject(t->objects[k]);
    }
  }
  if (t->hasDeadline) s += " until " + FormatTime(t->deadline);
  return s;
}

void Scheduler::ReportDeadlock(const std::string& headline) {
  std::string text = headline + " (clock at " + FormatTime(NowLocked()) + ")";
  for (const ThreadRecord* t : threads) text += "\n  thread '" + t->name + "' " + DescribeWait(t);
  for (const ThreadRecord* t : waiters)
    if (!t->kernel) text += "\n  (not a kernel thread) '" + t->name + "' " + DescribeWait(t);
  BugCheck(DEADLOCK_DETECTED, "%s", text.c_str());
}

void Scheduler::EnsureClockThread() {
  if (clockThreadStarted) return;
  clockThreadStarted = true;
  std::thread(ClockThreadMain).detach();
}

void SchedulerForkPrepare() { Sched().lock.lock(); }
void SchedulerForkParent() { Sched().lock.unlock(); }
void SchedulerForkChild() {
  // Only the forking thread exists in the child: forget every other thread, restart the
  // kernel's own threads on demand.
  Scheduler& s = Sched();
  ThreadRecord* me = tls_record;
  s.threads.clear();
  s.waiters.clear();
  s.runnable = 0;
  if (me && me->kernel) {
    s.threads.push_back(me);
    s.runnable = 1;
  }
  s.runningDpc = nullptr;
  s.dpcThread = nullptr;
  s.dpcThreadStarted = false;
  s.clockThreadStarted = false;
  s.dpcWork.Header.SignalState = static_cast<LONG>(s.dpcQueue.size());
  s.dpcFlushers.clear();
  WorkerForkChild();
  s.lock.unlock();
}

}  // namespace kvz::kernel::detail

namespace kvz::kernel {

using detail::Sched;
using detail::Scheduler;
using detail::ThreadRecord;

void SetClockMode(ClockMode mode) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  int64_t now = s.NowLocked();
  s.mode = mode;
  if (mode == ClockMode::Real) {
    s.realOffset = now;
    s.realBaseNs = detail::MonotonicNs();
    if (!s.systemTimeExplicit) s.systemTimeAtBoot = detail::WallClockSystemTime() - now;
  } else {
    s.virtualNow = now;
    if (!s.systemTimeExplicit) s.systemTimeAtBoot = detail::kVirtualBootSystemTime;
  }
  s.clockCv.notify_one();
  if (mode == ClockMode::Real) s.EnsureClockThread();
  s.MaybeAdvance();
}

ClockMode GetClockMode() {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  return s.mode;
}

int64_t Now() {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  return s.NowLocked();
}

void SetSystemTimeAtBoot(int64_t systemTime100ns) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  s.systemTimeAtBoot = systemTime100ns;
  s.systemTimeExplicit = true;
}

KernelThreadScope::KernelThreadScope(const char* name) {
  ThreadRecord* t = detail::Self();
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (t->scopeDepth++ == 0 && !t->kernel) {
    t->name = name;
    std::snprintf(t->object->Name, sizeof t->object->Name, "%s", name);
    t->scoped = true;
    s.AddKernelThread(t);
  }
}

KernelThreadScope::~KernelThreadScope() {
  ThreadRecord* t = detail::Self();
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (--t->scopeDepth == 0 && t->scoped) {
    t->scoped = false;
    s.RemoveKernelThread(t);
  }
}

bool IsKernelThread() {
  ThreadRecord* t = detail::CurrentRecordIfAny();
  if (!t) return false;
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  return t->kernel;
}

void AdvanceClock(int64_t duration100ns) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration100ns;
  if (duration100ns > 0) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void RunUntilIdle() {
  ThreadRecord* self = detail::Self();
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  if (s.mode != ClockMode::Virtual) return;
  self->untilIdle = true;
  s.Block(held, self);
}

void SetHangLimit(int64_t duration100ns) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  s.hangLimit = duration100ns;
}

void StopClock() {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  s.stopped = true;
}

void RoundExpiriesToClockTick(bool on) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  s.roundToTick = on;
}

bool ExpireTimerEarly(PKTIMER timer) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (!s.queuedTimers.count(timer)) return false;
  detail::ExpireTimerLocked(timer, s.NowLocked());
  return true;
}

bool ExpireWaitEarly(const std::string& threadName) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  for (ThreadRecord* t : s.waiters) {
    if (t->name != threadName || !t->hasDeadline) continue;
    s.Wake(t, STATUS_TIMEOUT);
    return true;
  }
  return false;
}

void NameKernelObject(const void* object, const char* name) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (name)
    s.objectNames[object] = name;
  else
    s.objectNames.erase(object);
}

}  // namespace kvz::kernel
