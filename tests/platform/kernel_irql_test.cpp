#include <gtest/gtest.h>

#include <thread>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

TEST(KernelIrql, RaiseAndLowerTrackThePerThreadLevel) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KIRQL other = 0xFF;
  KernelThread t("other", [&] { other = KeGetCurrentIrql(); });
  t.Join();
  EXPECT_EQ(other, PASSIVE_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  KeLowerIrql(APC_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KernelIrql, SpinLockRaisesToDispatchAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_FALSE(KeTestSpinLock(&lock));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&inner);
  old = KfAcquireSpinLock(&lock);
  KeAcquireSpinLockAtDpcLevel(&inner);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLockFromDpcLevel(&inner);
  KfReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(KeTestSpinLock(&lock));
}

TEST(KernelIrql, SpinLockExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LONG counter = 0;
  auto body = [&] {
    for (int i = 0; i < 2000; ++i) {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      LONG v = counter;  // a plain read-modify-write: only the lock keeps it exact
      counter = v + 1;
      KeReleaseSpinLock(&lock, old);
    }
  };
  {
    KernelThread a("a", body), b("b", body), c("c", body);
  }
  EXPECT_EQ(counter, 6000);
}

TEST(KernelIrql, InterlockedListsKeepOrder) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head;
  InitializeListHead(&head);
  LIST_ENTRY e[3];
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &e[0], &lock), nullptr);
  EXPECT_EQ(ExfInterlockedInsertTailList(&head, &e[1], &lock), &e[0]);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &e[2], &lock), &e[0]);
  EXPECT_EQ(ExfInterlockedRemoveHeadList(&head, &lock), &e[2]);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &e[0]);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &e[1]);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KernelIrql, InterlockedOperationsReturnWindowsResults) {
  LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 7), 12) << "no exchange when the comparand differs";
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 12), 12);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(InterlockedOr(&v, 6), 1);
  EXPECT_EQ(InterlockedAnd(&v, 3), 7);
  EXPECT_EQ(v, 3);
  PVOID p = nullptr;
  int x;
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, &x, nullptr), nullptr);
  EXPECT_EQ(InterlockedExchangePointer(&p, nullptr), &x);
  LONGLONG w = 1LL << 40;
  EXPECT_EQ(InterlockedIncrement64(&w), (1LL << 40) + 1);
}

TEST(KernelIrqlDeathTest, WaitingAtDispatchLevelBugchecks) {
  EXPECT_DEATH(
      {
        KEVENT e;
        KeInitializeEvent(&e, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
      },
      "bugcheck: KeWaitForSingleObject at DISPATCH_LEVEL");
}

TEST(KernelIrql, PollingAtDispatchLevelIsAllowed) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  KeLowerIrql(old);
}

void PageableRoutine() { PAGED_CODE(); }

TEST(KernelIrqlDeathTest, PagedCodeAboveApcLevelBugchecks) {
  PageableRoutine();  // fine at PASSIVE_LEVEL
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        PageableRoutine();
      },
      "bugcheck: PAGED_CODE in PageableRoutine at DISPATCH_LEVEL");
}

TEST(KernelIrqlDeathTest, SpinLockRulesBugcheck) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      },
      "bugcheck: KeReleaseSpinLock on spin lock 0x[0-9a-f]+, which is not held");
  EXPECT_DEATH(
      {
        static KSPIN_LOCK lock;
        static volatile LONG taken = 0;
        KeInitializeSpinLock(&lock);
        KernelThread holder("holder", [] {
          KeAcquireSpinLockRaiseToDpc(&lock);
          InterlockedExchange(&taken, 1);
          for (;;) std::this_thread::yield();  // keeps it until the process ends
        });
        while (!InterlockedCompareExchange(&taken, 1, 1)) std::this_thread::yield();
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      },
      "another thread holds");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLock(&lock, &old);
      },
      "bugcheck: KeAcquireSpinLock on spin lock 0x[0-9a-f]+, which this thread already holds");
}

TEST(KernelIrqlDeathTest, LoweringToAHigherLevelBugchecks) {
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "bugcheck: KeLowerIrql from PASSIVE_LEVEL to the higher DISPATCH_LEVEL");
}

}  // namespace
