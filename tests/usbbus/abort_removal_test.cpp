#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using testing::BusClient;
using testing::TestGuids;

// Isochronous transfers of 32 packets on the 3x1024 alternate setting, not yet due.
struct PendingIsoch {
  std::vector<std::vector<uint8_t>> urbs, buffers;
  std::vector<std::unique_ptr<testing::AsyncRequest>> requests;

  void Submit(BusClient& client, PUSBD_PIPE_INFORMATION pipe, int count) {
    for (int i = 0; i < count; ++i) {
      urbs.emplace_back(GET_ISO_URB_SIZE(32), 0);
      buffers.emplace_back(32 * pipe->MaximumPacketSize, 0);
      auto& t = reinterpret_cast<PURB>(urbs.back().data())->UrbIsochronousTransfer;
      t.Hdr.Length = static_cast<USHORT>(urbs.back().size());
      t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
      t.PipeHandle = pipe->PipeHandle;
      t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
      t.TransferBuffer = buffers.back().data();
      t.TransferBufferLength = static_cast<ULONG>(buffers.back().size());
      t.NumberOfPackets = 32;
      for (uint32_t p = 0; p < 32; ++p) t.IsoPacket[p].Offset = p * pipe->MaximumPacketSize;
      requests.push_back(client.SubmitAsync(reinterpret_cast<PURB>(urbs.back().data())));
      EXPECT_EQ(requests.back()->callStatus, STATUS_PENDING);
    }
  }
  USBD_STATUS UrbStatus(size_t i) const { return reinterpret_cast<const URB*>(urbs[i].data())->UrbHeader.Status; }
};

struct Rig {
  UsbBus bus;
  std::shared_ptr<simcam::SimCamera> camera = std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()));
  UsbPortHandle port = bus.Plug(camera);
  BusClient client{port};
  PUSBD_PIPE_INFORMATION pipe = nullptr;
  Rig() {
    EXPECT_EQ(client.Configure(), STATUS_SUCCESS);
    client.Commit(1, 2, 333333);
    EXPECT_EQ(client.SelectAlternate(1, 5), STATUS_SUCCESS);
    pipe = &client.Interface(1)->Pipes[0];
  }
};

TEST(AbortPipe, CompletesEverythingPendingBeforeItself) {
  Rig rig;
  PendingIsoch pending;
  pending.Submit(rig.client, rig.pipe, 5);
  EXPECT_EQ(rig.port.PendingRequests(), 5u);
  URB abort{};
  abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = rig.pipe->PipeHandle;
  auto a = rig.client.SubmitAsync(&abort);
  ASSERT_TRUE(a->Wait());
  EXPECT_EQ(a->status, STATUS_SUCCESS);
  for (size_t i = 0; i < pending.requests.size(); ++i) {
    ASSERT_TRUE(pending.requests[i]->completed) << i;  // already done when the abort completed
    EXPECT_EQ(pending.requests[i]->status, STATUS_CANCELLED);
    EXPECT_EQ(pending.UrbStatus(i), USBD_STATUS_CANCELED);
    EXPECT_LE(pending.requests[i]->completedAt, a->completedAt);
    EXPECT_EQ(pending.requests[i]->completionIrql, DISPATCH_LEVEL);
  }
  EXPECT_EQ(rig.port.PendingRequests(), 0u);
  // The pipe still works afterwards.
  testing::StreamResult r = testing::StreamIsoch(rig.client, rig.pipe, 3, 32, 1);
  EXPECT_GE(r.frames.size(), 1u);
}

TEST(AbortPipe, ReleasesTransfersTheCameraHolds) {
  Rig rig;
  rig.camera->Configure([](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
    f.holdIsochUntilAbort = true;
  });
  PendingIsoch pending;
  pending.Submit(rig.client, rig.pipe, 3);
  kvz::kernel::AdvanceClock(100 * kvz::kernel::kMillisecond);
  for (auto& r : pending.requests) EXPECT_FALSE(r->completed);
  ASSERT_EQ(rig.client.PipeRequest(URB_FUNCTION_ABORT_PIPE, rig.pipe->PipeHandle), STATUS_SUCCESS);
  for (auto& r : pending.requests) {
    ASSERT_TRUE(r->Wait(0));
    EXPECT_EQ(r->status, STATUS_CANCELLED);
  }
}

TEST(AbortPipe, CancelCompletesOneTransferWithStatusCancelled) {
  Rig rig;
  PendingIsoch pending;
  pending.Submit(rig.client, rig.pipe, 2);
  IoCancelIrp(pending.requests[1]->irp);
  ASSERT_TRUE(pending.requests[1]->Wait());
  EXPECT_EQ(pending.requests[1]->status, STATUS_CANCELLED);
  ASSERT_TRUE(pending.requests[0]->Wait());
  EXPECT_EQ(pending.requests[0]->status, STATUS_SUCCESS);
}

TEST(Removal, CompletesEverythingWithNoSuchDevice) {
  Rig rig;
  PendingIsoch pending;
  pending.Submit(rig.client, rig.pipe, 4);
  std::vector<uint8_t> status(16);
  URB interrupt{};
  UsbBuildInterruptOrBulkTransferRequest(&interrupt, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         rig.client.Interface(0)->Pipes[0].PipeHandle, status.data(), nullptr, 16,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  auto pendingInterrupt = rig.client.SubmitAsync(&interrupt);
  rig.port.Unplug();
  EXPECT_TRUE(rig.port.Removed());
  for (size_t i = 0; i < pending.requests.size(); ++i) {
    ASSERT_TRUE(pending.requests[i]->Wait());
    EXPECT_EQ(pending.requests[i]->status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pending.UrbStatus(i), USBD_STATUS_DEVICE_GONE);
  }
  ASSERT_TRUE(pendingInterrupt->Wait());
  EXPECT_EQ(pendingInterrupt->status, STATUS_NO_SUCH_DEVICE);

  // Every later request fails the same way, at once.
  std::vector<uint8_t> device;
  EXPECT_EQ(rig.client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, &device), STATUS_NO_SUCH_DEVICE);
  NTSTATUS call = 0;
  URB abort{};
  abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = rig.pipe->PipeHandle;
  EXPECT_EQ(rig.client.Submit(&abort, &call), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(call, STATUS_NO_SUCH_DEVICE);
  auto cycle = rig.client.SubmitAsync(nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT);
  EXPECT_EQ(cycle->callStatus, STATUS_NO_SUCH_DEVICE);
}

TEST(Removal, CameraDropsOffMidStream) {
  Rig rig;
  KEVENT removed;
  KeInitializeEvent(&removed, NotificationEvent, FALSE);
  rig.port.SetRemovalHandler([&removed] { KeSetEvent(&removed, IO_NO_INCREMENT, FALSE); });
  rig.camera->Configure([](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
    f.removeAfterFrames = 3;
  });
  testing::StreamResult r = testing::StreamIsoch(rig.client, rig.pipe, 5, 32, 100);
  EXPECT_EQ(r.frames.size(), 3u);
  EXPECT_EQ(r.lastFailure, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(r.lastUrbFailure, USBD_STATUS_DEVICE_GONE);
  LARGE_INTEGER t;
  t.QuadPart = -10 * kvz::kernel::kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&removed, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
  EXPECT_TRUE(rig.port.Removed());
}

TEST(Removal, ARequestThatRemovesTheCamera) {
  Rig rig;
  simcam::RequestFault f;
  f.kind = simcam::RequestFaultKind::kRemove;
  f.match.bRequest = GET_CUR;
  rig.camera->ArmRequestFault(f);
  std::vector<uint8_t> data(2);
  EXPECT_EQ(rig.client.ClassRequest(true, GET_CUR, PU_BRIGHTNESS_CONTROL << 8, 0x0200, &data), STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(rig.port.Removed());
}

}  // namespace
}  // namespace kvz::usb
