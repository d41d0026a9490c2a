// Colour conversions in every processor build: the generic build against the reference formulas,
// the vector builds against their 16-bit lane formulas, argument checks in order, guard bytes,
// reads confined to the source.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "primitives/colour_convert.h"
#include "primitives/path_counts.h"
#include "support/e3_image.h"

namespace {

using kvz::prim::PrimitiveStatus;
using kvz::prim::RoiSize;

struct ColourBuild {
  const char* name;
  decltype(&kvz::prim::generic::RgbToYuv420) rgbToYuv420;
  decltype(&kvz::prim::generic::Yuv420ToBgr) yuv420ToBgr;
  decltype(&kvz::prim::generic::YuvToRgb) yuvToRgb;
  decltype(&kvz::prim::generic::Yuy2ToPlanar422) yuy2ToPlanar422;
  const uint32_t* counts;
  bool Vector() const { return e3::IsVectorBuild(name); }
  uint32_t vectorCount() const { return counts[kvz::prim::kPathColour]; }
};

#define E3_COLOUR_BUILD(ns)                                                                   \
  ColourBuild{#ns, &kvz::prim::ns::RgbToYuv420, &kvz::prim::ns::Yuv420ToBgr,                  \
              &kvz::prim::ns::YuvToRgb, &kvz::prim::ns::Yuy2ToPlanar422,                      \
              kvz::prim::ns::PathCounts},
const ColourBuild kBuilds[] = {KVZ_FOR_EACH_BUILD(E3_COLOUR_BUILD)};
#undef E3_COLOUR_BUILD

uint8_t Clamp(int32_t x) { return static_cast<uint8_t>(std::min(255, std::max(0, x))); }
int32_t MulHi(int32_t a, int32_t b) { return (a * b) >> 16; }

// ---- reference formulas ----

void RefYuvToRgb(bool lanes, int y, int u, int v, uint8_t* d) {
  const int up = u - 128, vp = v - 128;
  if (!lanes) {
    d[0] = Clamp((65536 * y + 74710 * vp) >> 16);
    d[1] = Clamp((65536 * y - 25820 * up - 38075 * vp) >> 16);
    d[2] = Clamp((65536 * y + 133168 * up) >> 16);
  } else {
    d[0] = Clamp((2 * y + MulHi(16 * vp, 9338)) >> 1);
    d[1] = Clamp((2 * y + MulHi(16 * up, -3227) + MulHi(16 * vp, -4759)) >> 1);
    d[2] = Clamp((2 * y + MulHi(16 * up, 16645)) >> 1);
  }
}

void RefYuv420ToBgr(bool lanes, int y, int u, int v, uint8_t* d) {
  const int up = u - 128, vp = v - 128;
  if (!lanes) {
    d[0] = Clamp((65536 * y + 133169 * up) >> 16);
    d[1] = Clamp((65536 * y - 38076 * vp - 25821 * up) >> 16);
    d[2] = Clamp((65536 * y + 74711 * vp) >> 16);
  } else {
    d[0] = Clamp((2 * y + MulHi(16 * up, 16646)) >> 1);
    d[1] = Clamp((2 * y + MulHi(16 * up, -3228) + MulHi(16 * vp, -4760)) >> 1);
    d[2] = Clamp((2 * y + MulHi(16 * vp, 9339)) >> 1);
  }
}

// Luma of one pixel and the chroma of a 2 x 2 block from its pixels.
int RefLuma(bool lanes, const uint8_t* p) {
  if (!lanes) return (19595 * p[0] + 38470 * p[1] + 7471 * p[2]) >> 16;
  return (((9798 * p[0] + 19235 * p[1]) >> 14) + ((3736 * p[2]) >> 14)) >> 1;
}

void RefChroma(bool lanes, const uint8_t* const px[4], uint8_t* u, uint8_t* v) {
  int sumR = 0, sumB = 0, sum = 0;
  for (int k = 0; k < 4; ++k) {
    sumR += px[k][0];
    sumB += px[k][2];
    sum += lanes ? RefLuma(true, px[k]) : 19595 * px[k][0] + 38470 * px[k][1] + 7471 * px[k][2];
  }
  if (!lanes) {
    *u = static_cast<uint8_t>(((((sumB << 16) - sum + 0x1FFFF) >> 16) * 32244 >> 18) + 128);
    *v = Clamp(((((sumR << 16) - sum + 0x1FFFF) >> 16) * 57475 >> 18) + 128);
  } else {
    *u = Clamp(((sumB - sum) * 16121 >> 17) + 128);
    *v = Clamp(((sumR - sum) * 28737 >> 17) + 128);
  }
}

// ---- argument checks ----

TEST(ColourConvert, ArgumentChecksInOrderInEveryBuild) {
  uint8_t buf[64] = {};
  uint8_t out[64];
  uint8_t* planes[3] = {buf, buf + 16, buf + 32};
  uint8_t* nullThird[3] = {buf, buf + 16, nullptr};
  const uint8_t* cplanes[3] = {buf, buf + 16, buf + 32};
  const uint8_t* cnullThird[3] = {buf, buf + 16, nullptr};
  const int32_t steps[3] = {4, 2, 2};
  for (const ColourBuild& b : kBuilds) {
    SCOPED_TRACE(b.name);
    memset(out, 0x77, sizeof out);
    // RgbToYuv420: source/array null, size, plane null, step array null.
    EXPECT_EQ(-8, b.rgbToYuv420(nullptr, 6, planes, steps, {0, 0}));
    EXPECT_EQ(-8, b.rgbToYuv420(buf, 6, nullptr, steps, {0, 0}));
    EXPECT_EQ(-6, b.rgbToYuv420(buf, 6, nullThird, steps, {0, 2}));
    EXPECT_EQ(-6, b.rgbToYuv420(buf, 6, nullThird, steps, {2, -1}));
    EXPECT_EQ(-8, b.rgbToYuv420(buf, 6, nullThird, steps, {2, 2}));
    EXPECT_EQ(-8, b.rgbToYuv420(buf, 6, planes, nullptr, {2, 2}));
    // YuvToRgb: array/destination null, size, plane null.
    EXPECT_EQ(-8, b.yuvToRgb(nullptr, 2, out, 6, {0, 0}));
    EXPECT_EQ(-8, b.yuvToRgb(cplanes, 2, nullptr, 6, {0, 0}));
    EXPECT_EQ(-6, b.yuvToRgb(cnullThird, 2, out, 6, {-1, 1}));
    EXPECT_EQ(-8, b.yuvToRgb(cnullThird, 2, out, 6, {1, 1}));
    // Yuv420ToBgr: halves below 1 are size errors; then planes, then the step array.
    EXPECT_EQ(-8, b.yuv420ToBgr(nullptr, steps, out, 6, {0, 0}));
    EXPECT_EQ(-8, b.yuv420ToBgr(cplanes, steps, nullptr, 6, {0, 0}));
    EXPECT_EQ(-6, b.yuv420ToBgr(cnullThird, steps, out, 6, {1, 4}));
    EXPECT_EQ(-6, b.yuv420ToBgr(cnullThird, steps, out, 6, {4, 1}));
    EXPECT_EQ(-8, b.yuv420ToBgr(cnullThird, steps, out, 6, {2, 2}));
    EXPECT_EQ(-8, b.yuv420ToBgr(cplanes, nullptr, out, 6, {2, 2}));
    // Yuy2ToPlanar422: every pointer before the size.
    EXPECT_EQ(-8, b.yuy2ToPlanar422(nullptr, 4, planes, steps, {0, 0}));
    EXPECT_EQ(-8, b.yuy2ToPlanar422(buf, 4, nullptr, steps, {0, 0}));
    EXPECT_EQ(-8, b.yuy2ToPlanar422(buf, 4, planes, nullptr, {0, 0}));
    EXPECT_EQ(-8, b.yuy2ToPlanar422(buf, 4, nullThird, steps, {0, 0}));
    EXPECT_EQ(-6, b.yuy2ToPlanar422(buf, 4, planes, steps, {1, 1}));
    EXPECT_EQ(-6, b.yuy2ToPlanar422(buf, 4, planes, steps, {2, 0}));
    for (uint8_t c : out) ASSERT_EQ(0x77, c);
  }
}

// ---- fixed values ----

TEST(ColourConvert, RgbToYuv420PrimaryColoursInTheGenericBuild) {
  struct Case {
    uint8_t r, g, b;
    int u, v;  // -1: not checked
  } const cases[] = {{255, 0, 0, -1, 255}, {0, 255, 255, -1, 0}, {0, 0, 255, 239, -1},
                     {255, 255, 0, 17, -1}, {255, 255, 255, 128, 128}};
  for (const Case& c : cases) {
    uint8_t rgb[12];
    for (int k = 0; k < 4; ++k) rgb[3 * k] = c.r, rgb[3 * k + 1] = c.g, rgb[3 * k + 2] = c.b;
    uint8_t y[4], u = 0, v = 0;
    uint8_t* planes[3] = {y, &u, &v};
    const int32_t steps[3] = {2, 1, 1};
    ASSERT_EQ(0, kvz::prim::generic::RgbToYuv420(rgb, 6, planes, steps, {2, 2}));
    if (c.u >= 0) {
      EXPECT_EQ(c.u, u) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
    if (c.v >= 0) {
      EXPECT_EQ(c.v, v) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
  }
}

TEST(ColourConvert, VectorBuildsRoundLikeTheirLanesNotLikeTheGenericBuild) {
  // White: generic luma 255, lane luma (451 + 58) >> 1 = 254.
  uint8_t white[12];
  memset(white, 255, sizeof white);
  // YuvToRgb (128, 0, 1): generic green 252, lanes (256 + 100 + 147) >> 1 = 251.
  const uint8_t y = 128, u = 0, v = 1;
  const uint8_t* yuv[3] = {&y, &u, &v};
  for (const ColourBuild& b : kBuilds) {
    SCOPED_TRACE(b.name);
    uint8_t lum[4], cu, cv;
    uint8_t* planes[3] = {lum, &cu, &cv};
    const int32_t steps[3] = {2, 1, 1};
    ASSERT_EQ(0, b.rgbToYuv420(white, 6, planes, steps, {2, 2}));
    EXPECT_EQ(b.Vector() ? 254 : 255, lum[0]);
    uint8_t rgb[3];
    ASSERT_EQ(0, b.yuvToRgb(yuv, 1, rgb, 3, {1, 1}));
    EXPECT_EQ(b.Vector() ? 251 : 252, rgb[1]);
    EXPECT_EQ(0, rgb[2]);
    if (b.Vector()) {
      EXPECT_GT(b.vectorCount(), 0u);
    } else {
      EXPECT_EQ(0u, b.vectorCount());
    }
  }
}

TEST(ColourConvert, YuvToRgbBlackAndWhite) {
  for (const ColourBuild& b : kBuilds) {
    for (uint8_t y : {uint8_t{0}, uint8_t{255}}) {
      std::vector<uint8_t> ys(20, y), cs(20, 128), out(60, 1);
      const uint8_t* planes[3] = {ys.data(), cs.data(), cs.data()};
      ASSERT_EQ(0, b.yuvToRgb(planes, 20, out.data(), 60, {20, 1}));
      for (uint8_t c : out) ASSERT_EQ(y, c) << b.name;
    }
  }
}

TEST(ColourConvert, OddSizesAreReportedAndLeaveTheOddPartUnwritten) {
  for (const ColourBuild& b : kBuilds) {
    SCOPED_TRACE(b.name);
    uint8_t rgb[27];
    e3::FillRandom(rgb, sizeof rgb, 3);
    uint8_t y[9], u[4], v[4];
    memset(y, 0xEE, 9), memset(u, 0xEE, 4), memset(v, 0xEE, 4);
    uint8_t* planes[3] = {y, u, v};
    const int32_t steps[3] = {3, 2, 2};
    EXPECT_EQ(35, b.rgbToYuv420(rgb, 9, planes, steps, {3, 3}));
    for (int i : {2, 5, 6, 7, 8}) EXPECT_EQ(0xEE, y[i]) << i;
    for (int i : {0, 1, 3, 4}) EXPECT_NE(0xEE, y[i]) << i;
    EXPECT_EQ(0xEE, u[1]);
    EXPECT_EQ(0xEE, v[1]);

    // Yuv420ToBgr: even sizes convert everything and report success; an odd width leaves the
    // last column and says so.
    std::vector<uint8_t> ys(9 * 4, 100), cs(4 * 2, 128), out(27 * 4, 0xEE);
    const uint8_t* src[3] = {ys.data(), cs.data(), cs.data()};
    const int32_t srcSteps[3] = {9, 4, 4};
    EXPECT_EQ(0, b.yuv420ToBgr(src, srcSteps, out.data(), 27, {6, 4}));
    EXPECT_EQ(100, out[3 * 5 + 27 * 3]);
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(35, b.yuv420ToBgr(src, srcSteps, out.data(), 27, {9, 4}));
    for (int r = 0; r < 4; ++r) {
      EXPECT_EQ(100, out[27 * r + 3 * 7]);
      EXPECT_EQ(0xEE, out[27 * r + 3 * 8]);
    }
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(35, b.yuv420ToBgr(src, srcSteps, out.data(), 27, {8, 3}));
    EXPECT_EQ(0xEE, out[27 * 2]);

    // Yuy2ToPlanar422 ignores an odd last pixel without a warning.
    const uint8_t yuy2[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t py[5], pu[2], pv[2];
    memset(py, 0xEE, 5);
    uint8_t* p422[3] = {py, pu, pv};
    const int32_t s422[3] = {5, 2, 2};
    EXPECT_EQ(0, b.yuy2ToPlanar422(yuy2, 12, p422, s422, {5, 1}));
    EXPECT_EQ((std::vector<uint8_t>{1, 3, 5, 7, 0xEE}), std::vector<uint8_t>(py, py + 5));
    EXPECT_EQ((std::vector<uint8_t>{2, 6, 4, 8}), (std::vector<uint8_t>{pu[0], pu[1], pv[0], pv[1]}));
  }
}

// Every (U, V) pair at a few lumas: the vector builds differ from the generic build where the
// lane formulas round differently, and nowhere else.
TEST(ColourConvert, YuvToRgbOverAllChromaPairsMatchesEachBuildsFormula) {
  const int32_t w = 256, h = 256;
  std::vector<uint8_t> ys(w * h), us(w * h), vs(w * h);
  for (const int luma : {0, 77, 128, 200, 255}) {
    for (int i = 0; i < w * h; ++i) ys[i] = static_cast<uint8_t>(luma), us[i] = i % 256, vs[i] = i / 256;
    // All three planes share one step, so give them one buffer.
    std::vector<uint8_t> planes(3 * w * h);
    std::copy(ys.begin(), ys.end(), planes.begin());
    std::copy(us.begin(), us.end(), planes.begin() + w * h);
    std::copy(vs.begin(), vs.end(), planes.begin() + 2 * w * h);
    const uint8_t* src[3] = {planes.data(), planes.data() + w * h, planes.data() + 2 * w * h};
    for (const ColourBuild& b : kBuilds) {
      std::vector<uint8_t> out(3 * w * h);
      ASSERT_EQ(0, b.yuvToRgb(src, w, out.data(), 3 * w, {w, h}));
      int greenDiffers = 0;
      for (int i = 0; i < w * h; ++i) {
        uint8_t want[3], generic[3];
        RefYuvToRgb(b.Vector(), luma, us[i], vs[i], want);
        RefYuvToRgb(false, luma, us[i], vs[i], generic);
        ASSERT_EQ(0, memcmp(want, &out[3 * i], 3)) << b.name << " u=" << int(us[i]) << " v=" << int(vs[i]);
        EXPECT_EQ(generic[0], out[3 * i]);
        greenDiffers += generic[1] != out[3 * i + 1];
      }
      if (b.Vector() && luma == 128) {
        EXPECT_GT(greenDiffers, w * h / 8) << b.name;
      }
      if (!b.Vector()) {
        EXPECT_EQ(0, greenDiffers);
      }
    }
  }
}

// ---- sizes 1..130 and misalignments, with guard bytes and fenced sources ----

std::vector<RoiSize> SweepSizes() {
  std::vector<RoiSize> sizes;
  for (int32_t w = 1; w <= 130; ++w)
    for (int32_t h : {1, 2, 3, 4})
      sizes.push_back({w, h});
  for (int32_t h = 5; h <= 130; ++h)
    for (int32_t w : {1, 2, 5, 16, 33})
      sizes.push_back({w, h});
  sizes.push_back({130, 130});
  return sizes;
}

constexpr int kMisalignments[] = {0, 1, 4, 8};

class ColourSweep : public ::testing::TestWithParam<int> {};

TEST_P(ColourSweep, YuvToRgb) {
  const ColourBuild& b = kBuilds[GetParam()];
  for (const RoiSize roi : SweepSizes()) {
    for (const int m : kMisalignments) {
      const int32_t srcStep = roi.width + (m & 3), dstStep = 3 * roi.width + m;
      const size_t planeBytes = size_t(srcStep) * (roi.height - 1) + roi.width;
      e3::PageFencedSource py(planeBytes, m), pu(planeBytes, m), pv(planeBytes, -1);
      e3::FillRandom(py.data(), planeBytes, roi.width * 131 + roi.height);
      e3::FillRandom(pu.data(), planeBytes, roi.width * 7 + m);
      e3::FillRandom(pv.data(), planeBytes, roi.height * 11 + m);
      const uint8_t* src[3] = {py.data(), pu.data(), pv.data()};
      e3::GuardedBuffer out(size_t(dstStep) * roi.height, m);
      ASSERT_EQ(0, b.yuvToRgb(src, srcStep, out.data(), dstStep, roi));
      for (int32_t r = 0; r < roi.height; ++r) {
        for (int32_t x = 0; x < roi.width; ++x) {
          const size_t at = size_t(r) * srcStep + x;
          uint8_t want[3];
          RefYuvToRgb(b.Vector(), py.data()[at], pu.data()[at], pv.data()[at], want);
          ASSERT_EQ(0, memcmp(want, out.data() + r * dstStep + 3 * x, 3))
              << roi.width << "x" << roi.height << " m" << m << " at " << x << "," << r;
        }
        for (int32_t g = 3 * roi.width; g < dstStep; ++g)
          ASSERT_EQ(0x5A, out.data()[r * dstStep + g]);
      }
      ASSERT_TRUE(out.GuardsIntact()) << roi.width << "x" << roi.height << " m" << m;
    }
  }
}

TEST_P(ColourSweep, Yuv420ToBgr) {
  const ColourBuild& b = kBuilds[GetParam()];
  for (const RoiSize roi : SweepSizes()) {
    if (roi.width < 2 || roi.height < 2) continue;
    for (const int m : kMisalignments) {
      const int32_t cw = roi.width / 2, ch = roi.height / 2;
      const int32_t steps[3] = {2 * cw + (m & 1), cw + (m & 4), cw};
      const size_t yBytes = size_t(steps[0]) * (2 * ch - 1) + 2 * cw;
      const size_t uBytes = size_t(steps[1]) * (ch - 1) + cw, vBytes = size_t(steps[2]) * (ch - 1) + cw;
      e3::PageFencedSource py(yBytes, -1), pu(uBytes, m), pv(vBytes, -1);
      e3::FillRandom(py.data(), yBytes, roi.width * 3 + roi.height);
      e3::FillRandom(pu.data(), uBytes, roi.width + 5 * m);
      e3::FillRandom(pv.data(), vBytes, roi.height + 9 * m);
      const uint8_t* src[3] = {py.data(), pu.data(), pv.data()};
      const int32_t dstStep = 3 * roi.width + m;
      e3::GuardedBuffer out(size_t(dstStep) * roi.height, m);
      const PrimitiveStatus want = (roi.width | roi.height) & 1 ? 35 : 0;
      ASSERT_EQ(want, b.yuv420ToBgr(src, steps, out.data(), dstStep, roi));
      for (int32_t r = 0; r < roi.height; ++r) {
        for (int32_t x = 0; x < roi.width; ++x) {
          const uint8_t* got = out.data() + r * dstStep + 3 * x;
          if (x >= 2 * cw || r >= 2 * ch) {
            ASSERT_TRUE(got[0] == 0x5A && got[1] == 0x5A && got[2] == 0x5A);
            continue;
          }
          uint8_t px[3];
          RefYuv420ToBgr(b.Vector(), py.data()[r * steps[0] + x], pu.data()[(r / 2) * steps[1] + x / 2],
                         pv.data()[(r / 2) * steps[2] + x / 2], px);
          ASSERT_EQ(0, memcmp(px, got, 3)) << roi.width << "x" << roi.height << " m" << m << " at " << x << "," << r;
        }
      }
      ASSERT_TRUE(out.GuardsIntact());
    }
  }
}

TEST_P(ColourSweep, RgbToYuv420) {
  const ColourBuild& b = kBuilds[GetParam()];
  for (const RoiSize roi : SweepSizes()) {
    for (const int m : kMisalignments) {
      const int32_t srcStep = 3 * roi.width + m;
      const size_t srcBytes = size_t(srcStep) * (roi.height - 1) + 3 * roi.width;
      e3::PageFencedSource src(srcBytes, m == 1 ? -1 : m);
      e3::FillRandom(src.data(), srcBytes, roi.width * 17 + roi.height * 3 + m);
      const int32_t cw = (roi.width + 1) / 2, ch = (roi.height + 1) / 2;
      const int32_t steps[3] = {roi.width + m, cw + 1, cw};
      e3::GuardedBuffer y(size_t(steps[0]) * roi.height, m), u(size_t(steps[1]) * ch, 0),
          v(size_t(steps[2]) * ch, m);
      uint8_t* planes[3] = {y.data(), u.data(), v.data()};
      const PrimitiveStatus want = (roi.width | roi.height) & 1 ? 35 : 0;
      ASSERT_EQ(want, b.rgbToYuv420(src.data(), srcStep, planes, steps, roi));
      for (int32_t r = 0; r < roi.height; ++r)
        for (int32_t x = 0; x < roi.width; ++x) {
          const bool done = x < roi.width / 2 * 2 && r < roi.height / 2 * 2;
          const uint8_t* p = src.data() + r * srcStep + 3 * x;
          ASSERT_EQ(done ? RefLuma(b.Vector(), p) : 0x5A, y.data()[r * steps[0] + x])
              << roi.width << "x" << roi.height << " m" << m << " at " << x << "," << r;
        }
      for (int32_t i = 0; i < ch; ++i)
        for (int32_t j = 0; j < cw; ++j) {
          uint8_t wu = 0x5A, wv = 0x5A;
          if (j < roi.width / 2 && i < roi.height / 2) {
            const uint8_t* s0 = src.data() + 2 * i * srcStep + 6 * j;
            const uint8_t* px[4] = {s0, s0 + 3, s0 + srcStep, s0 + srcStep + 3};
            RefChroma(b.Vector(), px, &wu, &wv);
          }
          ASSERT_EQ(wu, u.data()[i * steps[1] + j]) << roi.width << "x" << roi.height << " at " << j << "," << i;
          ASSERT_EQ(wv, v.data()[i * steps[2] + j]) << roi.width << "x" << roi.height << " at " << j << "," << i;
        }
      ASSERT_TRUE(y.GuardsIntact() && u.GuardsIntact() && v.GuardsIntact());
    }
  }
}

TEST_P(ColourSweep, Yuy2ToPlanar422MatchesTheGenericBuildExactly) {
  const ColourBuild& b = kBuilds[GetParam()];
  for (const RoiSize roi : SweepSizes()) {
    if (roi.width < 2) continue;
    for (const int m : kMisalignments) {
      const int32_t pairs = roi.width / 2;
      const int32_t srcStep = 2 * roi.width + 2 * m;
      const size_t srcBytes = size_t(srcStep) * (roi.height - 1) + 4 * pairs;
      e3::PageFencedSource src(srcBytes, m == 4 ? -1 : m);
      e3::FillRandom(src.data(), srcBytes, roi.width + 1000 * roi.height + m);
      const int32_t steps[3] = {2 * pairs + m, pairs, pairs + 3};
      std::vector<uint8_t> images[2][3];
      for (int which = 0; which < 2; ++which) {
        e3::GuardedBuffer y(size_t(steps[0]) * roi.height, m), u(size_t(steps[1]) * roi.height, 1),
            v(size_t(steps[2]) * roi.height, m);
        uint8_t* planes[3] = {y.data(), u.data(), v.data()};
        const auto fn = which ? b.yuy2ToPlanar422 : kvz::prim::generic::Yuy2ToPlanar422;
        ASSERT_EQ(0, fn(src.data(), srcStep, planes, steps, roi));
        ASSERT_TRUE(y.GuardsIntact() && u.GuardsIntact() && v.GuardsIntact());
        images[which][0].assign(y.data(), y.data() + y.size());
        images[which][1].assign(u.data(), u.data() + u.size());
        images[which][2].assign(v.data(), v.data() + v.size());
      }
      for (int p = 0; p < 3; ++p)
        ASSERT_EQ(images[0][p], images[1][p]) << roi.width << "x" << roi.height << " m" << m << " plane " << p;
      // Spot-check the generic rule itself on the last pair of the last row.
      const int32_t r = roi.height - 1, k = pairs - 1;
      const uint8_t* s = src.data() + size_t(r) * srcStep + 4 * k;
      ASSERT_EQ(s[0], images[0][0][r * steps[0] + 2 * k]);
      ASSERT_EQ(s[1], images[0][1][r * steps[1] + k]);
      ASSERT_EQ(s[2], images[0][0][r * steps[0] + 2 * k + 1]);
      ASSERT_EQ(s[3], images[0][2][r * steps[2] + k]);
    }
  }
}

// The aligned form of the YUY2 split (16-byte pointers and steps, width a multiple of 16).
TEST_P(ColourSweep, Yuy2ToPlanar422AlignedRegions) {
  const ColourBuild& b = kBuilds[GetParam()];
  // The last region's luma (2048 x 1100 bytes) is past every build's streaming threshold.
  const struct {
    int32_t w, h;
  } kRegions[] = {{16, 5}, {32, 5}, {48, 5}, {640, 5}, {2048, 1100}};
  for (const auto [w, h] : kRegions) {
    e3::GuardedBuffer src(size_t(2 * w + 32) * h, 0);
    e3::FillRandom(src.data(), src.size(), w);
    const int32_t steps[3] = {w + 16, w / 2, w / 2 + 1};
    e3::GuardedBuffer y(size_t(steps[0]) * h, 0), u(size_t(steps[1]) * h, 0), v(size_t(steps[2]) * h, 3);
    uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    ASSERT_EQ(0, b.yuy2ToPlanar422(src.data(), 2 * w + 32, planes, steps, {w, h}));
    for (int32_t r = 0; r < h; ++r)
      for (int32_t k = 0; k < w / 2; ++k) {
        const uint8_t* s = src.data() + r * (2 * w + 32) + 4 * k;
        ASSERT_EQ(s[0], y.data()[r * steps[0] + 2 * k]);
        ASSERT_EQ(s[1], u.data()[r * steps[1] + k]);
        ASSERT_EQ(s[2], y.data()[r * steps[0] + 2 * k + 1]);
        ASSERT_EQ(s[3], v.data()[r * steps[2] + k]);
      }
    ASSERT_TRUE(y.GuardsIntact() && u.GuardsIntact() && v.GuardsIntact());
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ColourSweep, ::testing::Range(0, int(std::size(kBuilds))),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(kBuilds[info.param].name);
                         });

}  // namespace
