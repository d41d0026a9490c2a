#include "postproc/processor/frame_processor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kvz/kernel_testing.h"
#include "postproc/effects/privacy_image.h"
#include "support/fake_flicker_camera.h"
#include "kernel_checks.h"
#include "support/yuy2_frames.h"

namespace kvz {
namespace {

using kernel::AdvanceClock;
using kernel::kSecond;

constexpr LONG kWidth = 640;
constexpr LONG kHeight = 480;

class FakeFrameDevice : public FrameDevice {
 public:
  explicit FakeFrameDevice(CameraServices* services) : services_(services) {
    settings = {};
    settings.zoomScale = kZoomScaleNone;
    settings.powerLineFrequency = 2;
    settings.autoExposureMode = 8;
  }
  CameraServices* Services() override { return services_; }
  CameraIdentity Identity() const override { return CameraIdentity{listed, 0xB0, rotation}; }
  VOID ReadFrameSettings(FrameSettings* out) const override { *out = settings; }
  VOID StoreFlickerDetectValue(LONG value) override { storedDetectValues.push_back(value); }
  FaceDeviceServices* FaceServices() override { return nullptr; }

  FrameSettings settings;
  bool listed = false;
  LONG rotation = 0;
  std::vector<LONG> storedDetectValues;

 private:
  CameraServices* services_;
};

// Luma that differs between neighbours in both directions, so every misplaced pixel shows.
uint8_t Luma(int x, int y) { return static_cast<uint8_t>(x * 7 + y * 13); }

std::vector<uint8_t> CoordinateFrame(int width = kWidth, int height = kHeight) {
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 2);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      frame[(static_cast<size_t>(y) * width + x) * 2] = Luma(x, y);
      frame[(static_cast<size_t>(y) * width + x) * 2 + 1] = 128;
    }
  return frame;
}

class FrameProcessorTest : public ::testing::Test {
 protected:
  FrameProcessorTest() : camera(0xB0, 50, 320, 240), device(&camera) {}
  ~FrameProcessorTest() override {
    processor.Flicker()->FreeBuffers();
  }
  VOID TearDown() override {
    kernel::ClearPoolFaults();
  }

  test::FakeFlickerCamera camera;
  FakeFrameDevice device;
  FrameProcessor processor;
};

// Zoom 20 on 640 x 480 crops 320 x 240 and doubles it back: output pixel (x, y) shows crop pixel
// (x / 2, y / 2). The crop's origin follows the pans; then the rotation, then the flips.
TEST_F(FrameProcessorTest, ZoomPanRotationAndFlipsApplyInThatOrder) {
  const struct {
    const char* name;
    LONG panLeftRight, panUpDown, rotation, hFlip, vFlip;
    int cropX, cropY;  // the window's origin
    bool turned;       // half turn after the zoom
    bool mirrored, flipped;
  } cases[] = {
      {"centre", 0, 0, 0, 0, 0, 160, 120, false, false, false},
      {"pan left edge, mirror", -16, 0, 0, 1, 0, 0, 120, false, true, false},
      {"pan right and down, flip", 16, 16, 0, 0, 1, 320, 240, false, false, true},
      {"pan up, half turn", 0, -16, 2, 0, 0, 160, 0, true, false, false},
      {"half turn then both flips", 8, 0, 2, 1, 1, 240, 120, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device.settings.zoomScale = 20;
    device.settings.panLeftRightSize = c.panLeftRight;
    device.settings.panUpDownSize = c.panUpDown;
    device.settings.hFlip = c.hFlip;
    device.settings.vFlip = c.vFlip;
    device.rotation = c.rotation;
    auto frame = CoordinateFrame();
    const UCHAR* out = processor.ProcessFrame(&device, frame.data(), kWidth, kHeight);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(c.rotation == 0, out == frame.data()) << "a rotation returns the work buffer";
    const test::Yuy2View view{out, kWidth, kHeight};
    int bad = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        int zx = c.mirrored ? kWidth - 1 - x : x;
        int zy = c.flipped ? kHeight - 1 - y : y;
        if (c.turned) {
          zx = kWidth - 1 - zx;
          zy = kHeight - 1 - zy;
        }
        if (view.Y(x, y) != Luma(c.cropX + zx / 2, c.cropY + zy / 2) && bad++ < 3)
          ADD_FAILURE() << "pixel " << x << "," << y;
      }
    EXPECT_EQ(0, bad);
  }
}

// A quarter turn does not commute with a mirror: mirroring the turned frame must equal the
// turned frame read right to left.
TEST_F(FrameProcessorTest, FlipsFollowAQuarterTurn) {
  device.rotation = 1;
  auto turnedOnly = CoordinateFrame();
  const UCHAR* turned = processor.ProcessFrame(&device, turnedOnly.data(), kWidth, kHeight);
  ASSERT_NE(nullptr, turned);
  const std::vector<uint8_t> expected(turned, turned + turnedOnly.size());

  device.settings.hFlip = 1;
  auto frame = CoordinateFrame();
  const UCHAR* out = processor.ProcessFrame(&device, frame.data(), kWidth, kHeight);
  ASSERT_NE(nullptr, out);
  const test::Yuy2View got{out, kWidth, kHeight}, want{expected.data(), kWidth, kHeight};
  int bad = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      if (got.Y(x, y) != want.Y(kWidth - 1 - x, y)) ++bad;
  EXPECT_EQ(0, bad);
}

// Privacy replaces the picture and nothing else runs: no zoom, turn or flip moves it, the
// input buffer comes back, and the flicker detector is not fed.
TEST_F(FrameProcessorTest, PrivacyPictureReplacesTheFrameAndStopsThePipeline) {
  ASSERT_EQ(STATUS_SUCCESS, processor.Flicker()->AllocBuffers());
  device.settings.powerLineFrequency = 0;
  device.settings.privacy = 1;
  device.settings.zoomScale = 30;
  device.settings.hFlip = 1;
  device.rotation = 1;
  auto frame = CoordinateFrame();
  EXPECT_EQ(frame.data(), processor.ProcessFrame(&device, frame.data(), kWidth, kHeight));

  PrivacyImage reference;
  std::vector<uint8_t> expected(frame.size(), 0x55);
  ASSERT_EQ(STATUS_SUCCESS, reference.Draw(expected.data(), kWidth, kHeight, 2));
  EXPECT_TRUE(frame == expected);
  EXPECT_EQ(FlickerDetector::kStateInitial, processor.Flicker()->State());
  EXPECT_EQ(1u, kernel::PoolStatsForTag(FrameProcessor::kTagPrivacy).liveBlocks);

  // Privacy off: the picture goes and the camera image is back.
  device.settings.privacy = 0;
  device.settings.zoomScale = 10;
  device.settings.hFlip = 0;
  device.rotation = 0;
  frame = CoordinateFrame();
  const auto original = frame;
  EXPECT_EQ(frame.data(), processor.ProcessFrame(&device, frame.data(), kWidth, kHeight));
  EXPECT_TRUE(frame == original);
  EXPECT_EQ(0u, kernel::PoolStatsForTag(FrameProcessor::kTagPrivacy).liveBlocks);
}

TEST_F(FrameProcessorTest, ListedCameraFramesPassUntouchedWithoutWorkBuffers) {
  device.listed = true;
  device.settings.privacy = 1;
  device.settings.zoomScale = 40;
  device.settings.vFlip = 1;
  device.rotation = 3;
  auto frame = CoordinateFrame();
  const auto original = frame;
  // The face detector's work image carries the same tag and lives with the processor.
  const auto before = kernel::PoolStatsForTag(FrameProcessor::kTagWork).liveBlocks;
  EXPECT_EQ(frame.data(), processor.ProcessFrame(&device, frame.data(), kWidth, kHeight));
  EXPECT_TRUE(frame == original);
  EXPECT_EQ(before, kernel::PoolStatsForTag(FrameProcessor::kTagWork).liveBlocks);
  EXPECT_EQ(0u, kernel::PoolStatsForTag(FrameProcessor::kTagPrivacy).liveBlocks);
}

// Each buffer the pipeline needs, failed once: that frame is dropped (null), the next one is
// processed. Nothing is left half-allocated.
TEST_F(FrameProcessorTest, FrameIsDroppedWhenABufferCannotBeHad) {
  const struct {
    ULONG tag;
    uint64_t nth;
    LONG privacy;
  } cases[] = {
      {FrameProcessor::kTagWork, 1, 0},
      {FrameProcessor::kTagWork, 2, 0},
      {FrameProcessor::kTagPrivacy, 1, 1},
      {FrameProcessor::kTagWork, 1, 1},
  };
  const auto before = kernel::PoolStatsForTag(FrameProcessor::kTagWork).liveBlocks;
  for (const auto& c : cases) {
    SCOPED_TRACE(kernel::TagToString(c.tag) + " #" + std::to_string(c.nth));
    FrameProcessor fresh;
    device.settings.privacy = c.privacy;
    device.rotation = 2;
    kernel::FailNthAllocation(c.nth, c.tag);
    auto frame = CoordinateFrame();
    EXPECT_EQ(nullptr, fresh.ProcessFrame(&device, frame.data(), kWidth, kHeight));
    kernel::ClearPoolFaults();
    EXPECT_NE(nullptr, fresh.ProcessFrame(&device, frame.data(), kWidth, kHeight));
  }
  EXPECT_EQ(before, kernel::PoolStatsForTag(FrameProcessor::kTagWork).liveBlocks);
}

TEST_F(FrameProcessorTest, SizesThatCannotBeProcessedAreDropped) {
  std::vector<uint8_t> frame(16);
  const LONG sizes[][2] = {{0, 480}, {640, 0}, {-2, 480}, {65536, 65536}};
  for (const auto& s : sizes)
    EXPECT_EQ(nullptr, processor.ProcessFrame(&device, frame.data(), s[0], s[1])) << s[0] << "x" << s[1];
}

// The capture path's two work buffers; the face worker's decode buffer is its own.
TEST_F(FrameProcessorTest, WorkBuffersGrowAndNeverShrink) {
  const auto before = kernel::PoolStatsForTag(FrameProcessor::kTagWork).liveBytes;
  ASSERT_EQ(STATUS_SUCCESS, processor.EnsureWorkBuffers(1000));
  ASSERT_EQ(STATUS_SUCCESS, processor.EnsureWorkBuffers(500));
  EXPECT_EQ(before + 1000u * 2, kernel::PoolStatsForTag(FrameProcessor::kTagWork).liveBytes);
  ASSERT_EQ(STATUS_SUCCESS, processor.EnsureWorkBuffers(3000));
  EXPECT_EQ(before + 3000u * 2, kernel::PoolStatsForTag(FrameProcessor::kTagWork).liveBytes);
  EXPECT_EQ(0u, kernel::PoolStatsForTag(FrameProcessor::kTagDecoded).liveBytes);
}

// Whether a frame reaches the flicker detector: a fed detector leaves its initial state.
TEST_F(FrameProcessorTest, FlickerDetectorIsFedOnlyInAutomaticIndoorAutoExposure) {
  const struct {
    const char* name;
    LONG powerLine, outDoor, exposureMode;
    bool feeds;
  } cases[] = {
      {"automatic", 0, 0, 8, true},       {"50 Hz set", 1, 0, 8, false},
      {"60 Hz set", 2, 0, 8, false},      {"outdoor", 0, 1, 8, false},
      {"manual exposure", 0, 0, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameProcessor fresh;
    ASSERT_EQ(STATUS_SUCCESS, fresh.Flicker()->AllocBuffers());
    device.settings.powerLineFrequency = c.powerLine;
    device.settings.outDoor = c.outDoor;
    device.settings.autoExposureMode = c.exposureMode;
    auto frame = CoordinateFrame();
    ASSERT_NE(nullptr, fresh.ProcessFrame(&device, frame.data(), kWidth, kHeight));
    EXPECT_EQ(c.feeds, fresh.Flicker()->State() != FlickerDetector::kStateInitial);
    fresh.Flicker()->FreeBuffers();
  }
}

// A stream at 30 frames per second under 50 Hz light with the detector on: nothing reaches the
// camera for the first 20 s after RUN; then the detector switches to 50 Hz and the device
// stores the value it left in the camera.
TEST_F(FrameProcessorTest, RunHoldsDetectionTwentySecondsThenTheVerdictIsStored) {
  constexpr LONG w = 320, h = 240;
  ASSERT_EQ(STATUS_SUCCESS, processor.Flicker()->AllocBuffers());
  device.settings.powerLineFrequency = 0;
  auto deliver = [&] {
    auto frame = camera.NextFrame();
    ASSERT_NE(nullptr, processor.ProcessFrame(&device, frame.data(), w, h));
    AdvanceClock(333333);
  };
  processor.Flicker()->Reset(&camera, 0xB0, 0);
  processor.StartFlickerHold();
  const int requestsAtRun = camera.requests;
  const LONGLONG start = kernel::Now();
  while (kernel::Now() - start <= 20 * kSecond) deliver();
  EXPECT_EQ(requestsAtRun, camera.requests);

  for (int frames = 0; frames < 200 && device.storedDetectValues.empty(); ++frames) deliver();
  ASSERT_EQ(1u, device.storedDetectValues.size());
  EXPECT_EQ(1, device.storedDetectValues[0]);
  EXPECT_EQ(1, camera.powerLine);
}

// Setting the power line to automatic releases a running hold at once.
TEST_F(FrameProcessorTest, AutomaticPowerLineReleasesTheHold) {
  ASSERT_EQ(STATUS_SUCCESS, processor.Flicker()->AllocBuffers());
  device.settings.powerLineFrequency = 0;
  processor.StartFlickerHold();
  auto frame = CoordinateFrame();
  processor.ProcessFrame(&device, frame.data(), kWidth, kHeight);
  EXPECT_EQ(FlickerDetector::kStateInitial, processor.Flicker()->State());
  AdvanceClock(kSecond);
  processor.ReleaseFlickerHold();
  processor.ProcessFrame(&device, frame.data(), kWidth, kHeight);
  EXPECT_NE(FlickerDetector::kStateInitial, processor.Flicker()->State());
}

}  // namespace
}  // namespace kvz
