#include "postproc/flicker/flicker_hold.h"

#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "postproc/flicker/flicker_detector.h"
#include "support/fake_flicker_camera.h"

namespace kvz {
namespace {

using kernel::AdvanceClock;
using kernel::kMillisecond;
using kernel::kSecond;

TEST(FlickerHold, BeforeTheFirstRunNothingHolds) {
  FlickerHold hold;
  hold.Init();
  EXPECT_TRUE(hold.HasPassed());
  EXPECT_TRUE(hold.AllowsFeed(0, 0, 8));
}

TEST(FlickerHold, RunHoldsTheDetectorForTwentySeconds) {
  FlickerHold hold;
  hold.Init();
  hold.StartHold();
  EXPECT_FALSE(hold.AllowsFeed(0, 0, 8));
  AdvanceClock(19 * kSecond);
  EXPECT_FALSE(hold.AllowsFeed(0, 0, 8));
  AdvanceClock(1 * kSecond);  // exactly 20 s is not yet past
  EXPECT_FALSE(hold.AllowsFeed(0, 0, 8));
  AdvanceClock(1);
  EXPECT_TRUE(hold.AllowsFeed(0, 0, 8));
}

TEST(FlickerHold, SettingAutomaticPowerLineReleasesTheHold) {
  FlickerHold hold;
  hold.Init();
  hold.StartHold();
  AdvanceClock(3 * kSecond);
  hold.Release();
  EXPECT_TRUE(hold.AllowsFeed(0, 0, 8));
}

TEST(FlickerHold, FeedsOnlyAutomaticIndoorAutoExposedStreams) {
  FlickerHold hold;
  hold.Init();
  const struct {
    LONG powerLine, outDoor, exposureMode;
    bool feeds;
  } cases[] = {{0, 0, 8, true}, {1, 0, 8, false}, {2, 0, 8, false}, {0, 1, 8, false},
               {0, 0, 1, false}};
  for (const auto& c : cases)
    EXPECT_EQ(c.feeds, hold.AllowsFeed(c.powerLine, c.outDoor, c.exposureMode))
        << c.powerLine << " " << c.outDoor << " " << c.exposureMode;
}

// A stream at 30 frames per second under 50 Hz light: the detector gets nothing for the first
// 20 s after the run starts, then detects 50 Hz; setting the power line back to automatic asks
// for a new detection, which starts after the next frame without waiting.
TEST(FlickerHold, StreamDetectsAfterTheHoldAndRedetectsOnRequest) {
  const LONGLONG framePeriod = 333333;  // 100-ns units
  test::FakeFlickerCamera camera(0xB0, 50, 320, 240);
  FlickerDetector detector;
  ASSERT_EQ(STATUS_SUCCESS, detector.AllocBuffers());
  FlickerHold hold;
  hold.Init();
  LONG detectValue = 0;

  // What the camera device and the capture pin do around each delivered frame.
  auto deliver = [&] {
    const auto frame = camera.NextFrame();
    if (hold.AllowsFeed(0, 0, 8))
      detector.ProcessFrame(&camera, frame.data(), 2, 320, 240, 0xB0, &detectValue);
    if (detector.IsRedetectRequested()) detector.Reset(&camera, 0xB0, 1);
    AdvanceClock(framePeriod);
  };

  detector.Reset(&camera, 0xB0, 0);  // stream start
  hold.StartHold();                  // capture pin RUN
  const LONGLONG start = kernel::Now();
  while (kernel::Now() - start <= 20 * kSecond) deliver();
  EXPECT_TRUE(camera.powerLineSets.empty());
  EXPECT_NE(FlickerDetector::kStateDone, detector.State());

  int frames = 0;
  while (detector.State() != FlickerDetector::kStateDone && frames < 200) {
    deliver();
    ++frames;
  }
  EXPECT_EQ(45, frames);
  EXPECT_EQ(1, camera.powerLine);
  EXPECT_EQ(1, detectValue);

  // Power line set to automatic (0) in the property page.
  hold.Release();
  detector.RequestRedetect();
  AdvanceClock(5 * kSecond);
  const size_t setsBefore = camera.powerLineSets.size();
  deliver();  // still done; the pin sees the request and asks for a restart
  EXPECT_FALSE(detector.IsRedetectRequested());
  EXPECT_EQ(FlickerDetector::kStateDone, detector.State());  // until the next frame applies it
  frames = 0;
  do {
    deliver();
    ++frames;
  } while (detector.State() != FlickerDetector::kStateDone && frames < 200);
  EXPECT_LT(frames, 200);
  EXPECT_GT(camera.powerLineSets.size(), setsBefore);
  EXPECT_EQ(1, camera.powerLine);
  detector.FreeBuffers();
}

}  // namespace
}  // namespace kvz
