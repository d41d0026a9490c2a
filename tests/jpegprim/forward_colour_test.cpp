// Forward colour conversion: the worked colours, each build against the equations it must
// follow (generic: 16-bit table sums; vector: 15-bit on whole groups of 8, 14-bit on the rest,
// clamped), and the counts of colours on which the vector equations differ from the generic.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <random>
#include <vector>

#include "primitives/jpeg/forward_colour.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

using ToYcc = decltype(&generic::RgbToYCbCr);
using ToY = decltype(&generic::RgbToY);
using Cmyk = decltype(&generic::CmykToYcck);
const ToYcc kRgb[] = KVZ_BUILDS_OF(RgbToYCbCr);
const ToYcc kBgr[] = KVZ_BUILDS_OF(BgrToYCbCr);
const ToY kLuma[] = KVZ_BUILDS_OF(RgbToY);
const Cmyk kCmyk[] = KVZ_BUILDS_OF(CmykToYcck);

// The equations as written down, independent of the tables and vector code under test.
int Generic(int which, int r, int g, int b) {
  switch (which) {
    case 0: return (19595 * r + 38470 * g + 7471 * b + 32768) >> 16;
    case 1: return (-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16;
    default: return (32768 * r - 27439 * g - 5329 * b + 8421375) >> 16;
  }
}
int Clamp(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }
int Vector15(int which, int r, int g, int b) {
  switch (which) {
    case 0: return Clamp((9798 * r + 19235 * g + 3736 * b + 16266) >> 15);
    case 1: return Clamp((-5529 * r - 10855 * g + 16384 * b + 4210688) >> 15);
    default: return Clamp((16384 * r - 13720 * g - 2664 * b + 4210704) >> 15);
  }
}
int Vector14(int which, int r, int g, int b) {
  switch (which) {
    case 0: return Clamp((4899 * r + 9617 * g + 1868 * b + 8192) >> 14);
    case 1: return Clamp((-2764 * r - 5428 * g + 8192 * b + 2105344) >> 14);
    default: return Clamp((8192 * r - 6860 * g - 1332 * b + 2105344) >> 14);
  }
}

struct Converted {
  uint8_t y, cb, cr;
};
Converted ConvertOne(ToYcc f, const uint8_t px[3]) {
  uint8_t y, cb, cr;
  uint8_t* planes[3] = {&y, &cb, &cr};
  EXPECT_EQ(f(px, 3, planes, 1, {1, 1}), 0);
  return {y, cb, cr};
}

TEST(ForwardColour, WorkedColours) {
  struct Case {
    uint8_t r, g, b;
    Converted generic, vector;
  } cases[] = {
      {0, 0, 0, {0, 128, 128}, {0, 128, 128}},
      {255, 255, 255, {255, 128, 128}, {255, 128, 128}},
      {0, 0, 255, {29, 255, 107}, {29, 255, 107}},
      {255, 255, 0, {226, 0, 149}, {226, 1, 149}},  // yellow: vector chroma never below 1
  };
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    for (const Case& c : cases) {
      const Converted& want = b.isa == KVZ_ISA_GENERIC ? c.generic : c.vector;
      const uint8_t rgb[3] = {c.r, c.g, c.b}, bgr[3] = {c.b, c.g, c.r};
      for (const Converted& got : {ConvertOne(kRgb[b.slot], rgb), ConvertOne(kBgr[b.slot], bgr)}) {
        EXPECT_EQ(got.y, want.y) << b.name << " " << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(got.cb, want.cb) << b.name;
        EXPECT_EQ(got.cr, want.cr) << b.name;
      }
    }
    // No cyan, magenta or yellow ink is white whatever the black; K passes unchanged.
    const uint8_t cmyk[8] = {0, 0, 0, 0, 0, 0, 0, 201};
    uint8_t y[2], cb[2], cr[2], k[2];
    uint8_t* planes[4] = {y, cb, cr, k};
    ASSERT_EQ(kCmyk[b.slot](cmyk, 8, planes, 2, {2, 1}), 0);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(y[i], 255) << b.name;
      EXPECT_EQ(cb[i], 128) << b.name;
      EXPECT_EQ(cr[i], 128) << b.name;
    }
    EXPECT_EQ(k[0], 0);
    EXPECT_EQ(k[1], 201);
  }
}

TEST(ForwardColour, ArgumentChecksInOrder) {
  uint8_t px[8] = {}, p0[4], p1[4], p2[4], p3[4];
  uint8_t* three[3] = {p0, p1, nullptr};
  uint8_t* four[4] = {p0, p1, p2, p3};
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    EXPECT_EQ(kRgb[b.slot](px, 0, three, 0, {1, 1}), -8) << b.name;  // null plane before steps
    three[2] = p2;
    EXPECT_EQ(kRgb[b.slot](px, 0, three, 1, {0, 0}), -14) << b.name;  // step before size
    EXPECT_EQ(kBgr[b.slot](px, 3, three, 1, {0, 1}), -6) << b.name;
    EXPECT_EQ(kLuma[b.slot](nullptr, 3, p0, 1, {1, 1}), -8) << b.name;
    EXPECT_EQ(kLuma[b.slot](px, 3, p0, -1, {1, 1}), -14) << b.name;
    EXPECT_EQ(kCmyk[b.slot](px, 4, four, 1, {1, -1}), -6) << b.name;
    three[2] = nullptr;
  }
}

// Random rows of every width from 1 to 130 at odd source and plane offsets, with source steps
// larger than the row: each sample follows the equation its build and position call for, and
// nothing beyond a row is written.
TEST(ForwardColour, EveryBuildFollowsItsEquationsAtEveryWidth) {
  std::mt19937 rng(7);
  const int rows = 3, guard = 0xA5;
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    for (int width = 1; width <= 130; ++width) {
      const int offset = width % 4 == 1 ? 1 : width % 4 == 3 ? 3 : 0;
      const int srcStep = 4 * width + 5, dstStep = width + 3;
      std::vector<uint8_t> out[4];
      uint8_t* planes[4];
      for (int p = 0; p < 4; ++p) {
        out[p].assign(offset + dstStep * rows, guard);
        planes[p] = out[p].data() + offset;
      }
      const bool vector = b.isa != KVZ_ISA_GENERIC;
      const int whole = vector ? width / 8 * 8 : width;
      for (int kind = 0; kind < 4; ++kind) {
        // The source ends with the last pixel of the last row, so a read past a row is caught
        // by the address sanitizer.
        std::vector<uint8_t> src(offset + srcStep * (rows - 1) + (kind == 3 ? 4 : 3) * width);
        for (uint8_t& v : src) v = static_cast<uint8_t>(rng());
        const uint8_t* s = src.data() + offset;
        for (auto& o : out) o.assign(o.size(), guard);
        PrimitiveStatus st = kind == 0   ? kRgb[b.slot](s, srcStep, planes, dstStep, {width, rows})
                             : kind == 1 ? kBgr[b.slot](s, srcStep, planes, dstStep, {width, rows})
                             : kind == 2 ? kLuma[b.slot](s, srcStep, planes[0], dstStep, {width, rows})
                                         : kCmyk[b.slot](s, srcStep, planes, dstStep, {width, rows});
        ASSERT_EQ(st, 0);
        const int bpp = kind == 3 ? 4 : 3, components = kind == 2 ? 1 : 3;
        for (int row = 0; row < rows; ++row) {
          for (int x = 0; x < width; ++x) {
            const uint8_t* px = s + row * srcStep + x * bpp;
            int r = px[0], g = px[1], bl = px[2];
            if (kind == 1) std::swap(r, bl);
            if (kind == 3) r = 255 - r, g = 255 - g, bl = 255 - bl;
            for (int c = 0; c < components; ++c) {
              int want = !vector ? Generic(c, r, g, bl)
                         : (kind == 2 || (kind < 2 && x < whole)) ? Vector15(c, r, g, bl)
                                                                   : Vector14(c, r, g, bl);
              ASSERT_EQ(planes[c][row * dstStep + x], want)
                  << b.name << " kind " << kind << " width " << width << " x " << x << " c " << c;
            }
            if (kind == 3) {
              ASSERT_EQ(planes[3][row * dstStep + x], px[3]);
            }
          }
          for (int p = 0; p < (kind == 3 ? 4 : components); ++p)
            for (int x = width; x < dstStep; ++x) ASSERT_EQ(planes[p][row * dstStep + x], guard) << b.name;
        }
      }
    }
  }
}

// Over all 16,777,216 colours, how often each vector equation lands above or below the generic
// result, and never by more than one.
TEST(ForwardColour, VectorDifferencesOverEveryColour) {
  const std::vector<test::JpegBuild> builds = test::RunnableJpegBuilds();
  const test::JpegBuild& vec = builds.back();
  if (vec.isa == KVZ_ISA_GENERIC) GTEST_SKIP() << "no vector build runs here";
  const int w = 256, h = 256;
  std::vector<uint8_t> rgb(w * h * 3), cmyk(w * h * 4), gen[3], v15[3], v14[4];
  for (int p = 0; p < 3; ++p) {
    gen[p].resize(w * h);
    v15[p].resize(w * h);
  }
  for (int p = 0; p < 4; ++p) v14[p].resize(w * h);
  uint8_t* g3[3] = {gen[0].data(), gen[1].data(), gen[2].data()};
  uint8_t* f3[3] = {v15[0].data(), v15[1].data(), v15[2].data()};
  uint8_t* f4[4] = {v14[0].data(), v14[1].data(), v14[2].data(), v14[3].data()};
  long higher[2][3] = {}, lower[2][3] = {};
  for (int r = 0; r < 256; ++r) {
    for (int i = 0; i < w * h; ++i) {
      const uint8_t px[3] = {static_cast<uint8_t>(r), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
      for (int c = 0; c < 3; ++c) rgb[3 * i + c] = px[c], cmyk[4 * i + c] = static_cast<uint8_t>(255 - px[c]);
      cmyk[4 * i + 3] = 0;
    }
    ASSERT_EQ(kRgb[0](rgb.data(), 3 * w, g3, w, {w, h}), 0);
    ASSERT_EQ(kRgb[vec.slot](rgb.data(), 3 * w, f3, w, {w, h}), 0);  // width a multiple of 8
    ASSERT_EQ(kCmyk[vec.slot](cmyk.data(), 4 * w, f4, w, {w, h}), 0);
    for (int i = 0; i < w * h; ++i) {
      for (int c = 0; c < 3; ++c) {
        const int base = gen[c][i];
        const int got[2] = {v15[c][i], v14[c][i]};
        for (int e = 0; e < 2; ++e) {
          ASSERT_LE(std::abs(got[e] - base), 1);
          higher[e][c] += got[e] > base;
          lower[e][c] += got[e] < base;
        }
      }
    }
  }
  EXPECT_EQ(higher[0][0], 13335);
  EXPECT_EQ(lower[0][0], 8339);
  EXPECT_EQ(higher[0][1], 32767);
  EXPECT_EQ(lower[0][1], 0);
  EXPECT_EQ(higher[0][2], 51071);
  EXPECT_EQ(lower[0][2], 0);
  EXPECT_EQ(higher[1][0], 19756);
  EXPECT_EQ(lower[1][0], 19379);
  EXPECT_EQ(higher[1][1], 46335);
  EXPECT_EQ(lower[1][1], 13568);
  EXPECT_EQ(higher[1][2], 51071);
  EXPECT_EQ(lower[1][2], 18304);
}

}  // namespace
}  // namespace kvz::prim
