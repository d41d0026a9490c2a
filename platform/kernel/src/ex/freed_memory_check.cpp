// Freeing pool that still holds a queued timer, DPC or work item, or an object a thread waits
// on, would leave the kernel pointing into freed memory: stop there instead.
#include "kvz/bugcheck.h"
#include "ke/scheduler.h"

namespace kvz::kernel::detail {
namespace {

bool Inside(const void* p, const void* begin, const void* end) {
  auto* c = static_cast<const char*>(p);
  return c >= static_cast<const char*>(begin) && c < static_cast<const char*>(end);
}

}  // namespace

void CheckFreedRange(const void* begin, const void* end) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  for (auto& [timer, key] : s.queuedTimers)
    if (Inside(timer, begin, end))
      BugCheck(TIMER_OR_DPC_INVALID, "pool freed that holds timer %p, which is still queued", static_cast<void*>(timer));
  for (PKDPC dpc : s.queuedDpcs)
    if (Inside(dpc, begin, end))
      BugCheck(TIMER_OR_DPC_INVALID, "pool freed that holds DPC %p, which is still queued", static_cast<void*>(dpc));
  // The DPC routine itself may free the memory that holds its DPC; nobody else may while it runs.
  if (s.runningDpc && Inside(s.runningDpc, begin, end) && CurrentRecordIfAny() != s.dpcThread)
    BugCheck(TIMER_OR_DPC_INVALID, "pool freed that holds DPC %p, whose routine is running now",
             static_cast<void*>(s.runningDpc));
  for (const ThreadRecord* t : s.waiters)
    for (ULONG k = 0; k < t->count; ++k)
      if (Inside(t->objects[k], begin, end))
        BugCheck(INVALID_DATA_ACCESS_TRAP, "pool freed that holds %s, which thread '%s' waits on",
                 s.DescribeObject(t->objects[k]).c_str(), t->name.c_str());
  CheckFreedWorkItems(begin, end);
  for (auto it = s.objectNames.begin(); it != s.objectNames.end();) {
    if (Inside(it->first, begin, end))
      it = s.objectNames.erase(it);
    else
      ++it;
  }
}

}  // namespace kvz::kernel::detail
