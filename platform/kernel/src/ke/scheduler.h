// The scheduler behind every kernel wait: one lock over all dispatcher state, the kernel
// threads and their waits, the clock, the timer queue and the DPC queue.
//
// Accounting: `runnable` counts kernel threads that are not blocked in a kernel wait. A thread
// that is satisfied (signalled, timed out) counts as runnable from that moment, before it
// actually wakes. In virtual time, when `runnable` drops to zero the clock jumps to the earliest
// deadline and whatever is due there fires; with nothing due and a thread still waiting, the
// kernel is deadlocked.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kvz/kernel_testing.h"
#include "wdm.h"

namespace kvz::kernel::detail {

struct ThreadRecord;

}  // namespace kvz::kernel::detail

// The thread object: waitable, signalled when the thread ends; lives in the object manager.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  kvz::kernel::detail::ThreadRecord* Record;  // null once the thread has ended
  bool SystemThread;                          // created by PsCreateSystemThread
  bool Reported;                              // already named by an unload check
  char Name[64];
};
typedef struct _KTHREAD KTHREAD;
struct _ETHREAD {
  KTHREAD Tcb;
};
typedef struct _ETHREAD ETHREAD;

namespace kvz::kernel::detail {

struct ThreadRecord {
  std::string name;
  bool kernel = false;   // counted in `runnable`
  int scopeDepth = 0;    // nested KernelThreadScope
  bool scoped = false;   // made a kernel thread by KernelThreadScope
  PKTHREAD object = nullptr;  // holds one reference while the thread lives
  std::condition_variable cv;

  // The current wait, valid while `waiting`.
  bool waiting = false;
  PVOID* objects = nullptr;
  ULONG count = 0;
  WAIT_TYPE waitType = WaitAny;
  bool hasDeadline = false;
  int64_t deadline = 0;  // interrupt time
  bool idle = false;     // a service thread waiting for work: not a deadlock by itself
  int64_t waitStart = 0;  // clock when the wait began
  bool untilIdle = false;  // RunUntilIdle
  const char* what = nullptr;  // description of a wait on no object (delay)
  NTSTATUS result = STATUS_SUCCESS;

  int ownedMutexes = 0;
};

class Scheduler {
 public:
  std::mutex lock;

  // ---- Threads ----
  std::vector<ThreadRecord*> threads;  // kernel threads, in registration order
  std::vector<ThreadRecord*> waiters;  // every thread in a kernel wait, in the order it began
  int runnable = 0;

  // ---- Clock ----
  ClockMode mode = ClockMode::Real;
  int64_t virtualNow = 0;
  int64_t realOffset = 0;  // clock value at realBase
  int64_t realBaseNs = 0;  // monotonic clock reading that corresponds to realOffset
  int64_t systemTimeAtBoot = 0;
  bool systemTimeExplicit = false;
  bool stopped = false;  // StopClock: nothing fires any more
  int64_t hangLimit = int64_t{3600} * 10'000'000;
  bool roundToTick = false;  // expiries move up to the next clock tick, as on Windows

  // ---- Timers (key: due time, insertion sequence) ----
  std::set<std::pair<std::pair<int64_t, uint64_t>, PKTIMER>> timerQueue;
  std::unordered_map<PKTIMER, std::pair<int64_t, uint64_t>> queuedTimers;
  uint64_t timerSequence = 0;

  // ---- DPCs ----
  std::deque<PKDPC> dpcQueue;
  std::unordered_set<PKDPC> queuedDpcs;
  PKDPC runningDpc = nullptr;
  ThreadRecord* dpcThread = nullptr;
  uint64_t dpcInserted = 0;
  uint64_t dpcFinished = 0;
  std::vector<std::pair<uint64_t, PKEVENT>> dpcFlushers;
  KSEMAPHORE dpcWork;
  bool dpcThreadStarted = false;

  // ---- The real-time clock thread (serves deadlines when time is real) ----
  std::condition_variable clockCv;
  bool clockThreadStarted = false;

  // ---- Names given to objects for deadlock reports ----
  std::unordered_map<const void*, std::string> objectNames;

  // Everything below expects `lock` held.
  int64_t NowLocked() const;
  ThreadRecord* Current();  // creates a non-kernel record for a thread seen the first time

  // Blocks the calling thread until a waker sets waiting = false. The record's wait fields are
  // filled by the caller. Returns the record's result.
  NTSTATUS Block(std::unique_lock<std::mutex>& held, ThreadRecord* self);
  // Satisfies a waiting thread: it counts as runnable from now on.
  void Wake(ThreadRecord* t, NTSTATUS result);
  // After an object became signalled: satisfy waiters in the order they began waiting.
  void SatisfyWaiters(PVOID object);
  // Virtual time: if no kernel thread is runnable, move the clock and fire what is due.
  void MaybeAdvance();
  // A new deadline appeared.
  void DeadlineAdded();
  // Fires every timer and timed wait due at or before the clock.
  void FireDue(int64_t now);
  bool EarliestDeadline(int64_t* due) const;

  // Kernel threads coming and going.
  void AddKernelThread(ThreadRecord* t);
  void RemoveKernelThread(ThreadRecord* t);

  [[noreturn]] void ReportDeadlock(const std::string& headline);
  void CheckHangs();
  std::string DescribeWait(const ThreadRecord* t) const;
  std::string DescribeObject(const void* object) const;

  void EnsureDpcThread();
  void EnsureClockThread();
};

Scheduler& Sched();

// The calling thread's record, created on first use (not a kernel thread until registered).
// Call without the scheduler lock held.
ThreadRecord* Self();
// The calling thread's record if it has one (no creation).
ThreadRecord* CurrentRecordIfAny();
void SetCurrentRecord(ThreadRecord* t);

// Dispatcher-object rules, with the scheduler lock held.
bool IsSignalled(PVOID object, const ThreadRecord* t);
void Consume(PVOID object, ThreadRecord* t);
// Tries to satisfy a wait as it stands; on success consumes and returns the wait status.
bool TrySatisfy(PVOID* objects, ULONG count, WAIT_TYPE type, ThreadRecord* t, NTSTATUS* status);
void SignalEventLocked(PKEVENT event);
// Counts one more finished item and signals each flush whose target count that reaches.
void FinishOneLocked(uint64_t* finished, std::vector<std::pair<uint64_t, PKEVENT>>* flushers);

// Timers and DPCs, with the scheduler lock held.
void ExpireTimerLocked(PKTIMER timer, int64_t now);
BOOLEAN InsertQueueDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2);

// Thread objects.
PKTHREAD NewThreadObject(const std::string& name, bool systemThread, ThreadRecord* record);
void EndThread(ThreadRecord* self);  // signal the object, leave the kernel thread set

// Shared with the unload check and the pool's free check.
std::vector<std::string> TakeQueuedTimersAndDpcs();
std::vector<std::string> SystemThreadFindings();
// Bugchecks when [begin, end) holds a queued timer, DPC or work item or an object a thread
// waits on.
void CheckFreedRange(const void* begin, const void* end);
void CheckFreedWorkItems(const void* begin, const void* end);
std::vector<std::string> TakePendingWork();
std::vector<std::string> TakePoolFindings();
std::vector<std::string> TakeFloatingPointFindings();

// Dropping a reference where the object's deletion cannot run (scheduler lock held): true when
// it was the last one; DestroyDropped then finishes the object without the lock.
bool DropReference(void* body);
void DestroyDropped(void* body);

// The clock tick KeQueryTimeIncrement reports (15.625 ms in 100-ns units).
constexpr ULONG kTimeIncrement = 156250;
// An expiry as the clock interrupt sees it: at the next tick when rounding is on (lock held).
int64_t ExpiryLocked(int64_t due);

const char* IrqlName(KIRQL irql);
// The spin lock the calling thread took last and still holds, or null.
PKSPIN_LOCK HeldSpinLock();
int64_t MonotonicNs();

}  // namespace kvz::kernel::detail
