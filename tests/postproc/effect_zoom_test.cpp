#include "postproc/effects/effect_zoom.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_face_track.h"
#include "support/effect_harness.h"

namespace kvz {
namespace {

using test::FormattedEffect;
using test::GuardedBuffer;

struct WindowCase {
  LONG zoom, pan, tilt;
  LONG width, height, left, top;
};

// 640 x 480: zoom 200 shows the 320 x 240 window; pan and tilt of +-5 put it at the frame's
// edges (tilt 5 at the top of the picture), values past the end stops keep it there.
const WindowCase kWindows[] = {
    {200, 0, 0, 320, 240, 160, 120},  {200, 5, 0, 320, 240, 320, 120},  {200, -5, 0, 320, 240, 0, 120},
    {200, 0, 5, 320, 240, 160, 0},    {200, 0, -5, 320, 240, 160, 240}, {400, 2, -1, 160, 120, 336, 216},
    {200, 40, -40, 320, 240, 320, 240}, {100, 3, 3, 640, 480, 0, 0},
};

// How far the output misses the window of the coordinate ramp: each output pixel must show the
// window's pixel at the same relative place (blue carries x / 4 and green y / 2 of the picture).
int WorstRampError(const uint8_t* frame, LONG W, LONG H, const ZoomWindow& window) {
  int worst = 0;
  for (LONG y = 0; y < H; y += 7) {
    const uint8_t* row = frame + static_cast<size_t>(H - 1 - y) * W * 3;
    for (LONG x = 0; x < W; x += 5) {
      const int blue = (window.left + x * window.width / W) / 4, green = (window.top + y * window.height / H) / 2;
      worst = std::max(worst, std::abs(row[3 * x] - blue));
      worst = std::max(worst, std::abs(row[3 * x + 1] - green));
    }
  }
  return worst;
}

TEST(ZQEDigitalZoom, ShowsTheWindowOfZoomPanAndTiltOverTheWholeFrame) {
  const LONG W = 640, H = 480;
  for (const WindowCase& c : kWindows) {
    SCOPED_TRACE(testing::Message() << "zoom " << c.zoom << " pan " << c.pan << " tilt " << c.tilt);
    FormattedEffect zoom(kEffectDigitalZoom, kPixelRgb24, W, H);
    ASSERT_EQ(STATUS_SUCCESS, zoom.status);
    ASSERT_EQ(STATUS_SUCCESS, zoom.effect->SetParam(kZoomParamZoom, c.zoom));
    ASSERT_EQ(STATUS_SUCCESS, zoom.effect->SetParam(kZoomParamPan, c.pan));
    ASSERT_EQ(STATUS_SUCCESS, zoom.effect->SetParam(kZoomParamTilt, c.tilt));
    GuardedBuffer frame(W * H * 3);
    test::FillCoordinateRamp(frame.data(), W, H);
    ASSERT_EQ(STATUS_SUCCESS, zoom.effect->Do(frame.data()));
    const ZoomWindow& w = static_cast<ZQEDigitalZoom*>(zoom.effect.get())->window;
    EXPECT_EQ(c.width, w.width);
    EXPECT_EQ(c.height, w.height);
    EXPECT_EQ(c.left, w.left);
    EXPECT_EQ(c.top, w.top);
    EXPECT_LE(WorstRampError(frame.data(), W, H, w), 1);
    EXPECT_TRUE(frame.GuardsIntact());
    EXPECT_TRUE(zoom.work.GuardsIntact());
  }
}

TEST(ZQEDigitalZoom, ZoomBelowOneHundredIsRaisedAndKeepsTheWindow) {
  FormattedEffect zoom(kEffectDigitalZoomAlt, kPixelRgb24, 64, 48);
  ASSERT_EQ(STATUS_SUCCESS, zoom.status);
  auto* effect = static_cast<ZQEDigitalZoom*>(zoom.effect.get());
  effect->window = {32, 24, 8, 6};
  ASSERT_EQ(STATUS_SUCCESS, effect->SetParam(kZoomParamZoom, 50));
  GuardedBuffer frame(64 * 48 * 3);
  ASSERT_EQ(STATUS_SUCCESS, effect->Do(frame.data()));
  LONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, effect->GetParam(kZoomParamZoom, &value));
  EXPECT_EQ(100, value);
  EXPECT_EQ(32, effect->window.width);
  EXPECT_EQ(8, effect->window.left);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, effect->SetParam(4, 1));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, effect->GetParam(0, &value));
}

// A window may reach past the bottom edge: a face-tracking window moves and grows step by step,
// and a zoom below 100 keeps the window it had. What shows is the window moved up into the
// frame, on landscape and portrait frames (frame sizes the face search does not serve, so the
// tracking window stays where it was put).
TEST(ZQEZoomWindow, WindowPastTheBottomEdgeShowsTheFramesLastRows) {
  const struct {
    LONG effect, w, h;
    ZoomWindow window;
    LONG top;  // the rows shown
  } cases[] = {
      {kEffectDigitalZoom, 400, 300, {200, 150, 100, 200}, 150},
      {kEffectDigitalZoom, 240, 320, {224, 300, 0, 40}, 20},
      {kEffectFaceTrack, 400, 300, {200, 150, 100, 200}, 150},
      {kEffectFaceTrack, 240, 320, {224, 300, 0, 40}, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.effect << " " << c.w << "x" << c.h);
    FormattedEffect zooming(c.effect, kPixelRgb24, c.w, c.h);
    ASSERT_EQ(STATUS_SUCCESS, zooming.status);
    if (c.effect == kEffectDigitalZoom) {
      ASSERT_EQ(STATUS_SUCCESS, zooming.effect->SetParam(kZoomParamZoom, 50));
    } else {
      static_cast<ZQEFaceTrack*>(zooming.effect.get())->target = c.window;
    }
    static_cast<ZQEZoomWindow*>(zooming.effect.get())->window = c.window;
    GuardedBuffer frame(static_cast<size_t>(c.w) * c.h * 3);
    test::FillCoordinateRamp(frame.data(), c.w, c.h);
    ASSERT_EQ(STATUS_SUCCESS, zooming.effect->Do(frame.data()));
    const ZoomWindow shown = {c.window.width, c.window.height, c.window.left, c.top};
    EXPECT_LE(WorstRampError(frame.data(), c.w, c.h, shown), 1);
    EXPECT_TRUE(frame.GuardsIntact());
    EXPECT_TRUE(zooming.work.GuardsIntact());
  }
}

// Odd and tiny frames with every kind of parameter: nothing is written outside the frame or
// the work buffer, and a window that shrinks to nothing leaves the frame as it was.
TEST(ZQEDigitalZoom, OddAndTinyFramesStayInsideTheirBuffers) {
  const struct {
    LONG w, h;
  } sizes[] = {{1, 1}, {2, 2}, {3, 5}, {17, 9}, {161, 121}, {640, 1}};
  const LONG params[][3] = {{100, 0, 0}, {150, -7, 9}, {399, 9, -9}, {100000, 0, 0}, {-5, 1, 1}};
  for (const auto& s : sizes) {
    for (const auto& p : params) {
      SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " zoom " << p[0]);
      FormattedEffect zoom(kEffectDigitalZoom, kPixelRgb24, s.w, s.h);
      ASSERT_EQ(STATUS_SUCCESS, zoom.status);
      zoom.effect->SetParam(kZoomParamZoom, p[0]);
      zoom.effect->SetParam(kZoomParamPan, p[1]);
      zoom.effect->SetParam(kZoomParamTilt, p[2]);
      GuardedBuffer frame(static_cast<size_t>(s.w) * s.h * 3, 0x6B);
      for (int i = 0; i < 2; ++i) ASSERT_EQ(STATUS_SUCCESS, zoom.effect->Do(frame.data()));
      EXPECT_TRUE(frame.GuardsIntact());
      EXPECT_TRUE(zoom.work.GuardsIntact());
      if (p[0] == 100000) {
        for (size_t i = 0; i < frame.size(); ++i) ASSERT_EQ(0x6B, frame[i]);
      }
    }
  }
}

TEST(ZQEDigitalZoom, OnlyRgb24IsZoomed) {
  FormattedEffect zoom(kEffectDigitalZoom, kPixelYuy2, 8, 4);
  ASSERT_EQ(STATUS_SUCCESS, zoom.status);
  zoom.effect->SetParam(kZoomParamZoom, 200);
  GuardedBuffer frame(8 * 4 * 2, 0x19);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, zoom.effect->Do(frame.data()));
  for (size_t i = 0; i < frame.size(); ++i) ASSERT_EQ(0x19, frame[i]);
}

}  // namespace
}  // namespace kvz
