#include <vector>

#include <gtest/gtest.h>

#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

struct DpcProbe {
  KDPC dpc;
  int id = 0;
  std::vector<int>* order = nullptr;
  KIRQL irql = 0xFF;
  PVOID arg1 = nullptr;
  PVOID arg2 = nullptr;
  PKTHREAD thread = nullptr;
};

VOID NTAPI Probe(PKDPC, PVOID context, PVOID arg1, PVOID arg2) {
  auto* p = static_cast<DpcProbe*>(context);
  p->irql = KeGetCurrentIrql();
  p->arg1 = arg1;
  p->arg2 = arg2;
  p->thread = KeGetCurrentThread();
  if (p->order) p->order->push_back(p->id);
}

TEST(KernelDpc, RunsAtDispatchLevelOnTheDpcThreadWithItsArguments) {
  DpcProbe p;
  KeInitializeDpc(&p.dpc, Probe, &p);
  int a, b;
  EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, &a, &b));
  KeFlushQueuedDpcs();
  EXPECT_EQ(p.irql, DISPATCH_LEVEL);
  EXPECT_EQ(p.arg1, &a);
  EXPECT_EQ(p.arg2, &b);
  EXPECT_NE(p.thread, KeGetCurrentThread());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

VOID NTAPI BlockingDpc(PKDPC, PVOID context, PVOID, PVOID) {
  // Spins (a DPC cannot wait) until the test releases it.
  auto* gate = static_cast<LONG volatile*>(context);
  while (InterlockedCompareExchange(gate, 0, 0) == 0) {
  }
}

TEST(KernelDpc, InsertingAQueuedDpcReturnsFalseAndRunsItOnce) {
  std::vector<int> order;
  DpcProbe p;
  p.order = &order;
  KeInitializeDpc(&p.dpc, Probe, &p);
  LONG gate = 0;
  KDPC blocker;  // keeps the DPC thread busy so that p stays queued
  KeInitializeDpc(&blocker, BlockingDpc, const_cast<LONG*>(&gate));
  KeInsertQueueDpc(&blocker, nullptr, nullptr);
  EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr));
  InterlockedExchange(&gate, 1);
  KeFlushQueuedDpcs();
  EXPECT_EQ(order.size(), 1u);
  EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr)) << "a DPC may be queued again once it ran";
  KeFlushQueuedDpcs();
  EXPECT_EQ(order.size(), 2u);
}

TEST(KernelDpc, RunInQueueOrderAndRemoveTakesOneOut) {
  std::vector<int> order;
  LONG gate = 0;
  KDPC blocker;
  KeInitializeDpc(&blocker, BlockingDpc, const_cast<LONG*>(&gate));
  DpcProbe p[4];
  for (int i = 0; i < 4; ++i) {
    p[i].id = i;
    p[i].order = &order;
    KeInitializeDpc(&p[i].dpc, Probe, &p[i]);
  }
  KeInsertQueueDpc(&blocker, nullptr, nullptr);
  for (auto& x : p) KeInsertQueueDpc(&x.dpc, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&p[2].dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&p[2].dpc));
  InterlockedExchange(&gate, 1);
  KeFlushQueuedDpcs();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 3}));
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelDpc, FlushWaitsForTheRunningDpc) {
  LONG gate = 0;
  KDPC blocker;
  KeInitializeDpc(&blocker, BlockingDpc, const_cast<LONG*>(&gate));
  KeInsertQueueDpc(&blocker, nullptr, nullptr);
  KEVENT flushed;
  KeInitializeEvent(&flushed, NotificationEvent, FALSE);
  struct Ctx {
    PKEVENT flushed;
  } ctx{&flushed};
  // A second kernel thread flushes; it cannot finish while the DPC spins.
  HANDLE thread;
  ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 [](PVOID c) {
                                   KeFlushQueuedDpcs();
                                   KeSetEvent(static_cast<Ctx*>(c)->flushed, 0, FALSE);
                                 },
                                 &ctx),
            STATUS_SUCCESS);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&flushed, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  InterlockedExchange(&gate, 1);
  EXPECT_EQ(KeWaitForSingleObject(&flushed, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  PVOID object;
  ASSERT_EQ(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(thread);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  EXPECT_CLEAN_UNLOAD();
}

VOID NTAPI RearmingDpc(PKDPC, PVOID context, PVOID, PVOID);

struct Drain {
  KTIMER timer;
  KDPC dpc;
  int checks = 0;
  int64_t lastAt = 0;
  KEVENT done;
};

VOID NTAPI RearmingDpc(PKDPC, PVOID context, PVOID, PVOID) {
  // Like a stop drain: re-initialise and re-arm from the timer's own DPC until done.
  auto* d = static_cast<Drain*>(context);
  d->lastAt = Now();
  if (++d->checks == 4) {
    KeSetEvent(&d->done, 0, FALSE);
    return;
  }
  KeInitializeTimerEx(&d->timer, SynchronizationTimer);
  LARGE_INTEGER due;
  due.QuadPart = -5 * kMillisecond;
  KeSetTimer(&d->timer, due, &d->dpc);
}

TEST(KernelDpc, TimerDpcMayReinitialiseAndRearmItsTimer) {
  Drain d;
  KeInitializeEvent(&d.done, SynchronizationEvent, FALSE);
  KeInitializeTimerEx(&d.timer, SynchronizationTimer);
  KeInitializeDpc(&d.dpc, RearmingDpc, &d);
  int64_t start = Now();
  LARGE_INTEGER due;
  due.QuadPart = -2 * kMillisecond;
  KeSetTimer(&d.timer, due, &d.dpc);
  EXPECT_EQ(KeWaitForSingleObject(&d.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(d.checks, 4);
  EXPECT_EQ(d.lastAt - start, 17 * kMillisecond);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelDpcDeathTest, ReinitialisingAQueuedTimerBugchecks) {
  EXPECT_DEATH(
      {
        KTIMER t;
        KeInitializeTimer(&t);
        LARGE_INTEGER due;
        due.QuadPart = -kSecond;
        KeSetTimer(&t, due, nullptr);
        KeInitializeTimer(&t);
      },
      "bugcheck: KeInitializeTimer on timer 0x[0-9a-f]+, which is still queued");
}

}  // namespace
