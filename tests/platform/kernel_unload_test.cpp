#include <gtest/gtest.h>

#include <cfenv>

#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}

TEST(KernelUnload, ReportsQueuedTimersAndHookFindingsOnce) {
  int irpsAlive = 1;
  AddUnloadHook("test irps", [&irpsAlive](std::vector<std::string>& findings) {
    if (irpsAlive) findings.push_back("IRP 0x1234 still alive");
    irpsAlive = 0;
  });
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, Nothing, nullptr);
  LARGE_INTEGER due;
  due.QuadPart = -2 * kSecond;
  KeSetTimerEx(&timer, due, 500, &dpc);
  UnloadReport report = CheckUnload();
  EXPECT_FALSE(report.clean);
  EXPECT_NE(report.text.find("still queued (due in 2000 ms, periodic)"), std::string::npos) << report.text;
  EXPECT_NE(report.text.find("IRP 0x1234 still alive"), std::string::npos) << report.text;
  EXPECT_FALSE(KeCancelTimer(&timer)) << "the check dequeued it";
  EXPECT_CLEAN_UNLOAD();
  AddUnloadHook("test irps", [](std::vector<std::string>&) {});
}

VOID NTAPI WaitForEvent(PVOID event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }

TEST(KernelUnload, ReportsRunningWorkAndUnreleasedInterfacesOnce) {
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, WaitForEvent, &release);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  int clock = 0;
  InterfaceReferenced(&clock, "reference clock");
  InterfaceReferenced(&clock, "reference clock");
  InterfaceReleased(&clock);
  RunUntilIdle();
  UnloadReport report = CheckUnload();
  EXPECT_NE(report.text.find("still running on the delayed worker queue"), std::string::npos) << report.text;
  EXPECT_NE(report.text.find("reference clock interface"), std::string::npos) << report.text;
  EXPECT_NE(report.text.find("not released (1 reference)"), std::string::npos) << report.text;
  KeSetEvent(&release, 0, FALSE);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelUnload, DebugOutputIsCapturedWithKernelFormatting) {
  ClearDebugOutput();
  ULONG value = 7;
  DbgPrint("*** FaceDetect::Reset() ***\n");
  DbgPrintEx(DPFLTR_IHVVIDEO_ID, DPFLTR_ERROR_LEVEL, "value %lu %ws\n", value, u"wide");
  EXPECT_EQ(DebugOutput(), "*** FaceDetect::Reset() ***\nvalue 7 wide\n");
  ClearDebugOutput();
  EXPECT_EQ(DebugOutput(), "");
}

TEST(KernelUnload, FloatingPointStateIsRestoredInNestingOrder) {
  std::fesetround(FE_UPWARD);
  KFLOATING_SAVE outer, inner;
  EXPECT_EQ(KeSaveFloatingPointState(&outer), STATUS_SUCCESS);
  EXPECT_EQ(std::fegetround(), FE_TONEAREST) << "saved code starts from the default environment";
  std::fesetround(FE_TOWARDZERO);
  EXPECT_EQ(KeSaveFloatingPointState(&inner), STATUS_SUCCESS);
  std::fesetround(FE_DOWNWARD);
  EXPECT_EQ(KeRestoreFloatingPointState(&inner), STATUS_SUCCESS);
  EXPECT_EQ(std::fegetround(), FE_TOWARDZERO);
  EXPECT_EQ(KeRestoreFloatingPointState(&outer), STATUS_SUCCESS);
  EXPECT_EQ(std::fegetround(), FE_UPWARD);
  std::fesetround(FE_TONEAREST);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelUnload, ReportsAFloatingPointStateNotRestored) {
  KFLOATING_SAVE save;
  KeSaveFloatingPointState(&save);
  UnloadReport report = CheckUnload();
  EXPECT_NE(report.text.find("saved by 'test' and not restored"), std::string::npos) << report.text;
  KeRestoreFloatingPointState(&save);
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
