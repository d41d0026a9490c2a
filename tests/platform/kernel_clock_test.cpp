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

struct Firing {
  int id;
  int64_t at;
};

struct TimerWithDpc {
  KTIMER timer;
  KDPC dpc;
  int id;
  std::vector<Firing>* log;
};

VOID NTAPI RecordFiring(PKDPC, PVOID context, PVOID, PVOID) {
  auto* t = static_cast<TimerWithDpc*>(context);
  t->log->push_back({t->id, Now()});
}

TEST(KernelClock, TimersFireInDueTimeOrderAtTheirDueTime) {
  std::vector<Firing> log;
  const int64_t dueMs[] = {30, 10, 20, 10};
  TimerWithDpc timers[4];
  int64_t start = Now();
  for (int i = 0; i < 4; ++i) {
    timers[i].id = i;
    timers[i].log = &log;
    KeInitializeTimerEx(&timers[i].timer, NotificationTimer);
    KeInitializeDpc(&timers[i].dpc, RecordFiring, &timers[i]);
    KeSetTimer(&timers[i].timer, Relative(dueMs[i] * kMillisecond), &timers[i].dpc);
  }
  AdvanceClock(50 * kMillisecond);
  ASSERT_EQ(log.size(), 4u);
  // Equal due times fire in the order the timers were set.
  const int expectedOrder[] = {1, 3, 2, 0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(log[i].id, expectedOrder[i]);
    EXPECT_EQ(log[i].at - start, dueMs[expectedOrder[i]] * kMillisecond);
    EXPECT_TRUE(KeReadStateTimer(&timers[log[i].id].timer));
  }
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelClock, PeriodicTimerRepeatsAtItsPeriodUntilCancelled) {
  std::vector<Firing> log;
  TimerWithDpc t{};
  t.log = &log;
  KeInitializeTimerEx(&t.timer, SynchronizationTimer);
  KeInitializeDpc(&t.dpc, RecordFiring, &t);
  int64_t start = Now();
  KeSetTimerEx(&t.timer, Relative(2 * kSecond), 2000, &t.dpc);
  AdvanceClock(7 * kSecond);
  ASSERT_EQ(log.size(), 3u);
  for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].at - start, static_cast<int64_t>(i + 1) * 2 * kSecond);
  EXPECT_TRUE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  AdvanceClock(10 * kSecond);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelClock, FiveSecondTimeoutCostsFiveSecondsOfKernelTimeOnly) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  int64_t start = Now();
  LARGE_INTEGER timeout = Relative(5 * kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  // Exactly the time-out: a real clock would show the scheduling delay on top.
  EXPECT_EQ(Now() - start, 5 * kSecond);
}

TEST(KernelClock, DelayAdvancesTheClockAndSystemTime) {
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  int64_t start = Now();
  LARGE_INTEGER interval = Relative(1500 * kMillisecond);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  KeQuerySystemTime(&after);
  EXPECT_EQ(Now() - start, 1500 * kMillisecond);
  EXPECT_EQ(after.QuadPart - before.QuadPart, 1500 * kMillisecond);
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
  EXPECT_EQ(frequency.QuadPart, 10'000'000);
  EXPECT_EQ(counter.QuadPart, Now());
  EXPECT_EQ(static_cast<int64_t>(KeQueryInterruptTime()), Now());
}

TEST(KernelClock, AbsoluteTimeoutIsASystemTime) {
  KEVENT never;
  KeInitializeEvent(&never, SynchronizationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  int64_t start = Now();
  LARGE_INTEGER deadline;
  deadline.QuadPart = now.QuadPart + 3 * kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(Now() - start, 3 * kSecond);
  // A deadline in the past times out at once.
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &now), STATUS_TIMEOUT);
  EXPECT_EQ(Now() - start, 3 * kSecond);
}

TEST(KernelClock, TimeStandsStillWhileAnyKernelThreadRuns) {
  KEVENT go, done;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  int64_t seenByWorker = -1;
  KernelThread worker("busy", [&] {
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    // The test thread is blocked in a timed wait, but this thread runs: no time passes.
    int64_t t0 = Now();
    volatile uint64_t spin = 0;
    for (int i = 0; i < 2'000'000; ++i) spin = spin + static_cast<uint64_t>(i);
    seenByWorker = Now() - t0;
    KeSetEvent(&done, 0, FALSE);
  });
  KeSetEvent(&go, 0, FALSE);
  LARGE_INTEGER timeout = Relative(kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  worker.Join();
  EXPECT_EQ(seenByWorker, 0);
}

TEST(KernelClock, EarliestDeadlineWinsAcrossThreads) {
  std::vector<int> order;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  auto sleeper = [&](int id, int64_t ms) {
    return [&order, &lock, id, ms] {
      LARGE_INTEGER interval = Relative(ms * kMillisecond);
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      order.push_back(id);
      KeReleaseSpinLock(&lock, old);
    };
  };
  {
    KernelThread a("a", sleeper(1, 300));
    KernelThread b("b", sleeper(2, 100));
    KernelThread c("c", sleeper(3, 200));
  }
  EXPECT_EQ(order, (std::vector<int>{2, 3, 1}));
}

TEST(KernelClock, RunUntilIdleLetsWorkFinishWithoutMovingTime) {
  KEVENT step;
  KeInitializeEvent(&step, SynchronizationEvent, FALSE);
  int stage = 0;
  KernelThread worker("stages", [&] {
    for (int i = 0; i < 3; ++i) {
      KeWaitForSingleObject(&step, Executive, KernelMode, FALSE, nullptr);
      ++stage;
    }
  });
  int64_t start = Now();
  for (int i = 1; i <= 3; ++i) {
    KeSetEvent(&step, 0, FALSE);
    RunUntilIdle();
    EXPECT_EQ(stage, i);
  }
  worker.Join();
  EXPECT_EQ(Now(), start);
}

TEST(KernelClock, RoundedExpiriesLetARetryLoopRunOncePerClockTick) {
  RoundExpiriesToClockTick(true);
  LARGE_INTEGER oneMillisecond = Relative(kMillisecond);
  KeDelayExecutionThread(KernelMode, FALSE, &oneMillisecond);  // onto a tick
  int64_t start = Now();
  int retries = 0;
  while (Now() - start < 100 * kMillisecond) {
    KeDelayExecutionThread(KernelMode, FALSE, &oneMillisecond);
    ++retries;
  }
  RoundExpiriesToClockTick(false);
  EXPECT_EQ(retries, 7) << "100 ms of 15.625 ms ticks";
  EXPECT_EQ(Now() - start, 7 * 156250);
}

VOID NTAPI RecordNow(PKDPC, PVOID context, PVOID, PVOID) { *static_cast<int64_t*>(context) = Now(); }

TEST(KernelClock, AChosenWaitOrTimerExpiresEarly) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  NTSTATUS result = STATUS_PENDING;
  int64_t start = Now();
  KernelThread caller("caller", [&] {
    LARGE_INTEGER timeout = Relative(5 * kSecond);
    result = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
  });
  RunUntilIdle();
  EXPECT_FALSE(ExpireWaitEarly("nobody"));
  EXPECT_TRUE(ExpireWaitEarly("caller"));
  caller.Join();
  EXPECT_EQ(result, STATUS_TIMEOUT);

  KTIMER timer;
  KDPC dpc;
  int64_t firedAt = -1;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, RecordNow, &firedAt);
  EXPECT_FALSE(ExpireTimerEarly(&timer));
  KeSetTimer(&timer, Relative(5 * kSecond), &dpc);
  EXPECT_TRUE(ExpireTimerEarly(&timer));
  KeFlushQueuedDpcs();
  EXPECT_EQ(firedAt, start);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_EQ(Now(), start) << "no time passed";
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelClock, RealModeServesTimersAndTimedWaits) {
  SetClockMode(ClockMode::Real);
  KTIMER timer;
  KeInitializeTimerEx(&timer, NotificationTimer);
  int64_t start = Now();
  KeSetTimer(&timer, Relative(20 * kMillisecond), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_GE(Now() - start, 20 * kMillisecond);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(10 * kMillisecond);
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  SetClockMode(ClockMode::Virtual);
  EXPECT_EQ(GetClockMode(), ClockMode::Virtual);
}

void WaitOnEachOther() {
  static KEVENT first, second;
  KeInitializeEvent(&first, SynchronizationEvent, FALSE);
  KeInitializeEvent(&second, SynchronizationEvent, FALSE);
  NameKernelObject(&first, "first");
  NameKernelObject(&second, "second");
  KernelThread other("other", [] {
    KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&second, 0, FALSE);
  });
  KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
  KeSetEvent(&first, 0, FALSE);
}

TEST(KernelClockDeathTest, ThreadsWaitingOnEachOtherAreReportedAsDeadlock) {
  EXPECT_DEATH(WaitOnEachOther(),
               "bugcheck: deadlock.*thread 'test' waits on KEVENT 'second'.*thread 'other' waits on KEVENT 'first'");
}

VOID NTAPI Tick(PKDPC, PVOID, PVOID, PVOID) {}

void WaitForeverWhileATimerTicks() {
  SetHangLimit(10 * kSecond);
  static KTIMER timer;
  static KDPC dpc;
  static KEVENT never;
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeInitializeDpc(&dpc, Tick, nullptr);
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER due = Relative(kSecond);
  KeSetTimerEx(&timer, due, 1000, &dpc);
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
}

TEST(KernelClockDeathTest, WaitingForeverWhileTimersTickIsReportedAsHung) {
  EXPECT_DEATH(WaitForeverWhileATimerTicks(),
               "bugcheck: deadlock: thread 'test' has waited without a time limit since .*, longer than the hang "
               "limit");
}

}  // namespace
