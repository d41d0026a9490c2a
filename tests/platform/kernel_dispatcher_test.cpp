#include <vector>

#include <gtest/gtest.h>

#include "kernel_checks.h"
#include "kernel_time.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;
using kvz::testing::Relative;

LARGE_INTEGER Poll() {
  LARGE_INTEGER t;
  t.QuadPart = 0;
  return t;
}

NTSTATUS WaitMs(PVOID object, int64_t ms) {
  LARGE_INTEGER timeout = Relative(ms * kMillisecond);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

TEST(KernelEvent, SetReturnsPreviousStateAndResetClears) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
  EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&e), 1);
  EXPECT_EQ(KeResetEvent(&e), 0);
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&e);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
}

TEST(KernelEvent, NotificationEventStaysSignalledSynchronizationEventResetsOnWait) {
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, TRUE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll = Poll();
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

TEST(KernelEvent, SynchronizationEventReleasesOneWaiterPerSetNotificationReleasesAll) {
  for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
    KEVENT e;
    KeInitializeEvent(&e, type, FALSE);
    LONG released = 0;
    auto waiter = [&] {
      if (WaitMs(&e, 1000) == STATUS_SUCCESS) InterlockedIncrement(&released);
    };
    {
      KernelThread a("a", waiter), b("b", waiter), c("c", waiter);
      RunUntilIdle();  // all three are waiting
      KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
      RunUntilIdle();
      EXPECT_EQ(released, type == SynchronizationEvent ? 1 : 3);
      EXPECT_EQ(KeReadStateEvent(&e), type == SynchronizationEvent ? 0 : 1);
    }
    EXPECT_EQ(released, type == SynchronizationEvent ? 1 : 3) << "the others time out";
  }
}

TEST(KernelEvent, WaitersAreReleasedInTheOrderTheyBeganWaiting) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  std::vector<int> order;
  auto waiter = [&](int id) {
    return [&, id] {
      KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
      order.push_back(id);
      KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    };
  };
  KernelThread first("first", waiter(1));
  RunUntilIdle();
  KernelThread second("second", waiter(2));
  RunUntilIdle();
  KernelThread third("third", waiter(3));
  RunUntilIdle();
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  first.Join();
  second.Join();
  third.Join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(KernelMutex, OwnerMayAcquireRecursivelyOthersWait) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateMutex(&m), -1);
  NTSTATUS other = STATUS_PENDING;
  KernelThread t("contender", [&] { other = WaitMs(&m, 100); });
  t.Join();
  EXPECT_EQ(other, STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseMutex(&m, FALSE), -1);
  EXPECT_EQ(KeReleaseMutex(&m, FALSE), 0);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  KernelThread t2("contender2", [&] {
    other = WaitMs(&m, 100);
    if (other == STATUS_SUCCESS) KeReleaseMutex(&m, FALSE);
  });
  t2.Join();
  EXPECT_EQ(other, STATUS_SUCCESS);
}

TEST(KernelMutex, ReleaseHandsOwnershipToTheWaiter) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
  bool owned = false;
  KernelThread t("waiter", [&] {
    KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
    owned = true;
    KeReleaseMutex(&m, FALSE);
  });
  RunUntilIdle();
  EXPECT_FALSE(owned);
  KeReleaseMutex(&m, FALSE);
  t.Join();
  EXPECT_TRUE(owned);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
}

void ReleaseMutexOwnedByAnotherThread() {
  static KMUTEX m;
  static KEVENT never;
  KeInitializeMutex(&m, 0);
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KernelThread t("owner", [] {
    KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER timeout = Relative(kSecond);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    KeReleaseMutex(&m, FALSE);
  });
  RunUntilIdle();
  KeReleaseMutex(&m, FALSE);
}

TEST(KernelMutexDeathTest, ReleaseByANonOwnerBugchecks) {
  EXPECT_DEATH(
      {
        KMUTEX m;
        KeInitializeMutex(&m, 0);
        KeReleaseMutex(&m, FALSE);
      },
      "bugcheck: KeReleaseMutex by thread 'test', which does not own the mutex");
  EXPECT_DEATH(ReleaseMutexOwnedByAnotherThread(),
               "bugcheck: KeReleaseMutex by thread 'test', which does not own the mutex \\(owner owner\\)");
}

TEST(KernelSemaphore, CountsAndReleaseReturnsPreviousCount) {
  KSEMAPHORE s;
  KeInitializeSemaphore(&s, 2, 3);
  LARGE_INTEGER poll = Poll();
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&s, SEMAPHORE_INCREMENT, 3, FALSE), 0);
  EXPECT_EQ(KeReadStateSemaphore(&s), 3);
}

TEST(KernelSemaphore, SerialisesLikeTheDeviceIoSemaphore) {
  KSEMAPHORE s;
  KeInitializeSemaphore(&s, 1, 1);
  LONG inside = 0, maxInside = 0, entries = 0;
  auto user = [&] {
    for (int i = 0; i < 20; ++i) {
      KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr);
      LONG now = InterlockedIncrement(&inside);
      if (now > maxInside) maxInside = now;
      InterlockedIncrement(&entries);
      LARGE_INTEGER d = Relative(kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      InterlockedDecrement(&inside);
      KeReleaseSemaphore(&s, 16, 1, FALSE);
    }
  };
  {
    KernelThread a("a", user), b("b", user), c("c", user);
  }
  EXPECT_EQ(entries, 60);
  EXPECT_EQ(maxInside, 1);
}

TEST(KernelSemaphoreDeathTest, ReleaseBeyondTheLimitBugchecks) {
  EXPECT_DEATH(
      {
        KSEMAPHORE s;
        KeInitializeSemaphore(&s, 1, 1);
        KeReleaseSemaphore(&s, 16, 1, FALSE);
      },
      "bugcheck: KeReleaseSemaphore raised STATUS_SEMAPHORE_LIMIT_EXCEEDED");
}

TEST(KernelMultipleWait, WaitAnyReturnsTheIndexOfTheFirstSignalled) {
  KEVENT e[3];
  for (auto& x : e) KeInitializeEvent(&x, SynchronizationEvent, FALSE);
  PVOID objects[3] = {&e[0], &e[1], &e[2]};
  KeSetEvent(&e[2], 0, FALSE);
  KeSetEvent(&e[1], 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&e[2]), 1) << "only the satisfying object is consumed";
  NTSTATUS status = STATUS_PENDING;
  KeResetEvent(&e[2]);
  KernelThread s("setter", [&] {
    LARGE_INTEGER d = Relative(5 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    KeSetEvent(&e[0], 0, FALSE);
  });
  status = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
  EXPECT_EQ(status, STATUS_WAIT_0);
}

TEST(KernelMultipleWait, WaitAllNeedsEveryObjectAtOnceAndConsumesAll) {
  KEVENT a, b;
  KSEMAPHORE s;
  KeInitializeEvent(&a, SynchronizationEvent, FALSE);
  KeInitializeEvent(&b, NotificationEvent, FALSE);
  KeInitializeSemaphore(&s, 1, 5);
  PVOID objects[3] = {&a, &b, &s};
  LARGE_INTEGER poll = Poll();
  KeSetEvent(&a, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&a), 1) << "nothing is consumed by an unsatisfied WaitAll";
  EXPECT_EQ(KeReadStateSemaphore(&s), 1);
  KernelThread t("setter", [&] {
    LARGE_INTEGER d = Relative(10 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    KeSetEvent(&b, 0, FALSE);
  });
  int64_t start = Now();
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(Now() - start, 10 * kMillisecond);
  EXPECT_EQ(KeReadStateEvent(&a), 0);
  EXPECT_EQ(KeReadStateEvent(&b), 1);
  EXPECT_EQ(KeReadStateSemaphore(&s), 0);
}

TEST(KernelMultipleWait, TimesOutAndNeedsAWaitBlockArrayBeyondThreeObjects) {
  KEVENT e[4];
  PVOID objects[4];
  for (int i = 0; i < 4; ++i) {
    KeInitializeEvent(&e[i], NotificationEvent, FALSE);
    objects[i] = &e[i];
  }
  KWAIT_BLOCK blocks[4];
  LARGE_INTEGER timeout = Relative(20 * kMillisecond);
  EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks),
            STATUS_TIMEOUT);
  EXPECT_DEATH(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
               "bugcheck: KeWaitForMultipleObjects with 4 objects and no wait block array");
}

TEST(KernelWaitDeathTest, WaitOnAnUninitialisedObjectBugchecks) {
  EXPECT_DEATH(
      {
        KEVENT e{};
        LARGE_INTEGER poll = Poll();
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &poll);
      },
      "bugcheck: KeWaitForSingleObject on 0x[0-9a-f]+, which is not an initialised dispatcher object");
}

}  // namespace
