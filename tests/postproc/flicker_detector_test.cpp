#include "postproc/flicker/flicker_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "kvz/kernel_testing.h"
#include "support/fake_flicker_camera.h"

namespace kvz {

template <>
struct TestSeam<FlickerDetector> {
  static ULONG CurrentFrequency(const FlickerDetector& d) { return d.currentFrequency_; }
};

namespace {

using test::FakeFlickerCamera;

// From a reset with no frames to wait: 1 frame to leave the waiting state, 11 preparing frames
// (the stillness window, in which register 0x0002 also settles), 11 waiting frames with the
// sensor's flicker mode on, 21 collected frames and 1 analysed.
constexpr int kFramesToVerdict = 1 + 11 + 11 + 22;

struct Rig {
  UCHAR chip;
  LONG width, height;
  FakeFlickerCamera camera;
  FlickerDetector detector;
  LONG detectValue = -1;

  Rig(UCHAR chipCode, int mainsHz, LONG w = 320, LONG h = 240)
      : chip(chipCode), width(w), height(h), camera(chipCode, mainsHz, w, h) {
    EXPECT_EQ(STATUS_SUCCESS, detector.AllocBuffers());
    detector.Reset(&camera, chip, 0);
  }
  ~Rig() { detector.FreeBuffers(); }

  void Feed() {
    const auto frame = camera.NextFrame();
    detector.ProcessFrame(&camera, frame.data(), 2, width, height, chip, &detectValue);
  }
  // Frames fed until the verdict, or -1.
  int RunToVerdict(int limit = 600) {
    for (int i = 1; i <= limit; ++i) {
      Feed();
      if (detector.State() == FlickerDetector::kStateDone) return i;
    }
    return -1;
  }
  UCHAR Register(USHORT address) { return camera.registers[address]; }
};

struct MainsCase {
  const char* name;
  UCHAR chip;
  int mainsHz;
  UCHAR expected;
  LONG w, h;
};

TEST(FlickerDetector, SetsThePowerLineControlToTheMains) {
  const MainsCase cases[] = {
      {"50 Hz, chip B0", 0xB0, 50, 1, 640, 480}, {"60 Hz, chip B0", 0xB0, 60, 2, 640, 480},
      {"50 Hz, chip C0", 0xC0, 50, 1, 320, 240}, {"60 Hz, chip C0", 0xC0, 60, 2, 320, 240},
      {"50 Hz, 1280x720", 0xB0, 50, 1, 1280, 720},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.chip, c.mainsHz, c.w, c.h);
    EXPECT_EQ(kFramesToVerdict, rig.RunToVerdict());
    EXPECT_EQ(c.expected, rig.camera.powerLine);
    EXPECT_EQ(c.expected, rig.detectValue);
    // 60 Hz is tried first; the verdict writes the final value.
    ASSERT_EQ(2u, rig.camera.powerLineSets.size());
    EXPECT_EQ(2, rig.camera.powerLineSets[0]);
    // The flicker mode register was on for the measurement and is off again.
    const std::vector<std::pair<USHORT, UCHAR>> modeWrites = {{0x0600, 0}, {0x0600, 1}, {0x0600, 0}};
    EXPECT_EQ(modeWrites, rig.camera.registerWrites);
    // Done: further frames change nothing.
    const int requests = rig.camera.requests;
    for (int i = 0; i < 20; ++i) rig.Feed();
    EXPECT_EQ(requests, rig.camera.requests);
  }
}

TEST(FlickerDetector, SensorLevelMustLieIn240To1920) {
  const struct {
    USHORT level;
    bool passes;
  } cases[] = {{239, false}, {240, true}, {1920, true}, {1921, false}, {0, false}, {65535, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    FakeFlickerCamera camera(0xB0, 50, 320, 240);
    camera.level = c.level;
    USHORT level = 0;
    EXPECT_EQ(c.passes, ReadSensorLevelInRange(&camera, 0xB0, &level));
    EXPECT_EQ(c.level, level);
    FakeFlickerCamera c0(0xC0, 50, 320, 240);
    c0.level = c.level;
    EXPECT_EQ(c.passes, ReadSensorLevelInRange(&c0, 0xC0, nullptr));
    EXPECT_EQ(1, c0.registerReads[0x0556]);
    EXPECT_EQ(1, c0.registerReads[0x0557]);
  }
}

// A level outside the range sends preparation back to wait 5 frames, so the level is read on
// every seventh frame and the power line is never touched.
TEST(FlickerDetector, LevelOutOfRangeWaitsFiveFramesAndTriesAgain) {
  Rig rig(0xB0, 50);
  rig.camera.level = 2000;
  std::vector<int> readsAt;
  for (int frame = 1; frame <= 40; ++frame) {
    const int before = rig.camera.registerReads[0x050D];
    rig.Feed();
    if (rig.camera.registerReads[0x050D] != before) readsAt.push_back(frame);
  }
  EXPECT_EQ((std::vector<int>{2, 9, 16, 23, 30, 37}), readsAt);
  EXPECT_TRUE(rig.camera.powerLineSets.empty());
  // Once the level is in range, detection proceeds.
  rig.camera.level = 1000;
  EXPECT_GT(rig.RunToVerdict(), 0);
  EXPECT_EQ(1, rig.camera.powerLine);
}

TEST(FlickerDetector, ChipWithoutLevelRegistersNeverDetects) {
  Rig rig(0xA0, 50);
  for (int i = 0; i < 300; ++i) rig.Feed();
  EXPECT_NE(FlickerDetector::kStateDone, rig.detector.State());
  EXPECT_TRUE(rig.camera.powerLineSets.empty());
  EXPECT_TRUE(rig.camera.registerReads.empty());
  // Its flicker-mode register is 0x0500, switched off by the reset.
  const std::vector<std::pair<USHORT, UCHAR>> writes = {{0x0500, 0}};
  EXPECT_EQ(writes, rig.camera.registerWrites);
}

TEST(FlickerDetector, MovingSceneHoldsPreparationUntilItIsStill) {
  Rig rig(0xB0, 50);
  rig.camera.moving = true;
  for (int i = 0; i < 120; ++i) rig.Feed();
  EXPECT_EQ(FlickerDetector::kStatePreparing, rig.detector.State());
  EXPECT_EQ(0u, rig.camera.registerWrites.size() - 1);  // only the reset's mode-off write
  rig.camera.moving = false;
  EXPECT_GT(rig.RunToVerdict(), 0);
  EXPECT_EQ(1, rig.camera.powerLine);
}

// Motion during the measurement restarts the collection; after five moving collections the
// measurement ends without a verdict: mode off, preparation again.
TEST(FlickerDetector, MovingMeasurementRetriesFiveTimesThenPreparesAgain) {
  Rig rig(0xB0, 50);
  for (int i = 0; i < 100 && rig.detector.State() != FlickerDetector::kStateMeasuring; ++i)
    rig.Feed();
  ASSERT_EQ(FlickerDetector::kStateMeasuring, rig.detector.State());
  rig.camera.moving = true;
  int measuring = 0;
  while (rig.detector.State() == FlickerDetector::kStateMeasuring && measuring < 1000) {
    rig.Feed();
    ++measuring;
  }
  EXPECT_EQ(5 * 22, measuring);
  EXPECT_EQ(FlickerDetector::kStateWaiting, rig.detector.State());
  EXPECT_EQ(2u, TestSeam<FlickerDetector>::CurrentFrequency(rig.detector));
  EXPECT_EQ(-1, rig.detectValue);
  ASSERT_FALSE(rig.camera.registerWrites.empty());
  EXPECT_EQ((std::pair<USHORT, UCHAR>{0x0600, 0}), rig.camera.registerWrites.back());
  EXPECT_EQ(1u, rig.camera.powerLineSets.size());
  rig.camera.moving = false;
  EXPECT_GT(rig.RunToVerdict(), 0);
  EXPECT_EQ(1, rig.camera.powerLine);
}

TEST(FlickerDetector, ExposureThatNeverSettlesIsAcceptedAfterThirtyFrames) {
  Rig rig(0xB0, 60);
  rig.camera.exposureNeverSettles = true;
  // Settling gives up after 31 reads; the stillness window then restarts until both are done.
  int frames = 0;
  while (rig.detector.State() != FlickerDetector::kStateMeasuring && frames < 200) {
    rig.Feed();
    ++frames;
  }
  EXPECT_EQ(31, rig.camera.registerReads[0x0002]);
  EXPECT_EQ(2, rig.camera.registerWrites.size());
  EXPECT_GT(rig.RunToVerdict(), 0);
  EXPECT_EQ(2, rig.camera.powerLine);
}

TEST(FlickerDetector, SlowExposureDelaysTheMeasurement) {
  Rig quick(0xB0, 50), slow(0xB0, 50);
  slow.camera.exposureDriftReads = 14;
  const int quickFrames = quick.RunToVerdict();
  const int slowFrames = slow.RunToVerdict();
  EXPECT_EQ(kFramesToVerdict, quickFrames);
  // 14 moving reads, then 10 stable ones: settled on the 25th preparing frame, and the stillness
  // window restarts at the 23rd, so measurement starts after the 33rd.
  EXPECT_EQ(kFramesToVerdict + 22, slowFrames);
  EXPECT_EQ(1, slow.camera.powerLine);
}

TEST(FlickerDetector, VerdictUsesWhatTheCameraReports) {
  const struct {
    const char* name;
    int mainsHz;
    int reported;
    bool failGet;
    UCHAR expected;
  } cases[] = {
      {"wrong, camera reports 2", 50, 2, false, 1},
      {"wrong, camera reports 1", 50, 1, false, 2},
      {"wrong, camera reports 0", 50, 0, false, 2},
      {"right, camera reports 2", 60, 2, false, 2},
      {"wrong, GET_CUR fails", 50, -1, true, 1},
      {"right, GET_CUR fails", 60, -1, true, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(0xB0, c.mainsHz);
    rig.camera.reportedPowerLine = c.reported;
    rig.camera.failPowerLineGet = c.failGet;
    EXPECT_EQ(kFramesToVerdict, rig.RunToVerdict());
    EXPECT_EQ(c.expected, rig.camera.powerLine);
    EXPECT_EQ(c.expected, rig.detectValue);
  }
}

TEST(FlickerDetector, RedetectRequestIsClearedByTheResetThatRestartsDetection) {
  Rig rig(0xB0, 50);
  ASSERT_EQ(kFramesToVerdict, rig.RunToVerdict());
  EXPECT_FALSE(rig.detector.IsRedetectRequested());
  rig.detector.RequestRedetect();
  EXPECT_TRUE(rig.detector.IsRedetectRequested());
  rig.Feed();  // still done; the request waits for the capture pin
  EXPECT_EQ(FlickerDetector::kStateDone, rig.detector.State());
  rig.detector.Reset(&rig.camera, rig.chip, 1);
  EXPECT_FALSE(rig.detector.IsRedetectRequested());
  EXPECT_EQ((std::pair<USHORT, UCHAR>{0x0600, 0}), rig.camera.registerWrites.back());
  // The restart takes effect at the next frame, which is the one more frame to wait.
  rig.Feed();
  EXPECT_EQ(FlickerDetector::kStateWaiting, rig.detector.State());
  EXPECT_EQ(2u, TestSeam<FlickerDetector>::CurrentFrequency(rig.detector));
  // Then a whole detection, testing 60 Hz again (switching the camera back to 60 Hz brings the
  // bands back, which the stillness window first sees as a change).
  EXPECT_GE(1 + rig.RunToVerdict(), kFramesToVerdict + 1);
  EXPECT_EQ(1, rig.camera.powerLine);
  EXPECT_EQ(4u, rig.camera.powerLineSets.size());
}

TEST(FlickerDetector, InitialStateResetsWithoutTouchingTheCamera) {
  FakeFlickerCamera camera(0xB0, 50, 320, 240);
  FlickerDetector detector;
  ASSERT_EQ(STATUS_SUCCESS, detector.AllocBuffers());
  EXPECT_EQ(FlickerDetector::kStateInitial, detector.State());
  const auto frame = camera.NextFrame();
  LONG value = -1;
  detector.ProcessFrame(&camera, frame.data(), 2, 320, 240, 0xB0, &value);
  EXPECT_EQ(FlickerDetector::kStateWaiting, detector.State());
  EXPECT_EQ(0, camera.requests);
  detector.ProcessFrame(&camera, frame.data(), 2, 320, 240, 0xB0, &value);
  EXPECT_EQ(FlickerDetector::kStatePreparing, detector.State());
  detector.FreeBuffers();
}

TEST(FlickerDetector, WithoutBuffersItStaysIdle) {
  FakeFlickerCamera camera(0xB0, 50, 320, 240);
  FlickerDetector detector;
  LONG value = -1;
  for (int i = 0; i < 60; ++i) {
    const auto frame = camera.NextFrame();
    detector.ProcessFrame(&camera, frame.data(), 2, 320, 240, 0xB0, &value);
  }
  EXPECT_EQ(FlickerDetector::kStateInitial, detector.State());
  detector.Reset(&camera, 0xB0, 0);  // a reset still switches the sensor's mode off
  const int requests = camera.requests;
  for (int i = 0; i < 60; ++i) {
    const auto frame = camera.NextFrame();
    detector.ProcessFrame(&camera, frame.data(), 2, 320, 240, 0xB0, &value);
  }
  EXPECT_EQ(requests, camera.requests);
  EXPECT_EQ(-1, value);
  ASSERT_EQ(STATUS_SUCCESS, detector.AllocBuffers());
  detector.FreeBuffers();
  EXPECT_FALSE(detector.HasBuffers());
  detector.FreeBuffers();
}

TEST(FlickerDetector, FailedBufferAllocationLeavesItIdleAndLeaksNothing) {
  for (ULONG tag : {'AFD0', 'AFD3', 'AFD5'}) {
    SCOPED_TRACE(kernel::TagToString(tag));
    FakeFlickerCamera camera(0xB0, 50, 320, 240);
    FlickerDetector detector;
    kernel::FailNthAllocation(1, tag);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, detector.AllocBuffers());
    kernel::ClearPoolFaults();
    EXPECT_FALSE(detector.HasBuffers());
    detector.Reset(&camera, 0xB0, 0);
    const int requests = camera.requests;
    LONG value = -1;
    for (int i = 0; i < 80; ++i) {
      const auto frame = camera.NextFrame();
      detector.ProcessFrame(&camera, frame.data(), 2, 320, 240, 0xB0, &value);
    }
    EXPECT_EQ(requests, camera.requests);
    detector.FreeBuffers();
    for (ULONG t : {'AFD0', 'AFD1', 'AFD2', 'AFD3', 'AFD4', 'AFD5'})
      EXPECT_EQ(0u, kernel::PoolStatsForTag(t).liveBlocks);
  }
}

TEST(FlickerDetector, BuffersCarryTheirTagsAndSizes) {
  FlickerDetector detector;
  ASSERT_EQ(STATUS_SUCCESS, detector.AllocBuffers());
  for (auto [tag, bytes] : {std::pair{'AFD0', 2000u}, std::pair{'AFD1', 2000u},
                            std::pair{'AFD2', 2000u}, std::pair{'AFD3', 400u},
                            std::pair{'AFD4', 400u}, std::pair{'AFD5', 400u}}) {
    EXPECT_EQ(1u, kernel::PoolStatsForTag(tag).liveBlocks) << kernel::TagToString(tag);
    EXPECT_EQ(bytes, kernel::PoolStatsForTag(tag).liveBytes) << kernel::TagToString(tag);
  }
  detector.FreeBuffers();
  EXPECT_EQ(0u, kernel::PoolStatsForTag('AFD0').liveBlocks);
}

TEST(FlickerDetector, GridsFitOnlyFramesLargeEnoughForThem) {
  const struct {
    LONG w, h;
    bool fits;
  } cases[] = {{640, 480, true}, {320, 240, true}, {120, 480, true}, {114, 480, true},
               {113, 480, false}, {100, 480, false}, {640, 20, true}, {640, 19, false},
               {1, 1, false},     {0, 480, false},   {-640, 480, false}};
  for (const auto& c : cases)
    EXPECT_EQ(c.fits, FlickerDetector::GridsFit(c.w, c.h)) << c.w << "x" << c.h;
}

// Narrow frames: the grids would leave their rows, so nothing is sampled (the frame vectors
// are exactly sized so that AddressSanitizer sees any stray read).
TEST(FlickerDetector, FramesTooSmallForTheGridsAreNotSampled) {
  for (auto [w, h] : {std::pair{100, 480}, std::pair{640, 16}, std::pair{2, 2}}) {
    SCOPED_TRACE(::testing::Message() << w << "x" << h);
    Rig rig(0xB0, 50, w, h);
    for (int i = 0; i < 30; ++i) rig.Feed();
    EXPECT_EQ(FlickerDetector::kStatePreparing, rig.detector.State());
    EXPECT_TRUE(rig.camera.powerLineSets.empty());
  }
}

// RGB24 frames (three bytes per pixel) are sampled as the mean of the three bytes; a still
// grey scene passes the stillness window like a YUY2 one.
TEST(FlickerDetector, Rgb24FramesAreSampledWithinTheirBuffers) {
  Rig rig(0xB0, 60);
  int frames = 0;
  while (rig.detector.State() != FlickerDetector::kStateMeasuring && frames < 100) {
    const auto yuy2 = rig.camera.NextFrame();
    std::vector<uint8_t> rgb(static_cast<size_t>(rig.width) * rig.height * 3);
    for (size_t i = 0; i < rgb.size() / 3; ++i) rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] = yuy2[i * 2];
    rig.detector.ProcessFrame(&rig.camera, rgb.data(), 3, rig.width, rig.height, rig.chip,
                              &rig.detectValue);
    ++frames;
  }
  EXPECT_EQ(1 + 11 + 11, frames);
}

TEST(FlickerDetector, FailedRegisterAddressSkipsTheDataTransfer) {
  FakeFlickerCamera camera(0xB0, 50, 320, 240);
  camera.failRegisterAddress = true;
  USHORT level = 1;
  EXPECT_FALSE(ReadSensorLevelInRange(&camera, 0xB0, &level));
  EXPECT_EQ(0, level);  // both bytes stay 0
  EXPECT_TRUE(camera.registerReads.empty());
  FlickerDetector::SetSensorFlickerMode(&camera, 0xB0, 1);
  EXPECT_TRUE(camera.registerWrites.empty());
  camera.failRegisterAddress = false;
  FlickerDetector::SetSensorFlickerMode(&camera, 0xB0, 2);  // not a mode
  FlickerDetector::SetSensorFlickerMode(&camera, 0xD0, 1);
  const std::vector<std::pair<USHORT, UCHAR>> writes = {{0x0500, 1}};
  EXPECT_EQ(writes, camera.registerWrites);
}

// ---- Scoring -----------------------------------------------------------------------------------

// Per-frame sums for ten regions, each following series(i) for frame i.
std::vector<SHORT> Sums(double amplitude, double period, double offset, double phaseStep = 0.3) {
  const double kPi = 3.14159265358979323846;
  std::vector<SHORT> sums(200);
  for (int i = 0; i < 20; ++i)
    for (int g = 0; g < 10; ++g)
      sums[i * 10 + g] = static_cast<SHORT>(
          std::lround(offset + amplitude * std::sin(2 * kPi * (i + 1) / period + g * phaseStep)));
  return sums;
}

const LONG kRegionsList[5] = {0, 2, 4, 6, 8};

TEST(FlickerDetectorScore, BandingOfTheOtherMainsScoresPositive) {
  FlickerDetector d;
  // 60 Hz under test at 30 frames per second: 50 Hz light rolls with a period of 3 frames.
  EXPECT_GT(d.ScoreBanding(Sums(800, 3, 0).data(), 0, 2, kRegionsList), 0);
  EXPECT_GT(d.ScoreBanding(Sums(300, 3, 0).data(), 1, 2, kRegionsList), 0);
  // 50 Hz under test at 25 frames per second: 60 Hz light rolls with a period of 5 frames.
  EXPECT_GT(d.ScoreBanding(Sums(800, 5, 0).data(), 0, 1, kRegionsList), 0);
  // No banding, or banding of the wrong period, scores negative.
  EXPECT_LT(d.ScoreBanding(Sums(0, 3, 0).data(), 0, 2, kRegionsList), 0);
  EXPECT_LT(d.ScoreBanding(Sums(800, 10, 0).data(), 0, 2, kRegionsList), 0);
  // A value under test that is neither 1 nor 2 costs every pair.
  EXPECT_LT(d.ScoreBanding(Sums(800, 3, 0).data(), 0, 0, kRegionsList), 0);
}

// A weak ripple far below zero is not banding: its range is the ripple's, not its distance
// from zero.
TEST(FlickerDetectorScore, RangeOfAnAllNegativeSeriesIsItsOwnSpread) {
  FlickerDetector d;
  const LONG nearZero = d.ScoreBanding(Sums(30, 3, 0).data(), 0, 2, kRegionsList);
  EXPECT_LT(nearZero, 0);
  EXPECT_EQ(nearZero, d.ScoreBanding(Sums(30, 3, -5000).data(), 0, 2, kRegionsList));
  EXPECT_EQ(nearZero, d.ScoreBanding(Sums(30, 3, 5000).data(), 0, 2, kRegionsList));
}

// Twenty sums of up to 25500 overflow 16 bits; the mean that splits peaks from troughs must not.
TEST(FlickerDetectorScore, TurningPointMeanHoldsLargeSums) {
  FlickerDetector d;
  const LONG centred = d.ScoreBanding(Sums(800, 3, 0).data(), 0, 2, kRegionsList);
  EXPECT_GT(centred, 0);
  EXPECT_EQ(centred, d.ScoreBanding(Sums(800, 3, 20000).data(), 0, 2, kRegionsList));
  EXPECT_EQ(centred, d.ScoreBanding(Sums(800, 3, -20000).data(), 0, 2, kRegionsList));
}

}  // namespace
}  // namespace kvz

// ---- Under modelled light ----------------------------------------------------------------------

namespace kvz {
namespace {

using test::LightConditions;
using test::Scene;

enum class Verdict { kSwitched, kKept, kUndecided };

// One detection from stream start (the camera at 60 Hz) under the given light.
Verdict Detect(const LightConditions& light, bool bgr = false, int limit = 400) {
  FakeFlickerCamera camera(0xB0, light.mainsHz, 320, 240);
  camera.light = light;
  FlickerDetector detector;
  EXPECT_EQ(STATUS_SUCCESS, detector.AllocBuffers());
  detector.Reset(&camera, 0xB0, 0);
  LONG value = -1;
  Verdict v = Verdict::kUndecided;
  for (int i = 0; i < limit && v == Verdict::kUndecided; ++i) {
    const auto frame = bgr ? camera.NextBgrFrame() : camera.NextFrame();
    detector.ProcessFrame(&camera, frame.data(), bgr ? 3 : 2, 320, 240, 0xB0, &value);
    if (detector.State() == FlickerDetector::kStateDone)
      v = camera.powerLine == 1 ? Verdict::kSwitched : Verdict::kKept;
  }
  detector.FreeBuffers();
  return v;
}

LightConditions Light(Scene scene, int mains, double depth = 0.25, int exposure = 1,
                      double noise = 0.5, double fps = 30, double shake = 0) {
  LightConditions l;
  l.scene = scene;
  l.mainsHz = mains;
  l.depth = depth;
  l.exposurePeriods = exposure;
  l.noise = noise;
  l.fps = fps;
  l.shake = shake;
  return l;
}

TEST(FlickerDetectorUnderLight, CorrectsSixtyHertzUnderFiftyHertzLightAndKeepsItUnderSixty) {
  const struct {
    const char* name;
    LightConditions light;
    bool bgr;
    Verdict expected;
  } cases[] = {
      {"office, 50 Hz", Light(Scene::kOffice, 50), false, Verdict::kSwitched},
      {"office, 60 Hz", Light(Scene::kOffice, 60), false, Verdict::kKept},
      // No chroma at all: luma banding alone must decide.
      {"grey wall, 50 Hz", Light(Scene::kGrey, 50), false, Verdict::kSwitched},
      {"grey wall, 60 Hz", Light(Scene::kGrey, 60), false, Verdict::kKept},
      {"flat colour, 50 Hz", Light(Scene::kFlatColour, 50), false, Verdict::kSwitched},
      {"flat colour, 60 Hz", Light(Scene::kFlatColour, 60, 0.8), false, Verdict::kKept},
      {"textured, 50 Hz", Light(Scene::kTextured, 50), false, Verdict::kSwitched},
      {"textured, noisy, 60 Hz", Light(Scene::kTextured, 60, 0.5, 2, 2.5), false, Verdict::kKept},
      // Strong flicker rolls whole rows; that is not scene motion.
      {"strong flicker, 1/120 s", Light(Scene::kOffice, 50, 0.8, 1), false, Verdict::kSwitched},
      {"strong flicker, 3/120 s", Light(Scene::kTextured, 50, 0.65, 3), false, Verdict::kSwitched},
      {"weak flicker, noisy", Light(Scene::kOffice, 50, 0.1, 2, 2.5), false, Verdict::kSwitched},
      {"15 frames per second", Light(Scene::kOffice, 50, 0.35, 1, 1, 15), false, Verdict::kSwitched},
      // At 25 frames per second 50 Hz bands stand still: no verdict can be had, and none that
      // switches is given.
      {"25 frames per second", Light(Scene::kOffice, 50, 0.35, 1, 1, 25), false, Verdict::kKept},
      // A shaking camera over fine texture never looks still enough to measure.
      {"shaking, textured", Light(Scene::kTextured, 50, 0.35, 1, 1, 30, 1), false,
       Verdict::kUndecided},
      // RGB24 frames carry their chroma in the blue-red difference.
      {"RGB24, flat colour, 50 Hz", Light(Scene::kFlatColour, 50), true, Verdict::kSwitched},
      {"RGB24, office, 60 Hz", Light(Scene::kOffice, 60), true, Verdict::kKept},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, Detect(c.light, c.bgr));
  }
}

// Stream start and stop and the property sets restart detection from their own threads while
// the capture pin processes frames: a restart is a request the next frame applies (run under
// the tsan preset to see that nothing races).
TEST(FlickerDetector, RestartsFromOtherThreadsAreAppliedByTheNextFrame) {
  Rig rig(0xB0, 50);
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 8; ++i) frames.push_back(rig.camera.NextFrame());
  std::atomic<bool> done{false};
  std::thread requester([&] {
    for (int i = 0; !done; ++i) {
      if (i & 1)
        rig.detector.RequestRedetect();
      else
        rig.detector.Reset(nullptr, rig.chip, 3);
    }
  });
  for (int i = 0; i < 400; ++i)
    rig.detector.ProcessFrame(nullptr, frames[i % 8].data(), 2, rig.width, rig.height, rig.chip,
                              &rig.detectValue);
  done = true;
  requester.join();
  // The last request restarts detection at the next frame: 3 frames waited, the fourth enters
  // preparation.
  rig.detector.Reset(nullptr, rig.chip, 3);
  for (int i = 0; i < 3; ++i) {
    rig.detector.ProcessFrame(nullptr, frames[0].data(), 2, rig.width, rig.height, rig.chip,
                              &rig.detectValue);
    EXPECT_EQ(FlickerDetector::kStateWaiting, rig.detector.State()) << i;
  }
  rig.detector.ProcessFrame(nullptr, frames[0].data(), 2, rig.width, rig.height, rig.chip,
                            &rig.detectValue);
  EXPECT_EQ(FlickerDetector::kStatePreparing, rig.detector.State());
  EXPECT_FALSE(rig.detector.IsRedetectRequested());
}

// Regions without banding have no turning points to judge: they must not outvote regions that
// show it. Flat chroma against clear luma banding of the other mains decides for the banding.
TEST(FlickerDetectorScore, FlatSeriesDoesNotOutweighBanding) {
  FlickerDetector d;
  const LONG banding = d.ScoreBanding(Sums(800, 3, 0).data(), 0, 2, kRegionsList);
  const LONG flat = d.ScoreBanding(Sums(0, 3, 0).data(), 1, 2, kRegionsList);
  EXPECT_GT(banding, 0);
  EXPECT_LT(flat, 0);
  EXPECT_GT(banding, -flat);
}

// Which pixels the two sampling grids read in a 640 x 480 frame: region centres at x 106, 212,
// 318, 424, 530 and y 120, 360; the motion grid starts 40 pixels left of and 60 rows above each
// centre in steps of 8 pixels and 12 rows; the banding grid spans x - 20 to x + 16 in steps of 4
// over rows y - 5 to y + 4.
struct GridPoints {
  std::vector<bool> motion, banding;  // per pixel
  GridPoints() : motion(640 * 480), banding(640 * 480) {
    for (int cx : {106, 212, 318, 424, 530})
      for (int cy : {120, 360})
        for (int r = 0; r < 10; ++r)
          for (int c = 0; c < 10; ++c) {
            motion[(cy - 60 + 12 * r) * 640 + cx - 40 + 8 * c] = true;
            banding[(cy - 5 + r) * 640 + cx - 20 + 4 * c] = true;
          }
  }
};

// Frames that change only where `changes` says, by random amounts (k > 0), on a textured base.
std::vector<uint8_t> Frame640(const std::vector<bool>& changes, int k, int banding = 0) {
  std::vector<uint8_t> f(640 * 480 * 2);
  uint32_t s = 77u + 1000003u * k;
  for (size_t p = 0; p < 640 * 480; ++p) {
    uint8_t y = static_cast<uint8_t>(60 + (p * 37 % 97)), uv = static_cast<uint8_t>(100 + p % 50);
    if (changes[p]) {
      s = s * 1664525u + 1013904223u;
      y = static_cast<uint8_t>(banding ? y + banding : (k ? s >> 24 : y));
      uv = static_cast<uint8_t>(banding ? uv + banding : uv);
    }
    f[p * 2] = y;
    f[p * 2 + 1] = uv;
  }
  return f;
}

TEST(FlickerDetectorGrids, MotionGridReadsExactlyItsHundredPointsPerRegion) {
  const GridPoints g;
  std::vector<bool> others(640 * 480);
  for (size_t p = 0; p < others.size(); ++p) others[p] = !g.motion[p];
  for (bool onGrid : {false, true}) {
    SCOPED_TRACE(onGrid ? "grid points change" : "everything else changes");
    FlickerDetector d;
    ASSERT_EQ(STATUS_SUCCESS, d.AllocBuffers());
    LONG result = -1;
    for (int k = 0; k < 11; ++k) {
      const auto f = Frame640(onGrid ? g.motion : others, k);
      result = d.CheckSceneStable(f.data(), 2, 640, 480);
      if (k < 10) {
        ASSERT_EQ(-1, result) << k;
      }
    }
    EXPECT_EQ(onGrid ? 1 : 0, result);
    d.FreeBuffers();
  }
}

TEST(FlickerDetectorGrids, BandingGridReadsExactlyItsHundredPointsPerRegion) {
  const GridPoints g;
  // Banding of period 3 (50 Hz light under a 60 Hz setting at 30 frames per second), on the
  // banding grid only or everywhere else; the motion grid's points stay still either way.
  std::vector<bool> grid(640 * 480), others(640 * 480);
  for (size_t p = 0; p < grid.size(); ++p) {
    grid[p] = g.banding[p] && !g.motion[p];
    others[p] = !g.banding[p] && !g.motion[p];
  }
  const int wave[3] = {0, 30, -25};
  for (bool onGrid : {true, false}) {
    SCOPED_TRACE(onGrid ? "bands on the grid" : "bands everywhere else");
    FlickerDetector d;
    ASSERT_EQ(STATUS_SUCCESS, d.AllocBuffers());
    LONG r = -1;
    for (int k = 0; k <= 21 && r == -1; ++k) {
      const auto f = Frame640(onGrid ? grid : others, k, 60 + wave[k % 3]);
      r = d.AnalyzeBanding(f.data(), 2, 640, 480, 2);
    }
    EXPECT_EQ(onGrid ? 3 : 0, r);
    d.FreeBuffers();
  }
}

}  // namespace
}  // namespace kvz
