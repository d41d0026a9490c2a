#include <gtest/gtest.h>

#include <cstdio>

#include "simcam/mjpeg_encoder.h"
#include "simcam/test_pattern.h"
#include "support/jpeg_check.h"

namespace kvz::simcam {
namespace {

bool HasMarker(const std::vector<uint8_t>& jpeg, uint8_t marker) {
  for (size_t i = 2; i + 4 <= jpeg.size() && jpeg[i] == 0xFF;) {
    if (jpeg[i + 1] == marker) return true;
    if (jpeg[i + 1] == 0xDA) return false;
    i += 2 + (jpeg[i + 2] << 8 | jpeg[i + 3]);
  }
  return false;
}

double MeanLuma(const std::vector<uint8_t>& yuy2) {
  double sum = 0;
  for (size_t i = 0; i < yuy2.size(); i += 2) sum += yuy2[i];
  return sum / (yuy2.size() / 2);
}

class MjpegTest : public ::testing::TestWithParam<bool> {};

TEST_P(MjpegTest, BaselineFourTwoTwoDecodesAtTheFrameSize) {
  const bool withTables = GetParam();
  for (auto [w, h] : {std::pair<uint16_t, uint16_t>{640, 480}, {1280, 720}, {160, 120}}) {
    const std::vector<uint8_t> picture = MakeYuy2Frame(w, h, 3);
    const std::vector<uint8_t> jpeg = EncodeYuy2AsJpeg(picture, w, h, 80, withTables);
    EXPECT_EQ(HasMarker(jpeg, 0xC4), withTables);
    EXPECT_TRUE(HasMarker(jpeg, 0xC0));  // baseline start of frame
    const testing::JpegInfo d = testing::DecodeJpeg(jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
    EXPECT_EQ(d.components, 3);
    EXPECT_EQ(d.h0, 2);
    EXPECT_EQ(d.v0, 1);
    EXPECT_EQ(d.h1, 1);
    EXPECT_NEAR(d.meanY, MeanLuma(picture), 3.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Huffman, MjpegTest, ::testing::Bool());

TEST(Mjpeg, CacheRepeatsEveryPhase) {
  MjpegFrameCache cache;
  const std::vector<uint8_t> a = cache.Frame(320, 240, 1, true);
  const std::vector<uint8_t> b = cache.Frame(320, 240, 1 + MjpegFrameCache::kPhases, true);
  const std::vector<uint8_t> c = cache.Frame(320, 240, 2, true);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

TEST(TestPattern, FrameNumberAndSize) {
  const std::vector<uint8_t> f = MakeYuy2Frame(640, 480, 0x01020304);
  EXPECT_EQ(f.size(), 640u * 480 * 2);
  EXPECT_EQ(FrameNumberOfYuy2(f.data(), f.size()), 0x01020304u);
  EXPECT_NE(MakeYuy2Frame(64, 8, 1), MakeYuy2Frame(64, 8, 2));  // the bars move
}

}  // namespace
}  // namespace kvz::simcam
