#include <vector>

#include <gtest/gtest.h>

#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "kvz/worker_queue.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

struct Item {
  WORK_QUEUE_ITEM item;
  KIRQL irql = 0xFF;
  KEVENT done;
  bool freeSelf = false;
};

VOID NTAPI RunItem(PVOID parameter) {
  auto* i = static_cast<Item*>(parameter);
  i->irql = KeGetCurrentIrql();
  KeSetEvent(&i->done, 0, FALSE);
}

TEST(KernelWorker, WorkItemRunsAtPassiveLevelEvenWhenQueuedFromDispatchLevel) {
  Item i;
  KeInitializeEvent(&i.done, NotificationEvent, FALSE);
  ExInitializeWorkItem(&i.item, RunItem, &i);
  KIRQL old = KeRaiseIrqlToDpcLevel();
  ExQueueWorkItem(&i.item, DelayedWorkQueue);
  KeLowerIrql(old);
  EXPECT_EQ(KeWaitForSingleObject(&i.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(i.irql, PASSIVE_LEVEL);
  EXPECT_CLEAN_UNLOAD();
}

VOID NTAPI FreeItself(PVOID parameter) { ExFreePoolWithTag(parameter, 'TSER'); }

TEST(KernelWorker, AWorkItemMayFreeItsOwnMemory) {
  auto* item = static_cast<PWORK_QUEUE_ITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), 'TSER'));
  ExInitializeWorkItem(item, FreeItself, item);
  ExQueueWorkItem(item, CriticalWorkQueue);
  RunUntilIdle();
  EXPECT_EQ(PoolStatsForTag('TSER').liveBlocks, 0u);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelWorkerDeathTest, QueueingAQueuedWorkItemBugchecks) {
  EXPECT_DEATH(
      {
        static KEVENT gate;
        KeInitializeEvent(&gate, NotificationEvent, FALSE);
        static WORK_QUEUE_ITEM blockers[4];
        for (auto& b : blockers) {
          ExInitializeWorkItem(&b,
                               [](PVOID) { KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr); },
                               nullptr);
          ExQueueWorkItem(&b, HyperCriticalWorkQueue);
        }
        static WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, [](PVOID) {}, nullptr);
        ExQueueWorkItem(&item, HyperCriticalWorkQueue);
        ExQueueWorkItem(&item, HyperCriticalWorkQueue);
      },
      "bugcheck: ExQueueWorkItem of work item 0x[0-9a-f]+, which is already queued");
}

TEST(KernelWorker, SystemQueueGrowsWhenItsWorkersBlock) {
  // Work items waiting on each other in a chain need as many workers as items.
  constexpr int kItems = 6;
  static KEVENT step[kItems + 1];
  for (auto& e : step) KeInitializeEvent(&e, NotificationEvent, FALSE);
  for (int i = 0; i < kItems; ++i)
    QueueSystemWork(DelayedWorkQueue, [i] {
      KeWaitForSingleObject(&step[i + 1], Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&step[i], 0, FALSE);
    }, "chain");
  KeSetEvent(&step[kItems], 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&step[0], Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelWorker, DedicatedQueueRunsInOrderAndFlushWaits) {
  std::vector<int> order;
  {
    WorkQueue queue("processing", 1);
    for (int i = 0; i < 5; ++i)
      queue.Queue([&order, i] {
        LARGE_INTEGER d;
        d.QuadPart = -kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &d);
        order.push_back(i);
      });
    queue.Flush();
    EXPECT_EQ(order.size(), 5u);
    EXPECT_EQ(queue.Pending(), 0u);
    queue.Queue([&order] { order.push_back(5); });
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(KernelWorker, UnloadCheckReportsQueuedWork) {
  static KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  // One worker serves the hypercritical queue: occupy it, then queue one more.
  QueueSystemWork(HyperCriticalWorkQueue,
                  [] { KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr); }, "blocker");
  QueueSystemWork(HyperCriticalWorkQueue, [] {}, "left over");
  RunUntilIdle();
  UnloadReport report = CheckUnload();
  EXPECT_NE(report.text.find("work item left over still queued"), std::string::npos) << report.text;
  KeSetEvent(&gate, 0, FALSE);
  EXPECT_CLEAN_UNLOAD();
}

VOID NTAPI WaitInsideDpc(PKDPC, PVOID, PVOID, PVOID) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
}

TEST(KernelWorkerDeathTest, DpcAndWorkerThreadsStartedBeforeAForkServeTheChild) {
#if defined(__i386__)
  GTEST_SKIP() << "qemu-i386 cannot start threads in a child forked from a multi-threaded process";
#endif
  // Make sure the parent already runs the DPC thread and a delayed worker.
  KDPC warm;
  KeInitializeDpc(&warm, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeInsertQueueDpc(&warm, nullptr, nullptr);
  KeFlushQueuedDpcs();
  QueueSystemWork(DelayedWorkQueue, [] {}, "warm-up");
  RunUntilIdle();
  EXPECT_DEATH(
      {
        static KDPC dpc;
        KeInitializeDpc(&dpc, WaitInsideDpc, nullptr);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
      },
      "bugcheck: KeWaitForSingleObject at DISPATCH_LEVEL");
  EXPECT_DEATH(
      {
        QueueSystemWork(DelayedWorkQueue, [] { PAGED_CODE(); KeRaiseIrqlToDpcLevel(); }, "raises and returns");
        RunUntilIdle();
      },
      "bugcheck: work item 'raises and returns' returned at DISPATCH_LEVEL");
}

}  // namespace
