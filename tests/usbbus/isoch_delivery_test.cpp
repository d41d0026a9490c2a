#include <gtest/gtest.h>

#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using testing::BusClient;
using testing::TestGuids;

// One isochronous IN transfer of `packets` packets, `stride` bytes apart, on the streaming pipe.
struct IsochTransfer {
  IsochTransfer(uint32_t packets, uint32_t stride)
      : urbBytes(GET_ISO_URB_SIZE(packets)), buffer(static_cast<size_t>(packets) * stride) {
    auto& t = Urb()->UrbIsochronousTransfer;
    t.Hdr.Length = static_cast<USHORT>(urbBytes.size());
    t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    t.TransferBuffer = buffer.data();
    t.TransferBufferLength = static_cast<ULONG>(buffer.size());
    t.NumberOfPackets = packets;
    for (uint32_t i = 0; i < packets; ++i) t.IsoPacket[i].Offset = i * stride;
  }
  PURB Urb() { return reinterpret_cast<PURB>(urbBytes.data()); }
  USBD_ISO_PACKET_DESCRIPTOR& Packet(uint32_t i) { return Urb()->UrbIsochronousTransfer.IsoPacket[i]; }
  std::vector<uint8_t> urbBytes;
  std::vector<uint8_t> buffer;
};

struct Rig {
  explicit Rig(const simcam::PayloadAttacks& attacks = {})
      : camera(std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()))), client(bus.Plug(camera)) {
    camera->Configure([&](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
      f.attacks = attacks;
    });
    EXPECT_EQ(client.Configure(), STATUS_SUCCESS);
  }
  NTSTATUS Send(IsochTransfer& t) {
    t.Urb()->UrbIsochronousTransfer.PipeHandle = client.Interface(1)->Pipes[0].PipeHandle;
    return client.Submit(t.Urb());
  }
  UsbBus bus;
  std::shared_ptr<simcam::SimCamera> camera;
  BusClient client;
};

TEST(IsochDelivery, ATooSmallStrideOverruns) {
  Rig rig;
  const UVC_VIDEO_PROBE_COMMIT c = rig.client.Commit(1, 1, 333333);  // 640x480 at 30 fps: 3072-byte payloads
  ASSERT_EQ(+c.dwMaxPayloadTransferSize, 3072u);
  ASSERT_EQ(rig.client.SelectAlternate(1, 5), STATUS_SUCCESS);
  IsochTransfer t(16, 1024);  // the host leaves a third of what the camera sends
  // A frame is due at once and fills every microframe: every packet overruns, so the transfer fails.
  EXPECT_EQ(rig.Send(t), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(t.Urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  for (uint32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(t.Packet(i).Status, USBD_STATUS_BUFFER_OVERRUN) << i;
    EXPECT_EQ(t.Packet(i).Length, 1024u) << i;  // the bytes that fitted
  }
  EXPECT_EQ(t.Urb()->UrbIsochronousTransfer.ErrorCount, 16u);
  // The same stride on the setting the camera asked for of a smaller frame is enough.
  rig.client.Commit(1, 3, 333333);
  ASSERT_EQ(rig.client.SelectAlternate(1, 2), STATUS_SUCCESS);
  IsochTransfer fits(16, 1024);
  EXPECT_EQ(rig.Send(fits), STATUS_SUCCESS);
  EXPECT_EQ(fits.Urb()->UrbIsochronousTransfer.ErrorCount, 0u);
}

TEST(IsochDelivery, AFailedPacketMayCarryData) {
  simcam::PayloadAttacks a;
  a.badPacketsPerTransfer = 2;
  a.badPacketsCarryData = true;
  a.badPacketStatus = USBD_STATUS_CRC;
  Rig rig(a);
  rig.client.Commit(1, 1, 333333);
  ASSERT_EQ(rig.client.SelectAlternate(1, 5), STATUS_SUCCESS);
  IsochTransfer t(8, 3072);
  ASSERT_EQ(rig.Send(t), STATUS_SUCCESS);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(t.Packet(i).Status, USBD_STATUS_CRC);
    EXPECT_GT(t.Packet(i).Length, 0u);
  }
  EXPECT_EQ(t.Packet(2).Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(t.Urb()->UrbIsochronousTransfer.ErrorCount, 2u);
}

TEST(IsochDelivery, ALateTransferMissesItsFirstMicroframes) {
  Rig rig;
  rig.client.Commit(1, 3, 333333);
  ASSERT_EQ(rig.client.SelectAlternate(1, 2), STATUS_SUCCESS);
  IsochTransfer first(8, 512);
  ASSERT_EQ(rig.Send(first), STATUS_SUCCESS);
  // The next transfer should have been queued before the first ended; it arrives three
  // microframes late.
  LARGE_INTEGER delay;
  delay.QuadPart = -3 * 1250;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  IsochTransfer second(8, 512);
  ASSERT_EQ(rig.Send(second), STATUS_SUCCESS);
  uint32_t late = 0;
  while (late < 8 && second.Packet(late).Status == USBD_STATUS_ISO_NOT_ACCESSED_LATE) {
    EXPECT_EQ(second.Packet(late).Length, 0u);
    ++late;
  }
  EXPECT_GE(late, 3u);
  EXPECT_LT(late, 8u);
  for (uint32_t i = late; i < 8; ++i) EXPECT_EQ(second.Packet(i).Status, USBD_STATUS_SUCCESS) << i;
  EXPECT_EQ(second.Urb()->UrbIsochronousTransfer.ErrorCount, late);
  EXPECT_EQ(second.Urb()->UrbIsochronousTransfer.StartFrame, first.Urb()->UrbIsochronousTransfer.StartFrame + 1);
}

}  // namespace
}  // namespace kvz::usb
