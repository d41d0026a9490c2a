// Lossless frames coded with our own prediction primitives and a fixed Huffman table come back
// exactly, scaled to 8 bits, in every output format; restarts start rows afresh.
#include <gtest/gtest.h>

#include "jpeg/jpeg_constants.h"
#include "support/codec_check.h"
#include "support/stream_builder.h"

namespace kvz::jpegtest {
namespace {

struct LosslessCase {
  int width;
  int height;
  LosslessOptions options;
};

std::vector<uint16_t> Samples(int width, int height, int precision) {
  std::vector<uint16_t> s(static_cast<size_t>(width) * height);
  const uint32_t top = (1u << precision) - 1;
  uint32_t noise = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1664525u + 1013904223u;
      // A ramp across the whole range with noise, and the two extremes at the edges.
      uint32_t v = static_cast<uint32_t>((static_cast<uint64_t>(top) * (x + y)) / (width + height)) + (noise >> 29);
      if (x == 0) v = top;
      if (y == height - 1) v = 0;
      s[static_cast<size_t>(y) * width + x] = static_cast<uint16_t>(v > top ? top : v);
    }
  }
  return s;
}

// What one sample becomes in 8 bits: the point transform drops its low bits, then the
// precision is scaled to 8.
uint8_t Expected8(uint16_t sample, const LosslessOptions& o) {
  const uint32_t kept = static_cast<uint32_t>(sample >> o.pointTransform) << o.pointTransform;
  return static_cast<uint8_t>(o.precision >= 8 ? kept >> (o.precision - 8) : kept << (8 - o.precision));
}

class Lossless : public ::testing::TestWithParam<LosslessCase> {};

TEST_P(Lossless, RoundTripsInEveryFormat) {
  const LosslessCase& c = GetParam();
  const std::vector<uint16_t> samples = Samples(c.width, c.height, c.options.precision);
  const std::vector<uint8_t> stream = EncodeLossless(samples, c.width, c.height, c.options);
  std::vector<uint8_t> grey(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) grey[i] = Expected8(samples[i], c.options);

  const OurDecode bgr = DecodeWithOurs(stream, kPixelRgb24, c.width, c.height);
  ASSERT_EQ(bgr.result, 0);
  EXPECT_TRUE(bgr.guardIntact);
  for (size_t i = 0; i < grey.size(); ++i) {
    ASSERT_EQ(bgr.out[3 * i], grey[i]) << i;
    ASSERT_EQ(bgr.out[3 * i + 1], grey[i]);
    ASSERT_EQ(bgr.out[3 * i + 2], grey[i]);
  }
  const OurDecode yuy2 = DecodeWithOurs(stream, kPixelYuy2, c.width, c.height);
  ASSERT_EQ(yuy2.result, 0);
  for (size_t i = 0; i < grey.size(); ++i) {
    ASSERT_EQ(yuy2.out[2 * i], grey[i]);
    ASSERT_EQ(yuy2.out[2 * i + 1], 128);
  }
  const OurDecode i420 = DecodeWithOurs(stream, kPixelI420, c.width, c.height);
  ASSERT_EQ(i420.result, 0);
  EXPECT_TRUE(std::equal(grey.begin(), grey.end(), i420.out.begin()));
  EXPECT_TRUE(std::all_of(i420.out.begin() + static_cast<long>(grey.size()), i420.out.end(),
                          [](uint8_t v) { return v == 128; }));
}

std::vector<LosslessCase> Cases() {
  std::vector<LosslessCase> cases;
  for (int predictor = 1; predictor <= 7; ++predictor) {
    LosslessOptions o;
    o.predictor = predictor;
    cases.push_back({23, 11, o});
  }
  LosslessOptions twelve;
  twelve.precision = 12;
  twelve.predictor = 4;
  twelve.pointTransform = 2;
  twelve.restartRows = 3;
  cases.push_back({31, 13, twelve});
  LosslessOptions sixteen;
  sixteen.precision = 16;
  sixteen.predictor = 7;
  sixteen.restartRows = 1;
  cases.push_back({16, 9, sixteen});
  LosslessOptions four;
  four.precision = 4;
  four.predictor = 6;
  cases.push_back({1, 1, four});
  cases.push_back({5, 17, four});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Frames, Lossless, ::testing::ValuesIn(Cases()));

TEST(LosslessRestart, InsideARowIsRefused) {
  LosslessOptions o;
  o.restartSamples = 7;
  const std::vector<uint16_t> samples = Samples(10, 4, 8);
  const OurDecode d = DecodeWithOurs(EncodeLossless(samples, 10, 4, o), kPixelRgb24, 10, 4);
  EXPECT_EQ(d.result, 1);
  EXPECT_TRUE(d.guardIntact);
}

}  // namespace
}  // namespace kvz::jpegtest
