#include "postproc/effects/effect_face_track.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "jpeg/mjpeg_decoder.h"
#include "kvz/kernel_testing.h"
#include "postproc/base/effect_catalogue.h"
#include "support/effect_harness.h"

namespace kvz {
namespace {

using test::FormattedEffect;
using test::GuardedBuffer;

TEST(FaceTrack, StepTowardMovesByAtMostOneStepAndStaysEven) {
  const struct {
    LONG target, value, step, result;
  } cases[] = {{100, 90, 4, 94}, {100, 98, 4, 100}, {7, 20, 4, 16}, {9, 0, 20, 8}, {0, 5, 0, 4}};
  for (const auto& c : cases) {
    LONG value = c.value;
    StepToward(c.target, &value, c.step);
    EXPECT_EQ(c.result, value) << c.target << " " << c.value << " " << c.step;
  }
}

TEST(FaceTrack, FitTrackWindowFramesTheFaceOrTakesTheWholeFrame) {
  const struct {
    LONG faceLeft, faceTop, faceWidth, faceHeight;
    LONG left, top, width, height;
  } cases[] = {
      {100, 100, 300, 300, 0, 0, 640, 480},  // too wide to enlarge
      {300, 200, 40, 40, 240, 160, 160, 120},
      {0, 0, 40, 40, 0, 0, 160, 120},        // at the top-left corner
      {600, 440, 40, 40, 480, 360, 160, 120},  // at the bottom-right corner
      {300, 10, 100, 470, 14, 10, 626, 470},  // tall: the window takes the face's height
      {300, 0, 100, 480, 0, 0, 640, 480},     // too tall to enlarge
  };
  for (const auto& c : cases) {
    LONG left = -1, top = -1, width = -1, height = -1;
    FitTrackWindow(&left, &top, &width, &height, 640, 480, c.faceLeft, c.faceTop, c.faceWidth, c.faceHeight);
    EXPECT_EQ(c.left, left) << c.faceLeft;
    EXPECT_EQ(c.top, top) << c.faceLeft;
    EXPECT_EQ(c.width, width) << c.faceLeft;
    EXPECT_EQ(c.height, height) << c.faceLeft;
  }
}

// A skin-coloured ellipse (a face without features) on a dark background, scaled with the
// frame: semi-axes of 60 x 72 and centre (360, 200) in a 640 x 480 frame, image rows from the
// top. Bottom-up RGB24.
void DrawFace(uint8_t* frame, LONG width, LONG height, bool withFace) {
  const double cx = width * 360.0 / 640, cy = height * 200.0 / 480;
  const double ax = width * 60.0 / 640, ay = height * 72.0 / 480;
  for (LONG y = 0; y < height; ++y) {
    uint8_t* row = frame + static_cast<size_t>(height - 1 - y) * width * 3;
    for (LONG x = 0; x < width; ++x) {
      const double dx = (x + 0.5 - cx) / ax, dy = (y + 0.5 - cy) / ay;
      const bool face = withFace && dx * dx + dy * dy <= 1.0;
      row[3 * x] = face ? 130 : 60;       // blue
      row[3 * x + 1] = face ? 160 : 30;   // green
      row[3 * x + 2] = face ? 220 : 20;   // red
    }
  }
}

// The face in the picture's own pixels (the search answers in the 640 x 480 reference for
// other shapes than 4:3 and 352 x 288).
struct Box {
  LONG left, top, width, height;
};
Box DrawnFace(LONG width, LONG height) {
  return {width * 300 / 640, height * 128 / 480, width * 120 / 640, height * 144 / 480};
}

// The search on the effect's own I420 conversion finds the face at every size it serves: the
// found box holds the drawn face's centre and is at most twice its size.
TEST(FaceTrack, SearchFindsTheFaceAtEveryServedSize) {
  const struct {
    LONG w, h;
  } sizes[] = {{320, 240}, {640, 480}, {800, 600}, {1280, 960}, {352, 288}};
  auto grids = std::make_unique<FaceTrackGrids>();
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
    std::vector<uint8_t> rgb(static_cast<size_t>(s.w) * s.h * 3), picture(rgb.size());
    DrawFace(rgb.data(), s.w, s.h, true);
    jpeg::ConvertRgb24ToI420(rgb.data(), picture.data(), s.w, s.h);
    LONG result[kTrackResultCount];
    ASSERT_EQ(1, UpdateFaceTrackState(result, picture.data(), s.w, s.h, grids.get()));
    ASSERT_EQ(1, result[kTrackFound]);
    const Box face = DrawnFace(s.w, s.h);
    const LONG centreX = face.left + face.width / 2, centreY = face.top + face.height / 2;
    EXPECT_LE(result[kTrackFaceLeft], centreX);
    EXPECT_GE(result[kTrackFaceLeft] + result[kTrackFaceWidth], centreX);
    EXPECT_LE(result[kTrackFaceTop], centreY);
    EXPECT_GE(result[kTrackFaceTop] + result[kTrackFaceHeight], centreY);
    EXPECT_LE(result[kTrackFaceWidth], 2 * face.width);
    EXPECT_LE(result[kTrackFaceHeight], 2 * face.height);

    DrawFace(rgb.data(), s.w, s.h, false);
    jpeg::ConvertRgb24ToI420(rgb.data(), picture.data(), s.w, s.h);
    ASSERT_EQ(1, UpdateFaceTrackState(result, picture.data(), s.w, s.h, grids.get()));
    EXPECT_EQ(0, result[kTrackFound]);
    EXPECT_EQ(0, result[kTrackFaceWidth]);
  }
  LONG result[kTrackResultCount];
  std::vector<uint8_t> picture(330 * 240 * 3);
  EXPECT_EQ(0, UpdateFaceTrackState(result, picture.data(), 330, 240, grids.get()));
}

// Writes the frame as a binary PPM (top row first) when KVZ_EFFECT_PICTURES names a folder:
// how the golden outputs were reviewed.
void DumpForReview(const std::string& name, const uint8_t* frame, LONG width, LONG height) {
  const char* folder = std::getenv("KVZ_EFFECT_PICTURES");
  if (!folder) return;
  FILE* f = std::fopen((std::string(folder) + "/" + name + ".ppm").c_str(), "wb");
  if (!f) return;
  std::fprintf(f, "P6\n%d %d\n255\n", static_cast<int>(width), static_cast<int>(height));
  for (LONG y = 0; y < height; ++y) {
    const uint8_t* row = frame + static_cast<size_t>(height - 1 - y) * width * 3;
    for (LONG x = 0; x < width; ++x) {
      const uint8_t rgb[3] = {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
      std::fwrite(rgb, 1, 3, f);
    }
  }
  std::fclose(f);
}

struct TrackCase {
  LONG w, h;
  uint64_t golden;  // the frame after 40 frames, reviewed: tests/postproc/data/face_track_<size>.png
};

// The window closes in on the face frame by frame and then holds; the enlarged window is
// checked against a reviewed output. Narrow frames are searched at twice their size in memory
// of the effect's own: the work buffer holds exactly one frame inside guard bytes.
TEST(ZQEFaceTrack, WindowClosesInOnTheFace) {
  const TrackCase cases[] = {
      {640, 480, 0x83643c5373297ff7ull},
      {160, 120, 0x94f48d0469e35f1bull},
      {176, 144, 0x9e26c50dfd95c484ull},
  };
  for (const TrackCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    FormattedEffect tracking(kEffectFaceTrack, kPixelRgb24, c.w, c.h);
    ASSERT_EQ(STATUS_SUCCESS, tracking.status);
    auto* effect = static_cast<ZQEFaceTrack*>(tracking.effect.get());
    GuardedBuffer frame(static_cast<size_t>(c.w) * c.h * 3);
    LONG lastHeight = c.h;
    for (int i = 0; i < 40; ++i) {
      DrawFace(frame.data(), c.w, c.h, true);
      ASSERT_EQ(STATUS_SUCCESS, effect->Do(frame.data()));
      ASSERT_EQ(1, effect->trackResult[kTrackFound]) << i;
      EXPECT_LE(effect->window.height, lastHeight);
      lastHeight = effect->window.height;
    }
    const Box face = DrawnFace(c.w, c.h);
    const ZoomWindow& w = effect->window;
    EXPECT_LT(w.height, c.h * 3 / 4);
    EXPECT_LE(w.left, face.left);
    EXPECT_GE(w.left + w.width, face.left + face.width);
    EXPECT_LE(w.top, face.top);
    EXPECT_GE(w.top + w.height, face.top + face.height);
    EXPECT_TRUE(frame.GuardsIntact());
    EXPECT_TRUE(tracking.work.GuardsIntact());
    DumpForReview("face_track_" + std::to_string(c.w) + "x" + std::to_string(c.h), frame.data(), c.w, c.h);
    EXPECT_EQ(c.golden, test::Fnv1a(frame.data(), frame.size()));
  }
}

// A face that leaves keeps its window for eight more frames; on the ninth the target becomes
// the whole frame and the window opens again step by step.
TEST(ZQEFaceTrack, LostFaceKeepsTheWindowForEightFramesThenOpens) {
  const LONG W = 320, H = 240;
  FormattedEffect tracking(kEffectFaceTrack, kPixelRgb24, W, H);
  ASSERT_EQ(STATUS_SUCCESS, tracking.status);
  auto* effect = static_cast<ZQEFaceTrack*>(tracking.effect.get());
  GuardedBuffer frame(W * H * 3);
  for (int i = 0; i < 60; ++i) {
    DrawFace(frame.data(), W, H, true);
    ASSERT_EQ(STATUS_SUCCESS, effect->Do(frame.data()));
  }
  const ZoomWindow tracked = effect->window;
  ASSERT_LT(tracked.height, H);
  for (int i = 0; i < 8; ++i) {
    DrawFace(frame.data(), W, H, false);
    ASSERT_EQ(STATUS_SUCCESS, effect->Do(frame.data()));
    EXPECT_EQ(0, effect->trackResult[kTrackFound]);
    EXPECT_EQ(tracked.height, effect->window.height) << i;
    EXPECT_EQ(tracked.left, effect->window.left) << i;
  }
  DrawFace(frame.data(), W, H, false);
  ASSERT_EQ(STATUS_SUCCESS, effect->Do(frame.data()));
  EXPECT_EQ(W, effect->target.width);
  EXPECT_EQ(H, effect->target.height);
  EXPECT_EQ(tracked.height + effect->stepY, effect->window.height);
}

// Frames of every size, served or not, odd and tiny, with and without a face: nothing is
// written outside the frame or the work buffer.
TEST(ZQEFaceTrack, OddAndTinyFramesStayInsideTheirBuffers) {
  const struct {
    LONG w, h;
  } sizes[] = {{1, 1}, {2, 2}, {3, 3}, {161, 121}, {160, 121}, {176, 145}, {320, 3}, {1280, 720}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
    FormattedEffect tracking(kEffectFaceTrack, kPixelRgb24, s.w, s.h);
    ASSERT_EQ(STATUS_SUCCESS, tracking.status);
    GuardedBuffer frame(static_cast<size_t>(s.w) * s.h * 3);
    for (int i = 0; i < 12; ++i) {
      DrawFace(frame.data(), s.w, s.h, i < 6);
      ASSERT_EQ(STATUS_SUCCESS, tracking.effect->Do(frame.data()));
    }
    EXPECT_TRUE(frame.GuardsIntact());
    EXPECT_TRUE(tracking.work.GuardsIntact());
  }
}

TEST(ZQEFaceTrack, InitWithoutMemoryLeavesTheEffectNotReady) {
  for (uint64_t n = 1; n <= 3; ++n) {
    test::EffectPtr effect = test::MakeEffect(kEffectFaceTrack);
    const EffectFormat format = {kPixelRgb24, 160, 120};
    GuardedBuffer work(160 * 120 * 3);
    kernel::FailNthAllocation(n);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              effect->SetFormat(&format, work.data(), static_cast<LONG>(work.size()), nullptr));
    kernel::ClearPoolFaults();
    EXPECT_EQ(0, effect->ready);
    EXPECT_EQ(1u, kernel::LivePoolBlocks().size());  // the effect itself
    GuardedBuffer frame(160 * 120 * 3);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, effect->Do(frame.data()));
  }
  EXPECT_EQ(0u, kernel::LivePoolBlocks().size());
}

}  // namespace
}  // namespace kvz
