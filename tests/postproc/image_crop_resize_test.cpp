#include "postproc/geometry/image_crop_resize.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/guarded_buffer.h"
#include "postproc/base/frame_format.h"
#include "support/yuy2_frames.h"

namespace kvz {
namespace {

using test::GuardedBuffer;
using test::RandomBytes;

struct FormatCase {
  const char* name;
  PixelLayout format;
  int bytesTimesTwoPerPixel;  // 4 YUY2, 6 RGB24, 3 I420
};

const FormatCase kFormats[] = {
    {"YUY2", kPixelYuy2, 4},
    {"RGB24", kPixelRgb24, 6},
    {"I420", kPixelI420, 3},
};

size_t FrameBytes(const FormatCase& f, int w, int h) {
  return static_cast<size_t>(w) * h * f.bytesTimesTwoPerPixel / 2;
}

TEST(ResizeImage, EqualSizesReproduceTheFrameExactly) {
  for (const auto& f : kFormats) {
    SCOPED_TRACE(f.name);
    const int w = 64, h = 48;
    const auto src = RandomBytes(FrameBytes(f, w, h), 1);
    GuardedBuffer dst(src.size());
    EXPECT_EQ(STATUS_SUCCESS, ResizeImage(src.data(), dst.data(), w, h, w, h, f.format));
    EXPECT_EQ(0, memcmp(src.data(), dst.data(), src.size()));
    EXPECT_TRUE(dst.GuardsIntact());
  }
}

TEST(ResizeImage, HalvingYuy2TakesEverySecondPixelAndChromaFromPairAtFourK) {
  const int w = 640, h = 480, dw = 320, dh = 240;
  const auto src = RandomBytes(static_cast<size_t>(w) * h * 2, 2);
  GuardedBuffer dst(static_cast<size_t>(dw) * dh * 2);
  ASSERT_EQ(STATUS_SUCCESS, ResizeImage(src.data(), dst.data(), w, h, dw, dh, kPixelYuy2));
  test::Yuy2View s{src.data(), w, h}, d{dst.data(), dw, dh};
  for (int i = 0; i < dh; ++i)
    for (int k = 0; k < dw / 2; ++k) {
      ASSERT_EQ(s.Y(4 * k, 2 * i), d.Y(2 * k, i));
      ASSERT_EQ(s.Y(4 * k + 2, 2 * i), d.Y(2 * k + 1, i));
      ASSERT_EQ(s.U(4 * k, 2 * i), d.U(2 * k, i));
      ASSERT_EQ(s.V(4 * k, 2 * i), d.V(2 * k, i));
    }
  EXPECT_TRUE(dst.GuardsIntact());
}

TEST(ResizeImage, HalvingRgb24AndI420SampleEverySecondPixel) {
  const int w = 64, h = 32, dw = 32, dh = 16;
  const auto rgb = RandomBytes(static_cast<size_t>(w) * h * 3, 3);
  std::vector<uint8_t> out(static_cast<size_t>(dw) * dh * 3);
  ASSERT_EQ(STATUS_SUCCESS, ResizeImage(rgb.data(), out.data(), w, h, dw, dh, kPixelRgb24));
  for (int i = 0; i < dh; ++i)
    for (int j = 0; j < dw; ++j)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(rgb[((2 * i) * w + 2 * j) * 3 + c], out[(i * dw + j) * 3 + c]);

  const auto yuv = RandomBytes(static_cast<size_t>(w) * h * 3 / 2, 4);
  std::vector<uint8_t> small(static_cast<size_t>(dw) * dh * 3 / 2);
  ASSERT_EQ(STATUS_SUCCESS, ResizeImage(yuv.data(), small.data(), w, h, dw, dh, kPixelI420));
  for (int i = 0; i < dh; ++i)
    for (int j = 0; j < dw; ++j) ASSERT_EQ(yuv[(2 * i) * w + 2 * j], small[i * dw + j]);
  const uint8_t* su = yuv.data() + w * h;
  const uint8_t* du = small.data() + dw * dh;
  for (int plane = 0; plane < 2; ++plane)
    for (int a = 0; a < dh / 2; ++a)
      for (int b = 0; b < dw / 2; ++b)
        ASSERT_EQ(su[plane * w * h / 4 + (2 * a) * (w / 2) + 2 * b],
                  du[plane * dw * dh / 4 + a * (dw / 2) + b]);
}

TEST(ResizeImage, OddYuy2DestinationWidthLeavesTheLastPixelUnwritten) {
  const int w = 8, h = 2, dw = 5, dh = 2;
  const auto src = RandomBytes(w * h * 2, 5);
  GuardedBuffer dst(dw * dh * 2, 0x33);
  ASSERT_EQ(STATUS_SUCCESS, ResizeImage(src.data(), dst.data(), w, h, dw, dh, kPixelYuy2));
  for (int row = 0; row < dh; ++row) {
    EXPECT_EQ(0x33, dst[(row * dw + 4) * 2]);
    EXPECT_EQ(0x33, dst[(row * dw + 4) * 2 + 1]);
  }
  EXPECT_TRUE(dst.GuardsIntact());
}

// Sizes that cannot be sampled write nothing (a quarter turn of a very flat frame asks for a
// height of 0, which would divide by zero).
TEST(ResizeImage, DegenerateSizesWriteNothing) {
  struct Case {
    const char* name;
    PixelLayout format;
    LONG sw, sh, dw, dh;
  } cases[] = {
      {"zero destination height", kPixelYuy2, 640, 40, 40, 0},
      {"zero destination width", kPixelRgb24, 16, 16, 0, 8},
      {"negative destination", kPixelI420, 16, 16, -2, 8},
      {"zero source", kPixelYuy2, 0, 16, 8, 8},
      {"one-pixel YUY2 source", kPixelYuy2, 1, 4, 8, 8},
  };
  const std::vector<uint8_t> src(64 * 64 * 3, 9);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer dst(64 * 64 * 3, 0x11);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ResizeImage(src.data(), dst.data(), c.sw, c.sh, c.dw, c.dh, c.format));
    for (size_t i = 0; i < dst.size(); ++i) ASSERT_EQ(0x11, dst[i]);
    EXPECT_TRUE(dst.GuardsIntact());
  }
  GuardedBuffer dst(16);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ResizeImage(nullptr, dst.data(), 2, 2, 2, 2, kPixelYuy2));
}

// Enlarging an odd-width YUY2 frame must not take chroma from the lone last pixel, which has
// no V (the source vector is exactly sized so that AddressSanitizer sees any over-read).
TEST(ResizeImage, OddYuy2SourceNeverReadsPastItsRows) {
  for (int sw : {3, 5, 7}) {
    const int sh = 3, dw = 4 * sw, dh = 6;
    std::vector<uint8_t> src(static_cast<size_t>(sw) * sh * 2);
    for (size_t i = 0; i < src.size(); ++i) src[i] = (i & 1) ? 200 : 50;
    GuardedBuffer dst(static_cast<size_t>(dw) * dh * 2);
    ASSERT_EQ(STATUS_SUCCESS, ResizeImage(src.data(), dst.data(), sw, sh, dw, dh, kPixelYuy2));
    for (int i = 0; i < dw * dh; ++i) {
      ASSERT_EQ(50, dst[i * 2]) << i;
      ASSERT_EQ(200, dst[i * 2 + 1]) << i;
    }
    EXPECT_TRUE(dst.GuardsIntact());
  }
}

TEST(CropImage, Yuy2WindowCopiesRowsFromItsOrigin) {
  const int w = 640, h = 480, cw = 320, ch = 240, x = 160, y = 120;
  const auto src = RandomBytes(static_cast<size_t>(w) * h * 2, 6);
  GuardedBuffer dst(static_cast<size_t>(cw) * ch * 2);
  ASSERT_EQ(STATUS_SUCCESS, CropImage(src.data(), dst.data(), w, h, cw, ch, x, y, kPixelYuy2));
  for (int row = 0; row < ch; ++row)
    ASSERT_EQ(0, memcmp(dst.data() + row * cw * 2,
                        src.data() + (static_cast<size_t>(y + row) * w + x) * 2, cw * 2));
  EXPECT_TRUE(dst.GuardsIntact());
}

TEST(CropImage, Rgb24IsBottomUpSoTheTopWindowComesFromTheEndOfTheBuffer) {
  const int w = 16, h = 10, cw = 6, ch = 4, x = 3;
  const auto src = RandomBytes(w * h * 3, 7);
  GuardedBuffer dst(cw * ch * 3);
  ASSERT_EQ(STATUS_SUCCESS, CropImage(src.data(), dst.data(), w, h, cw, ch, x, 0, kPixelRgb24));
  // Image row r is memory row h - 1 - r; the window's memory rows are h - ch .. h - 1.
  for (int row = 0; row < ch; ++row)
    ASSERT_EQ(0, memcmp(dst.data() + row * cw * 3, src.data() + ((h - ch + row) * w + x) * 3, cw * 3));
  EXPECT_TRUE(dst.GuardsIntact());
}

TEST(CropImage, I420CopiesTheWindowOfEachPlane) {
  const int w = 32, h = 16, cw = 12, ch = 8, x = 6, y = 4;
  const auto src = RandomBytes(w * h * 3 / 2, 8);
  GuardedBuffer dst(cw * ch * 3 / 2);
  ASSERT_EQ(STATUS_SUCCESS, CropImage(src.data(), dst.data(), w, h, cw, ch, x, y, kPixelI420));
  for (int r = 0; r < ch; ++r)
    for (int c = 0; c < cw; ++c) ASSERT_EQ(src[(y + r) * w + x + c], dst[r * cw + c]);
  for (int plane = 0; plane < 2; ++plane)
    for (int r = 0; r < ch / 2; ++r)
      for (int c = 0; c < cw / 2; ++c)
        ASSERT_EQ(src[w * h + plane * w * h / 4 + (y / 2 + r) * (w / 2) + x / 2 + c],
                  dst[cw * ch + plane * cw * ch / 4 + r * (cw / 2) + c]);
  EXPECT_TRUE(dst.GuardsIntact());
}

TEST(CropImage, WindowsOutsideTheSourceCopyNothing) {
  struct Case {
    LONG cw, ch, x, y;
  } cases[] = {{10, 10, 60, 0}, {10, 10, 0, 60}, {65, 10, 0, 0}, {10, 10, -2, 0},
               {10, 10, 0, -1}, {0, 10, 0, 0},   {10, 0, 0, 0}, {64, 64, 2, 0}};
  const std::vector<uint8_t> src(64 * 64 * 3, 1);
  for (const auto& f : kFormats)
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << f.name << " " << c.cw << "x" << c.ch << " at " << c.x
                                        << "," << c.y);
      GuardedBuffer dst(64 * 64 * 3, 0x22);
      EXPECT_EQ(STATUS_INVALID_PARAMETER,
                CropImage(src.data(), dst.data(), 64, 64, c.cw, c.ch, c.x, c.y, f.format));
      for (size_t i = 0; i < dst.size(); ++i) ASSERT_EQ(0x22, dst[i]);
    }
}

TEST(CropImage, WholeFrameWindowIsACopy) {
  for (const auto& f : kFormats) {
    SCOPED_TRACE(f.name);
    const auto src = RandomBytes(FrameBytes(f, 20, 10), 9);
    GuardedBuffer dst(src.size());
    ASSERT_EQ(STATUS_SUCCESS, CropImage(src.data(), dst.data(), 20, 10, 20, 10, 0, 0, f.format));
    EXPECT_EQ(0, memcmp(src.data(), dst.data(), src.size()));
    EXPECT_TRUE(dst.GuardsIntact());
  }
}

}  // namespace
}  // namespace kvz

namespace kvz {
namespace {

// I420 of odd size keeps floor(w / 2) x floor(h / 2) chroma samples per plane (a 176 x 144
// camera cropped or scaled by odd factors): every plane stays inside its bytes, and chroma
// follows the picture. Source chroma is U = chroma row, V = chroma column.
struct OddI420 {
  LONG w, h;
  std::vector<uint8_t> bytes;
  explicit OddI420(LONG width, LONG height) : w(width), h(height) {
    bytes.assign(static_cast<size_t>(w) * h + 2 * (w / 2) * (h / 2), 0);
    for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    uint8_t* u = bytes.data() + static_cast<size_t>(w) * h;
    uint8_t* v = u + (w / 2) * (h / 2);
    for (LONG cy = 0; cy < h / 2; ++cy)
      for (LONG cx = 0; cx < w / 2; ++cx) {
        u[cy * (w / 2) + cx] = static_cast<uint8_t>(cy);
        v[cy * (w / 2) + cx] = static_cast<uint8_t>(cx);
      }
  }
};

TEST(ResizeImage, OddI420KeepsFloorHalfChromaInsideThePlanes) {
  const struct {
    LONG sw, sh, dw, dh;
  } cases[] = {{175, 143, 320, 240}, {320, 240, 175, 143}, {177, 145, 177, 145},
               {33, 17, 15, 9},      {3, 3, 7, 5},         {15, 1, 8, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh);
    const OddI420 src(c.sw, c.sh);
    const size_t chroma = static_cast<size_t>(c.dw / 2) * (c.dh / 2);
    GuardedBuffer dst(static_cast<size_t>(c.dw) * c.dh + 2 * chroma, 0x11);
    ASSERT_EQ(STATUS_SUCCESS, ResizeImage(src.bytes.data(), dst.data(), c.sw, c.sh, c.dw, c.dh,
                                          kPixelI420));
    EXPECT_TRUE(dst.GuardsIntact());
    const uint8_t* u = dst.data() + static_cast<size_t>(c.dw) * c.dh;
    const uint8_t* v = u + chroma;
    const LONG scw = c.sw / 2, sch = c.sh / 2;
    for (LONG cy = 0; cy < c.dh / 2; ++cy)
      for (LONG cx = 0; cx < c.dw / 2; ++cx) {
        const uint8_t cu = u[cy * (c.dw / 2) + cx], cv = v[cy * (c.dw / 2) + cx];
        if (sch == 0) {  // nothing to sample: neutral
          ASSERT_EQ(128, cu);
          ASSERT_EQ(128, cv);
          continue;
        }
        // Chroma comes from about the sample under the destination sample (luma and chroma
        // scale by slightly different ratios on odd sides).
        ASSERT_LT(cu, sch);
        ASSERT_LT(cv, scw);
        ASSERT_LE(std::abs(cu * (c.dh / 2) - cy * sch), 2 * std::max<LONG>(c.dh / 2, sch)) << cx << "," << cy;
        ASSERT_LE(std::abs(cv * (c.dw / 2) - cx * scw), 2 * std::max<LONG>(c.dw / 2, scw)) << cx << "," << cy;
      }
  }
}

TEST(CropImage, OddI420WindowTakesTheChromaOfItsFirstPixel) {
  const OddI420 src(175, 143);
  const LONG cw = 99, ch = 71, x = 3, y = 5;
  const size_t chroma = static_cast<size_t>(cw / 2) * (ch / 2);
  GuardedBuffer dst(static_cast<size_t>(cw) * ch + 2 * chroma, 0x11);
  ASSERT_EQ(STATUS_SUCCESS, CropImage(src.bytes.data(), dst.data(), 175, 143, cw, ch, x, y,
                                      kPixelI420));
  EXPECT_TRUE(dst.GuardsIntact());
  for (LONG row = 0; row < ch; ++row)
    ASSERT_EQ(0, memcmp(dst.data() + row * cw, src.bytes.data() + (y + row) * 175 + x, cw));
  const uint8_t* u = dst.data() + static_cast<size_t>(cw) * ch;
  const uint8_t* v = u + chroma;
  for (LONG cy = 0; cy < ch / 2; ++cy)
    for (LONG cx = 0; cx < cw / 2; ++cx) {
      ASSERT_EQ(y / 2 + cy, u[cy * (cw / 2) + cx]);
      ASSERT_EQ(x / 2 + cx, v[cy * (cw / 2) + cx]);
    }
}

}  // namespace
}  // namespace kvz
