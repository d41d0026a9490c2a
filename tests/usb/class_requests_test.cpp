// Class requests on the device's synchronous path over the bus and the simulated camera: the
// 5 s time-out, low-power retries, short answers, OUT requests deferred from DISPATCH_LEVEL, the
// still button and removal.
#include <gtest/gtest.h>

#include <cstring>

#include <uvc.h>

#include "kvz/system_testing.h"
#include "common/sensor_register.h"
#include "support/usb_bench.h"
#include "usb/class_request_sender.h"
#include "usb/usb_limits.h"

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;
using kvz::kernel::kSecond;
using kvz::kernel::Now;

constexpr USHORT kBrightness = PU_BRIGHTNESS_CONTROL << 8;
constexpr USHORT kProcessingUnit = 0x0200;

simcam::RequestFault FaultOnBrightness(simcam::RequestFaultKind kind, uint32_t count) {
  simcam::RequestFault f;
  f.match.wValue = kBrightness;
  f.match.wIndex = kProcessingUnit;
  f.kind = kind;
  f.count = count;
  return f;
}

class ClassRequestTest : public UsbBench {
 protected:
  void SetUp() override {
    UsbBench::SetUp();
    ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::HighSpeedIsochCamera(DriverGuids())));
    camera_->ClearLog();
  }
  std::vector<uint8_t> Brightness() const { return camera_->ControlCurrent(2, PU_BRIGHTNESS_CONTROL); }
};

TEST_F(ClassRequestTest, UnansweredRequestTimesOutAfterFiveSecondsAndFreesTheDevice) {
  camera_->ArmRequestFault(FaultOnBrightness(simcam::RequestFaultKind::kHold, 1));
  UCHAR value[2] = {};
  const int64_t start = Now();
  EXPECT_EQ(STATUS_IO_TIMEOUT, Usb()->GetClassRequest(kRequestGetCur, kBrightness, kProcessingUnit, value, 2));
  const int64_t elapsed = Now() - start;
  EXPECT_GE(elapsed, 5 * kSecond);
  EXPECT_LT(elapsed, 6 * kSecond);
  // The semaphore was given back: the next request goes through.
  EXPECT_EQ(STATUS_SUCCESS, Usb()->GetClassRequest(kRequestGetCur, kBrightness, kProcessingUnit, value, 2));
}

struct PowerRetryCase {
  uint32_t failures;
  NTSTATUS expected;
  uint64_t submissions;
  int64_t delay;
};

class PowerStateRetryTest : public ClassRequestTest, public ::testing::WithParamInterface<PowerRetryCase> {};

TEST_P(PowerStateRetryTest, RetriesEveryFiftyMillisecondsUpToTwentyTwoSubmissions) {
  const PowerRetryCase& c = GetParam();
  camera_->ArmRequestFault(FaultOnBrightness(simcam::RequestFaultKind::kPowerStateInvalid, c.failures));
  UCHAR value[2] = {};
  const int64_t start = Now();
  EXPECT_EQ(c.expected, Usb()->GetClassRequest(kRequestGetCur, kBrightness, kProcessingUnit, value, 2));
  EXPECT_EQ(c.submissions, ControlRequestsSeen());
  EXPECT_GE(Now() - start, c.delay);
  EXPECT_LT(Now() - start, c.delay + 50 * kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(Retries, PowerStateRetryTest,
                         ::testing::Values(PowerRetryCase{21, STATUS_SUCCESS, 22, 1050 * kMillisecond},
                                           PowerRetryCase{22, STATUS_POWER_STATE_INVALID, 22, 1050 * kMillisecond},
                                           PowerRetryCase{1, STATUS_SUCCESS, 2, 50 * kMillisecond}));

struct AnswerCase {
  const char* name;
  simcam::RequestFaultKind kind;
  BOOLEAN in;
  NTSTATUS status;
  ULONG length;  // the length word afterwards (2 asked)
  ULONG copied;  // caller's bytes that take the camera's value; the rest keep their fill
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class AnswerTest : public ClassRequestTest, public ::testing::WithParamInterface<AnswerCase> {};

// What the length word reports and what lands in the caller's buffer, whatever the camera claims.
TEST_P(AnswerTest, ReportsAndCopiesOnlyTheBytesTransferred) {
  const AnswerCase& c = GetParam();
  simcam::RequestFault fault = FaultOnBrightness(c.kind, 1);
  fault.shortLength = 1;
  fault.excessLength = 6;
  fault.urbStatus = USBD_STATUS_STALL_PID;
  camera_->ArmRequestFault(fault);
  const std::vector<uint8_t> before = Brightness();
  ASSERT_EQ(2u, before.size());
  ClassRequestSender sender(Usb()->KsDevice(), Usb());
  UCHAR value[16];
  memset(value, 0xEE, sizeof(value));
  if (!c.in) {
    value[0] = 0x11;
    value[1] = 0x00;
  }
  ULONG length = 2;
  EXPECT_EQ(c.status, sender.SubmitControlUrb(c.in ? kRequestGetCur : kRequestSetCur,
                                              URB_FUNCTION_CLASS_INTERFACE, kBrightness, kProcessingUnit, value,
                                              &length, c.in));
  EXPECT_EQ(c.length, length);
  for (ULONG i = c.in ? 0 : 2; i < sizeof(value); ++i) EXPECT_EQ(i < c.copied ? before[i] : 0xEE, value[i]) << i;
  // The device's own path sees the same failure.
  camera_->ArmRequestFault(fault);
  UCHAR again[16] = {0x11, 0x00};
  if (c.in) EXPECT_EQ(c.status, Usb()->GetClassRequest(kRequestGetCur, kBrightness, kProcessingUnit, again, 2));
  else EXPECT_EQ(c.status, Usb()->SetClassRequest(kRequestSetCur, kBrightness, kProcessingUnit, again, 2));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AnswerTest,
    ::testing::Values(AnswerCase{"Short", simcam::RequestFaultKind::kShortAnswer, TRUE, STATUS_SUCCESS, 1, 1},
                      AnswerCase{"Oversize", simcam::RequestFaultKind::kOversizeAnswer, TRUE, STATUS_SUCCESS, 2, 2},
                      AnswerCase{"UrbErrorGet", simcam::RequestFaultKind::kUrbErrorIrpSuccess, TRUE,
                                 STATUS_UNSUCCESSFUL, 2, 0},
                      AnswerCase{"UrbErrorSet", simcam::RequestFaultKind::kUrbErrorIrpSuccess, FALSE,
                                 STATUS_UNSUCCESSFUL, 2, 0}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(ClassRequestTest, SetAtDispatchLevelIsSentLaterFromAWorkItemWithTheCallersBytes) {
  UCHAR value[2] = {0x10, 0x00};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const NTSTATUS status = Usb()->SetClassRequest(kRequestSetCur, kBrightness, kProcessingUnit, value, 2);
  value[0] = 0x55;  // the caller's buffer is free once the request is queued
  UCHAR in[2] = {};
  const NTSTATUS get = Usb()->GetClassRequest(kRequestGetCur, kBrightness, kProcessingUnit, in, 2);
  KeLowerIrql(old);
  EXPECT_EQ(STATUS_PENDING, status);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, get);
  // Control transfers take bus time: the camera sees the request when it completes.
  kvz::kernel::AdvanceClock(10 * kvz::kernel::kMillisecond);
  EXPECT_EQ(std::vector<uint8_t>({0x10, 0x00}), Brightness());
  ASSERT_EQ(1u, ControlRequestsSeen());  // the GET was never sent
  EXPECT_EQ(SET_CUR, camera_->Log()[0].setup.bRequest);
}

// A sender torn down (device removal) right after queuing an OUT request at DISPATCH_LEVEL waits
// for the work item, which uses it.
TEST_F(ClassRequestTest, TeardownWaitsForDeferredRequests) {
  UCHAR value[2] = {0x21, 0x00};
  ULONG length = 2;
  {
    ClassRequestSender sender(Usb()->KsDevice(), Usb());
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(STATUS_PENDING, sender.SendClassRequest(kRequestSetCur, URB_FUNCTION_CLASS_INTERFACE,
                                                      kBrightness, kProcessingUnit, value, &length, FALSE,
                                                      nullptr, nullptr));
    KeLowerIrql(old);
  }
  EXPECT_EQ(std::vector<uint8_t>({0x21, 0x00}), Brightness());
}

TEST_F(ClassRequestTest, UnsupportedRequestFunctionIsRefusedWithoutSending) {
  ClassRequestSender sender(Usb()->KsDevice(), Usb());
  UCHAR value[2] = {};
  ULONG length = 2;
  for (USHORT function : {USHORT{0x16}, USHORT{0x1D}, USHORT{0x1E}, USHORT{0x21}})
    EXPECT_EQ(STATUS_INVALID_PARAMETER, sender.SendClassRequest(kRequestGetCur, function, kBrightness,
                                                                kProcessingUnit, value, &length, TRUE, nullptr,
                                                                nullptr))
        << function;
  EXPECT_EQ(0u, ControlRequestsSeen());
}

struct ButtonCase {
  const char* name;
  LONG stillPinOpen;
  std::vector<UCHAR> packet;
  uint32_t triggers;
};

class StillButtonTest : public ClassRequestTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(StillButtonTest, PressWithAnOpenStillPinTriggersAStillImage) {
  const ButtonCase& c = GetParam();
  Usb()->SetStillPinOpen(c.stillPinOpen);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const NTSTATUS status = Usb()->OnStatusInterrupt(c.packet.data(), static_cast<ULONG>(c.packet.size()));
  KeLowerIrql(old);
  kvz::kernel::AdvanceClock(10 * kvz::kernel::kMillisecond);  // the trigger's control transfer takes bus time
  EXPECT_EQ(c.triggers ? STATUS_PENDING : STATUS_SUCCESS, status);
  EXPECT_EQ(c.triggers, camera_->Snapshot().stillTriggers);
  if (c.triggers) {
    const auto log = camera_->Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(VS_STILL_IMAGE_TRIGGER_CONTROL << 8, log[0].setup.wValue);
    EXPECT_EQ(0x0001, log[0].setup.wIndex);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, StillButtonTest,
    ::testing::Values(ButtonCase{"Pressed", 1, {0x02, 1, 0x00, 1}, 1},
                      ButtonCase{"PressedNoStillPin", 0, {0x02, 1, 0x00, 1}, 0},
                      ButtonCase{"Released", 1, {0x02, 1, 0x00, 0}, 0},
                      ButtonCase{"ControlInterface", 1, {0x01, 1, 0x00, 1}, 0},
                      ButtonCase{"OtherEvent", 1, {0x02, 1, 0x01, 1}, 0},
                      ButtonCase{"ShortPacket", 1, {0x02, 1, 0x00}, 0}),
    [](const ::testing::TestParamInfo<ButtonCase>& info) { return std::string(info.param.name); });

TEST_F(ClassRequestTest, RemovedDeviceFailsAtOnceWithoutTouchingTheBus) {
  Usb()->MarkRemoved();
  UCHAR value[2] = {};
  const int64_t start = Now();
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Usb()->GetClassRequest(kRequestGetCur, kBrightness, kProcessingUnit, value, 2));
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Usb()->CyclePort());
  EXPECT_EQ(0, Now() - start);
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(ClassRequestTest, HeldRequestEndsWhenTheCameraIsUnplugged) {
  camera_->ArmRequestFault(FaultOnBrightness(simcam::RequestFaultKind::kHold, 1));
  NTSTATUS status = STATUS_SUCCESS;
  HANDLE thread = nullptr;
  struct Args {
    UsbDevice* device;
    NTSTATUS* status;
  } args{Usb(), &status};
  ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(
                                &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                [](PVOID p) {
                                  auto* a = static_cast<Args*>(p);
                                  UCHAR value[2] = {};
                                  *a->status = a->device->GetClassRequest(kRequestGetCur, kBrightness,
                                                                          kProcessingUnit, value, 2);
                                  PsTerminateSystemThread(STATUS_SUCCESS);
                                },
                                &args));
  kvz::kernel::AdvanceClock(kSecond);
  const int64_t unplugged = Now();
  port_->Unplug();
  PVOID object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr));
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  ZwClose(thread);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, status);
  EXPECT_LT(Now() - unplugged, kSecond);
}

// Another camera's vendor unit, recorded later on its own device, does not move this one's pairs.
TEST_F(ClassRequestTest, FlickerRegistersReachTheCameraThroughTheDevicesServices) {
  Usb()->SetVendorUnitIndex(static_cast<USHORT>(camera_->Profile().vendorUnitId << 8));
  UsbDevice other(Usb()->KsDevice());
  other.SetVendorUnitIndex(0x0700);
  other.SetTestUnitIndex(0x0800);
  EXPECT_EQ(0x00FF, Usb()->TestUnitIndex());
  ASSERT_EQ(STATUS_SUCCESS, WriteSensorRegister(Usb()->Services(), 0x0600, 0x5A));
  UCHAR value = 0;
  ASSERT_EQ(STATUS_SUCCESS, ReadSensorRegister(Usb()->Services(), 0x0600, &value));
  EXPECT_EQ(0x5A, value);
  const auto writes = camera_->RegisterWrites();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(0x0600, writes.back().address);
  EXPECT_EQ(0x5A, writes.back().value);
}

class UsbDeviceAllocationTest : public UsbBench {};

TEST_F(UsbDeviceAllocationTest, WithoutARequestSenderClassRequestsFailAndSendNothing) {
  kvz::kernel::FailNthAllocation(1, kTagClassRequestSender);
  ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::HighSpeedIsochCamera(DriverGuids())));
  kvz::kernel::ClearPoolFaults();
  EXPECT_FALSE(Usb()->HasClassRequestSender());
  camera_->ClearLog();
  UCHAR value[2] = {};
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            Usb()->GetClassRequest(kRequestGetCur, kBrightness, kProcessingUnit, value, 2));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            Usb()->SetClassRequest(kRequestSetCur, kBrightness, kProcessingUnit, value, 2));
  EXPECT_EQ(0u, ControlRequestsSeen());
}

}  // namespace
}  // namespace kvz::usbtest
