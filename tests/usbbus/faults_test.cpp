#include <gtest/gtest.h>

#include <atomic>

#include "kvz/kernel_testing.h"
#include "kvz/usb_bus.h"
#include "kvz/worker_queue.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using simcam::RequestFault;
using simcam::RequestFaultKind;
using simcam::TransferFault;
using simcam::TransferFaultKind;
using testing::BusClient;
using testing::TestGuids;

constexpr uint16_t kPu = 0x0200;

struct Rig {
  explicit Rig(simcam::CameraProfile profile = simcam::HighSpeedIsochCamera(TestGuids()), PortOptions options = {})
      : camera(std::make_shared<simcam::SimCamera>(std::move(profile))), port(bus.Plug(camera, options)), client(port) {
    EXPECT_EQ(client.Configure(), STATUS_SUCCESS);
  }
  NTSTATUS GetBrightness(USBD_STATUS* urb = nullptr, ULONG* transferred = nullptr) {
    std::vector<uint8_t> data(2);
    return client.ClassRequest(true, GET_CUR, PU_BRIGHTNESS_CONTROL << 8, kPu, &data, urb, transferred);
  }
  UsbBus bus;
  std::shared_ptr<simcam::SimCamera> camera;
  UsbPortHandle port;
  BusClient client;
};

TEST(ControlFaults, StallComesWithAnIrpError) {
  Rig rig;
  RequestFault f;
  f.kind = RequestFaultKind::kStall;
  rig.camera->ArmRequestFault(f);
  USBD_STATUS urb = 0;
  EXPECT_EQ(rig.GetBrightness(&urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb, USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.GetBrightness(&urb), STATUS_SUCCESS);
  EXPECT_EQ(urb, USBD_STATUS_SUCCESS);
}

TEST(ControlFaults, PowerStateInvalidNTimes) {
  Rig rig;
  RequestFault f;
  f.kind = RequestFaultKind::kPowerStateInvalid;
  f.count = 21;
  rig.camera->ArmRequestFault(f);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(rig.GetBrightness(), STATUS_POWER_STATE_INVALID) << i;
  EXPECT_EQ(rig.GetBrightness(), STATUS_SUCCESS);
}

TEST(ControlFaults, ShortAnswerReportsTheBytesMoved) {
  Rig rig;
  RequestFault f;
  f.kind = RequestFaultKind::kShortAnswer;
  f.shortLength = 1;
  rig.camera->ArmRequestFault(f);
  ULONG transferred = 0;
  EXPECT_EQ(rig.GetBrightness(nullptr, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 1u);
}

TEST(ControlFaults, UrbErrorUnderIrpSuccess) {
  Rig rig;
  RequestFault f;
  f.kind = RequestFaultKind::kUrbErrorIrpSuccess;
  f.urbStatus = USBD_STATUS_XACT_ERROR;
  rig.camera->ArmRequestFault(f);
  USBD_STATUS urb = 0;
  EXPECT_EQ(rig.GetBrightness(&urb), STATUS_SUCCESS);
  EXPECT_EQ(urb, USBD_STATUS_XACT_ERROR);
}

TEST(ControlFaults, HeldRequestCompletesOnlyWhenCancelled) {
  Rig rig;
  RequestFault f;
  f.kind = RequestFaultKind::kHold;
  rig.camera->ArmRequestFault(f);
  std::vector<uint8_t> data(2);
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, GET_CUR, PU_BRIGHTNESS_CONTROL << 8, kPu, data.data(), nullptr, 2,
                        nullptr);
  auto r = rig.client.SubmitAsync(&urb);
  EXPECT_EQ(r->callStatus, STATUS_PENDING);
  EXPECT_FALSE(r->Wait(5 * kvz::kernel::kSecond));
  IoCancelIrp(r->irp);
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST(PowerState, LowPowerPortFailsRequestsUntilD0) {
  Rig rig;
  auto setPower = [&](DEVICE_POWER_STATE state) {
    PIRP irp = IoAllocateIrp(rig.client.Pdo()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = state;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE,
        TRUE);
    EXPECT_EQ(IoCallDriver(rig.client.Pdo(), irp), STATUS_SUCCESS);
    IoFreeIrp(irp);
  };
  setPower(PowerDeviceD3);
  EXPECT_EQ(rig.port.PowerState(), PowerDeviceD3);
  EXPECT_EQ(rig.GetBrightness(), STATUS_POWER_STATE_INVALID);
  EXPECT_EQ(rig.client.SelectAlternate(1, 2), STATUS_POWER_STATE_INVALID);
  // Pipe aborts move no packets and still work.
  EXPECT_EQ(rig.client.PipeRequest(URB_FUNCTION_ABORT_PIPE, rig.client.Interface(0)->Pipes[0].PipeHandle), STATUS_SUCCESS);
  setPower(PowerDeviceD2);
  EXPECT_EQ(rig.GetBrightness(), STATUS_POWER_STATE_INVALID);
  setPower(PowerDeviceD0);
  EXPECT_EQ(rig.GetBrightness(), STATUS_SUCCESS);
}

TEST(SelectionFaults, SelectInterfaceFailsKTimes) {
  Rig rig;
  RequestFault f;
  f.target = simcam::RequestTarget::kSetInterface;
  f.kind = RequestFaultKind::kFail;
  f.count = 3;
  f.irpStatus = STATUS_UNSUCCESSFUL;
  f.urbStatus = USBD_STATUS_NO_BANDWIDTH;
  rig.camera->ArmRequestFault(f);
  USBD_STATUS urb = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rig.client.SelectAlternate(1, 0, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb, USBD_STATUS_NO_BANDWIDTH);
  }
  EXPECT_EQ(rig.client.SelectAlternate(1, 0, &urb), STATUS_SUCCESS);
}

TEST(SelectionFaults, UrbErrorUnderIrpSuccessLeavesTheRecord) {
  Rig rig;
  RequestFault f;
  f.target = simcam::RequestTarget::kSetInterface;
  f.kind = RequestFaultKind::kUrbErrorIrpSuccess;
  f.urbStatus = USBD_STATUS_NO_BANDWIDTH;
  rig.camera->ArmRequestFault(f);
  USBD_STATUS urb = 0;
  EXPECT_EQ(rig.client.SelectAlternate(1, 5, &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb, USBD_STATUS_NO_BANDWIDTH);
  EXPECT_EQ(rig.camera->Snapshot().streamingAlternate, 0);
}

struct IsochRig : Rig {
  IsochRig() {
    client.Commit(1, 3, 333333);
    EXPECT_EQ(client.SelectAlternate(1, 2), STATUS_SUCCESS);
  }
  testing::StreamResult Stream(size_t frames) { return testing::StreamIsoch(client, &client.Interface(1)->Pipes[0], 3, 32, frames); }
};

TEST(IsochFaults, IrpFailureAndPacketStatus) {
  IsochRig rig;
  TransferFault fail;
  fail.kind = TransferFaultKind::kIrpFailure;
  fail.irpStatus = STATUS_UNSUCCESSFUL;
  fail.urbStatus = USBD_STATUS_XACT_ERROR;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_ISOCHRONOUS, fail);
  TransferFault packet;
  packet.kind = TransferFaultKind::kPacketStatus;
  packet.packetIndex = 4;
  packet.urbStatus = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_ISOCHRONOUS, packet);
  PUSBD_PIPE_INFORMATION pipe = &rig.client.Interface(1)->Pipes[0];
  // Queued back to back, so that the second one is not late for its first microframes.
  testing::IsochRead failed(rig.client, pipe, 32);
  testing::IsochRead bad(rig.client, pipe, 32);
  ASSERT_TRUE(failed.request->Wait());
  EXPECT_EQ(failed.request->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failed.Urb()->UrbHeader.Status, USBD_STATUS_XACT_ERROR);

  // The next transfer succeeds with one bad packet: its status, no data, one error counted.
  ASSERT_TRUE(bad.request->Wait());
  EXPECT_EQ(bad.request->status, STATUS_SUCCESS);
  const auto& t = bad.Urb()->UrbIsochronousTransfer;
  EXPECT_EQ(t.IsoPacket[4].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
  EXPECT_EQ(t.IsoPacket[4].Length, 0u);
  EXPECT_EQ(t.ErrorCount, 1u);
  EXPECT_EQ(t.IsoPacket[3].Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(t.IsoPacket[5].Status, USBD_STATUS_SUCCESS);
}

TEST(IsochFaults, HeaderFaultsReachTheHost) {
  IsochRig rig;
  rig.camera->ArmFrameFault(1, simcam::FrameFault{simcam::HeaderFault::kError, false, 0, 0});
  rig.camera->ArmFrameFault(2, simcam::FrameFault{simcam::HeaderFault::kNone, true, 0, 0});
  rig.camera->ArmFrameFault(3, simcam::FrameFault{simcam::HeaderFault::kNone, false, 64, 0});
  rig.camera->ArmFrameFault(4, simcam::FrameFault{simcam::HeaderFault::kNone, false, -64, 0});
  testing::StreamResult r = rig.Stream(5);
  ASSERT_GE(r.frames.size(), 5u);
  EXPECT_FALSE(r.frames[0].error);
  EXPECT_TRUE(r.frames[1].error);
  EXPECT_FALSE(r.frames[2].endOfFrame);
  EXPECT_EQ(r.frames[3].data.size(), 38400u + 64);
  EXPECT_EQ(r.frames[4].data.size(), 38400u - 64);
}

struct BulkRig : Rig {
  BulkRig() : Rig(simcam::BulkCamera(TestGuids())) { commit = client.Commit(1, 3, 333333); }
  PUSBD_PIPE_INFORMATION Pipe() { return &client.Interface(1)->Pipes[0]; }
  std::unique_ptr<testing::AsyncRequest> Read(std::vector<uint8_t>& buffer, URB& urb, ULONG flags) {
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe()->PipeHandle,
                                           buffer.data(), nullptr, static_cast<ULONG>(buffer.size()), flags, nullptr);
    auto r = client.SubmitAsync(&urb);
    r->Wait();
    return r;
  }
  UVC_VIDEO_PROBE_COMMIT commit{};
};

TEST(BulkFaults, StallThenHaltedUntilTheEndpointIsReset) {
  BulkRig rig;
  TransferFault f;
  f.kind = TransferFaultKind::kStallThenHalt;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, f);
  std::vector<uint8_t> buffer(rig.commit.dwMaxPayloadTransferSize);
  URB urb{};
  const ULONG flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  auto r = rig.Read(buffer, urb, flags);
  EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  r = rig.Read(buffer, urb, flags);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_TRUE(USBD_ERROR(urb.UrbHeader.Status));
  EXPECT_FALSE(NT_SUCCESS(r->status));
  ASSERT_EQ(rig.client.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, rig.Pipe()->PipeHandle), STATUS_SUCCESS);
  // The reset clears the camera's halt and stops its bulk stream until the next commit.
  rig.commit = rig.client.Commit(1, 3, 333333);
  r = rig.Read(buffer, urb, flags);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_GT(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 12u);
}

TEST(BulkFaults, FailingTransfersStillTakeBusTime) {
  BulkRig rig;
  TransferFault f;
  f.kind = TransferFaultKind::kStallThenHalt;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, f);
  std::vector<uint8_t> buffer(rig.commit.dwMaxPayloadTransferSize);
  URB urb{};
  const int64_t before = kvz::kernel::Now();
  for (int i = 0; i < 16; ++i) {
    auto r = rig.Read(buffer, urb, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_FALSE(NT_SUCCESS(r->status));
  }
  EXPECT_GE(kvz::kernel::Now() - before, 16 * 1250);  // one microframe each at least
}

TEST(BulkFaults, ShortTransfersAndOversizePayloads) {
  BulkRig rig;
  TransferFault f;
  f.kind = TransferFaultKind::kShort;
  f.shortLength = 40;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, f);
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, f);
  std::vector<uint8_t> buffer(rig.commit.dwMaxPayloadTransferSize);
  URB urb{};
  auto r = rig.Read(buffer, urb, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 40u);
  // Without USBD_SHORT_TRANSFER_OK a short packet is an error.
  r = rig.Read(buffer, urb, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_FALSE(NT_SUCCESS(r->status));
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);

  rig.camera->ArmFrameFault(rig.camera->Snapshot().framesSent, simcam::FrameFault{simcam::HeaderFault::kNone, false, 200, 100});
  bool overrun = false;
  for (int i = 0; i < 20 && !overrun; ++i) {
    r = rig.Read(buffer, urb, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    overrun = urb.UrbHeader.Status == USBD_STATUS_DATA_OVERRUN;
  }
  EXPECT_TRUE(overrun);
  EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
}

TEST(BulkFaults, TransfersHeldUntilAbort) {
  BulkRig rig;
  rig.camera->Configure([](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
    f.holdBulkUntilAbort = true;
  });
  std::vector<uint8_t> buffer(rig.commit.dwMaxPayloadTransferSize);
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), rig.Pipe()->PipeHandle,
                                         buffer.data(), nullptr, static_cast<ULONG>(buffer.size()),
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  auto r = rig.client.SubmitAsync(&urb);
  EXPECT_FALSE(r->Wait(2 * kvz::kernel::kSecond));
  ASSERT_EQ(rig.client.PipeRequest(URB_FUNCTION_ABORT_PIPE, rig.Pipe()->PipeHandle), STATUS_SUCCESS);
  ASSERT_TRUE(r->Wait(0));
  EXPECT_EQ(r->status, STATUS_CANCELLED);
}

TEST(InterruptFaults, FailureAndShortPacket) {
  Rig rig;
  PUSBD_PIPE_INFORMATION pipe = &rig.client.Interface(0)->Pipes[0];
  auto read = [&](std::vector<uint8_t>& buffer, URB& urb) {
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle,
                                           buffer.data(), nullptr, 16, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                           nullptr);
    return rig.client.SubmitAsync(&urb);
  };
  TransferFault f;
  f.kind = TransferFaultKind::kIrpFailure;
  f.irpStatus = STATUS_UNSUCCESSFUL;
  f.urbStatus = USBD_STATUS_DEV_NOT_RESPONDING;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_INTERRUPT, f);
  std::vector<uint8_t> buffer(16);
  URB urb{};
  auto r = read(buffer, urb);
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);

  rig.camera->Configure([](simcam::CameraFaults& faults, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
    faults.shortStatusPackets.push_back(2);
  });
  rig.camera->PressButton();
  r = read(buffer, urb);
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
}

// ---- Idle notification and port cycle -----------------------------------------------------------

struct IdleProbe {
  std::atomic<int> calls{0};
  std::atomic<int> irql{-1};
  KEVENT called;
};

VOID IdleCallback(PVOID context) {
  auto* p = static_cast<IdleProbe*>(context);
  p->irql = KeGetCurrentIrql();
  ++p->calls;
  KeSetEvent(&p->called, IO_NO_INCREMENT, FALSE);
}

TEST(Idle, CallbackRunsAtPassiveLevelAndCancelCompletesCancelled) {
  Rig rig;
  IdleProbe probe;
  KeInitializeEvent(&probe.called, NotificationEvent, FALSE);
  USB_IDLE_CALLBACK_INFO info{IdleCallback, &probe};
  auto r = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof(info));
  EXPECT_EQ(r->callStatus, STATUS_PENDING);
  ASSERT_EQ(KeWaitForSingleObject(&probe.called, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(probe.irql.load(), PASSIVE_LEVEL);
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_TRUE(rig.port.IdleNotificationPending());
  // A second notification while one is pending is refused.
  auto second = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof(info));
  EXPECT_EQ(second->callStatus, STATUS_DEVICE_BUSY);
  IoCancelIrp(r->irp);
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  EXPECT_FALSE(rig.port.IdleNotificationPending());
}

// A hub calls back only while the notification is pending: a callback that was waiting for a
// worker thread when the driver cancelled must not run (the driver may be freeing its context).
TEST(Idle, CallbackStillQueuedWhenCancelledDoesNotRun) {
  Rig rig;
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  std::atomic<int> blocked{0};
  for (int i = 0; i < 8; ++i)  // every delayed worker busy, so the callback stays queued
    kvz::kernel::QueueSystemWork(DelayedWorkQueue, [&] {
      ++blocked;
      KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
    }, "test gate");
  kvz::kernel::RunUntilIdle();
  ASSERT_EQ(blocked.load(), 8);
  IdleProbe probe;
  KeInitializeEvent(&probe.called, NotificationEvent, FALSE);
  USB_IDLE_CALLBACK_INFO info{IdleCallback, &probe};
  auto r = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof(info));
  EXPECT_EQ(r->callStatus, STATUS_PENDING);
  IoCancelIrp(r->irp);
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_CANCELLED);
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  kvz::kernel::RunUntilIdle();
  EXPECT_TRUE(kvz::kernel::PendingSystemWork().empty());
  EXPECT_EQ(probe.calls.load(), 0);
}

class IdleCompletionTest : public ::testing::TestWithParam<NTSTATUS> {};

// However the notification ends, the driver hears of it in its completion routine at
// DISPATCH_LEVEL, and the port takes a new notification (no longer "busy"); the callback is not
// run again for the one that ended.
TEST_P(IdleCompletionTest, AnEndedNotificationFreesThePortForTheNext) {
  PortOptions options;
  options.runIdleCallback = false;
  Rig rig(simcam::HighSpeedIsochCamera(TestGuids()), options);
  IdleProbe probe;
  KeInitializeEvent(&probe.called, NotificationEvent, FALSE);
  USB_IDLE_CALLBACK_INFO info{IdleCallback, &probe};
  auto r = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof(info));
  kvz::kernel::AdvanceClock(kvz::kernel::kSecond);
  EXPECT_EQ(probe.calls.load(), 0);
  auto busy = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof(info));
  EXPECT_EQ(busy->callStatus, STATUS_DEVICE_BUSY);
  rig.port.RunIdleCallback();
  ASSERT_EQ(KeWaitForSingleObject(&probe.called, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  rig.port.CompleteIdleNotification(GetParam());
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->completionIrql, DISPATCH_LEVEL);
  EXPECT_FALSE(r->completedInsideCall);
  EXPECT_FALSE(rig.port.IdleNotificationPending());
  auto next = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof(info));
  EXPECT_EQ(next->callStatus, STATUS_PENDING);
  EXPECT_TRUE(rig.port.IdleNotificationPending());
  kvz::kernel::AdvanceClock(kvz::kernel::kSecond);
  EXPECT_EQ(probe.calls.load(), 1);
  IoCancelIrp(next->irp);
  ASSERT_TRUE(next->Wait());
  EXPECT_EQ(next->status, STATUS_CANCELLED);
}

INSTANTIATE_TEST_SUITE_P(Statuses, IdleCompletionTest,
                         ::testing::Values(STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_NOT_SUPPORTED,
                                           STATUS_POWER_STATE_INVALID, STATUS_NO_SUCH_DEVICE));

TEST(Idle, BadCallbackRecordFailsAtOnce) {
  Rig rig;
  USB_IDLE_CALLBACK_INFO info{nullptr, nullptr};
  auto r = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof(info));
  EXPECT_EQ(r->callStatus, STATUS_INVALID_PARAMETER);
}

TEST(CyclePort, RecordedAndTheDeviceIsUnconfigured) {
  Rig rig;
  EXPECT_TRUE(rig.camera->Snapshot().configured);
  auto r = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT);
  EXPECT_EQ(r->callStatus, STATUS_PENDING);
  ASSERT_TRUE(r->Wait());
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(rig.port.PortCycles(), 1u);
  EXPECT_FALSE(rig.camera->Snapshot().configured);
  const std::vector<simcam::LoggedRequest> log = rig.camera->Log();
  EXPECT_EQ(log.back().kind, simcam::RequestKind::kPortCycle);
  // The old pipes are gone: the configuration is selected again.
  EXPECT_EQ(rig.client.Configure(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvz::usb
