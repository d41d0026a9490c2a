// Plug and play and power through the class driver: surprise removal with a running pin, stop
// before remove, restart, capabilities, device power requests through SetPower, system sleep
// and resume announced on "\Callback\PowerState".
#include <algorithm>
#include <mutex>

#include "ks_bench.h"

namespace kvz::kstest {
namespace {

using ksclient::CompletedFrame;

// True when `expected` appears in `calls` in this order (other calls may sit between).
bool InOrder(const std::vector<std::string>& calls, const std::vector<std::string>& expected) {
  size_t next = 0;
  for (const std::string& c : calls)
    if (next < expected.size() && c == expected[next]) ++next;
  return next == expected.size();
}

size_t CountOf(const std::vector<std::string>& calls, const std::string& call) {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

class PnpPowerTest : public KsBench {};

TEST_F(PnpPowerTest, SurpriseRemovalWithARunningPin) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  auto pin = CreateCapturePin(*filter);
  ASSERT_TRUE(pin);
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  auto a = pin->QueueRead(kFrameBytes);
  auto b = pin->QueueRead(kFrameBytes);
  auto c = pin->QueueRead(kFrameBytes);

  ASSERT_EQ(STATUS_SUCCESS, device_->SurpriseRemove());
  for (auto* read : {a.get(), b.get(), c.get()}) {
    NTSTATUS status = read->Request()->Wait(10000000);
    EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
  }
  EXPECT_TRUE(ksclient::EnumerateInterfaces(KSCATEGORY_CAPTURE).empty());
  auto late = pin->QueueRead(kFrameBytes);
  EXPECT_EQ(STATUS_DEVICE_REMOVED, late->Request()->Wait(10000000));

  // The PnP manager sends the remove once the client let go of its files.
  pin.reset();
  filter.reset();
  EXPECT_EQ(0, Log().bagFrees.load());
  ASSERT_EQ(STATUS_SUCCESS, device_->Remove());
  std::vector<std::string> calls = Log().Calls();
  EXPECT_TRUE(InOrder(calls, {"Start", "SurpriseRemoval", "SetDeviceState 3->2", "PinClose", "FilterClose", "Stop",
                              "Remove"}));
  EXPECT_EQ(1u, CountOf(calls, "Stop"));
  EXPECT_EQ(1, Log().bagFrees.load());
  Unplug();
}

TEST_F(PnpPowerTest, RemoveOfANeverStartedDeviceDoesNotStopIt) {
  kvz::kernel::DeviceDescription description;
  description.instanceId = u"USB\\VID_1234&PID_5678\\6&0&0&2";
  std::unique_ptr<kvz::kernel::PnpDevice> second;
  ASSERT_EQ(STATUS_SUCCESS, kvz::kernel::PnpDevice::Add(*driver_, description, nullptr, &second));
  Log().Reset();
  ASSERT_EQ(STATUS_SUCCESS, second->Remove());
  EXPECT_EQ(std::vector<std::string>({"Remove"}), Log().Calls());
  EXPECT_EQ(1, Log().bagFrees.load());
}

TEST_F(PnpPowerTest, StopTakesTheFilterFactoryAndStartBringsItBack) {
  ASSERT_EQ(1u, ksclient::EnumerateInterfaces(KSCATEGORY_VIDEO).size());
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Stop());
  EXPECT_TRUE(ksclient::EnumerateInterfaces(KSCATEGORY_VIDEO).empty());
  EXPECT_FALSE(Log().device->Started);
  ASSERT_EQ(STATUS_SUCCESS, device_->Start());
  EXPECT_TRUE(Log().device->Started);
  EXPECT_EQ(1u, ksclient::EnumerateInterfaces(KSCATEGORY_VIDEO).size());
  EXPECT_TRUE(InOrder(Log().Calls(), {"Add", "Start", "Stop", "Start"}));
  auto filter = OpenFilter();
  EXPECT_TRUE(filter);
}

// A minidriver that cannot commit to a stop refuses the query: the refusal goes back to the PnP
// manager, which sends no stop; the device stays started and its filter keeps working.
TEST_F(PnpPowerTest, ARefusedQueryStopKeepsTheDeviceStarted) {
  auto filter = OpenFilter();
  ASSERT_TRUE(filter);
  Log().ClearCalls();
  Log().queryStopStatus = STATUS_DEVICE_BUSY;
  EXPECT_EQ(STATUS_DEVICE_BUSY, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->CancelStop());
  EXPECT_EQ(std::vector<std::string>({"QueryStop", "CancelStop"}), Log().Calls());
  EXPECT_TRUE(Log().device->Started);
  EXPECT_EQ(1u, ksclient::EnumerateInterfaces(KSCATEGORY_VIDEO).size());
  LONG value = 0;
  EXPECT_EQ(STATUS_SUCCESS, filter->Get(kTestPropertySet, kRangedValue, &value, sizeof(value)));
  EXPECT_EQ(4, value);
  EXPECT_TRUE(CreateCapturePin(*filter));
}

TEST_F(PnpPowerTest, CapabilitiesAllowSurpriseRemoval) {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(capabilities);
  capabilities.Version = 1;
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryCapabilities(&capabilities));
  EXPECT_EQ(1u, capabilities.SurpriseRemovalOK);
  EXPECT_EQ(1u, CountOf(Log().Calls(), "QueryCapabilities"));
}

struct PowerWait {
  KEVENT done;
  NTSTATUS status;
};

// The power manager frees the IRP after the completion function returns; a short kernel delay lets
// every other kernel thread finish before the test looks at what is left.
void LetOthersFinish() {
  LARGE_INTEGER interval;
  interval.QuadPart = -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

VOID NTAPI PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* wait = static_cast<PowerWait*>(context);
  wait->status = status->Status;
  KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(PnpPowerTest, DevicePowerRequestsReachSetPower) {
  Log().ClearCalls();
  for (DEVICE_POWER_STATE target : {PowerDeviceD3, PowerDeviceD0}) {
    PowerWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = target;
    ASSERT_EQ(STATUS_PENDING, PoRequestPowerIrp(device_->Pdo(), IRP_MN_SET_POWER, state, PowerDone, &wait, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, wait.status);
    LetOthersFinish();
  }
  EXPECT_EQ(std::vector<std::string>({"SetPower 1->4", "SetPower 4->1"}), Log().Calls());
  EXPECT_EQ(PowerDeviceD0, Log().device->DevicePowerState);
  ASSERT_EQ(STATUS_SUCCESS, device_->SetDevicePower(PowerDeviceD2));
  EXPECT_EQ(PowerDeviceD2, Log().device->DevicePowerState);
}

TEST_F(PnpPowerTest, APowerRequestFromDispatchLevelReachesSetPowerAtPassiveLevel) {
  Log().ClearCalls();
  PowerWait wait;
  KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  KIRQL old = KeRaiseIrqlToDpcLevel();
  NTSTATUS sent = PoRequestPowerIrp(device_->Pdo(), IRP_MN_SET_POWER, state, PowerDone, &wait, nullptr);
  KeLowerIrql(old);
  ASSERT_EQ(STATUS_PENDING, sent);
  ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, wait.status);
  LetOthersFinish();
  EXPECT_EQ(std::vector<std::string>({"SetPower 1->4"}), Log().Calls());
}

struct CallbackLog {
  std::mutex lock;
  std::vector<std::pair<ULONG_PTR, ULONG_PTR>> calls;
};

VOID NTAPI RecordPowerState(PVOID context, PVOID argument1, PVOID argument2) {
  auto* log = static_cast<CallbackLog*>(context);
  std::lock_guard<std::mutex> hold(log->lock);
  log->calls.emplace_back(reinterpret_cast<ULONG_PTR>(argument1), reinterpret_cast<ULONG_PTR>(argument2));
}

TEST_F(PnpPowerTest, SystemSleepAndResumeReachAPowerStateCallbackInOrder) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Callback\\PowerState");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ExCreateCallback(&object, &attributes, TRUE, FALSE));
  CallbackLog log;
  PVOID registration = ExRegisterCallback(object, RecordPowerState, &log);
  ASSERT_NE(nullptr, registration);

  kvz::kernel::NotifySystemStateLock(false);
  ASSERT_EQ(STATUS_SUCCESS, device_->SetSystemPower(PowerSystemSleeping3));
  EXPECT_EQ(PowerSystemSleeping3, Log().device->SystemPowerState);
  ASSERT_EQ(STATUS_SUCCESS, device_->SetSystemPower(PowerSystemWorking));
  kvz::kernel::NotifySystemStateLock(true);
  EXPECT_EQ(PowerSystemWorking, Log().device->SystemPowerState);

  ExUnregisterCallback(registration);
  ObDereferenceObject(object);
  std::vector<std::pair<ULONG_PTR, ULONG_PTR>> expected = {{PO_CB_SYSTEM_STATE_LOCK, 0}, {PO_CB_SYSTEM_STATE_LOCK, 1}};
  EXPECT_EQ(expected, log.calls);
}

}  // namespace
}  // namespace kvz::kstest
