// The capture pin's own conversions: RGB24 back to YUY2 and the horizontal widening.
#include <gtest/gtest.h>

#include <vector>

#include "postproc/convert/pin_conversion.h"

namespace kvz {
namespace {

TEST(PinConversion, Rgb24ToYuy2KnownColoursAndRowOrder) {
  // Two rows of two pixels, bottom-up: the last row in memory is the picture's top row.
  const std::vector<UCHAR> rgb = {
      0, 0, 0, 0, 0, 0,              // bottom row: black
      255, 255, 255, 255, 255, 255,  // top row: white
  };
  std::vector<UCHAR> yuy2(2 * 2 * 2, 0xEE);
  ConvertRgb24ToYuy2(rgb.data(), yuy2.data(), 2, 2);
  const std::vector<UCHAR> expected = {235, 128, 235, 128, 16, 128, 16, 128};
  EXPECT_EQ(expected, yuy2);
}

TEST(PinConversion, Yuy2ThroughRgb24KeepsGreyLevels) {
  std::vector<UCHAR> yuy2;
  for (int y = 16; y <= 235; y += 17) yuy2.insert(yuy2.end(), {static_cast<UCHAR>(y), 128, static_cast<UCHAR>(y), 128});
  const ULONG width = static_cast<ULONG>(yuy2.size() / 2);
  std::vector<UCHAR> rgb(width * 3), back(yuy2.size());
  ConvertYuy2ToRgb24BottomUp(yuy2.data(), rgb.data(), width, 1);
  ConvertRgb24ToYuy2(rgb.data(), back.data(), width, 1);
  for (size_t i = 0; i < yuy2.size(); ++i) EXPECT_NEAR(yuy2[i], back[i], 1) << i;
}

TEST(PinConversion, WideningKeepsBothEdgesAndStaysInsideTheRow) {
  // Rows of 4 pixels to 8; the source row is followed by a guard the routine must not read into
  // the result.
  std::vector<UCHAR> source = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
  source.insert(source.end(), 12, 0xFF);
  std::vector<UCHAR> out(8 * 3 * 2, 0);
  ResampleRowsHorizontal(source.data(), out.data(), 4, 2, 8);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(source[c], out[c]);
    EXPECT_EQ(source[9 + c], out[21 + c]);
  }
  for (size_t i = 0; i < 24; ++i) EXPECT_LE(out[i], 120) << i;
  // Monotonic source, monotonic result.
  for (size_t j = 1; j < 8; ++j) EXPECT_GE(out[j * 3], out[(j - 1) * 3]) << j;
}

}  // namespace
}  // namespace kvz

namespace kvz {
namespace {

// The table-driven conversion gives the 8.8 fixed-point formula's bytes for every luma and
// chroma value, the clamped extremes included.
TEST(PinConversion, Yuy2ToRgb24EqualsTheFixedPointFormula) {
  auto clamp = [](int v) { return static_cast<UCHAR>(v < 0 ? 0 : v > 255 ? 255 : v); };
  std::vector<UCHAR> yuy2;
  for (int fixed : {0, 128, 255})
    for (int y = 0; y < 256; ++y)
      for (int c = 0; c < 256; ++c) {
        yuy2.insert(yuy2.end(), {static_cast<UCHAR>(y), static_cast<UCHAR>(c), static_cast<UCHAR>(255 - y),
                                 static_cast<UCHAR>(fixed)});
        yuy2.insert(yuy2.end(), {static_cast<UCHAR>(y), static_cast<UCHAR>(fixed), static_cast<UCHAR>(y),
                                 static_cast<UCHAR>(c)});
      }
  const ULONG width = static_cast<ULONG>(yuy2.size() / 2);
  std::vector<UCHAR> rgb(width * 3);
  ConvertYuy2ToRgb24BottomUp(yuy2.data(), rgb.data(), width, 1);
  for (ULONG x = 0; x < width; ++x) {
    const UCHAR* pair = &yuy2[(x & ~1u) * 2];
    const int c = 298 * ((x & 1 ? pair[2] : pair[0]) - 16), d = pair[1] - 128, e = pair[3] - 128;
    ASSERT_EQ(clamp((c + 516 * d + 128) >> 8), rgb[x * 3]) << x;
    ASSERT_EQ(clamp((c - 100 * d - 208 * e + 128) >> 8), rgb[x * 3 + 1]) << x;
    ASSERT_EQ(clamp((c + 409 * e + 128) >> 8), rgb[x * 3 + 2]) << x;
  }
}

}  // namespace
}  // namespace kvz
