#include <gtest/gtest.h>

#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/object_manager.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

// A worker in the style of the face-detection thread: sleeps on a notification event, ends
// itself with PsTerminateSystemThread when asked to stop.
struct Worker {
  KEVENT wake;
  volatile LONG stop = 0;
  LONG rounds = 0;
  KIRQL irql = 0xFF;
  PETHREAD self = nullptr;
};

VOID NTAPI WorkerThread(PVOID context) {
  auto* w = static_cast<Worker*>(context);
  w->irql = KeGetCurrentIrql();
  w->self = PsGetCurrentThread();
  for (;;) {
    KeWaitForSingleObject(&w->wake, Executive, KernelMode, FALSE, nullptr);
    if (w->stop) PsTerminateSystemThread(STATUS_SUCCESS);
    InterlockedIncrement(&w->rounds);
    KeClearEvent(&w->wake);
  }
}

TEST(KernelThread, SystemThreadObjectIsSignalledWhenTheThreadEnds) {
  Worker w;
  KeInitializeEvent(&w.wake, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerThread, &w),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0x1FFFFF, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  KeSetEvent(&w.wake, 0, FALSE);
  RunUntilIdle();
  EXPECT_EQ(w.rounds, 1);
  EXPECT_EQ(w.irql, PASSIVE_LEVEL);
  EXPECT_EQ(static_cast<PVOID>(w.self), thread);
  EXPECT_TRUE(PsIsSystemThread(w.self));
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  w.stop = 1;
  KeSetEvent(&w.wake, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelThread, StartRoutineReturningEndsTheThread) {
  HANDLE handle = nullptr;
  LONG ran = 0;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 [](PVOID c) { InterlockedIncrement(static_cast<LONG*>(c)); }, &ran),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0x1FFFFF, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ran, 1);
  ObDereferenceObject(thread);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelThread, UnloadCheckReportsRunningThreadsAndForgottenReferences) {
  Worker w;
  KeInitializeEvent(&w.wake, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerThread, &w),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0x1FFFFF, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
  RunUntilIdle();
  UnloadReport report = CheckUnload();
  EXPECT_NE(report.text.find("still running (waits on KEVENT"), std::string::npos) << report.text;
  EXPECT_NE(report.text.find("(Thread) still open"), std::string::npos) << report.text;
  ZwClose(handle);
  w.stop = 1;
  KeSetEvent(&w.wake, 0, FALSE);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(CheckUnload().clean) << "reported once";
  ObDereferenceObject(thread);
}

TEST(KernelThread, ObjectsAndHandlesDispatchToTheirType) {
  static int deleted;
  deleted = 0;  // the test may run more than once in a process
  static _OBJECT_TYPE keyType = {"Key", [](void*) { ++deleted; }};
  static _OBJECT_TYPE otherType = {"Other", nullptr};
  void* key = CreateObject(&keyType, 24);
  HANDLE h = CreateHandle(key);
  DereferenceObject(key);  // the handle keeps it
  EXPECT_EQ(deleted, 0);
  void* body = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, &otherType, KernelMode, &body, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, &keyType, KernelMode, &body, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(body, key);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(ObfDereferenceObject(body), 0);
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &body, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_DEATH(ZwClose(h), "bugcheck: ZwClose of handle 0x[0-9a-f]+, which is not open");
}

TEST(KernelThreadDeathTest, EndingASystemThreadHoldingAMutexBugchecks) {
  EXPECT_DEATH(
      {
        static KMUTEX m;
        KeInitializeMutex(&m, 0);
        HANDLE h;
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                             [](PVOID) { KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr); },
                             nullptr);
        LARGE_INTEGER d;
        d.QuadPart = -kSecond;
        KeDelayExecutionThread(KernelMode, FALSE, &d);
      },
      "bugcheck: system thread 'system thread 0x[0-9a-f]+' ended holding 1 mutex");
}

}  // namespace
