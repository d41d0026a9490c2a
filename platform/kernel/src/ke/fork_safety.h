// Keeping the stand-in usable in a child of fork() (death tests fork the test process): every
// internal lock is taken before the fork and released on both sides, and the child forgets the
// threads that did not come along.
#pragma once

namespace kvz::kernel::detail {

void RegisterForkHandlers();

void SchedulerForkPrepare();
void SchedulerForkParent();
void SchedulerForkChild();
void WorkerForkChild();  // with the scheduler lock held
void ObjectsForkPrepare();
void ObjectsForkParent();
void PoolForkPrepare();
void PoolForkParent();
void DebugForkPrepare();
void DebugForkParent();

}  // namespace kvz::kernel::detail
