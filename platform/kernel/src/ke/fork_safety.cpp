#include "ke/fork_safety.h"

#include <pthread.h>

#include <mutex>

namespace kvz::kernel::detail {
namespace {

// The locks are never nested except scheduler -> objects, so this order is safe.
void Prepare() {
  SchedulerForkPrepare();
  ObjectsForkPrepare();
  PoolForkPrepare();
  DebugForkPrepare();
}
void Parent() {
  DebugForkParent();
  PoolForkParent();
  ObjectsForkParent();
  SchedulerForkParent();
}
void Child() {
  DebugForkParent();
  PoolForkParent();
  ObjectsForkParent();
  SchedulerForkChild();
}

}  // namespace

void RegisterForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(Prepare, Parent, Child); });
}

}  // namespace kvz::kernel::detail
