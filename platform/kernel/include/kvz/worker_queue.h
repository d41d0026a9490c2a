// Work queues served by kernel threads at PASSIVE_LEVEL: the system worker queues behind
// ExQueueWorkItem (also used for IoQueueWorkItem), and dedicated queues such as the class
// driver's processing queue.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../wdm.h"

namespace kvz::kernel {

// Queue fn on a system worker queue (callable up to DISPATCH_LEVEL). `what` names the item in
// the unload report while it is still queued.
void QueueSystemWork(WORK_QUEUE_TYPE queue, std::function<void()> fn, std::string what);
// Items queued on the system worker queues and not yet started.
std::vector<std::string> PendingSystemWork();

// A queue with its own kernel threads. Items run in order when threads == 1.
class WorkQueue {
 public:
  WorkQueue(const std::string& name, unsigned threads);
  ~WorkQueue();  // runs what is queued, then ends its threads (a kernel wait)
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  void Queue(std::function<void()> fn, std::string what = {});
  size_t Pending() const;  // queued, not yet started
  // Blocks (a kernel wait) until everything queued before the call has finished.
  void Flush();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kvz::kernel
