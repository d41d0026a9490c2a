#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/pnp_manager.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

PCALLBACK_OBJECT OpenCallback(const char16_t* text, BOOLEAN create, BOOLEAN allowMultiple, NTSTATUS* status,
                              ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, text);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, attributes, nullptr, nullptr);
  PCALLBACK_OBJECT object = nullptr;
  *status = ExCreateCallback(&object, &oa, create, allowMultiple);
  return object;
}

struct Seen {
  std::vector<std::string> calls;
};

struct Listener {
  Seen* seen;
  const char* name;
};

VOID NTAPI Record(PVOID context, PVOID argument1, PVOID argument2) {
  auto* listener = static_cast<Listener*>(context);
  listener->seen->calls.push_back(std::string(listener->name) + ":" +
                                  std::to_string(reinterpret_cast<ULONG_PTR>(argument1)) + "," +
                                  std::to_string(reinterpret_cast<ULONG_PTR>(argument2)));
}

TEST(CallbackObjects, PowerStateExistsFromBootAndNotifiesInRegistrationOrder) {
  NTSTATUS status;
  PCALLBACK_OBJECT power = OpenCallback(u"\\callback\\powerstate", FALSE, FALSE, &status);
  ASSERT_EQ(status, STATUS_SUCCESS) << "present without being created";
  Seen seen;
  Listener first{&seen, "first"}, second{&seen, "second"};
  PVOID a = ExRegisterCallback(power, Record, &first);
  PVOID b = ExRegisterCallback(power, Record, &second);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  NotifySystemStateLock(false);
  NotifySystemStateLock(true);
  EXPECT_EQ(seen.calls, (std::vector<std::string>{"first:3,0", "second:3,0", "first:3,1", "second:3,1"}));
  ExUnregisterCallback(a);
  NotifySystemStateLock(true);
  EXPECT_EQ(seen.calls.back(), "second:3,1");
  EXPECT_EQ(seen.calls.size(), 5u);
  ExUnregisterCallback(b);
  ObDereferenceObject(power);
  EXPECT_CLEAN_UNLOAD();
}

TEST(CallbackObjects, CreateOpensOrMakesAndSingleRegistrationObjectsRefuseASecond) {
  NTSTATUS status;
  EXPECT_EQ(OpenCallback(u"\\Callback\\KvzMissing", FALSE, TRUE, &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  PCALLBACK_OBJECT single = OpenCallback(u"\\Callback\\KvzSingle", TRUE, FALSE, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  PCALLBACK_OBJECT again = OpenCallback(u"\\Callback\\KVZSINGLE", FALSE, FALSE, &status);
  EXPECT_EQ(again, single);
  Seen seen;
  Listener one{&seen, "one"};
  PVOID registration = ExRegisterCallback(single, Record, &one);
  EXPECT_NE(registration, nullptr);
  EXPECT_EQ(ExRegisterCallback(single, Record, &one), nullptr);
  ExNotifyCallback(single, reinterpret_cast<PVOID>(7), nullptr);
  EXPECT_EQ(seen.calls, (std::vector<std::string>{"one:7,0"}));
  ExUnregisterCallback(registration);
  ObDereferenceObject(again);
  ObDereferenceObject(single);
}

struct Slow {
  KEVENT entered;
  KEVENT release;
  std::atomic<bool> finished{false};
};

VOID NTAPI SlowCallback(PVOID context, PVOID, PVOID) {
  auto* slow = static_cast<Slow*>(context);
  KeSetEvent(&slow->entered, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&slow->release, Executive, KernelMode, FALSE, nullptr);
  LARGE_INTEGER delay;
  delay.QuadPart = -10 * kMillisecond;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  slow->finished = true;
}

TEST(CallbackObjects, UnregisterWaitsForARunningCall) {
  NTSTATUS status;
  PCALLBACK_OBJECT object = OpenCallback(u"\\Callback\\KvzSlow", TRUE, TRUE, &status);
  Slow slow;
  KeInitializeEvent(&slow.entered, NotificationEvent, FALSE);
  KeInitializeEvent(&slow.release, NotificationEvent, FALSE);
  PVOID registration = ExRegisterCallback(object, SlowCallback, &slow);
  KernelThread notifier("notifier", [&] { ExNotifyCallback(object, nullptr, nullptr); });
  KeWaitForSingleObject(&slow.entered, Executive, KernelMode, FALSE, nullptr);
  KernelThread releaser("releaser", [&] { KeSetEvent(&slow.release, IO_NO_INCREMENT, FALSE); });
  ExUnregisterCallback(registration);
  EXPECT_TRUE(slow.finished) << "unregistering returned while the callback still ran";
  notifier.Join();
  releaser.Join();
  ObDereferenceObject(object);
}

TEST(CallbackObjects, RegistrationLeftBehindIsReported) {
  NTSTATUS status;
  PCALLBACK_OBJECT power = OpenCallback(u"\\Callback\\PowerState", FALSE, TRUE, &status);
  Seen seen;
  Listener forgotten{&seen, "forgotten"};
  ExRegisterCallback(power, Record, &forgotten);
  ObDereferenceObject(power);
  UnloadReport report = CheckUnload();
  EXPECT_FALSE(report.clean);
  EXPECT_NE(report.text.find("\\Callback\\PowerState still registered"), std::string::npos) << report.text;
  NotifySystemStateLock(true);
  EXPECT_TRUE(seen.calls.empty()) << "a reported registration is dropped";
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
