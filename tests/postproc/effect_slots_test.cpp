#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kvz/kernel_testing.h"
#include "postproc/geometry/bilinear_resample.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/base/frame_format.h"
#include "postproc/processor/frame_processor.h"
#include "support/effect_harness.h"

namespace kvz {
namespace {

using test::GuardedBuffer;

size_t Live(ULONG tag) { return kernel::PoolStatsForTag(tag).liveBlocks; }
uint64_t Made(ULONG tag) { return kernel::PoolStatsForTag(tag).allocations; }

// A still frame: the camera picture (YUY2, in x in) inside a buffer large enough for the
// offered size, as the still pin sizes it.
struct Still {
  Still(LONG inW, LONG inH, LONG outW, LONG outH)
      : inW(inW),
        inH(inH),
        outW(outW),
        outH(outH),
        picture(test::PatternBytes(static_cast<size_t>(inW) * inH * 2, inW + 7 * outW)),
        frame(std::max(picture.size(), static_cast<size_t>(outW) * outH * 2)) {
    std::memcpy(frame.data(), picture.data(), picture.size());
  }
  bool Unchanged() const { return std::memcmp(frame.data(), picture.data(), picture.size()) == 0; }
  // The picture scaled to the offered size as YUY2.
  bool Scaled() const {
    std::vector<uint8_t> source = picture, expected(static_cast<size_t>(outW) * outH * 2);
    const ResampleImage src = {source.data(), static_cast<ULONG>(inW * 2), inW, inH};
    const ResampleImage dst = {expected.data(), static_cast<ULONG>(outW * 2), outW, outH};
    ResizeYuy2Bilinear(&dst, &src);
    return std::memcmp(frame.data(), expected.data(), expected.size()) == 0;
  }
  LONG inW, inH, outW, outH;
  std::vector<uint8_t> picture;
  GuardedBuffer frame;
};

class EffectSlotsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kernel::ClearPoolFaults();
    processor.reset();
    for (ULONG tag : {kTagEffectBuffer, kTagEffectInterpolation, kTagEffectFaceTrack, kTagFaceTrackPicture,
                      kTagFaceTrackSearch, kTagEffectDigitalZoom, kTagEffectOrientation}) {
      EXPECT_EQ(0u, Live(tag)) << kernel::TagToString(tag);
    }
  }
  std::unique_ptr<FrameProcessor> processor = std::make_unique<FrameProcessor>();
};

// Different sizes select the scaling effect, the same sizes again keep that object, equal sizes
// retire it; a retired effect lives until the end of the next still's effect run.
TEST_F(EffectSlotsTest, SetFormatsSelectsScalingForDifferentSizesAndClearsItForEqualOnes) {
  const uint64_t made = Made(kTagEffectInterpolation);
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 640, 480, 320, 240));
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 640, 480, 320, 240));
  EXPECT_EQ(made + 1, Made(kTagEffectInterpolation));
  Still still(640, 480, 320, 240);
  ASSERT_EQ(STATUS_SUCCESS, processor->RunEffects(still.frame.data()));
  EXPECT_TRUE(still.Scaled());

  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 640, 480, 640, 480));
  EXPECT_EQ(1u, Live(kTagEffectInterpolation));
  Still same(640, 480, 640, 480);
  ASSERT_EQ(STATUS_SUCCESS, processor->RunEffects(same.frame.data()));
  EXPECT_TRUE(same.Unchanged());
  EXPECT_EQ(0u, Live(kTagEffectInterpolation));
}

// RGB24 streams (and subtype 0) are scaled as the YUY2 frames they are converted from.
TEST_F(EffectSlotsTest, Rgb24StreamsScaleTheYuy2CameraFrame) {
  for (ULONG subtype : {kSubtypeRgb24, 0u}) {
    ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(subtype, 7, 5, 13, 9));
    Still still(7, 5, 13, 9);
    ASSERT_EQ(STATUS_SUCCESS, processor->RunEffects(still.frame.data()));
    EXPECT_TRUE(still.Scaled());
    EXPECT_TRUE(still.frame.GuardsIntact());
  }
  // I420 has no scaling: the still's effect run reports it and leaves the frame.
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeI420, 8, 6, 4, 2));
  Still planar(8, 6, 4, 2);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, processor->RunEffects(planar.frame.data()));
  EXPECT_TRUE(planar.Unchanged());
}

TEST_F(EffectSlotsTest, SlotsAboveFiveAndUnknownEffectsAreRefused) {
  EXPECT_EQ(STATUS_INVALID_PARAMETER, processor->SelectEffect(1536));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, processor->ClearEffect(1536));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, processor->SelectEffect(-1));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, processor->SelectEffect(785));
  EXPECT_EQ(STATUS_SUCCESS, processor->SelectEffect(0));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, processor->SetFormats(kSubtypeYuy2, 0, 480, 320, 240));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, processor->SetFormats(kSubtypeYuy2, 640, 480, 320, -240));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, processor->SetFormats(kSubtypeYuy2, 640, 480, 16385, 240));
  EXPECT_EQ(0u, Live(kTagEffectInterpolation));
}

// Clearing with identifier 0 empties slots 0 to 4 and keeps the scaling effect.
TEST_F(EffectSlotsTest, ClearingAllButScalingKeepsTheScalingEffect) {
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 64, 48, 32, 24));
  ASSERT_EQ(STATUS_SUCCESS, processor->SelectEffect(kEffectDigitalZoom));
  EXPECT_EQ(1u, Live(kTagEffectDigitalZoom));
  ASSERT_EQ(STATUS_SUCCESS, processor->ClearEffect(0));
  Still still(64, 48, 32, 24);
  ASSERT_EQ(STATUS_SUCCESS, processor->RunEffects(still.frame.data()));
  EXPECT_TRUE(still.Scaled());
  EXPECT_EQ(0u, Live(kTagEffectDigitalZoom));
  EXPECT_EQ(1u, Live(kTagEffectInterpolation));
}

// A slot effect that cannot take the new stream format is cleared and its status returned;
// the scaling effect is still selected.
TEST_F(EffectSlotsTest, EffectRefusingTheNewFormatIsClearedAndReported) {
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 64, 48, 64, 48));
  ASSERT_EQ(STATUS_SUCCESS, processor->SelectEffect(kEffectDigitalZoom));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, processor->SetFormats(kSubtypeI420, 64, 48, 32, 24));
  Still still(64, 48, 32, 24);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, processor->RunEffects(still.frame.data()));
  EXPECT_EQ(0u, Live(kTagEffectDigitalZoom));
  EXPECT_EQ(1u, Live(kTagEffectInterpolation));
}

// A slot effect that takes the new format is kept, re-configured and still active: the
// configuration of a new stream flips rows of the new size before the scaling effect runs.
TEST_F(EffectSlotsTest, SlotEffectsAreReconfiguredForTheNewStream) {
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 8, 6, 8, 6));
  const LONG flipRows = kEffectOrientationFirst + 1;
  ASSERT_EQ(STATUS_SUCCESS, processor->SelectEffect(flipRows));
  const uint64_t made = Made(kTagEffectOrientation);
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 10, 4, 5, 2));
  EXPECT_EQ(made, Made(kTagEffectOrientation));
  Still still(10, 4, 5, 2);
  ASSERT_EQ(STATUS_SUCCESS, processor->RunEffects(still.frame.data()));
  Still flipped(10, 4, 5, 2);
  for (LONG row = 0; row < 4; ++row) {
    std::memcpy(flipped.picture.data() + row * 20, still.picture.data() + (3 - row) * 20, 20);
  }
  std::memcpy(still.picture.data(), flipped.picture.data(), flipped.picture.size());
  EXPECT_TRUE(still.Scaled());
}

// More retirements than the retired list holds before the next still: every effect is
// deleted exactly once (a second delete stops the test in the pool), none is lost.
TEST_F(EffectSlotsTest, RetirementsBeyondTheRetiredListAreDeletedOnce) {
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 32, 24, 16 + 2 * i, 12));
    ASSERT_EQ(STATUS_SUCCESS, processor->SelectEffect(kEffectDigitalZoom));
    ASSERT_EQ(STATUS_SUCCESS, processor->SelectEffect(kEffectDigitalZoomAlt));  // retires 256
    // Retires 1281, and 258, which takes no YUY2 frames.
    ASSERT_EQ(STATUS_NOT_SUPPORTED, processor->SetFormats(kSubtypeYuy2, 32, 24, 32, 24));
  }
  EXPECT_LE(Live(kTagEffectInterpolation) + Live(kTagEffectDigitalZoom), static_cast<size_t>(kEffectSlotCount));
  Still still(32, 24, 32, 24);
  ASSERT_EQ(STATUS_SUCCESS, processor->RunEffects(still.frame.data()));
  EXPECT_EQ(0u, Live(kTagEffectInterpolation));
  EXPECT_EQ(0u, Live(kTagEffectDigitalZoom));
  // Effects still waiting for deletion go with the processor.
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 32, 24, 16, 12));
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 32, 24, 32, 24));
}

// Every allocation of a reconfiguration failed once, from a processor that scales a smaller
// stream (its scaling effect holds the buffer that is replaced) and from one that does not: a
// clear status, the still afterwards either scaled to the new size or left alone (never run on
// a freed or too small buffer), the next configuration whole again, and nothing left behind.
TEST_F(EffectSlotsTest, EveryFailedAllocationOfSetFormatsLeavesASafeProcessor) {
  for (LONG previousWidth : {16, 32}) {
    int failures = 0;
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << "from 32x24 to " << previousWidth << " wide, allocation " << n);
      processor = std::make_unique<FrameProcessor>();
      ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 32, 24, previousWidth, 24));
      const uint64_t attempts = kernel::PoolAllocationAttempts();
      kernel::FailNthAllocation(n);
      const NTSTATUS status = processor->SetFormats(kSubtypeYuy2, 96, 72, 48, 36);
      const bool injected = kernel::PoolAllocationAttempts() - attempts >= n;
      kernel::ClearPoolFaults();
      Still still(96, 72, 48, 36);
      const NTSTATUS ran = processor->RunEffects(still.frame.data());
      EXPECT_TRUE(still.frame.GuardsIntact());
      if (!injected) {
        EXPECT_EQ(STATUS_SUCCESS, status);
        EXPECT_TRUE(still.Scaled());
        break;
      }
      ++failures;
      EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << std::hex << status;
      EXPECT_EQ(STATUS_SUCCESS, ran);
      EXPECT_TRUE(still.Unchanged());
      ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 96, 72, 48, 36));
      ASSERT_EQ(STATUS_SUCCESS, processor->RunEffects(still.frame.data()));
      EXPECT_TRUE(still.Scaled());
    }
    // The effect buffer, and the scaling effect where none was kept.
    EXPECT_EQ(previousWidth == 32 ? 2 : 1, failures);
  }
}

// The same for selecting an effect with buffers of its own (the face track: object, picture,
// doubled picture, search grids), and the still's effect run allocates nothing.
TEST_F(EffectSlotsTest, EveryFailedAllocationOfSelectEffectIsReported) {
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    processor = std::make_unique<FrameProcessor>();
    ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 160, 120, 160, 120));
    const uint64_t attempts = kernel::PoolAllocationAttempts();
    kernel::FailNthAllocation(n);
    const NTSTATUS status = processor->SelectEffect(kEffectFaceTrack);
    const bool injected = kernel::PoolAllocationAttempts() - attempts >= n;
    kernel::ClearPoolFaults();
    if (!injected) {
      EXPECT_EQ(STATUS_SUCCESS, status);
      EXPECT_EQ(5u, n);  // object, picture, doubled picture, search grids
      break;
    }
    EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << std::hex << status;
    EXPECT_EQ(0u, Live(kTagFaceTrackPicture));
    EXPECT_EQ(0u, Live(kTagFaceTrackSearch));
  }
  Still still(160, 120, 160, 120);
  const uint64_t attempts = kernel::PoolAllocationAttempts();
  kernel::FailNthAllocation(1);
  processor->RunEffects(still.frame.data());
  kernel::ClearPoolFaults();
  EXPECT_EQ(attempts, kernel::PoolAllocationAttempts());
}

}  // namespace
}  // namespace kvz

namespace kvz {
namespace {

struct StillRunCase {
  const char* name;
  LONG inW, inH, outW, outH;
  ULONG roomShort;  // bytes the frame's stated room falls short of both pictures
  NTSTATUS status;
  bool resampled;   // the frame holds the resampled picture; otherwise it is untouched
};

class StillEffectsTest : public EffectSlotsTest, public ::testing::WithParamInterface<StillRunCase> {};

// The still's own formats come with its run, whatever another stream configured last; a frame
// whose stated room cannot hold both pictures is left alone.
TEST_P(StillEffectsTest, RunsWithTheStillsOwnFormats) {
  const StillRunCase& c = GetParam();
  ASSERT_EQ(STATUS_SUCCESS, processor->SetFormats(kSubtypeYuy2, 1280, 720, 960, 540));
  Still still(c.inW, c.inH, c.outW, c.outH);
  const ULONG room = static_cast<ULONG>(std::max(c.inW * c.inH, c.outW * c.outH) * 2) - c.roomShort;
  EXPECT_EQ(c.status,
            processor->RunStillEffects(still.frame.data(), room, kSubtypeRgb24, c.inW, c.inH, c.outW, c.outH));
  EXPECT_EQ(c.resampled, still.Scaled());
  if (!c.resampled) {
    EXPECT_TRUE(still.Unchanged());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, StillEffectsTest,
    ::testing::Values(StillRunCase{"enlarged", 320, 240, 642, 482, 0, STATUS_SUCCESS, true},
                      StillRunCase{"reduced", 641, 480, 320, 240, 0, STATUS_SUCCESS, true},
                      StillRunCase{"same_size", 640, 480, 640, 480, 0, STATUS_SUCCESS, false},
                      StillRunCase{"room_short_of_output", 320, 240, 640, 480, 2, STATUS_BUFFER_TOO_SMALL, false},
                      StillRunCase{"room_short_of_input", 640, 480, 320, 240, 1, STATUS_BUFFER_TOO_SMALL, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz
