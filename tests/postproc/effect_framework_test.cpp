#include "postproc/effects/zq_effect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kvz/kernel_testing.h"
#include "postproc/geometry/bilinear_resample.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_interpolation.h"
#include "support/effect_harness.h"

namespace kvz {
namespace {

using test::EffectPtr;
using test::FormattedEffect;
using test::GuardedBuffer;
using test::MakeEffect;

TEST(EffectFactory, IdentifiersWithoutAnEffectYieldNone) {
  for (LONG id : {0, -1, 255, 259, 785, 799, 1023, 1279, 1282, 1536, 0x7FFFFFFF}) {
    EffectPtr effect = MakeEffect(id);
    EXPECT_EQ(nullptr, effect.get()) << id;
  }
}

TEST(EffectFactory, NewEffectsAreNotReadyAndRefuseToRunUntilFormatted) {
  for (LONG id : {kEffectDigitalZoom, kEffectFaceTrack, kEffectDigitalZoomAlt, kEffectScaleClear, kEffectScale}) {
    EffectPtr effect = MakeEffect(id);
    ASSERT_NE(nullptr, effect.get()) << id;
    EXPECT_EQ(id, effect->identifier);
    EXPECT_EQ(0, effect->active);
    EXPECT_EQ(0, effect->detached);
    GuardedBuffer frame(64, 0x11);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, effect->Do(frame.data())) << id;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, effect->Do(nullptr)) << id;
  }
  EXPECT_EQ(0u, kernel::LivePoolBlocks().size());
}

TEST(EffectFactory, PoolShortageYieldsNoEffect) {
  for (LONG id : {kEffectDigitalZoom, kEffectFaceTrack, kEffectScale}) {
    kernel::FailNthAllocation(1);
    EffectPtr effect = MakeEffect(id);
    kernel::ClearPoolFaults();
    EXPECT_EQ(nullptr, effect.get()) << id;
  }
  EXPECT_EQ(0u, kernel::LivePoolBlocks().size());
}

// The face track allocates its picture in Init, so its allocations count the Init calls.
TEST(ZQEffect, SameFormatTwiceInitialisesOnceAndKeepsTheFirstBuffer) {
  EffectPtr effect = MakeEffect(kEffectFaceTrack);
  const EffectFormat format = {kPixelRgb24, 32, 24};
  const uint64_t before = kernel::PoolStatsForTag(kTagFaceTrackPicture).allocations;
  std::vector<UCHAR> first(32 * 24 * 3), second(32 * 24 * 3);
  ASSERT_EQ(STATUS_SUCCESS, effect->SetFormat(&format, first.data(), 32 * 24 * 3, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, effect->SetFormat(&format, second.data(), 32 * 24 * 3, nullptr));
  EXPECT_EQ(before + 1, kernel::PoolStatsForTag(kTagFaceTrackPicture).allocations);
  EXPECT_EQ(first.data(), effect->workBuffer);
  EXPECT_EQ(1, effect->ready);
}

// Formats the effects could not run on safely are refused before anything changes.
TEST(ZQEffect, SetFormatRefusesMissingOrTooSmallBuffersAndImpossibleSizes) {
  struct Case {
    EffectFormat format;
    LONG bufferBytes;
    bool nullBuffer;
  };
  const Case cases[] = {
      {{kPixelRgb24, 4, 4}, 48, true},
      {{kPixelRgb24, 4, 4}, 47, false},
      {{kPixelYuy2, 0, 4}, 64, false},
      {{kPixelYuy2, 4, -2}, 64, false},
      {{kPixelRgb24, kEffectMaxDimension + 1, 1}, 0x7FFFFFFF, false},
      {{kPixelRgb24, 8, 8}, -1, false},
  };
  std::vector<UCHAR> buffer(64);
  for (const Case& c : cases) {
    EffectPtr effect = MakeEffect(kEffectDigitalZoom);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              effect->SetFormat(&c.format, c.nullBuffer ? nullptr : buffer.data(), c.bufferBytes, nullptr));
    EXPECT_EQ(0, effect->ready);
    EXPECT_EQ(0, effect->format.width);
  }
  EffectPtr effect = MakeEffect(kEffectDigitalZoom);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, effect->SetFormat(nullptr, buffer.data(), 64, nullptr));
}

TEST(ZQEffect, FrameSizesFitThirtyOneBitsOrAreZero) {
  const struct {
    EffectFormat format;
    ULONG bytes;
  } cases[] = {
      {{kPixelRgb24, 641, 481}, 641u * 481 * 3},
      {{kPixelYuy2, 3, 1}, 6},
      {{kPixelI420, 7, 5}, 52},
      {{kPixelI420, 320, 240}, 115200},
      {{kPixelNone, 64, 64}, 0},
      {{3, 64, 64}, 0},
      {{kPixelRgb24, kEffectMaxDimension, kEffectMaxDimension}, 805306368u},
      {{kPixelRgb24, 65536, 65536}, 0},
      {{kPixelRgb24, -640, -480}, 0},
  };
  EffectPtr effect = MakeEffect(kEffectScale);
  for (const auto& c : cases) EXPECT_EQ(c.bytes, effect->GetFrameSize(&c.format)) << c.format.width;
  EXPECT_EQ(0u, effect->GetFrameSize(nullptr));
}

TEST(ZQEffect, ConfigureRefusesWhileActiveAndOutsideTheClassFormats) {
  FormattedEffect tracking(kEffectFaceTrack, kPixelRgb24, 64, 48);
  ZQEffect* effect = tracking.effect.get();
  ASSERT_EQ(STATUS_SUCCESS, tracking.status);
  const uint64_t before = kernel::PoolStatsForTag(kTagFaceTrackPicture).allocations;
  effect->active = 1;
  const EffectFormat second = {kPixelRgb24, 32, 24};
  EXPECT_EQ(STATUS_DEVICE_BUSY, effect->Configure(&second));
  effect->active = 0;
  const EffectFormat planar = {kPixelI420, 32, 24};
  EXPECT_EQ(STATUS_NOT_SUPPORTED, effect->Configure(&planar));
  EXPECT_EQ(64, effect->format.width);
  ASSERT_EQ(STATUS_SUCCESS, effect->Configure(&second));
  EXPECT_EQ(32, effect->format.width);
  EXPECT_EQ(64, effect->previousFormat.width);
  EXPECT_EQ(STATUS_SUCCESS, effect->Configure(&second));
  // Re-initialised once, and the picture of the old size was given back.
  EXPECT_EQ(before + 1, kernel::PoolStatsForTag(kTagFaceTrackPicture).allocations);
  EXPECT_EQ(1u, kernel::PoolStatsForTag(kTagFaceTrackPicture).liveBlocks);
}

TEST(ZQEffect, DetachedOrShortBufferedEffectsDoNotRun) {
  FormattedEffect zoom(kEffectDigitalZoom, kPixelRgb24, 4, 4);
  ASSERT_EQ(STATUS_SUCCESS, zoom.status);
  GuardedBuffer frame(48, 0x22);
  EXPECT_EQ(STATUS_SUCCESS, zoom.effect->Do(frame.data()));
  zoom.effect->SetWorkBuffer(zoom.work.data(), 47);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, zoom.effect->Do(frame.data()));
  zoom.effect->SetWorkBuffer(zoom.work.data(), 48);
  zoom.effect->detached = 1;
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, zoom.effect->Do(frame.data()));
}

struct ScaleCase {
  LONG code;
  LONG inW, inH, outW, outH;
};

// The scaling effect hands the resampler the input picture (from its work buffer) and the
// output picture (in the frame) with their own row steps, and writes nothing past either.
TEST(ZQEInterpolation, ScalesIntoTheFrameThroughItsWorkBuffer) {
  const ScaleCase cases[] = {
      {kPixelRgb24, 640, 480, 320, 240}, {kPixelRgb24, 320, 240, 641, 481},
      {kPixelRgb24, 7, 5, 13, 9},        {kPixelRgb24, 1, 1, 3, 2},
      {kPixelRgb24, 5, 3, 1, 1},         {kPixelYuy2, 640, 480, 1280, 720},
      {kPixelYuy2, 161, 121, 32, 24},    {kPixelYuy2, 2, 2, 3, 3},
  };
  for (const ScaleCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.code << " " << c.inW << "x" << c.inH << " -> " << c.outW << "x" << c.outH);
    const LONG bpp = c.code == kPixelRgb24 ? 3 : 2;
    const size_t inBytes = static_cast<size_t>(c.inW) * c.inH * bpp;
    const size_t outBytes = static_cast<size_t>(c.outW) * c.outH * bpp;
    EffectPtr effect = MakeEffect(kEffectScale);
    const EffectFormat in = {c.code, c.inW, c.inH}, out = {c.code, c.outW, c.outH};
    GuardedBuffer work(inBytes);
    ASSERT_EQ(STATUS_SUCCESS, effect->SetFormat(&in, work.data(), static_cast<LONG>(inBytes), &out));

    const std::vector<uint8_t> picture = test::PatternBytes(inBytes, c.inW * 31 + c.outW);
    GuardedBuffer frame(inBytes > outBytes ? inBytes : outBytes);
    std::memcpy(frame.data(), picture.data(), inBytes);
    ASSERT_EQ(STATUS_SUCCESS, effect->Do(frame.data()));

    std::vector<uint8_t> source = picture, expected(outBytes);
    const ResampleImage src = {source.data(), static_cast<ULONG>(c.inW * bpp), c.inW, c.inH};
    const ResampleImage dst = {expected.data(), static_cast<ULONG>(c.outW * bpp), c.outW, c.outH};
    if (bpp == 3) {
      ResizeRgb24Bilinear(&dst, &src);
    } else {
      ResizeYuy2Bilinear(&dst, &src);
    }
    EXPECT_EQ(0, std::memcmp(expected.data(), frame.data(), outBytes));
    EXPECT_TRUE(frame.GuardsIntact());
    EXPECT_TRUE(work.GuardsIntact());
  }
}

// Without an output format the output size is the input size; it follows a new output format
// even when the input format stays, and I420 is not scaled.
TEST(ZQEInterpolation, OutputSizeFollowsEverySetFormatAndI420IsRefused) {
  FormattedEffect scaling(kEffectScale, kPixelRgb24, 8, 6);
  ASSERT_EQ(STATUS_SUCCESS, scaling.status);
  auto* effect = static_cast<ZQEInterpolation*>(scaling.effect.get());
  EXPECT_EQ(8, effect->outputWidth);
  const EffectFormat smaller = {kPixelRgb24, 4, 2};
  ASSERT_EQ(STATUS_SUCCESS, effect->SetFormat(&scaling.format, scaling.work.data(), 144, &smaller));
  EXPECT_EQ(4, effect->outputWidth);
  EXPECT_EQ(2, effect->outputHeight);
  const EffectFormat empty = {kPixelRgb24, 0, 2};
  EXPECT_EQ(STATUS_INVALID_PARAMETER, effect->SetFormat(&scaling.format, scaling.work.data(), 144, &empty));
  EXPECT_EQ(4, effect->outputWidth);

  FormattedEffect planar(kEffectScale, kPixelI420, 8, 6);
  ASSERT_EQ(STATUS_SUCCESS, planar.status);
  GuardedBuffer frame(72, 0x5A);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, planar.effect->Do(frame.data()));
  for (size_t i = 0; i < frame.size(); ++i) ASSERT_EQ(0x5A, frame[i]);
}

}  // namespace
}  // namespace kvz
