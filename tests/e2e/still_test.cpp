// Still images and the dropped-frame count while the capture pin runs.
#include "e2e_bench.h"
#include "frame_oracle.h"
#include "ksmedia.h"

namespace kvz::e2e {
namespace {

class StillTest : public E2eBench, public ::testing::WithParamInterface<const char*> {
 protected:
  // Capture and still pins running at 640 x 480 YUY2.
  void Start(KsPinClient** capture, KsPinClient** still, VideoFormat* stillFormat) {
    VideoFormat f;
    ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 640, 480, capture, &f));
    ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(**capture));
    ASSERT_EQ(2u, Read(**capture, 2, f.sizeImage).size());
    ASSERT_EQ(STATUS_SUCCESS, CreatePin(kStillPin, kYuy2, 640, 480, still, stillFormat));
    ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(**still));
  }
};

// One still arrives for one trigger, whether the client sets the video control mode or the
// camera's button is pressed; it is a whole camera picture.
TEST_P(StillTest, OneStillPerTrigger) {
  ASSERT_TRUE(Boot("isoch"));
  KsPinClient *capture = nullptr, *still = nullptr;
  VideoFormat f;
  Start(&capture, &still, &f);
  if (HasFatalFailure()) return;
  auto read = still->QueueRead(f.sizeImage);
  EXPECT_EQ(STATUS_TIMEOUT, read->Request()->Wait(kernel::kSecond)) << "a still without a trigger";
  const uint32_t triggersBefore = Camera().Snapshot().stillTriggers;
  if (std::string(GetParam()) == "mode") {
    ASSERT_EQ(STATUS_SUCCESS, capture::TriggerStill(Filter(), kStillPin));
    EXPECT_EQ(triggersBefore + 1, Camera().Snapshot().stillTriggers);
  } else {
    Camera().PressButton();
    Camera().ReleaseButton();
  }
  ASSERT_EQ(STATUS_SUCCESS, read->Request()->Wait(5 * kernel::kSecond));
  const auto& h = read->Headers();
  ASSERT_EQ(640u * 480 * 2, h.header.DataUsed);
  const Bytes data(read->Data().begin(), read->Data().begin() + h.header.DataUsed);
  EXPECT_EQ(CameraPicture(640, 480, FrameNumber(data)), data);
  read = still->QueueRead(f.sizeImage);
  EXPECT_EQ(STATUS_TIMEOUT, read->Request()->Wait(kernel::kSecond)) << "a second still for one trigger";
  read.reset();
  capture::StopPin(*still);
  capture::StopPin(*capture);
}

INSTANTIATE_TEST_SUITE_P(Triggers, StillTest, ::testing::Values("mode", "button"));

using DroppedFramesTest = E2eBench;

// A client that stops reading for a second misses about 30 frames at 30 fps: the next frame's
// picture number jumps by that much and its drop count says so, as does the property.
TEST_F(DroppedFramesTest, FramesMissedWhileNoBufferWasQueuedAreCounted) {
  ASSERT_TRUE(Boot("isoch"));
  KsPinClient* pin = nullptr;
  VideoFormat f;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 320, 240, &pin, &f));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetMasterClock(true));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
  auto before = Read(*pin, 3, f.sizeImage);
  ASSERT_EQ(3u, before.size());
  kernel::AdvanceClock(kernel::kSecond);
  auto after = Read(*pin, 1, f.sizeImage);
  ASSERT_EQ(1u, after.size());
  const LONGLONG jump = after[0].frameInfo.PictureNumber - before.back().frameInfo.PictureNumber;
  EXPECT_NEAR(30, jump, 2);
  EXPECT_EQ(before.back().frameInfo.DropCount + jump - 1, after[0].frameInfo.DropCount);

  KSPROPERTY_DROPPEDFRAMES_CURRENT_S drops;
  ASSERT_EQ(STATUS_SUCCESS, capture::GetDroppedFrames(*pin, &drops));
  EXPECT_EQ(after[0].frameInfo.DropCount, drops.DropCount);
  EXPECT_EQ(f.sizeImage, drops.AverageFrameSize);
  capture::StopPin(*pin);
}

}  // namespace
}  // namespace kvz::e2e
