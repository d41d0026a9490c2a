#include "postproc/geometry/bilinear_resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/guarded_buffer.h"
#include "support/yuy2_frames.h"

namespace kvz {
namespace {

using test::GuardedBuffer;

struct SizePair {
  LONG sw, sh, dw, dh;
};

// Includes enlargements far beyond what the step rule keeps inside the source, and sources of
// a single column or row.
const SizePair kSizes[] = {{640, 480, 1280, 720}, {640, 480, 320, 240}, {2, 2, 300, 200},
                           {1, 1, 17, 9},         {7, 5, 3, 2},         {4, 1, 50, 40},
                           {1, 6, 12, 61},        {33, 17, 33, 17},     {160, 120, 1920, 1080}};

TEST(BilinearResample, UniformRgb24StaysExactlyUniform) {
  for (const auto& s : kSizes) {
    SCOPED_TRACE(::testing::Message() << s.sw << "x" << s.sh << " -> " << s.dw << "x" << s.dh);
    std::vector<uint8_t> src(static_cast<size_t>(s.sw) * s.sh * 3);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(40 + 70 * (i % 3));
    GuardedBuffer dst(static_cast<size_t>(s.dw) * s.dh * 3);
    ResampleImage d{dst.data(), static_cast<ULONG>(s.dw * 3), s.dw, s.dh};
    ResampleImage in{src.data(), static_cast<ULONG>(s.sw * 3), s.sw, s.sh};
    ResizeRgb24Bilinear(&d, &in);
    for (size_t i = 0; i < dst.size(); ++i) ASSERT_EQ(40 + 70 * (i % 3), dst[i]) << i;
    EXPECT_TRUE(dst.GuardsIntact());
  }
}

TEST(BilinearResample, UniformYuy2StaysExactlyUniform) {
  for (const auto& s : kSizes) {
    if (s.sw < 2) continue;  // YUY2 needs a pixel pair
    SCOPED_TRACE(::testing::Message() << s.sw << "x" << s.sh << " -> " << s.dw << "x" << s.dh);
    std::vector<uint8_t> src(static_cast<size_t>(s.sw) * s.sh * 2);
    // Y 90 everywhere; U 30 and V 220 in every pair (an odd width ends each row in a lone Y U).
    for (int r = 0; r < s.sh; ++r)
      for (int x = 0; x < s.sw; ++x) {
        uint8_t* p = &src[(static_cast<size_t>(r) * s.sw + x) * 2];
        p[0] = 90;
        p[1] = (x & 1) ? 220 : 30;
      }
    GuardedBuffer dst(static_cast<size_t>(s.dw) * s.dh * 2);
    ResampleImage d{dst.data(), static_cast<ULONG>(s.dw * 2), s.dw, s.dh};
    ResampleImage in{src.data(), static_cast<ULONG>(s.sw * 2), s.sw, s.sh};
    ResizeYuy2Bilinear(&d, &in);
    for (int i = 0; i < s.dw * s.dh; ++i) {
      ASSERT_EQ(90, dst[i * 2]) << i;
      ASSERT_EQ((i % s.dw) % 2 == 0 ? 30 : 220, dst[i * 2 + 1]) << i;
    }
    EXPECT_TRUE(dst.GuardsIntact());
  }
}

// 2 x 2 to 3 x 3: steps 21846, fractions 85 and 170 of 256; the bottom-right neighbour weighs
// a x b, so a lone bright bottom-right source pixel contributes 255 x 85 x 85 / 65536 at (1, 1).
TEST(BilinearResample, WeightsFollowTheFractions) {
  std::vector<uint8_t> src = {0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255};  // only (1, 1) lit
  std::vector<uint8_t> dst(3 * 3 * 3);
  ResampleImage d{dst.data(), 9, 3, 3}, s{src.data(), 6, 2, 2};
  ResizeRgb24Bilinear(&d, &s);
  auto at = [&](int x, int y) { return dst[(y * 3 + x) * 3]; };
  EXPECT_EQ(0, at(0, 0));
  EXPECT_EQ(255 * 85 * 85 / 65536, at(1, 1));
  EXPECT_EQ(255 * 170 * 85 / 65536, at(2, 1));
  EXPECT_EQ(255 * 170 * 170 / 65536, at(2, 2));
  EXPECT_EQ(0, at(2, 0));  // top row: b = 0
}

TEST(BilinearResample, OutputStaysWithinTheSourceRange) {
  const LONG sw = 9, sh = 7, dw = 40, dh = 33;
  const auto src = test::RandomBytes(sw * sh * 3, 12);
  const auto [lo, hi] = std::minmax_element(src.begin(), src.end());
  GuardedBuffer dst(dw * dh * 3);
  ResampleImage d{dst.data(), static_cast<ULONG>(dw * 3), dw, dh};
  ResampleImage s{const_cast<uint8_t*>(src.data()), static_cast<ULONG>(sw * 3), sw, sh};
  ResizeRgb24Bilinear(&d, &s);
  for (size_t i = 0; i < dst.size(); ++i) {
    ASSERT_GE(dst[i], *lo);
    ASSERT_LE(dst[i], *hi);
  }
  EXPECT_TRUE(dst.GuardsIntact());
}

TEST(BilinearResample, EmptyImagesWriteNothing) {
  std::vector<uint8_t> src(64, 7);
  GuardedBuffer dst(64, 0x44);
  const ResampleImage s{src.data(), 8, 4, 4};
  for (const ResampleImage& d : {ResampleImage{dst.data(), 8, 4, 0}, ResampleImage{dst.data(), 8, 0, 4},
                                 ResampleImage{dst.data(), 8, -1, 4}}) {
    ResizeRgb24Bilinear(&d, &s);
    ResizeYuy2Bilinear(&d, &s);
  }
  const ResampleImage d{dst.data(), 8, 4, 4};
  const ResampleImage narrow{src.data(), 2, 1, 4};  // no full YUY2 pair
  ResizeYuy2Bilinear(&d, &narrow);
  for (size_t i = 0; i < dst.size(); ++i) ASSERT_EQ(0x44, dst[i]);
  EXPECT_TRUE(dst.GuardsIntact());
}

// A destination stride wider than its pixels leaves the padding alone.
TEST(BilinearResample, DestinationStrideIsHonoured) {
  std::vector<uint8_t> src(8 * 4 * 2, 100);
  GuardedBuffer dst(6 * 2 * 3 + 6 * 2 * 3, 0x55);  // 3 rows of 6 pixels, stride 24 bytes
  ResampleImage d{dst.data(), 24, 6, 3}, s{src.data(), 16, 8, 4};
  ResizeYuy2Bilinear(&d, &s);
  for (int row = 0; row < 3; ++row)
    for (int b = 0; b < 24; ++b) ASSERT_EQ(b < 12 ? 100 : 0x55, dst[row * 24 + b]);
  EXPECT_TRUE(dst.GuardsIntact());
}

}  // namespace
}  // namespace kvz
