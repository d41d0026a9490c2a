#include "postproc/geometry/frame_rotation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "postproc/base/frame_format.h"
#include "postproc/geometry/image_crop_resize.h"
#include "support/guarded_buffer.h"
#include "support/yuy2_frames.h"

namespace kvz {
namespace {

using test::GuardedBuffer;
using test::RandomBytes;
using test::Yuy2View;

size_t Bytes(ULONG w, ULONG h) { return static_cast<size_t>(w) * h * 2; }

struct Size {
  ULONG w, h;
};

const Size kInvolutionSizes[] = {{640, 480}, {64, 48}, {10, 6}, {7, 5}, {13, 4}, {1, 1}, {3, 9}};

std::vector<uint8_t> Rotated(const std::vector<uint8_t>& src, LONG rotation, ULONG w, ULONG h) {
  GuardedBuffer dst(Bytes(w, h)), scratch(Bytes(w, h));
  RotateYuy2Frame(dst.data(), src.data(), scratch.data(), rotation, w, h);
  EXPECT_TRUE(dst.GuardsIntact());
  EXPECT_TRUE(scratch.GuardsIntact());
  return std::vector<uint8_t>(dst.data(), dst.data() + dst.size());
}

TEST(RotateYuy2Frame, HalfTurnTwiceRestoresTheFrame) {
  for (const auto& s : kInvolutionSizes) {
    SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h);
    const auto src = RandomBytes(Bytes(s.w, s.h), s.w * 31 + s.h);
    const auto once = Rotated(src, 2, s.w, s.h);
    if (s.w * s.h > 1) {
      EXPECT_NE(src, once);
    }
    EXPECT_EQ(src, Rotated(once, 2, s.w, s.h));
  }
}

TEST(RotateYuy2Frame, HalfTurnReversesPixelsAndKeepsEachPairsChroma) {
  const ULONG w = 16, h = 6;
  const auto src = RandomBytes(Bytes(w, h), 3);
  const auto dst = Rotated(src, 2, w, h);
  Yuy2View s{src.data(), int(w), int(h)}, d{dst.data(), int(w), int(h)};
  for (int y = 0; y < int(h); ++y)
    for (int x = 0; x < int(w); ++x) {
      ASSERT_EQ(s.Y(w - 1 - x, h - 1 - y), d.Y(x, y));
      ASSERT_EQ(s.U(w - 1 - x, h - 1 - y), d.U(x, y));
      ASSERT_EQ(s.V(w - 1 - x, h - 1 - y), d.V(x, y));
    }
}

TEST(RotateYuy2Frame, OtherRotationsCopyTheFrame) {
  const auto src = RandomBytes(Bytes(12, 8), 4);
  for (LONG rotation : {0, 4, -1, 7}) EXPECT_EQ(src, Rotated(src, rotation, 12, 8));
}

// Where the turned picture lands and what surrounds it, derived from the fitting rule: the
// picture is scaled to Sw x Sh (a landscape frame: Sw = H, Sh = H^2 / W rounded down to a
// multiple of 4) and placed centred, its first column moved onto a pixel pair.
struct PlacementCase {
  ULONG w, h;
  LONG rotation;
  ULONG sw, sh;   // scaled picture before the turn
  ULONG left;     // first destination column of the picture
  ULONG top;      // first destination row
};

const PlacementCase kPlacements[] = {
    {640, 480, 1, 480, 360, 140, 0},  {640, 480, 3, 480, 360, 140, 0},
    {480, 640, 1, 360, 480, 0, 140},  {480, 640, 3, 360, 480, 0, 140},
    {1280, 720, 1, 720, 404, 438, 0}, {1280, 720, 3, 720, 404, 438, 0},
    // 62 x 62 / 98 = 39 -> 36; left margin 31 is odd, so the picture starts at 32 either way.
    {98, 62, 1, 62, 36, 32, 0},       {98, 62, 3, 62, 36, 32, 0},
    {102, 50, 1, 50, 24, 40, 0},      {102, 50, 3, 50, 24, 40, 0},
    {50, 102, 1, 24, 50, 0, 39},      {50, 102, 3, 24, 50, 0, 39},
};

TEST(RotateYuy2Frame, QuarterTurnsScaleCentreAndFillBlack) {
  for (const auto& c : kPlacements) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " rotation " << c.rotation);
    const auto src = RandomBytes(Bytes(c.w, c.h), c.w + c.h + c.rotation);
    // The scaling itself is ResizeImage's; reproduce it to know each picture pixel.
    std::vector<uint8_t> scaled(Bytes(c.sw, c.sh));
    ASSERT_EQ(STATUS_SUCCESS,
              ResizeImage(src.data(), scaled.data(), c.w, c.h, c.sw, c.sh, kPixelYuy2));
    const auto dst = Rotated(src, c.rotation, c.w, c.h);
    Yuy2View sc{scaled.data(), int(c.sw), int(c.sh)}, d{dst.data(), int(c.w), int(c.h)};
    const ULONG turnedWidth = c.sh & ~1u, turnedHeight = c.sw;
    for (ULONG y = 0; y < c.h; ++y)
      for (ULONG x = 0; x < c.w; ++x) {
        const bool inside = x >= c.left && x < c.left + turnedWidth && y >= c.top &&
                            y < c.top + turnedHeight;
        if (!inside) {
          ASSERT_EQ(0, d.Y(x, y)) << x << "," << y;
          ASSERT_EQ(128, d.U(x, y)) << x << "," << y;
          ASSERT_EQ(128, d.V(x, y)) << x << "," << y;
          continue;
        }
        const ULONG col = x - c.left, row = y - c.top;
        // Rotation 1 (counter-clockwise): scaled (sx, i) -> (left + i, top + Sw - 1 - sx).
        // Rotation 3 (clockwise): scaled (sx, i) -> (left + Sh - 1 - i, top + sx).
        const ULONG i = c.rotation == 1 ? col : c.sh - 1 - col;
        const ULONG sx = c.rotation == 1 ? c.sw - 1 - row : row;
        ASSERT_EQ(sc.Y(sx, i), d.Y(x, y)) << x << "," << y;
        // Chroma of a destination pair comes from the two scaled rows it is made of.
        const ULONG firstRow = c.rotation == 1 ? (col & ~1u) : c.sh - 2 - (col & ~1u);
        if (c.rotation == 1) {
          ASSERT_EQ(sc.U(sx, firstRow), d.U(x, y));
          ASSERT_EQ(sc.V(sx, firstRow + 1), d.V(x, y));
        } else {  // clockwise: V from the first of the two rows, U from the second
          ASSERT_EQ(sc.U(sx, firstRow + 1), d.U(x, y));
          ASSERT_EQ(sc.V(sx, firstRow), d.V(x, y));
        }
      }
  }
}

// Frames too flat or too narrow for a scaled picture come back black; odd widths whose pair
// alignment pushes the picture against the edge never write past it.
TEST(RotateYuy2Frame, TinyAndOddFramesStayInsideTheirBuffers) {
  const Size sizes[] = {{640, 40}, {40, 640}, {2, 2}, {1, 1}, {3, 1}, {8, 2},
                        {61, 101}, {63, 99}, {5, 9}, {9, 5}, {641, 481}, {17, 18}};
  for (const auto& s : sizes)
    for (LONG rotation : {1, 3}) {
      SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h << " rotation " << rotation);
      const auto src = RandomBytes(Bytes(s.w, s.h), s.w * 7 + s.h);
      const auto dst = Rotated(src, rotation, s.w, s.h);
      const ULONG sh = s.h < s.w ? ((s.h * s.h) / s.w) & ~3u : s.w;
      const ULONG sw = s.h < s.w ? s.h : ((s.w * s.w) / s.h) & ~3u;
      if (sw < 2 || sh < 2) {
        for (size_t i = 0; i < dst.size(); ++i) ASSERT_EQ((i & 1) ? 128 : 0, dst[i]) << i;
      }
    }
}

TEST(MirrorFlipYuy2Frame, MirrorFlipAndBothAreInvolutions) {
  for (const auto& s : kInvolutionSizes)
    for (auto [mirror, flip] : {std::pair{1, 0}, std::pair{0, 1}, std::pair{1, 1}}) {
      SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h << " mirror " << mirror << " flip "
                                        << flip);
      const auto original = RandomBytes(Bytes(s.w, s.h), s.w + 3 * s.h);
      GuardedBuffer frame(original.size()), scratch(original.size());
      memcpy(frame.data(), original.data(), original.size());
      MirrorFlipYuy2Frame(frame.data(), scratch.data(), mirror, flip, s.w, s.h);
      if ((flip && s.h > 1) || (mirror && s.w > 1)) {
        EXPECT_NE(0, memcmp(frame.data(), original.data(), original.size()));
      }
      MirrorFlipYuy2Frame(frame.data(), scratch.data(), mirror, flip, s.w, s.h);
      EXPECT_EQ(0, memcmp(frame.data(), original.data(), original.size()));
      EXPECT_TRUE(frame.GuardsIntact());
      EXPECT_TRUE(scratch.GuardsIntact());
    }
}

TEST(MirrorFlipYuy2Frame, MirrorReversesRowsFlipReversesRowOrder) {
  const int w = 8, h = 4;
  const auto original = RandomBytes(Bytes(w, h), 21);
  for (auto [mirror, flip] : {std::pair{1, 0}, std::pair{0, 1}, std::pair{1, 1}}) {
    auto frame = original;
    std::vector<uint8_t> scratch(frame.size());
    MirrorFlipYuy2Frame(frame.data(), scratch.data(), mirror, flip, w, h);
    Yuy2View s{original.data(), w, h}, d{frame.data(), w, h};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int sx = mirror ? w - 1 - x : x, sy = flip ? h - 1 - y : y;
        ASSERT_EQ(s.Y(sx, sy), d.Y(x, y));
        ASSERT_EQ(s.U(sx, sy), d.U(x, y));
        ASSERT_EQ(s.V(sx, sy), d.V(x, y));
      }
  }
}

TEST(MirrorFlipYuy2Frame, NullScratchLeavesTheFrameAlone) {
  const auto original = RandomBytes(Bytes(8, 4), 22);
  auto frame = original;
  MirrorFlipYuy2Frame(frame.data(), nullptr, 1, 1, 8, 4);
  EXPECT_EQ(original, frame);
}

}  // namespace
}  // namespace kvz
