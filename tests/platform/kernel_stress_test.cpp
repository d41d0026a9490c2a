// Many kernel threads at once: the clock must never move while one of them can still run, and
// the times each thread sees must follow from its own waits alone.
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

VOID NTAPI CountTick(PKDPC, PVOID context, PVOID, PVOID) { InterlockedIncrement(static_cast<LONG*>(context)); }

TEST(KernelStress, EveryThreadSeesExactlyTheTimeItsDelaysAddUpTo) {
  constexpr int kThreads = 12;
  constexpr int kSteps = 30;
  std::vector<std::vector<int64_t>> seen(kThreads);
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LONG shared = 0;
  LONG ticks = 0;
  KTIMER tick;
  KDPC tickDpc;
  KeInitializeTimerEx(&tick, NotificationTimer);
  KeInitializeDpc(&tickDpc, CountTick, &ticks);
  int64_t start = Now();
  KeSetTimerEx(&tick, Relative(3 * kMillisecond), 3, &tickDpc);
  {
    std::vector<std::unique_ptr<KernelThread>> threads;
    for (int id = 0; id < kThreads; ++id) {
      threads.push_back(std::make_unique<KernelThread>("worker " + std::to_string(id), [&, id] {
        for (int step = 0; step < kSteps; ++step) {
          LARGE_INTEGER d = Relative(((id * 7 + step * 13) % 17 + 1) * kMillisecond);
          KeDelayExecutionThread(KernelMode, FALSE, &d);
          seen[id].push_back(Now());
          KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
          ++shared;
          KeReleaseSpinLock(&lock, old);
          KeReleaseMutex(&mutex, FALSE);
        }
      }));
    }
  }
  KeCancelTimer(&tick);
  KeFlushQueuedDpcs();
  int64_t last = 0;
  for (int id = 0; id < kThreads; ++id) {
    int64_t expected = start;
    ASSERT_EQ(seen[id].size(), static_cast<size_t>(kSteps));
    for (int step = 0; step < kSteps; ++step) {
      expected += ((id * 7 + step * 13) % 17 + 1) * kMillisecond;
      EXPECT_EQ(seen[id][step], expected) << "thread " << id << " step " << step;
    }
    last = std::max(last, expected);
  }
  EXPECT_EQ(shared, kThreads * kSteps);
  EXPECT_EQ(Now(), last);
  EXPECT_EQ(ticks, static_cast<LONG>((last - start) / (3 * kMillisecond)));
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelStress, PingPongWithTimedWaitsNeverTimesOutAndCostsNoTime) {
  constexpr int kRounds = 2000;
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  LONG timeouts = 0;
  int64_t start = Now();
  KernelThread partner("partner", [&] {
    for (int i = 0; i < kRounds; ++i) {
      LARGE_INTEGER timeout = Relative(kSecond);
      if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS)
        InterlockedIncrement(&timeouts);
      KeSetEvent(&pong, 0, FALSE);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    KeSetEvent(&ping, 0, FALSE);
    LARGE_INTEGER timeout = Relative(kSecond);
    if (KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS)
      InterlockedIncrement(&timeouts);
  }
  partner.Join();
  EXPECT_EQ(timeouts, 0);
  EXPECT_EQ(Now(), start);
}

TEST(KernelStress, ProducerAndConsumersThroughASemaphore) {
  constexpr int kItems = 300;
  KSEMAPHORE available;
  KeInitializeSemaphore(&available, 0, kItems);
  LONG consumed = 0, timeouts = 0;
  int64_t start = Now();
  {
    KernelThread producer("producer", [&] {
      for (int i = 0; i < kItems; ++i) {
        LARGE_INTEGER d = Relative(2 * kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &d);
        KeReleaseSemaphore(&available, 0, 1, FALSE);
      }
    });
    auto consumer = [&] {
      for (;;) {
        LARGE_INTEGER timeout = Relative(50 * kMillisecond);
        NTSTATUS status = KeWaitForSingleObject(&available, Executive, KernelMode, FALSE, &timeout);
        if (status == STATUS_TIMEOUT) {
          InterlockedIncrement(&timeouts);
          return;
        }
        InterlockedIncrement(&consumed);
      }
    };
    KernelThread c1("consumer 1", consumer), c2("consumer 2", consumer), c3("consumer 3", consumer);
  }
  EXPECT_EQ(consumed, kItems);
  EXPECT_EQ(timeouts, 3) << "each consumer stops only after the producer is done";
  EXPECT_EQ(Now(), start + kItems * 2 * kMillisecond + 50 * kMillisecond);
}

}  // namespace
