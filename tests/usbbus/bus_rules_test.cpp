// What the bus does as Windows does it, and the bus faults that drive a driver's time-out paths:
// suspended ports, held selections, frames freed by an abort, pipe reset and halt, control
// transfers that take bus time, late, failing and hanging requests, removal, re-enumeration,
// interrupt polling.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "kvz/kernel_testing.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using kvz::kernel::kMillisecond;
using kvz::kernel::kSecond;
using testing::AsyncRequest;
using testing::BusClient;
using testing::IsochRead;
using Read = testing::BulkRead;
using testing::TestGuids;

constexpr uint16_t kPu = 0x0200;
constexpr int64_t kMicroframe = 1250;

struct Rig {
  explicit Rig(simcam::CameraProfile profile = simcam::HighSpeedIsochCamera(TestGuids()), PortOptions options = {})
      : camera(std::make_shared<simcam::SimCamera>(std::move(profile))), port(bus.Plug(camera, options)), client(port) {
    EXPECT_EQ(client.Configure(), STATUS_SUCCESS);
  }
  UsbBus bus;
  std::shared_ptr<simcam::SimCamera> camera;
  UsbPortHandle port;
  BusClient client;
};

struct IsochRig : Rig {
  explicit IsochRig(PortOptions options = {}) : Rig(simcam::HighSpeedIsochCamera(TestGuids()), options) {
    client.Commit(1, 3, 333333);
    EXPECT_EQ(client.SelectAlternate(1, 2), STATUS_SUCCESS);
  }
  PUSBD_PIPE_INFORMATION Pipe() { return &client.Interface(1)->Pipes[0]; }
};

struct BulkRig : Rig {
  BulkRig() : Rig(simcam::BulkCamera(TestGuids())) { commit = client.Commit(1, 3, 333333); }
  PUSBD_PIPE_INFORMATION Pipe() { return &client.Interface(1)->Pipes[0]; }
  UVC_VIDEO_PROBE_COMMIT commit{};
};

std::unique_ptr<AsyncRequest> Brightness(BusClient& client, URB& urb, std::vector<uint8_t>& data, bool set) {
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        set ? USBD_TRANSFER_DIRECTION_OUT : USBD_TRANSFER_DIRECTION_IN, 0, set ? SET_CUR : GET_CUR,
                        PU_BRIGHTNESS_CONTROL << 8, kPu, data.data(), nullptr, static_cast<ULONG>(data.size()), nullptr);
  return client.SubmitAsync(&urb);
}

// ---- Power, selection, abort and reset --------------------------------------------------------

TEST(BusRules, ASuspendedPortMovesNoDataUntilD0) {
  IsochRig rig;
  BulkRig bulk;
  IsochRead isoch(rig.client, rig.Pipe(), 8);
  Read read(bulk.client, bulk.Pipe(), bulk.commit.dwMaxPayloadTransferSize);
  EXPECT_EQ(rig.client.SetPower(PowerDeviceD2)->status, STATUS_SUCCESS);
  EXPECT_EQ(bulk.client.SetPower(PowerDeviceD3)->status, STATUS_SUCCESS);
  EXPECT_FALSE(isoch.request->Wait(kSecond));
  EXPECT_FALSE(read.request->Wait(0));
  const int64_t resumed = kvz::kernel::Now();
  EXPECT_EQ(rig.client.SetPower(PowerDeviceD0)->status, STATUS_SUCCESS);
  EXPECT_EQ(bulk.client.SetPower(PowerDeviceD0)->status, STATUS_SUCCESS);
  ASSERT_TRUE(isoch.request->Wait(kSecond));
  EXPECT_EQ(isoch.request->status, STATUS_SUCCESS);
  // The transfer was scheduled afresh: its eight microframes lie after the resume.
  EXPECT_GE(isoch.request->completedAt, static_cast<uint64_t>(resumed + 8 * kMicroframe));
  ASSERT_TRUE(read.request->Wait(kSecond));
  EXPECT_EQ(read.request->status, STATUS_SUCCESS);
  EXPECT_GT(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 12u);
}

TEST(BusRules, ASelectionTheCameraHoldsStaysPendingUntilCancelled) {
  for (simcam::RequestTarget target : {simcam::RequestTarget::kSetInterface, simcam::RequestTarget::kSetConfiguration}) {
    Rig rig;
    rig.client.Commit(1, 3, 333333);
    simcam::RequestFault hold;
    hold.target = target;
    hold.kind = simcam::RequestFaultKind::kHold;
    rig.camera->ArmRequestFault(hold);
    std::vector<uint8_t> select(std::max<size_t>(GET_SELECT_INTERFACE_REQUEST_SIZE(3), sizeof(URB)), 0);
    auto* urb = reinterpret_cast<PURB>(select.data());
    std::vector<uint8_t> config = rig.client.ReadConfiguration();
    PURB built = nullptr;
    if (target == simcam::RequestTarget::kSetInterface) {
      UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(3)),
                                     rig.client.ConfigurationHandle(), 1, 2);
    } else {
      auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
      USBD_INTERFACE_LIST_ENTRY list[] = {
          {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr},
          {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 1, 0, -1, -1, -1), nullptr},
          {nullptr, nullptr}};
      built = USBD_CreateConfigurationRequestEx(descriptor, list);
      ASSERT_NE(nullptr, built);
      urb = built;
    }
    auto r = rig.client.SubmitAsync(urb);
    EXPECT_EQ(r->callStatus, STATUS_PENDING);
    EXPECT_FALSE(r->Wait(5 * kSecond));
    EXPECT_EQ(0, rig.camera->Snapshot().streamingAlternate);
    IoCancelIrp(r->irp);
    ASSERT_TRUE(r->Wait(kSecond));
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    if (built) ExFreePool(built);
  }
}

TEST(BusRules, AbortingAPipeFreesTheFramesItsTransfersHadReserved) {
  IsochRig rig;
  std::vector<std::unique_ptr<IsochRead>> queued;
  for (int i = 0; i < 4; ++i) queued.push_back(std::make_unique<IsochRead>(rig.client, rig.Pipe(), 128));
  ASSERT_EQ(rig.client.PipeRequest(URB_FUNCTION_ABORT_PIPE, rig.Pipe()->PipeHandle), STATUS_SUCCESS);
  for (auto& q : queued) {
    ASSERT_TRUE(q->request->Wait(0));
    EXPECT_EQ(q->request->status, STATUS_CANCELLED);
  }
  IsochRead next(rig.client, rig.Pipe(), 8);
  ASSERT_TRUE(next.request->Wait(kSecond));
  EXPECT_EQ(next.request->status, STATUS_SUCCESS);
  // Eight microframes from the next one on, not after the 64 ms the aborted transfers held.
  EXPECT_LE(next.request->completedAt, static_cast<uint64_t>(next.submittedAt + 10 * kMicroframe));
}

TEST(BusRules, AResetWaitsForAnEmptyPipeAndClearsItsHalt) {
  BulkRig rig;
  simcam::TransferFault stall;
  stall.kind = simcam::TransferFaultKind::kIrpFailure;
  stall.urbStatus = USBD_STATUS_STALL_PID;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, stall);
  const ULONG size = rig.commit.dwMaxPayloadTransferSize;
  Read first(rig.client, rig.Pipe(), size);
  ASSERT_TRUE(first.request->Wait());
  EXPECT_EQ(first.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  // The halt is the pipe's: the next transfer fails without the camera being asked.
  Read second(rig.client, rig.Pipe(), size);
  ASSERT_TRUE(second.request->Wait());
  EXPECT_EQ(second.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_FALSE(NT_SUCCESS(second.request->status));

  rig.camera->Configure([](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&,
                           simcam::CameraOptions&) { f.holdBulkUntilAbort = true; });
  ASSERT_EQ(rig.client.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, rig.Pipe()->PipeHandle),
            STATUS_SUCCESS);
  Read held(rig.client, rig.Pipe(), size);
  EXPECT_FALSE(held.request->Wait(kSecond));
  // Windows refuses to reset a pipe with a transfer still queued.
  URB reset{};
  reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.UrbPipeRequest.PipeHandle = rig.Pipe()->PipeHandle;
  EXPECT_FALSE(NT_SUCCESS(rig.client.Submit(&reset)));
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
  EXPECT_FALSE(held.request->Wait(0));
  ASSERT_EQ(rig.client.PipeRequest(URB_FUNCTION_ABORT_PIPE, rig.Pipe()->PipeHandle), STATUS_SUCCESS);
  EXPECT_EQ(held.request->status, STATUS_CANCELLED);
  EXPECT_EQ(rig.client.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, rig.Pipe()->PipeHandle),
            STATUS_SUCCESS);
}

TEST(BusRules, InterruptEndpointsHaltTooAndArePolledAtTheirInterval) {
  Rig rig;
  PUSBD_PIPE_INFORMATION pipe = &rig.client.Interface(0)->Pipes[0];
  // bInterval 8 at high speed: a poll every 2^7 microframes.
  const uint64_t period = 128 * kMicroframe;
  rig.camera->PressButton();
  Read pressed(rig.client, pipe, 16);
  ASSERT_TRUE(pressed.request->Wait(kSecond));
  EXPECT_EQ(pressed.request->status, STATUS_SUCCESS);
  EXPECT_EQ(0u, pressed.request->completedAt % period);

  simcam::TransferFault stall;
  stall.urbStatus = USBD_STATUS_STALL_PID;
  rig.camera->ArmTransferFault(USB_ENDPOINT_TYPE_INTERRUPT, stall);
  Read stalled(rig.client, pipe, 16);
  ASSERT_TRUE(stalled.request->Wait(kSecond));
  EXPECT_EQ(stalled.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  rig.camera->PressButton();
  Read halted(rig.client, pipe, 16);
  ASSERT_TRUE(halted.request->Wait(kSecond));
  EXPECT_EQ(halted.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  ASSERT_EQ(rig.client.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe->PipeHandle), STATUS_SUCCESS);
  Read after(rig.client, pipe, 16);
  ASSERT_TRUE(after.request->Wait(kSecond));
  EXPECT_EQ(after.request->status, STATUS_SUCCESS);
}

// ---- Control transfers --------------------------------------------------------------------------

TEST(BusRules, ControlTransfersMoveTheirDataAtCompletion) {
  Rig rig;
  std::vector<uint8_t> value = {0x20, 0x00};
  URB set{};
  const int64_t sent = kvz::kernel::Now();
  auto r = Brightness(rig.client, set, value, true);
  EXPECT_EQ(r->callStatus, STATUS_PENDING);
  value = {0x31, 0x00};  // the device reads the buffer at completion, not at submission
  ASSERT_TRUE(r->Wait(kSecond));
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_GT(r->completedAt, static_cast<uint64_t>(sent));

  std::vector<uint8_t> answer = {0x00, 0x00};
  URB get{};
  r = Brightness(rig.client, get, answer, false);
  EXPECT_NE(0x31, answer[0]);  // nothing there before completion
  ASSERT_TRUE(r->Wait(kSecond));
  EXPECT_EQ(0x31, answer[0]);
  EXPECT_EQ(2u, get.UrbControlVendorClassRequest.TransferBufferLength);
}

TEST(BusRules, AShareOfSuccessesCompletesInsideTheCall) {
  PortOptions options;
  options.syncCompletionShare = 0.5;
  options.syncCompletionSeed = 7;
  Rig rig(simcam::HighSpeedIsochCamera(TestGuids()), options);
  int inside = 0, later = 0;
  for (int i = 0; i < 20; ++i) {
    std::vector<uint8_t> answer(2);
    URB get{};
    auto r = Brightness(rig.client, get, answer, false);
    ASSERT_TRUE(r->Wait(kSecond));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(2u, get.UrbControlVendorClassRequest.TransferBufferLength);
    if (r->completedInsideCall) {
      EXPECT_EQ(r->callStatus, STATUS_SUCCESS);
      ++inside;
    } else {
      EXPECT_EQ(r->callStatus, STATUS_PENDING);
      ++later;
    }
  }
  EXPECT_GT(inside, 0);
  EXPECT_GT(later, 0);
}

// Stress mode: the data pipe completes on its own thread, each pipe still in order, so frames
// assemble as they do with one thread.
TEST(BusRules, TwoCompletionThreadsKeepEachPipeInOrder) {
  PortOptions options;
  options.twoCompletionThreads = true;
  IsochRig rig(options);
  testing::StreamResult r = testing::StreamIsoch(rig.client, rig.Pipe(), 5, 32, 4);
  EXPECT_EQ(r.failed, 0u);
  ASSERT_GE(r.frames.size(), 4u);
  for (size_t i = 1; i < r.frames.size(); ++i) {  // the first may have begun before the stream did
    EXPECT_FALSE(r.frames[i].error);
    EXPECT_TRUE(r.frames[i].endOfFrame);
    EXPECT_EQ(r.frames[i].data.size(), 38400u);
  }
}

// ---- Bus faults ---------------------------------------------------------------------------------

struct FaultCase {
  const char* name;
  BusRequest request;
  BusFault::Kind kind;
};

class BusFaultTest : public ::testing::TestWithParam<FaultCase> {};

// Sends the request the fault is armed for; the pipe request goes to the isochronous pipe.
std::unique_ptr<AsyncRequest> SendFaulted(IsochRig& rig, BusRequest request, URB& urb) {
  switch (request) {
    case BusRequest::kAbortPipe:
    case BusRequest::kResetPipe:
      urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
      urb.UrbHeader.Function = request == BusRequest::kAbortPipe ? URB_FUNCTION_ABORT_PIPE
                                                                : URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
      urb.UrbPipeRequest.PipeHandle = rig.Pipe()->PipeHandle;
      return rig.client.SubmitAsync(&urb);
    case BusRequest::kCyclePort:
      return rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT);
    case BusRequest::kSetPower:
      return rig.client.SetPower(PowerDeviceD3);
    default:
      return nullptr;
  }
}

TEST_P(BusFaultTest, FailsHangsOrCompletesLate) {
  const FaultCase& c = GetParam();
  IsochRig rig;
  BusFault fault;
  fault.request = c.request;
  fault.kind = c.kind;
  fault.irpStatus = STATUS_IO_DEVICE_ERROR;
  fault.urbStatus = USBD_STATUS_INTERNAL_HC_ERROR;
  fault.delay = 300 * kMillisecond;
  rig.port.ArmBusFault(fault);
  URB urb{};
  const int64_t sent = kvz::kernel::Now();
  auto r = SendFaulted(rig, c.request, urb);
  switch (c.kind) {
    case BusFault::Kind::kFail:
      ASSERT_TRUE(r->Wait(kSecond));
      EXPECT_EQ(r->status, STATUS_IO_DEVICE_ERROR);
      if (c.request == BusRequest::kSetPower) {
        EXPECT_EQ(rig.port.PowerState(), PowerDeviceD0);
      }
      if (c.request == BusRequest::kCyclePort) {
        EXPECT_EQ(rig.port.PortCycles(), 0u);
      }
      break;
    case BusFault::Kind::kHang:
      EXPECT_FALSE(r->Wait(10 * kSecond));
      // Only the device's removal ends a hung request for good.
      rig.port.Unplug();
      ASSERT_TRUE(r->Wait(kSecond));
      EXPECT_FALSE(NT_SUCCESS(r->status));
      break;
    case BusFault::Kind::kDelay:
      ASSERT_TRUE(r->Wait(kSecond));
      EXPECT_TRUE(NT_SUCCESS(r->status));
      EXPECT_GE(r->completedAt, static_cast<uint64_t>(sent + 300 * kMillisecond));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BusFaultTest,
    ::testing::Values(FaultCase{"AbortFails", BusRequest::kAbortPipe, BusFault::Kind::kFail},
                      FaultCase{"AbortHangs", BusRequest::kAbortPipe, BusFault::Kind::kHang},
                      FaultCase{"AbortLate", BusRequest::kAbortPipe, BusFault::Kind::kDelay},
                      FaultCase{"ResetFails", BusRequest::kResetPipe, BusFault::Kind::kFail},
                      FaultCase{"ResetHangs", BusRequest::kResetPipe, BusFault::Kind::kHang},
                      FaultCase{"CycleFails", BusRequest::kCyclePort, BusFault::Kind::kFail},
                      FaultCase{"CycleHangs", BusRequest::kCyclePort, BusFault::Kind::kHang},
                      FaultCase{"CycleLate", BusRequest::kCyclePort, BusFault::Kind::kDelay},
                      FaultCase{"PowerFails", BusRequest::kSetPower, BusFault::Kind::kFail},
                      FaultCase{"PowerHangs", BusRequest::kSetPower, BusFault::Kind::kHang},
                      FaultCase{"PowerLate", BusRequest::kSetPower, BusFault::Kind::kDelay}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(BusFaults, ControlRequestsAndTransfersCompleteLate) {
  IsochRig rig;
  BusFault late;
  late.request = BusRequest::kControl;
  late.kind = BusFault::Kind::kDelay;
  late.delay = 2 * kSecond;
  rig.port.ArmBusFault(late);
  late.request = BusRequest::kTransfer;
  late.delay = 200 * kMillisecond;
  rig.port.ArmBusFault(late);
  std::vector<uint8_t> answer(2);
  URB get{};
  const int64_t sent = kvz::kernel::Now();
  auto control = Brightness(rig.client, get, answer, false);
  IsochRead transfer(rig.client, rig.Pipe(), 8);
  ASSERT_TRUE(transfer.request->Wait(kSecond));
  EXPECT_GE(transfer.request->completedAt, static_cast<uint64_t>(sent + 200 * kMillisecond));
  EXPECT_FALSE(control->completed);
  ASSERT_TRUE(control->Wait(5 * kSecond));
  EXPECT_EQ(control->status, STATUS_SUCCESS);
  EXPECT_GE(control->completedAt, static_cast<uint64_t>(sent + 2 * kSecond));
}

class RemovalTest : public ::testing::TestWithParam<NTSTATUS> {};

TEST_P(RemovalTest, PendingAndLaterRequestsEndWithTheChosenStatus) {
  BulkRig rig;
  std::atomic<int> removals{0};
  rig.port.SetRemovalHandler([&] { ++removals; });
  rig.camera->Configure([](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&,
                           simcam::CameraOptions&) { f.holdBulkUntilAbort = true; });
  Read pending(rig.client, rig.Pipe(), rig.commit.dwMaxPayloadTransferSize);
  rig.port.Remove(GetParam());
  ASSERT_TRUE(pending.request->Wait(kSecond));
  EXPECT_EQ(pending.request->status, GetParam());
  Read later(rig.client, rig.Pipe(), 64);
  EXPECT_EQ(later.request->callStatus, GetParam());
  kvz::kernel::RunUntilIdle();
  EXPECT_EQ(1, removals.load());
}

INSTANTIATE_TEST_SUITE_P(Statuses, RemovalTest,
                         ::testing::Values(STATUS_NO_SUCH_DEVICE, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED));

TEST(BusFaults, ABurstOfTransactionErrorsBeforeTheDeviceGoes) {
  IsochRig rig;
  rig.port.Remove(STATUS_DEVICE_NOT_CONNECTED, 3);
  for (int i = 0; i < 3; ++i) {
    IsochRead r(rig.client, rig.Pipe(), 8);
    ASSERT_TRUE(r.request->Wait(kSecond));
    EXPECT_EQ(r.request->status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Urb()->UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(8u, r.Urb()->UrbIsochronousTransfer.ErrorCount);
  }
  IsochRead gone(rig.client, rig.Pipe(), 8);
  ASSERT_TRUE(gone.request->Wait(kSecond));
  EXPECT_EQ(gone.request->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(rig.port.Removed());
}

TEST(BusFaults, APortCycleThatReEnumeratesBringsANewDevice) {
  PortOptions options;
  options.cycleReenumerates = true;
  Rig rig(simcam::HighSpeedIsochCamera(TestGuids()), options);
  std::atomic<int> removals{0};
  rig.port.SetRemovalHandler([&] { ++removals; });
  KEVENT arrived;
  KeInitializeEvent(&arrived, NotificationEvent, FALSE);
  std::unique_ptr<UsbPortHandle> newPort;
  rig.bus.SetArrivalHandler([&](UsbPortHandle port) {
    newPort = std::make_unique<UsbPortHandle>(port);
    KeSetEvent(&arrived, IO_NO_INCREMENT, FALSE);
  });
  auto cycle = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT);
  ASSERT_TRUE(cycle->Wait(kSecond));
  EXPECT_EQ(cycle->status, STATUS_SUCCESS);
  ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&arrived, Executive, KernelMode, FALSE, nullptr));
  EXPECT_TRUE(rig.port.Removed());
  EXPECT_EQ(1, removals.load());
  ASSERT_TRUE(newPort);
  EXPECT_NE(rig.client.Pdo(), newPort->Pdo());
  EXPECT_FALSE(newPort->Removed());
  BusClient again(*newPort);
  EXPECT_EQ(again.Configure(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvz::usb
