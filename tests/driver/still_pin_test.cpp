// The still pin through the client: the still stream registered at RUN, stills delivered by size
// and subtype, an MJPG still larger than the buffer delivered empty, one still owner, and the
// button heard only while a still pin is open.
#include <gtest/gtest.h>

#include "pin_bench.h"
#include "simcam/mjpeg_encoder.h"
#include "simcam/test_pattern.h"
#include "usb/usb_device.h"

namespace kvz::drivertest {
namespace {

constexpr ULONG kYuy2 = 0x32595559;
constexpr ULONG kMjpg = 0x47504A4D;
constexpr ULONG kStill640 = 640 * 480 * 2;

class StillPinTest : public PinBench {};

TEST_F(StillPinTest, YuyvStillIsCopiedWholeAndAWrongLengthIsGivenBack) {
  Start();
  ClearRequests();
  auto pin = Running(kYuy2, 640, 480, true);
  ASSERT_TRUE(pin);
  // The still probe and commit: 11 bytes on selectors 3 and 4.
  ASSERT_EQ(1u, Sets(0x0300, 0x0001).size());
  EXPECT_EQ(11u, Sets(0x0300, 0x0001)[0].data.size());
  EXPECT_EQ(1u, Sets(0x0400, 0x0001).size());
  const std::vector<StartCall> starts = Pins().Starts();
  ASSERT_EQ(1u, starts.size());
  EXPECT_EQ(3u, starts[0].streamType);

  std::vector<uint8_t> wrong = simcam::MakeYuy2Frame(640, 480, 1);
  wrong.pop_back();
  Pins().Push(3, wrong);
  const std::vector<uint8_t> still = simcam::MakeYuy2Frame(640, 480, 2);
  Pins().Push(3, still);
  std::vector<ksclient::CompletedFrame> frames;
  ASSERT_EQ(STATUS_SUCCESS, pin->ReadFrames(1, kStill640, 1, &frames));
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(kStill640, frames[0].header.DataUsed);
  EXPECT_EQ(still, frames[0].data);
  // No time was stamped, so none is claimed valid.
  EXPECT_EQ(0u, frames[0].header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
  EXPECT_EQ(1, Pins().effectsRun.load());
  EXPECT_EQ(Pins().taken.load(), Pins().returned.load());
}

TEST_F(StillPinTest, MjpegStillLargerThanTheBufferIsDeliveredEmpty) {
  Start();
  auto pin = Running(kMjpg, 640, 480, true);
  ASSERT_TRUE(pin);
  const std::vector<uint8_t> jpeg =
      simcam::EncodeYuy2AsJpeg(simcam::MakeYuy2Frame(640, 480, 1), 640, 480, 90, false);
  Pins().Push(3, jpeg);
  Pins().Push(3, jpeg);
  std::vector<ksclient::CompletedFrame> frames;
  ASSERT_EQ(STATUS_SUCCESS, pin->ReadFrames(1, static_cast<ULONG>(jpeg.size() - 1), 1, &frames));
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(0u, frames[0].header.DataUsed);
  frames.clear();
  ASSERT_EQ(STATUS_SUCCESS, pin->ReadFrames(1, static_cast<ULONG>(jpeg.size()), 1, &frames));
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(jpeg, frames[0].data);
}

TEST_F(StillPinTest, PauseAndRunRegisterTheStillAgain) {
  Start();
  auto pin = Running(kYuy2, 320, 240, true);
  ASSERT_TRUE(pin);
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  EXPECT_EQ(std::vector<ULONG>{3}, Pins().Stops());
  EXPECT_EQ(2u, Pins().Starts().size());
  EXPECT_EQ(2u, Sets(0x0400, 0x0001).size());
}

TEST_F(StillPinTest, SecondClientCannotTakeOverTheStill) {
  Start();
  auto first = Running(kYuy2, 640, 480, true);
  ASSERT_TRUE(first);
  std::unique_ptr<ksclient::KsFilterClient> other;
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &other));
  const ULONG still = static_cast<ULONG>(PinOf(PINNAME_VIDEO_STILL));
  std::unique_ptr<ksclient::KsPinClient> second;
  ASSERT_EQ(STATUS_SUCCESS, other->CreatePin(still, Format(still, kYuy2, 320, 240), &second));
  ClearRequests();
  EXPECT_NE(STATUS_SUCCESS, second->SetState(KSSTATE_RUN));
  EXPECT_TRUE(Sets(0x0300, 0x0001).empty());
  second.reset();
  other.reset();
  EXPECT_TRUE(Pins().Stops().empty());
}

// A still pin whose ACQUIRE failed (the camera refused the still probe) holds no claim: another
// client takes the still while the first pin stays open.
TEST_F(StillPinTest, FailedAcquireLeavesTheStillFree) {
  Start();
  const ULONG still = static_cast<ULONG>(PinOf(PINNAME_VIDEO_STILL));
  std::unique_ptr<ksclient::KsPinClient> first;
  ASSERT_EQ(STATUS_SUCCESS, Open(still, Format(still, kYuy2, 640, 480), &first));
  simcam::RequestFault refused;
  refused.match.bRequest = 0x01;  // SET_CUR
  refused.match.wValue = 0x0300;
  camera_->ArmRequestFault(refused);
  EXPECT_NE(STATUS_SUCCESS, first->SetState(KSSTATE_RUN));
  std::unique_ptr<ksclient::KsFilterClient> other;
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &other));
  std::unique_ptr<ksclient::KsPinClient> second;
  ASSERT_EQ(STATUS_SUCCESS, other->CreatePin(still, Format(still, kYuy2, 320, 240), &second));
  EXPECT_EQ(STATUS_SUCCESS, second->SetState(KSSTATE_RUN));
}

// The button triggers a still only while a still pin is open.
TEST_F(StillPinTest, ButtonAfterTheStillPinClosedTriggersNothing) {
  Start();
  const UCHAR press[] = {0x02, 1, 0x00, 1};
  UsbDevice* usb = LastPinControls()->GetUsbDevice();
  const ULONG still = static_cast<ULONG>(PinOf(PINNAME_VIDEO_STILL));
  std::unique_ptr<ksclient::KsPinClient> pin;
  ASSERT_EQ(STATUS_SUCCESS, Open(still, Format(still, kYuy2, 640, 480), &pin));
  ClearRequests();
  usb->OnStatusInterrupt(press, sizeof(press));
  EXPECT_EQ(1u, Sets(0x0500, 0x0001).size());
  pin.reset();
  ClearRequests();
  usb->OnStatusInterrupt(press, sizeof(press));
  EXPECT_TRUE(Sets(0x0500, 0x0001).empty());
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

// While capture runs the effects and the device's frame size keep the capture stream's formats: a
// still configured then does not rewrite them; its frame runs the effects with the still's own formats, given with the run.
TEST_F(StillPinTest, StillDuringCaptureLeavesTheCaptureFormats) {
  Start();
  auto capture = Running(kYuy2, 1280, 720);
  ASSERT_TRUE(capture);
  const size_t configured = Pins().Formats().size();
  auto still = Running(kYuy2, 640, 480, true);
  ASSERT_TRUE(still);
  const std::vector<FormatsCall> formats = Pins().Formats();
  ASSERT_EQ(configured, formats.size());
  EXPECT_EQ(1280, formats.back().width);
  // The device's frame size (the region set's) stays the capture stream's.
  LONG width = 0, height = 0;
  LastPinControls()->GetFrameSize(&width, &height);
  EXPECT_EQ(1280, width);
  EXPECT_EQ(720, height);
  Pins().Push(3, simcam::MakeYuy2Frame(640, 480, 1));
  std::vector<ksclient::CompletedFrame> frames;
  ASSERT_EQ(STATUS_SUCCESS, still->ReadFrames(1, kStill640, 1, &frames));
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(kStill640, frames[0].header.DataUsed);
  const std::vector<FormatsCall> runs = Pins().EffectRuns();
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(640, runs[0].width);
  EXPECT_EQ(640, runs[0].sourceWidth);
  EXPECT_EQ(configured, Pins().Formats().size());
  EXPECT_EQ(1280, Pins().Formats().back().width);
}

}  // namespace
}  // namespace kvz::drivertest
