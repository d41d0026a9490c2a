// Inverse colour conversion: worked pixels, the exhaustive count of chroma pairs where the
// 14-bit builds differ from the generic tables, and the non-generic builds against each other.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "primitives/jpeg/inverse_colour.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

using Convert3 = decltype(&generic::YCbCrToRgb);
const Convert3 kRgb[] = KVZ_BUILDS_OF(YCbCrToRgb);
const Convert3 kBgr[] = KVZ_BUILDS_OF(YCbCrToBgr);
const decltype(&generic::YcckToCmyk) kCmyk[] = KVZ_BUILDS_OF(YcckToCmyk);

// Converts one row of `width` pixels, every pixel (y, cb, cr, k); returns the packed row.
std::vector<uint8_t> Row(int slot, int kind, int width, uint8_t y, uint8_t cb, uint8_t cr, uint8_t k = 0) {
  std::vector<uint8_t> py(width, y), pcb(width, cb), pcr(width, cr), pk(width, k);
  const int bytes = kind == 2 ? 4 : 3;
  std::vector<uint8_t> out(static_cast<size_t>(width) * bytes);
  const uint8_t* planes[4] = {py.data(), pcb.data(), pcr.data(), pk.data()};
  const RoiSize roi{width, 1};
  const PrimitiveStatus st = kind == 0   ? kRgb[slot](planes, width, out.data(), width * bytes, roi)
                             : kind == 1 ? kBgr[slot](planes, width, out.data(), width * bytes, roi)
                                         : kCmyk[slot](planes, width, out.data(), width * bytes, roi);
  EXPECT_EQ(st, 0);
  return out;
}

TEST(InverseColour, WorkedPixels) {
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    const bool fixed = b.slot != 0;
    for (int width : {3, 4, 8, 13}) {
      EXPECT_EQ(Row(b.slot, 0, width, 128, 128, 128)[0], 128) << b.name;
      EXPECT_EQ(std::vector<uint8_t>(Row(b.slot, 2, width, 128, 128, 128, 7)), [&] {
        std::vector<uint8_t> v;
        for (int i = 0; i < width; ++i) v.insert(v.end(), {127, 127, 127, 7});
        return v;
      }()) << b.name;
      std::vector<uint8_t> black = Row(b.slot, 0, width, 0, 0, 0), white = Row(b.slot, 0, width, 255, 255, 255);
      for (int i = 0; i < width; ++i) {
        EXPECT_EQ(std::vector<uint8_t>(black.begin() + 3 * i, black.begin() + 3 * i + 3), (std::vector<uint8_t>{0, 135, 0}));
        EXPECT_EQ(std::vector<uint8_t>(white.begin() + 3 * i, white.begin() + 3 * i + 3),
                  (std::vector<uint8_t>{255, 121, 255}));
      }
    }
    // Width 5: pixels 0-3 by the build's own arithmetic, pixel 4 by the tables.
    const std::vector<uint8_t> red = Row(b.slot, 0, 5, 100, 128, 179);
    EXPECT_EQ(red[0], fixed ? 171 : 172) << b.name;
    EXPECT_EQ(red[1], 64);
    EXPECT_EQ(red[2], 100);
    EXPECT_EQ(red[12], 172) << b.name;
    EXPECT_EQ(Row(b.slot, 0, 3, 100, 128, 179)[0], 172) << "narrower than 4: tables, " << b.name;
    EXPECT_EQ(Row(b.slot, 0, 4, 100, 0, 231)[1], fixed ? 71 : 70) << b.name;
    const std::vector<uint8_t> rgb = Row(b.slot, 0, 9, 90, 30, 200), bgr = Row(b.slot, 1, 9, 90, 30, 200);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(rgb[3 * i], bgr[3 * i + 2]);
      EXPECT_EQ(rgb[3 * i + 1], bgr[3 * i + 1]);
      EXPECT_EQ(rgb[3 * i + 2], bgr[3 * i]);
    }

    const uint8_t p[4] = {};
    const uint8_t* noK[4] = {p, p, p, nullptr};
    uint8_t out[8];
    EXPECT_EQ(kCmyk[b.slot](noK, 0, out, 0, RoiSize{1, 1}), -8);
    EXPECT_EQ(kRgb[b.slot](noK, 0, out, 4, RoiSize{0, 1}), -14);
    EXPECT_EQ(kRgb[b.slot](noK, 4, out, 4, RoiSize{0, 1}), -6);
    EXPECT_EQ(kRgb[b.slot](nullptr, 4, out, 4, RoiSize{1, 1}), -8);
  }
}

// Over all 65536 chroma pairs (each converted at five luma values, so no offset hides behind
// the clamp at all of them), the channels where a 14-bit build differs from the tables.
TEST(InverseColour, DifferencesFromGenericAreExactlyTheKnownOnes) {
  std::vector<uint8_t> y(256 * 256), cb(256 * 256), cr(256 * 256), k(256 * 256, 9);
  for (int i = 0; i < 65536; ++i) cb[i] = static_cast<uint8_t>(i >> 8), cr[i] = static_cast<uint8_t>(i);
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    if (b.slot == 0) continue;
    for (int kind = 0; kind < 3; ++kind) {
      const int bytes = kind == 2 ? 4 : 3;
      std::set<int> red, green, blue;
      for (int luma : {0, 64, 128, 192, 255}) {
        std::fill(y.begin(), y.end(), static_cast<uint8_t>(luma));
        const uint8_t* planes[4] = {y.data(), cb.data(), cr.data(), k.data()};
        std::vector<uint8_t> want(65536 * bytes), got(65536 * bytes);
        const RoiSize roi{256, 256};
        for (int pass = 0; pass < 2; ++pass) {
          const int slot = pass == 0 ? 0 : b.slot;
          uint8_t* out = pass == 0 ? want.data() : got.data();
          if (kind == 0) kRgb[slot](planes, 256, out, 256 * bytes, roi);
          if (kind == 1) kBgr[slot](planes, 256, out, 256 * bytes, roi);
          if (kind == 2) kCmyk[slot](planes, 256, out, 256 * bytes, roi);
        }
        const int rIndex = kind == 1 ? 2 : 0, bIndex = kind == 1 ? 0 : 2;
        for (int i = 0; i < 65536; ++i) {
          for (int c = 0; c < 3; ++c) {
            const int d = got[i * bytes + c] - want[i * bytes + c];
            ASSERT_LE(std::abs(d), 1) << b.name;
            if (d == 0) continue;
            (c == rIndex ? red : c == bIndex ? blue : green).insert(i);
          }
          if (kind == 2) {
            ASSERT_EQ(got[i * 4 + 3], 9);
          }
        }
      }
      std::set<int> crOfRed, cbOfBlue;
      for (int i : red) crOfRed.insert(i & 255);
      for (int i : blue) cbOfBlue.insert(i >> 8);
      EXPECT_EQ(crOfRed, (std::set<int>{179})) << b.name << " kind " << kind;
      EXPECT_EQ(cbOfBlue, kind == 2 ? (std::set<int>{16, 38, 60, 95, 117, 152, 174, 209, 231, 253})
                                    : (std::set<int>{253}))
          << b.name << " kind " << kind;
      EXPECT_EQ(green.size(), kind == 2 ? 436u : 448u) << b.name << " kind " << kind;
      EXPECT_EQ(green.count((14 << 8) | 3), 1u) << b.name;
    }
  }
}

// The non-generic builds are one computation: identical bytes for random planes of every width
// 1-130, at odd plane and destination addresses.
TEST(InverseColour, NonGenericBuildsAgreeAtEveryWidth) {
  std::mt19937 rng(8);
  const auto builds = test::RunnableJpegBuilds();
  for (int width = 1; width <= 130; ++width) {
    const int step = width + 5, rows = 2;
    std::vector<uint8_t> planes(static_cast<size_t>(step) * rows * 4 + 1);
    for (uint8_t& v : planes) v = static_cast<uint8_t>(rng());
    const uint8_t* src[4];
    for (int p = 0; p < 4; ++p) src[p] = planes.data() + 1 + static_cast<size_t>(p) * step * rows;
    for (int kind = 0; kind < 3; ++kind) {
      const int bytes = kind == 2 ? 4 : 3, dstStep = width * bytes + 3;
      std::vector<uint8_t> first;
      for (const test::JpegBuild& b : builds) {
        if (b.slot == 0) continue;
        std::vector<uint8_t> out(static_cast<size_t>(dstStep) * rows + 1, 0xEE);
        uint8_t* d = out.data() + 1;
        const RoiSize roi{width, rows};
        if (kind == 0) {
          ASSERT_EQ(kRgb[b.slot](src, step, d, dstStep, roi), 0);
        }
        if (kind == 1) {
          ASSERT_EQ(kBgr[b.slot](src, step, d, dstStep, roi), 0);
        }
        if (kind == 2) {
          ASSERT_EQ(kCmyk[b.slot](src, step, d, dstStep, roi), 0);
        }
        EXPECT_EQ(out[dstStep - 2], 0xEE) << "row end, " << b.name;
        if (first.empty()) first = out;
        ASSERT_EQ(out, first) << b.name << " width " << width << " kind " << kind;
      }
    }
  }
}

}  // namespace
}  // namespace kvz::prim
