// Work queues served by kernel threads at PASSIVE_LEVEL: the system worker queues behind
// ExQueueWorkItem and dedicated queues (WorkQueue).
#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_set>

#include "kvz/bugcheck.h"
#include "kvz/object_manager.h"
#include "kvz/worker_queue.h"
#include "ke/scheduler.h"

namespace kvz::kernel {

struct WorkQueue::State {
  std::string name;
  unsigned threadCount = 0;  // at most; threads start as work needs them
  unsigned started = 0;      // threads running
  unsigned busy = 0;         // threads running an item
  bool stopping = false;
  struct Item {
    std::function<void()> fn;
    std::string what;
    PWORK_QUEUE_ITEM exItem;
  };
  std::deque<Item> items;
  std::vector<std::string> running;
  KSEMAPHORE work;  // one unit per queued item (and per thread asked to stop)
  uint64_t queued = 0;
  uint64_t finished = 0;
  std::vector<std::pair<uint64_t, PKEVENT>> flushers;
  std::vector<PKTHREAD> threads;
};

namespace detail {
namespace {

// The kernel grows its worker pools on demand; so do these, up to a bound.
constexpr unsigned kSystemWorkersPerQueue = 8;

using State = WorkQueue::State;

std::unordered_set<PWORK_QUEUE_ITEM>& QueuedExItems() {
  static auto* set = new std::unordered_set<PWORK_QUEUE_ITEM>;
  return *set;
}

void InitSemaphore(KSEMAPHORE* s) {
  s->Header.Type = SemaphoreObject;
  s->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  s->Header.SignalState = 0;
  s->Header.Inserted = 0;
  InitializeListHead(&s->Header.WaitListHead);
  s->Limit = 0x7FFFFFFF;
}

void WorkerMain(std::shared_ptr<State> q, ThreadRecord* self) {
  SetCurrentRecord(self);
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  PVOID work[1] = {&q->work};
  for (;;) {
    NTSTATUS status;
    if (!TrySatisfy(work, 1, WaitAny, self, &status)) {
      self->objects = work;
      self->count = 1;
      self->waitType = WaitAny;
      self->idle = true;
      self->what = "no work queued";
      s.Block(held, self);
    }
    if (q->items.empty()) {
      if (q->stopping) break;
      continue;
    }
    State::Item item = std::move(q->items.front());
    q->items.pop_front();
    if (item.exItem) QueuedExItems().erase(item.exItem);
    ++q->busy;
    q->running.push_back(item.what);
    held.unlock();
    item.fn();
    if (PKSPIN_LOCK lock = HeldSpinLock())
      BugCheck(SPIN_LOCK_ALREADY_OWNED, "work item '%s' returned holding spin lock %p", item.what.c_str(),
               static_cast<void*>(lock));
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
      BugCheck(IRQL_NOT_LESS_OR_EQUAL, "work item '%s' returned at %s", item.what.c_str(), IrqlName(irql));
    if (self->ownedMutexes)
      BugCheck(THREAD_TERMINATE_HELD_MUTEX, "work item '%s' returned holding a mutex", item.what.c_str());
    std::string what = std::move(item.what);
    item = State::Item{};  // the routine's captures go before the item counts as finished
    held.lock();
    --q->busy;
    q->running.erase(std::find(q->running.begin(), q->running.end(), what));
    FinishOneLocked(&q->finished, &q->flushers);
  }
  --q->started;
  held.unlock();
  EndThread(self);
}

// With the scheduler lock held.
void StartThreads(Scheduler& s, const std::shared_ptr<State>& q) {
  while (q->started < q->threadCount && q->items.size() > q->started - q->busy) {
    auto* record = new ThreadRecord;
    char name[96];
    std::snprintf(name, sizeof name, "%s %u", q->name.c_str(), q->started + 1);
    record->name = name;
    record->object = NewThreadObject(name, false, record);
    ReferenceObject(record->object);
    q->threads.push_back(record->object);
    s.AddKernelThread(record);
    ++q->started;
    std::thread(WorkerMain, q, record).detach();
  }
}

void QueueLocked(Scheduler& s, const std::shared_ptr<State>& q, State::Item item) {
  if (q->stopping) BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "work queued on '%s' while it ends", q->name.c_str());
  q->items.push_back(std::move(item));
  ++q->queued;
  StartThreads(s, q);
  ++q->work.Header.SignalState;
  s.SatisfyWaiters(&q->work);
}

// Every queue, so that a forked child can restart their threads (scheduler lock held).
std::vector<std::weak_ptr<State>>& AllQueues() {
  static auto* queues = new std::vector<std::weak_ptr<State>>;
  return *queues;
}

std::shared_ptr<State> MakeState(const std::string& name, unsigned threads) {
  auto q = std::make_shared<State>();
  std::vector<std::weak_ptr<State>>& all = AllQueues();
  for (size_t i = 0; i < all.size();) {
    if (all[i].expired()) {
      all[i] = all.back();
      all.pop_back();
      continue;
    }
    ++i;
  }
  all.push_back(q);
  q->name = name;
  q->threadCount = threads ? threads : 1;
  InitSemaphore(&q->work);
  return q;
}

std::vector<std::shared_ptr<State>>& SystemQueues() {
  static auto* queues = [] {
    auto* v = new std::vector<std::shared_ptr<State>>;
    v->push_back(MakeState("critical worker", kSystemWorkersPerQueue));
    v->push_back(MakeState("delayed worker", kSystemWorkersPerQueue));
    v->push_back(MakeState("hypercritical worker", 1));
    return v;
  }();
  return *queues;
}

void CheckIrqlForQueue(const char* api) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(IRQL_NOT_LESS_OR_EQUAL, "%s at %s", api, IrqlName(irql));
}

}  // namespace

void WorkerForkChild() {
  // Threads start again with the next item queued (or the next flush).
  SystemQueues();
  for (auto& weak : AllQueues()) {
    std::shared_ptr<State> q = weak.lock();
    if (!q) continue;
    q->started = 0;
    q->busy = 0;
    q->running.clear();
    q->threads.clear();
    q->flushers.clear();
    q->work.Header.SignalState = static_cast<LONG>(q->items.size());
  }
}

void CheckFreedWorkItems(const void* begin, const void* end) {
  for (PWORK_QUEUE_ITEM item : QueuedExItems()) {
    auto* p = reinterpret_cast<const char*>(item);
    if (p >= static_cast<const char*>(begin) && p < static_cast<const char*>(end))
      BugCheck(BAD_POOL_CALLER, "pool freed that holds work item %p, which is still queued", static_cast<void*>(item));
  }
}

std::vector<std::string> TakePendingWork() {
  std::vector<std::string> lines;
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  for (auto& q : SystemQueues()) {
    for (auto& item : q->items) {
      lines.push_back("work item " + item.what + " still queued on the " + q->name + " queue");
      if (item.exItem) QueuedExItems().erase(item.exItem);
      FinishOneLocked(&q->finished, &q->flushers);
    }
    for (auto& what : q->running) lines.push_back("work item " + what + " still running on the " + q->name + " queue");
    LONG count = q->work.Header.SignalState - static_cast<LONG>(q->items.size());
    q->work.Header.SignalState = count > 0 ? count : 0;
    q->items.clear();
  }
  return lines;
}

}  // namespace detail

using namespace detail;

void QueueSystemWork(WORK_QUEUE_TYPE queue, std::function<void()> fn, std::string what) {
  CheckIrqlForQueue("QueueSystemWork");
  if (queue < CriticalWorkQueue || queue > HyperCriticalWorkQueue)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "work queued on queue type %d", static_cast<int>(queue));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  QueueLocked(s, SystemQueues()[static_cast<size_t>(queue)], State::Item{std::move(fn), std::move(what), nullptr});
}

std::vector<std::string> PendingSystemWork() {
  std::vector<std::string> lines;
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  for (auto& q : SystemQueues())
    for (auto& item : q->items) lines.push_back(item.what);
  return lines;
}

WorkQueue::WorkQueue(const std::string& name, unsigned threads) {
  std::lock_guard<std::mutex> held(Sched().lock);
  state_ = MakeState(name, threads);
}

WorkQueue::~WorkQueue() {
  Flush();
  std::vector<PKTHREAD> threads;
  {
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> held(s.lock);
    if (ThreadRecord* me = CurrentRecordIfAny())
      for (PKTHREAD t : state_->threads)
        if (t == me->object) BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "work queue '%s' destroyed by its own thread", state_->name.c_str());
    state_->stopping = true;
    state_->work.Header.SignalState += static_cast<LONG>(state_->threads.size());
    s.SatisfyWaiters(&state_->work);
    threads.swap(state_->threads);
  }
  for (PKTHREAD t : threads) {
    KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
    DereferenceObject(t);
  }
}

void WorkQueue::Queue(std::function<void()> fn, std::string what) {
  CheckIrqlForQueue("WorkQueue::Queue");
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  QueueLocked(s, state_, State::Item{std::move(fn), std::move(what), nullptr});
}

size_t WorkQueue::Pending() const {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  return state_->items.size();
}

void WorkQueue::Flush() {
  ThreadRecord* self = Self();
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  if (state_->finished >= state_->queued) return;
  StartThreads(s, state_);
  KEVENT done;
  done.Header.Type = EventNotificationObject;
  done.Header.Size = sizeof(KEVENT) / sizeof(LONG);
  done.Header.SignalState = 0;
  InitializeListHead(&done.Header.WaitListHead);
  state_->flushers.push_back({state_->queued, &done});
  PVOID objects[1] = {&done};
  self->objects = objects;
  self->count = 1;
  self->waitType = WaitAny;
  s.Block(held, self);
}

}  // namespace kvz::kernel

using namespace kvz::kernel;
using namespace kvz::kernel::detail;

extern "C" VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  CheckIrqlForQueue("ExQueueWorkItem");
  if (QueueType < CriticalWorkQueue || QueueType > HyperCriticalWorkQueue)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "ExQueueWorkItem on queue type %d", static_cast<int>(QueueType));
  if (!WorkItem || !WorkItem->WorkerRoutine)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "ExQueueWorkItem of work item %p without a routine",
             static_cast<void*>(WorkItem));
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (!QueuedExItems().insert(WorkItem).second)
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "ExQueueWorkItem of work item %p, which is already queued",
             static_cast<void*>(WorkItem));
  char what[96];
  std::snprintf(what, sizeof what, "WORK_QUEUE_ITEM %p (routine %p)", static_cast<void*>(WorkItem),
                reinterpret_cast<void*>(WorkItem->WorkerRoutine));
  // The routine and parameter are read when the item runs, as the kernel does.
  QueueLocked(s, SystemQueues()[static_cast<size_t>(QueueType)],
              State::Item{[WorkItem] { WorkItem->WorkerRoutine(WorkItem->Parameter); }, what, WorkItem});
}
