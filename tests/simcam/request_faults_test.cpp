#include <gtest/gtest.h>

#include "simcam/sim_camera.h"
#include "support/camera_requests.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::ClassGet;
using testing::ClassSet;
using testing::TestGuids;

constexpr uint16_t kPu = kProcessingUnitId << 8;

RequestFault Fault(RequestFaultKind kind, uint32_t count = 1) {
  RequestFault f;
  f.kind = kind;
  f.count = count;
  f.match.wIndex = kPu;
  return f;
}

TEST(RequestFaults, StallThenNormal) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.ArmRequestFault(Fault(RequestFaultKind::kStall));
  EXPECT_TRUE(ClassSet(cam, PU_BRIGHTNESS_CONTROL, kPu, {9, 0}).Stalled());
  EXPECT_EQ(cam.ControlCurrent(kProcessingUnitId, PU_BRIGHTNESS_CONTROL), (std::vector<uint8_t>{0, 0}));
  EXPECT_TRUE(ClassSet(cam, PU_BRIGHTNESS_CONTROL, kPu, {9, 0}).Ok());
}

TEST(RequestFaults, MatchSelectsTheRequest) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  RequestFault f = Fault(RequestFaultKind::kStall);
  f.match.bRequest = GET_MAX;
  cam.ArmRequestFault(f);
  EXPECT_TRUE(ClassGet(cam, GET_MIN, PU_BRIGHTNESS_CONTROL, kPu, 2).Ok());
  EXPECT_TRUE(ClassGet(cam, GET_MAX, PU_BRIGHTNESS_CONTROL, kPu, 2).Stalled());
  EXPECT_TRUE(ClassGet(cam, GET_MAX, PU_BRIGHTNESS_CONTROL, kPu, 2).Ok());
}

TEST(RequestFaults, PowerStateInvalidNTimes) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.ArmRequestFault(Fault(RequestFaultKind::kPowerStateInvalid, 3));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ClassGet(cam, GET_CUR, PU_BRIGHTNESS_CONTROL, kPu, 2).outcome.completion.irpStatus, STATUS_POWER_STATE_INVALID);
  EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_BRIGHTNESS_CONTROL, kPu, 2).Ok());
}

TEST(RequestFaults, EveryRequestWithCountZero) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.ArmRequestFault(Fault(RequestFaultKind::kStall, 0));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_BRIGHTNESS_CONTROL, kPu, 2).Stalled());
}

TEST(RequestFaults, HoldRemoveShortOversizeAndUrbError) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.ArmRequestFault(Fault(RequestFaultKind::kHold));
  EXPECT_EQ(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2).outcome.disposition, usb::Disposition::kHold);
  cam.ArmRequestFault(Fault(RequestFaultKind::kRemove));
  EXPECT_EQ(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2).outcome.disposition, usb::Disposition::kRemove);

  RequestFault s = Fault(RequestFaultKind::kShortAnswer);
  s.shortLength = 1;
  cam.ArmRequestFault(s);
  testing::Reply shortReply = ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2);
  EXPECT_TRUE(shortReply.Ok());
  EXPECT_EQ(shortReply.data, std::vector<uint8_t>{50});

  // The claim goes past the two bytes asked for; nothing is written past them.
  RequestFault o = Fault(RequestFaultKind::kOversizeAnswer);
  o.excessLength = 6;
  cam.ArmRequestFault(o);
  testing::Reply oversize = ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2);
  EXPECT_TRUE(oversize.Ok());
  EXPECT_EQ(oversize.data, (std::vector<uint8_t>{50, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

  RequestFault u = Fault(RequestFaultKind::kUrbErrorIrpSuccess);
  u.urbStatus = USBD_STATUS_BUFFER_OVERRUN;
  cam.ArmRequestFault(u);
  testing::Reply urb = ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2);
  EXPECT_EQ(urb.outcome.completion.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(urb.outcome.completion.urbStatus, USBD_STATUS_BUFFER_OVERRUN);
}

TEST(RequestFaults, SelectInterfaceFailsKTimes) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  RequestFault f;
  f.target = RequestTarget::kSetInterface;
  f.kind = RequestFaultKind::kFail;
  f.count = 2;
  f.irpStatus = STATUS_UNSUCCESSFUL;
  f.urbStatus = USBD_STATUS_NO_BANDWIDTH;
  cam.ArmRequestFault(f);
  EXPECT_EQ(cam.SetInterface(1, 3, 0).completion.urbStatus, USBD_STATUS_NO_BANDWIDTH);
  EXPECT_EQ(cam.SetInterface(1, 3, 0).completion.urbStatus, USBD_STATUS_NO_BANDWIDTH);
  EXPECT_EQ(cam.Snapshot().streamingAlternate, 0);
  EXPECT_EQ(cam.SetInterface(1, 3, 0).completion.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(cam.Snapshot().streamingAlternate, 3);
  EXPECT_TRUE(cam.SetInterface(1, 9, 0).completion.urbStatus == USBD_STATUS_STALL_PID);
}

TEST(RequestFaults, StatusPacketsShortAndFailing) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  uint8_t buffer[16];
  EXPECT_FALSE(cam.StreamIn(kInterruptEndpoint, 0, buffer, 16).ready);
  cam.PressButton();
  usb::StreamResult r = cam.StreamIn(kInterruptEndpoint, 0, buffer, 16);
  ASSERT_TRUE(r.ready);
  ASSERT_EQ(r.outcome.completion.length, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{2, 1, 0, 1}));
  cam.ReleaseButton();
  r = cam.StreamIn(kInterruptEndpoint, 0, buffer, 16);
  EXPECT_EQ(buffer[3], 0);
  cam.Configure([](CameraFaults& f, ControlTable&, RegisterFile&, CameraOptions&) { f.shortStatusPackets.push_back(2); });
  cam.PressButton();
  EXPECT_EQ(cam.StreamIn(kInterruptEndpoint, 0, buffer, 16).outcome.completion.length, 2u);
  TransferFault t;
  t.kind = TransferFaultKind::kIrpFailure;
  t.urbStatus = USBD_STATUS_DEV_NOT_RESPONDING;
  cam.ArmTransferFault(USB_ENDPOINT_TYPE_INTERRUPT, t);
  r = cam.StreamIn(kInterruptEndpoint, 0, buffer, 16);
  EXPECT_TRUE(r.ready);
  EXPECT_EQ(r.outcome.completion.urbStatus, USBD_STATUS_DEV_NOT_RESPONDING);
  cam.QueueControlChange(kProcessingUnitId, PU_BRIGHTNESS_CONTROL, {3, 0});
  r = cam.StreamIn(kInterruptEndpoint, 0, buffer, 16);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + r.outcome.completion.length), (std::vector<uint8_t>{1, 2, 0, 2, 0, 3, 0}));
}

TEST(RequestFaults, BulkStallThenHaltedUntilReset) {
  SimCamera cam(BulkCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  testing::Commit(cam, 1, 3, 333333);
  TransferFault t;
  t.kind = TransferFaultKind::kStallThenHalt;
  cam.ArmTransferFault(USB_ENDPOINT_TYPE_BULK, t);
  std::vector<uint8_t> buffer(65536);
  EXPECT_EQ(cam.StreamIn(kVideoEndpoint, 0, buffer.data(), 65536).outcome.completion.urbStatus, USBD_STATUS_STALL_PID);
  EXPECT_EQ(cam.StreamIn(kVideoEndpoint, 0, buffer.data(), 65536).outcome.completion.urbStatus, USBD_STATUS_ENDPOINT_HALTED);
  cam.PipeReset(kVideoEndpoint, 0);
  // A reset bulk endpoint sends nothing until the stream is committed again.
  EXPECT_FALSE(cam.StreamIn(kVideoEndpoint, 0, buffer.data(), 65536).ready);
  testing::Commit(cam, 1, 3, 333333);
  usb::StreamResult r = cam.StreamIn(kVideoEndpoint, 0, buffer.data(), 65536);
  EXPECT_EQ(r.outcome.completion.irpStatus, STATUS_SUCCESS);
  EXPECT_GT(r.outcome.completion.length, 12u);
}

TEST(RequestFaults, BulkShortAndOversizePayloads) {
  SimCamera cam(BulkCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  const UVC_VIDEO_PROBE_COMMIT c = testing::Commit(cam, 1, 1, 333333);
  std::vector<uint8_t> buffer(c.dwMaxPayloadTransferSize);
  TransferFault t;
  t.kind = TransferFaultKind::kShort;
  t.shortLength = 100;
  cam.ArmTransferFault(USB_ENDPOINT_TYPE_BULK, t);
  EXPECT_EQ(cam.StreamIn(kVideoEndpoint, 0, buffer.data(), c.dwMaxPayloadTransferSize).outcome.completion.length, 100u);
  // Frame 1's payloads are 512 bytes (one packet) larger than announced: a read of whole packets
  // takes the announced bytes and leaves the extra packet, headerless, to the next read; a read
  // that ends inside a packet babbles. The camera ends payloads of whole packets with a
  // zero-length packet, so the spilled packet arrives on its own.
  cam.ArmFrameFault(1, FrameFault{HeaderFault::kNone, false, 0, 512});
  cam.Configure([](CameraFaults& f, ControlTable&, RegisterFile&, CameraOptions&) { f.attacks.bulkZeroLengthPackets = true; });
  uint64_t now = 0;
  auto read = [&](uint32_t capacity) {
    for (int i = 0; i < 100; ++i) {
      usb::StreamResult r = cam.StreamIn(kVideoEndpoint, now, buffer.data(), capacity);
      if (r.ready) return r;
      now = r.readyAt;
    }
    return usb::StreamResult{};
  };
  const uint8_t firstFid = buffer[1] & UVC_STREAM_FID;
  uint8_t fid = firstFid;
  for (int i = 0; i < 20 && fid == firstFid; ++i) {  // up to frame 1's first payload
    ASSERT_EQ(read(c.dwMaxPayloadTransferSize).outcome.completion.irpStatus, STATUS_SUCCESS);
    fid = buffer[1] & UVC_STREAM_FID;
  }
  ASSERT_NE(fid, firstFid);
  EXPECT_EQ(buffer[0], 12);
  usb::StreamResult spill = read(c.dwMaxPayloadTransferSize);
  EXPECT_EQ(spill.outcome.completion.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(spill.outcome.completion.length, 512u);
  EXPECT_NE(buffer[0], 12);  // payload bytes, no header
  buffer.resize(c.dwMaxPayloadTransferSize + 100);
  usb::StreamResult babble = read(c.dwMaxPayloadTransferSize + 100);
  EXPECT_EQ(babble.outcome.completion.irpStatus, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(babble.outcome.completion.urbStatus, USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(babble.outcome.completion.length, c.dwMaxPayloadTransferSize + 100);
}

}  // namespace
}  // namespace kvz::simcam
