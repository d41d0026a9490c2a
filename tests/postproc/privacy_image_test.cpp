#include "postproc/effects/privacy_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kvz/kernel_testing.h"
#include "postproc/effects/point_stack.h"
#include "support/guarded_buffer.h"

namespace kvz {

template <>
struct TestSeam<PrivacyImage> {
  // The rendered picture (null before the first Draw).
  static UCHAR* Canvas(const PrivacyImage& image) { return image.canvas_; }
};

template <>
struct TestSeam<PointStack> {
  static ULONG Capacity(const PointStack& stack) { return stack.capacity_; }
};

namespace {

using test::GuardedBuffer;

struct Rendered {
  std::unique_ptr<PrivacyImage> image = std::make_unique<PrivacyImage>();
  LONG w, h, bpp;
  GuardedBuffer frame;
  NTSTATUS status;
  Rendered(LONG width, LONG height, LONG bytesPerPixel)
      : w(width), h(height), bpp(bytesPerPixel),
        frame(static_cast<size_t>(width) * height * bytesPerPixel, 0x3C) {
    status = image->Draw(frame.data(), w, h, bpp);
  }
  // The picture itself, for the raster primitives.
  UCHAR* canvas() const { return TestSeam<PrivacyImage>::Canvas(*image); }
  size_t bytes() const { return frame.size(); }
  uint8_t Y(LONG x, LONG y) { return frame[(static_cast<size_t>(y) * w + x) * bpp]; }
};

struct LayoutCase {
  LONG w, h;
  float scale;
  LONG cx, cy, inner, outer;
};

const LayoutCase kLayouts[] = {
    {640, 480, 1.0f, 320, 240, 28, 40},   {1280, 720, 1.0f, 640, 360, 28, 40},
    {1920, 1080, 1.5f, 960, 540, 42, 60}, {320, 240, 0.5f, 160, 120, 14, 20},
    {160, 120, 0.25f, 80, 60, 5, 10},
};

TEST(PrivacyImage, LayoutScalesTheDesignAroundTheCentre) {
  for (const auto& c : kLayouts) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h);
    PrivacyImage image;
    image.Layout(c.w, c.h, 2);
    EXPECT_FLOAT_EQ(c.scale, image.scale);
    EXPECT_EQ(c.cx, image.centreX);
    EXPECT_EQ(c.cy, image.centreY);
    EXPECT_EQ(c.inner, image.innerRadius);
    EXPECT_EQ(c.outer, image.outerRadius);
    EXPECT_EQ(c.w * c.h * 2, image.size);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(static_cast<LONG>(image.innerReference[i].x * c.scale + c.cx), image.inner[i].x);
      EXPECT_EQ(static_cast<LONG>(image.outerReference[i].y * c.scale + c.cy), image.outer[i].y);
    }
  }
  PrivacyImage image;
  image.Layout(640, 480, 2);
  EXPECT_EQ(240, image.inner[0].x);
  EXPECT_EQ(295, image.inner[0].y);
  EXPECT_EQ(400, image.inner[7].x);
  EXPECT_EQ(295, image.inner[7].y);
}

TEST(PrivacyImage, Yuy2PictureIsAWhiteFigureOnGreyWithNeutralChroma) {
  Rendered r(640, 480, 2);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  for (LONG i = 0; i < r.w * r.h; ++i) {
    ASSERT_EQ(128, r.frame[i * 2 + 1]) << i;
    ASSERT_GE(r.frame[i * 2], 127) << i;
  }
  EXPECT_EQ(128, r.Y(5, 5));                   // background
  EXPECT_EQ(128, r.Y(639, 479));
  EXPECT_EQ(255, r.Y(320, 240));               // slash, filled from the centre
  EXPECT_EQ(255, r.Y(320 + 34, 240));          // lens ring between radius 29 and 40
  EXPECT_EQ(255, r.Y(320 - 34, 240));
  EXPECT_EQ(128, r.Y(320 + 20, 240 - 5));      // inside the lens, off the slash
  EXPECT_EQ(255, r.Y(240 - 7, 260));           // body between the two outlines, left side
  EXPECT_EQ(255, r.Y(400 + 7, 260));           // right side
  EXPECT_EQ(128, r.Y(250, 280));               // inside the inner outline
  EXPECT_EQ(128, r.Y(320, 240 - 120));         // above the figure
  for (const auto& p : r.image->inner) EXPECT_EQ(255, r.Y(p.x, p.y));
  for (const auto& p : r.image->outer) EXPECT_EQ(255, r.Y(p.x, p.y));
  EXPECT_TRUE(r.frame.GuardsIntact());
  EXPECT_EQ(0, memcmp(r.frame.data(), r.canvas(), r.frame.size()));
}

TEST(PrivacyImage, Rgb24PictureWritesAllThreeBytes) {
  Rendered r(320, 240, 3);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  for (LONG i = 0; i < r.w * r.h; ++i) {
    ASSERT_EQ(r.frame[i * 3], r.frame[i * 3 + 1]);
    ASSERT_EQ(r.frame[i * 3], r.frame[i * 3 + 2]);
  }
  EXPECT_EQ(255, r.Y(160, 120));
  EXPECT_EQ(128, r.Y(3, 3));
}

TEST(PrivacyImage, SameGeometryRendersOnceAndCopiesAgain) {
  Rendered r(160, 120, 2);
  // Mark the rendering: a second Draw with the same geometry must copy it, not redraw.
  r.canvas()[0] = 7;
  ASSERT_EQ(STATUS_SUCCESS, r.image->Draw(r.frame.data(), 160, 120, 2));
  EXPECT_EQ(7, r.frame[0]);
  // A new geometry renders again.
  GuardedBuffer bigFrame(320 * 240 * 2);
  ASSERT_EQ(STATUS_SUCCESS, r.image->Draw(bigFrame.data(), 320, 240, 2));
  EXPECT_EQ(128, bigFrame[0]);
  EXPECT_EQ(255, bigFrame[(120 * 320 + 160) * 2]);
  EXPECT_TRUE(bigFrame.GuardsIntact());
}

// Frames far wider than 3.4:1 or taller than 2.5:1 cut the figure; tiny frames shrink it to
// nothing. Neither may write outside the picture.
TEST(PrivacyImage, ExtremeAndTinyFramesStayInsideThePicture) {
  struct Size {
    LONG w, h;
  } sizes[] = {{4000, 100}, {2000, 400}, {100, 1000}, {180, 470}, {1, 1},  {2, 2},
               {3, 3},      {4, 3},      {8, 6},      {16, 12},   {30, 20}, {60, 45},
               {1, 500},    {500, 1},    {2, 900},    {1200, 3},  {79, 59}, {200, 2}};
  for (const auto& s : sizes)
    for (LONG bpp : {2, 3}) {
      SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h << " bpp " << bpp);
      Rendered r(s.w, s.h, bpp);
      EXPECT_EQ(STATUS_SUCCESS, r.status);
      EXPECT_TRUE(r.frame.GuardsIntact());
          EXPECT_GE(r.image->innerRadius, 0);
      for (LONG i = 0; i < s.w * s.h; ++i) {
        ASSERT_GE(r.frame[i * bpp], 127);
        if (bpp == 2) {
          ASSERT_EQ(128, r.frame[i * 2 + 1]);
        }
      }
    }
}

TEST(PrivacyImage, CutFigureStillFillsTheSlashAndKeepsTheBackground) {
  Rendered wide(3000, 120, 2);  // the figure is taller than the frame
  EXPECT_EQ(255, wide.Y(1500, 60));
  EXPECT_EQ(128, wide.Y(10, 60));
  EXPECT_EQ(128, wide.Y(2990, 60));
  Rendered tall(120, 800, 2);  // wider than the frame
  EXPECT_EQ(255, tall.Y(60, 400));
  EXPECT_EQ(128, tall.Y(60, 5));
  EXPECT_EQ(128, tall.Y(60, 795));
}

TEST(PrivacyImage, ZeroLengthAntiAliasedLineDrawsNothing) {
  Rendered r(64, 48, 2);
  memset(r.canvas(), 128, r.bytes());
  r.image->DrawLineAA(10, 10, 10, 10, 255);
  r.image->DrawLine(10, 10, 10, 10);
  for (size_t i = 0; i < r.bytes(); ++i) ASSERT_EQ(128, r.canvas()[i]) << i;
}

TEST(PrivacyImage, LinesLeavingThePictureAreClipped) {
  Rendered r(64, 48, 2);
  memset(r.canvas(), 128, r.bytes());
  r.image->DrawLineAA(-100, 20, 200, 20, 255);
  r.image->DrawLine(-100, 21, 200, 21);
  r.image->DrawLineAA(30, -50, 30, 100, 255);
  EXPECT_EQ(255, r.canvas()[(20 * 64 + 0) * 2]);
  EXPECT_EQ(255, r.canvas()[(21 * 64 + 63) * 2]);
  EXPECT_EQ(255, r.canvas()[(0 * 64 + 30) * 2]);
  EXPECT_EQ(255, r.canvas()[(47 * 64 + 30) * 2]);
}

// Blending towards white from grey never darkens a pixel or wraps it past 255, whatever the
// closing weights of an arc come to.
TEST(PrivacyImage, ArcsOnlyBrightenTheirPixels) {
  for (LONG radius = 1; radius <= 70; ++radius) {
    SCOPED_TRACE(radius);
    Rendered r(160, 160, 2);
    memset(r.canvas(), 128, r.bytes());
    r.image->DrawArcAA(80, 80, radius, 255);
    bool touched = false;
    for (size_t i = 0; i < r.bytes(); i += 2) {
      ASSERT_GE(r.canvas()[i], 128) << i / 2;
      touched |= r.canvas()[i] > 128;
    }
    EXPECT_TRUE(touched);
    // Symmetric about both axes.
    for (LONG d = 0; d < 80; ++d) {
      ASSERT_EQ(r.canvas()[(80 * 160 + 80 + d) * 2], r.canvas()[(80 * 160 + 80 - d) * 2]);
      ASSERT_EQ(r.canvas()[((80 + d) * 160 + 80) * 2], r.canvas()[((80 - d) * 160 + 80) * 2]);
    }
  }
}

TEST(PrivacyImage, FloodFillStopsAtWhiteAndAtThePictureEdges) {
  Rendered r(40, 30, 2);
  memset(r.canvas(), 128, r.bytes());
  // A closed box from (5, 5) to (20, 15), then a fill from inside it.
  r.image->DrawLine(5, 5, 20, 5);
  r.image->DrawLine(20, 5, 20, 15);
  r.image->DrawLine(20, 15, 5, 15);
  r.image->DrawLine(5, 15, 5, 5);
  ASSERT_EQ(STATUS_SUCCESS, r.image->FloodFill(10, 10));
  for (LONG y = 0; y < 30; ++y)
    for (LONG x = 0; x < 40; ++x) {
      const bool box = x >= 5 && x <= 20 && y >= 5 && y <= 15;
      ASSERT_EQ(box ? 255 : 128, r.canvas()[(y * 40 + x) * 2]) << x << "," << y;
    }
  // Outside the box the fill runs to the picture's edges and no further.
  ASSERT_EQ(STATUS_SUCCESS, r.image->FloodFill(30, 25));
  for (size_t i = 0; i < r.bytes(); i += 2) ASSERT_EQ(255, r.canvas()[i]);
  EXPECT_EQ(STATUS_SUCCESS, r.image->FloodFill(-1, 3));
  EXPECT_EQ(STATUS_SUCCESS, r.image->FloodFill(40, 3));
}

TEST(PointStack, GrowsByTenKeepingEveryEntry) {
  PointStack stack;
  ASSERT_EQ(STATUS_SUCCESS, stack.Create());
  EXPECT_EQ(10u, TestSeam<PointStack>::Capacity(stack));
  for (LONG i = 0; i < 25; ++i) ASSERT_EQ(STATUS_SUCCESS, stack.Push(i, -i));
  EXPECT_EQ(30u, TestSeam<PointStack>::Capacity(stack));
  for (LONG i = 24; i >= 0; --i) {
    LONG x, y;
    ASSERT_TRUE(stack.Pop(&x, &y));
    EXPECT_EQ(i, x);
    EXPECT_EQ(-i, y);
  }
  EXPECT_TRUE(stack.IsEmpty());
  // A growth the pool refuses drops that point and keeps the others.
  ASSERT_EQ(STATUS_SUCCESS, stack.Create());
  for (LONG i = 0; i < 10; ++i) stack.Push(i, i);
  kernel::FailNthAllocation(1, 'pPST');
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, stack.Push(99, 99));
  kernel::ClearPoolFaults();
  EXPECT_EQ(10u, stack.Count());
}

// Without memory for its fill stack the picture is left incomplete but still hides the
// camera image, and the next frame draws it again.
TEST(PrivacyImage, FailedFillIsRenderedAgainOnTheNextFrame) {
  PrivacyImage image;
  GuardedBuffer frame(160 * 120 * 2, 0x3C);
  kernel::FailNthAllocation(1, 'pPST');
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, image.Draw(frame.data(), 160, 120, 2));
  kernel::ClearPoolFaults();
  for (size_t i = 0; i < frame.size(); ++i) ASSERT_NE(0x3C, frame[i]);
  EXPECT_EQ(0, image.drawn);
  EXPECT_EQ(STATUS_SUCCESS, image.Draw(frame.data(), 160, 120, 2));
  EXPECT_EQ(255, frame[(60 * 160 + 80) * 2]);
  EXPECT_EQ(0u, kernel::PoolStatsForTag('pPST').liveBlocks);
}

TEST(PrivacyImage, BadArgumentsDrawNothing) {
  PrivacyImage image;
  GuardedBuffer frame(64, 0x3C);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, image.Draw(frame.data(), 0, 4, 2));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, image.Draw(frame.data(), 4, 4, 4));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, image.Draw(nullptr, 4, 4, 2));
  for (size_t i = 0; i < frame.size(); ++i) ASSERT_EQ(0x3C, frame[i]);
}

// The picture lives in memory of its own: without it the frame is not touched (the caller
// drops it), the next frame tries again, and the picture is released with the object.
TEST(PrivacyImage, PictureMemoryIsItsOwn) {
  GuardedBuffer frame(160 * 120 * 2, 0x3C);
  {
    PrivacyImage image;
    kernel::FailNthAllocation(1, 'pPPB');
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, image.Draw(frame.data(), 160, 120, 2));
    kernel::ClearPoolFaults();
    for (size_t i = 0; i < frame.size(); ++i) ASSERT_EQ(0x3C, frame[i]);
    ASSERT_EQ(STATUS_SUCCESS, image.Draw(frame.data(), 160, 120, 2));
    EXPECT_EQ(255, frame[(60 * 160 + 80) * 2]);
    // A smaller frame reuses the picture's memory; a larger one replaces it.
    GuardedBuffer small(80 * 60 * 2), large(320 * 240 * 2);
    ASSERT_EQ(STATUS_SUCCESS, image.Draw(small.data(), 80, 60, 2));
    EXPECT_EQ(255, small[(30 * 80 + 40) * 2]);
    EXPECT_TRUE(small.GuardsIntact());
    ASSERT_EQ(STATUS_SUCCESS, image.Draw(large.data(), 320, 240, 2));
    EXPECT_EQ(255, large[(120 * 320 + 160) * 2]);
    EXPECT_TRUE(large.GuardsIntact());
    EXPECT_EQ(1u, kernel::PoolStatsForTag('pPPB').liveBlocks);
  }
  EXPECT_EQ(0u, kernel::PoolStatsForTag('pPPB').liveBlocks);
}

}  // namespace
}  // namespace kvz
