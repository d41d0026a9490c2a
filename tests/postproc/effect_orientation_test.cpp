#include "postproc/effects/effect_orientation.h"

#include <gtest/gtest.h>

#include <vector>

#include "postproc/base/effect_catalogue.h"
#include "support/effect_pictures.h"
#include "support/yuy2_frames.h"

namespace kvz {
namespace {

using test::FrameBytes;
using test::RandomBytes;
using test::RunEffect;

struct Size {
  LONG w, h;
};
const Size kSizes[] = {{1, 1}, {2, 1}, {7, 5}, {16, 9}, {33, 2}};

// Source pixel of output pixel (x, y) for each orientation (rows in memory order).
int SourceX(LONG id, int x, LONG w) { return (id == 514 || id == 515) ? w - 1 - x : x; }
int SourceY(LONG id, int y, LONG h) { return (id == 513 || id == 515) ? h - 1 - y : y; }

TEST(OrientationEffect, Rgb24FlipsAndMirrorsWholePixels) {
  for (LONG id = 512; id <= 515; ++id)
    for (const Size s : kSizes) {
      SCOPED_TRACE(::testing::Message() << id << " " << s.w << "x" << s.h);
      const auto in = RandomBytes(FrameBytes(kPixelRgb24, s.w, s.h), id);
      const auto run = RunEffect(id, kPixelRgb24, s.w, s.h, in);
      ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
      EXPECT_TRUE(run.guardsIntact);
      for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x)
          for (int b = 0; b < 3; ++b)
            ASSERT_EQ(run.frame[(y * s.w + x) * 3 + b], in[(SourceY(id, y, s.h) * s.w + SourceX(id, x, s.w)) * 3 + b]);
    }
}

// A mirrored YUY2 pixel keeps the colour of the pair it came from: Y moves by pixel, U and V
// with their pair (the lone last pixel of an odd width stays where it is).
TEST(OrientationEffect, Yuy2MirrorKeepsEachPairsColour) {
  for (LONG id = 512; id <= 515; ++id)
    for (const Size s : {Size{2, 1}, Size{16, 9}, Size{6, 4}, Size{7, 3}}) {
      SCOPED_TRACE(::testing::Message() << id << " " << s.w << "x" << s.h);
      const auto in = RandomBytes(FrameBytes(kPixelYuy2, s.w, s.h), id + 1);
      const auto run = RunEffect(id, kPixelYuy2, s.w, s.h, in);
      ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
      EXPECT_TRUE(run.guardsIntact);
      const test::Yuy2View src{in.data(), int(s.w), int(s.h)}, out{run.frame.data(), int(s.w), int(s.h)};
      const int paired = s.w / 2 * 2;
      for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < paired; ++x) {
          const int sx = (id == 514 || id == 515) ? paired - 1 - x : x, sy = SourceY(id, y, s.h);
          ASSERT_EQ(out.Y(x, y), src.Y(sx, sy)) << x << "," << y;
          ASSERT_EQ(out.U(x, y), src.U(sx, sy)) << x << "," << y;
          ASSERT_EQ(out.V(x, y), src.V(sx, sy)) << x << "," << y;
        }
    }
}

TEST(OrientationEffect, I420PassesUnchangedAndOtherFormatsAreRefused) {
  const auto i420 = RandomBytes(FrameBytes(kPixelI420, 8, 6), 1);
  for (LONG id = 512; id <= 515; ++id) {
    const auto run = RunEffect(id, kPixelI420, 8, 6, i420);
    EXPECT_EQ(run.lastDo, STATUS_SUCCESS);
    EXPECT_EQ(run.frame, i420);
  }
  std::vector<uint8_t> frame(48, 3), work(48);
  ZQEOrientation other(513, kFormatsRgb24Yuy2);
  const EffectFormat format = {kPixelNone, 4, 4};
  ASSERT_EQ(other.SetFormat(&format, work.data(), 48, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(other.Do(frame.data()), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(frame, std::vector<uint8_t>(48, 3));
}

}  // namespace
}  // namespace kvz
