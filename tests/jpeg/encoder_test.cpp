// Our encoder's frames as libjpeg-turbo reads them: the exact MJPEG header, the quantised
// coefficients it finds, restart markers, and the picture quality; refusals of what the
// encoder cannot encode soundly.
#include <gtest/gtest.h>

#include <cmath>

#include "jpeg/jpeg_encoder.h"
#include "primitives/dispatch.h"
#include "support/codec_check.h"

namespace kvz::jpegtest {
namespace {

struct Encoded {
  int32_t result = -1;
  int32_t length = -7;
  std::vector<uint8_t> data;
};

Encoded Encode(const std::vector<uint8_t>& source, int32_t format, int32_t bytesPerPixel, int width, int height,
               int quality, int restart, int32_t capacity = -1) {
  Encoded e;
  if (capacity < 0) capacity = width * height * 2 + 4096;
  e.data.assign(static_cast<size_t>(capacity > 0 ? capacity : 1), 0);
  jpeg::JpegEncoder encoder;
  e.result = jpeg::JpegEncodeFrame(source.data(), format, bytesPerPixel, e.data.data(), capacity, &e.length, width,
                                   height, quality, restart, 1, &encoder);
  if (e.result == 0) e.data.resize(static_cast<size_t>(e.length));
  return e;
}

TEST(Encoder, CapturePinFrameHasTheMjpegHeaderAtQuality95) {
  const int w = 64;
  const int h = 16;
  const Encoded e = Encode(MakeYuy2(w, h), kPixelYuy2, 2, w, h, 95, 5);
  ASSERT_EQ(e.result, 0);
  std::vector<uint8_t> expected = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x21, 0x41, 0x56, 0x49, 0x31, 0x00, 0x01, 0x01, 0x01,
                                   0x00, 0x78, 0x00, 0x78, 0x00, 0x00};
  expected.insert(expected.end(), 17, 0);
  const std::vector<uint8_t> dqt = {
      0xFF, 0xDB, 0x00, 0x43, 0x00, 0x02, 0x01, 0x01, 0x01, 0x01, 0x01, 0x02, 0x01, 0x01, 0x01, 0x02, 0x02,
      0x02, 0x02, 0x02, 0x04, 0x03, 0x02, 0x02, 0x02, 0x02, 0x05, 0x04, 0x04, 0x03, 0x04, 0x06, 0x05, 0x06,
      0x06, 0x06, 0x05, 0x06, 0x06, 0x06, 0x07, 0x09, 0x08, 0x06, 0x07, 0x09, 0x07, 0x06, 0x06, 0x08, 0x0B,
      0x08, 0x09, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x06, 0x08, 0x0B, 0x0C, 0x0B, 0x0A, 0x0C, 0x09, 0x0A, 0x0A,
      0x0A, 0xFF, 0xDB, 0x00, 0x43, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x05, 0x03, 0x03, 0x05, 0x0A,
      0x07, 0x06, 0x07};
  expected.insert(expected.end(), dqt.begin(), dqt.end());
  expected.insert(expected.end(), 50, 0x0A);
  const std::vector<uint8_t> tail = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x40, 0x03, 0x00, 0x21,
                                     0x00, 0x01, 0x11, 0x01, 0x02, 0x11, 0x01, 0xFF, 0xDD, 0x00, 0x04, 0x00,
                                     0x05, 0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11,
                                     0x00, 0x3F, 0x00};
  expected.insert(expected.end(), tail.begin(), tail.end());
  ASSERT_GE(e.data.size(), expected.size() + 2);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), e.data.begin()));
  EXPECT_EQ(e.data[e.data.size() - 2], 0xFF);
  EXPECT_EQ(e.data.back(), 0xD9);
}

struct EncodeCase {
  int width;
  int height;
  int quality;
  int restart;  // MCUs; -1 one MCU row
};

class EncoderOracle : public ::testing::TestWithParam<EncodeCase> {};

// The coefficients libjpeg-turbo reads are those of our planes, padded by repeating the last
// column and row, through the forward transform with the tables the stream carries.
TEST_P(EncoderOracle, LibjpegTurboReadsOurCoefficientsAndPicture) {
  const EncodeCase& c = GetParam();
  const std::vector<uint8_t> yuy2 = MakeYuy2(c.width, c.height);
  const int restart = c.restart < 0 ? (c.width + 15) / 16 : c.restart;
  const Encoded e = Encode(yuy2, kPixelYuy2, 2, c.width, c.height, c.quality, restart);
  ASSERT_EQ(e.result, 0);

  const Coefficients coefficients = TurboReadCoefficients(e.data);
  ASSERT_TRUE(coefficients.ok);
  EXPECT_EQ(coefficients.warnings, 0);
  const TurboDecoded decoded = TurboDecode(e.data);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.warnings, 0);
  EXPECT_EQ(decoded.restartInterval, restart);

  const int paddedWidth = (c.width + 15) / 16 * 16;
  const int paddedHeight = (c.height + 7) / 8 * 8;
  std::vector<uint8_t> planes[3];
  const int widths[3] = {paddedWidth, paddedWidth / 2, paddedWidth / 2};
  const int real[3] = {c.width, c.width / 2, c.width / 2};
  for (int k = 0; k < 3; ++k) planes[k].assign(static_cast<size_t>(widths[k]) * paddedHeight, 0);
  uint8_t* dst[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
  ASSERT_EQ(prim::Yuy2ToPlanar422(yuy2.data(), c.width * 2, dst, widths, {c.width, c.height}), 0);
  for (int k = 0; k < 3; ++k) {
    for (int y = 0; y < paddedHeight; ++y) {
      uint8_t* row = &planes[k][static_cast<size_t>(y) * widths[k]];
      if (y >= c.height) std::copy_n(row - widths[k], widths[k], row);
      std::fill(row + real[k], row + widths[k], row[real[k] - 1]);
    }
  }
  // The DQT tables as the stream carries them (zig-zag), turned into forward tables.
  alignas(32) uint16_t forward[2][64];
  const size_t dqt = static_cast<size_t>(FindSegment(e.data, 0xDB));
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(e.data[dqt + 69 * t + 4], t);
    ASSERT_EQ(prim::InitForwardQuantTable(&e.data[dqt + 69 * t + 5], forward[t]), 0);
  }
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const int wide = coefficients.blocksWide[k];
    const int high = coefficients.blocksHigh[k];
    ASSERT_EQ(wide, (real[k] + 7) / 8);
    int mismatches = 0;
    for (int by = 0; by < high; ++by) {
      for (int bx = 0; bx < wide; ++bx) {
        alignas(32) int16_t block[64];
        ASSERT_EQ(prim::ForwardDctQuantize8x8(&planes[k][(static_cast<size_t>(by) * widths[k] + bx) * 8], widths[k],
                                              block, forward[k == 0 ? 0 : 1]),
                  0);
        const int16_t* theirs = &coefficients.values[k][(static_cast<size_t>(by) * wide + bx) * 64];
        mismatches += !std::equal(block, block + 64, theirs);
      }
    }
    EXPECT_EQ(mismatches, 0);
  }

  // Quality: luma PSNR against the source.
  double squared = 0;
  for (int y = 0; y < c.height; ++y) {
    for (int x = 0; x < c.width; ++x) {
      const double d = decoded.planes[0].samples[static_cast<size_t>(y) * c.width + x] -
                       yuy2[(static_cast<size_t>(y) * c.width + x) * 2];
      squared += d * d;
    }
  }
  const double mse = squared / (static_cast<double>(c.width) * c.height);
  const double psnr = mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
  EXPECT_GE(psnr, c.quality >= 95 ? 40.0 : c.quality >= 50 ? 30.0 : 20.0);
}

INSTANTIATE_TEST_SUITE_P(Frames, EncoderOracle,
                         ::testing::Values(EncodeCase{2, 1, 95, 0}, EncodeCase{34, 9, 95, 1}, EncodeCase{34, 9, 10, 5},
                                           EncodeCase{424, 37, 95, -1}, EncodeCase{640, 480, 95, 5},
                                           EncodeCase{640, 480, 100, 0}, EncodeCase{640, 480, 50, -1},
                                           EncodeCase{1280, 720, 95, -1}));

TEST(Encoder, BgrFramesEncodeAs422) {
  const Picture p = MakePicture(33, 17);
  std::vector<uint8_t> bgr(p.rgb.size());
  for (size_t i = 0; i < p.rgb.size(); i += 3) {
    bgr[i] = p.rgb[i + 2];
    bgr[i + 1] = p.rgb[i + 1];
    bgr[i + 2] = p.rgb[i];
  }
  const Encoded e = Encode(bgr, kPixelRgb24, 3, 33, 17, 95, 0);
  ASSERT_EQ(e.result, 0);
  const TurboDecoded ours = TurboDecode(e.data);
  ASSERT_TRUE(ours.ok);
  EXPECT_EQ(ours.warnings, 0);
  ASSERT_EQ(ours.planes.size(), 3u);
  EXPECT_EQ(ours.planes[1].width, 17);
  // As close to the source as libjpeg-turbo's own 4:2:2 frame at the same quality.
  EncodeOptions o;
  o.sampling = Sampling::k422;
  o.quality = 95;
  const TurboDecoded theirs = TurboDecode(TurboEncode(p, o));
  auto psnr = [&](const std::vector<uint8_t>& decoded) {
    double squared = 0;
    for (size_t i = 0; i < bgr.size(); ++i) squared += (decoded[i] - bgr[i]) * (decoded[i] - bgr[i]);
    return 10 * std::log10(255.0 * 255.0 / (squared / static_cast<double>(bgr.size())));
  };
  EXPECT_GE(psnr(ours.bgr), psnr(theirs.bgr) - 0.5);
}

TEST(Encoder, RefusesWhatItCannotEncodeAndLeavesTheLength) {
  const std::vector<uint8_t> yuy2 = MakeYuy2(34, 9);
  struct Refusal {
    int32_t format;
    int32_t bytesPerPixel;
    int width;
    int height;
    int restart;
    int32_t capacity;
  };
  for (const Refusal r : {Refusal{4, 2, 33, 9, 0, 4096},    // odd YUY2 width: no chroma for its last pixel
                          Refusal{4, 2, 0, 9, 0, 4096},     // no pixels
                          Refusal{4, 2, 34, 0, 0, 4096},
                          Refusal{4, 2, 65536, 1, 0, 4096},  // beyond SOF's 16 bits
                          Refusal{4, 2, 34, 9, 65536, 4096},
                          Refusal{2, 2, 34, 9, 0, 4096},    // I420 is no source type
                          Refusal{1, 2, 34, 9, 0, 4096},    // BGR with two bytes a pixel
                          Refusal{4, 2, 34, 9, 0, 100},     // room for part of the header only
                          Refusal{4, 2, 34, 9, 0, 300},     // room for the header, not the data
                          Refusal{4, 2, 34, 9, 0, 0}}) {
    const Encoded e = Encode(yuy2, r.format, r.bytesPerPixel, r.width, r.height, 95, r.restart, r.capacity);
    EXPECT_EQ(e.result, 1) << r.width << " " << r.capacity;
    EXPECT_EQ(e.length, -7);
  }
}

}  // namespace
}  // namespace kvz::jpegtest
