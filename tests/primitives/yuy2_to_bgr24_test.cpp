// YUY2 to 24-bit BGR in every processor build: the video-range formula over every chroma pair,
// byte-exact agreement with the generic build at every small width, alignment and step sign,
// reads confined to the source, and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "primitives/colour_convert.h"
#include "primitives/path_counts.h"
#include "support/e3_image.h"

namespace {

using kvz::prim::PrimitiveStatus;
using kvz::prim::RoiSize;

struct Yuy2Build {
  const char* name;
  decltype(&kvz::prim::generic::Yuy2ToBgr24) convert;
  const uint32_t* counts;
  uint32_t vectorCount() const { return counts[kvz::prim::kPathColour]; }
};
#define E3_YUY2_BUILD(ns) Yuy2Build{#ns, &kvz::prim::ns::Yuy2ToBgr24, kvz::prim::ns::PathCounts},
const Yuy2Build kBuilds[] = {KVZ_FOR_EACH_BUILD(E3_YUY2_BUILD)};
#undef E3_YUY2_BUILD

uint8_t Clamp(int32_t x) { return static_cast<uint8_t>(std::min(255, std::max(0, x))); }

// B, G, R of one pixel in 32-bit arithmetic.
void Reference(int y, int u, int v, uint8_t* out) {
  const int c = y - 16, d = u - 128, e = v - 128;
  out[0] = Clamp((298 * c + 516 * d + 128) >> 8);
  out[1] = Clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
  out[2] = Clamp((298 * c + 409 * e + 128) >> 8);
}

TEST(Yuy2ToBgr24, EveryBuildGivesTheFormulaForEveryChromaPair) {
  // Pair k of row r carries U = k, V = r mod 256; four bands of rows give each pair eight lumas.
  constexpr int kPairs = 256, kRows = 4 * 256, kWidth = 2 * kPairs;
  std::vector<uint8_t> src(static_cast<size_t>(kWidth) * 2 * kRows);
  for (int r = 0; r < kRows; ++r) {
    const int v = r & 255, band = r >> 8;
    for (int k = 0; k < kPairs; ++k) {
      uint8_t* p = &src[(static_cast<size_t>(r) * kPairs + k) * 4];
      p[0] = static_cast<uint8_t>(k + 64 * band + v);
      p[1] = static_cast<uint8_t>(k);
      p[2] = static_cast<uint8_t>(p[0] + 128 + 3 * band);
      p[3] = static_cast<uint8_t>(v);
    }
  }
  for (const Yuy2Build& b : kBuilds) {
    std::vector<uint8_t> out(static_cast<size_t>(kWidth) * 3 * kRows);
    ASSERT_EQ(0, b.convert(src.data(), 2 * kWidth, out.data(), 3 * kWidth, {kWidth, kRows}));
    int wrong = 0;
    for (size_t px = 0; px < out.size() / 3 && wrong < 5; ++px) {
      const uint8_t* pair = &src[px / 2 * 4];
      uint8_t want[3];
      Reference(pair[(px & 1) * 2], pair[1], pair[3], want);
      for (int ch = 0; ch < 3; ++ch) {
        if (out[3 * px + ch] == want[ch]) continue;
        ADD_FAILURE() << b.name << " pixel " << px << " channel " << ch << " Y " << int(pair[(px & 1) * 2]) << " U "
                      << int(pair[1]) << " V " << int(pair[3]) << ": " << int(out[3 * px + ch]) << " not "
                      << int(want[ch]);
        ++wrong;
      }
    }
  }
}

TEST(Yuy2ToBgr24, OddLastPixelTakesThePreviousPairsRedDifference) {
  // Width 3: the third pixel has its own Y and U but no V byte of its own.
  const uint8_t src[6] = {100, 200, 110, 30, 120, 60};
  const uint8_t alone[2] = {120, 60};
  for (const Yuy2Build& b : kBuilds) {
    uint8_t out[9], want[3];
    ASSERT_EQ(0, b.convert(src, 6, out, 9, {3, 1}));
    Reference(120, 60, 30, want);
    EXPECT_TRUE(std::equal(want, want + 3, out + 6)) << b.name;
    ASSERT_EQ(0, b.convert(alone, 2, out, 3, {1, 1}));
    Reference(120, 60, 128, want);
    EXPECT_TRUE(std::equal(want, want + 3, out)) << b.name;
  }
}

TEST(Yuy2ToBgr24, EveryBuildMatchesGenericAtEveryWidthAlignmentAndStepSign) {
  struct Shape {
    size_t srcMis, dstMis;
    int32_t dstPad;
    bool bottomUp;
  };
  const Shape shapes[] = {{0, 0, 0, false}, {1, 3, 0, true}, {2, 15, 5, false}, {3, 7, 1, true}, {0, 1, 0, true}};
  constexpr int32_t kHeight = 3;
  for (int32_t w = 1; w <= 130; ++w) {
    for (const Shape& sh : shapes) {
      const int32_t srcStep = 2 * w, dstStep = 3 * w + sh.dstPad;
      const size_t srcBytes = static_cast<size_t>(srcStep) * kHeight;
      const size_t dstBytes = static_cast<size_t>(dstStep) * (kHeight - 1) + 3 * static_cast<size_t>(w);
      // Rows end exactly at an inaccessible page: no build reads past the last source byte.
      e3::PageFencedSource src(srcBytes, static_cast<int>(sh.srcMis));
      e3::FillRandom(src.data(), srcBytes, static_cast<uint32_t>(w * 31 + sh.srcMis));
      std::vector<uint8_t> want;
      for (const Yuy2Build& b : kBuilds) {
        e3::GuardedBuffer dst(dstBytes, sh.dstMis);
        uint8_t* first = sh.bottomUp ? dst.data() + static_cast<size_t>(dstStep) * (kHeight - 1) : dst.data();
        ASSERT_EQ(0, b.convert(src.data(), srcStep, first, sh.bottomUp ? -dstStep : dstStep, {w, kHeight}));
        ASSERT_TRUE(dst.GuardsIntact()) << b.name << " width " << w;
        std::vector<uint8_t> got(dst.data(), dst.data() + dstBytes);
        if (want.empty()) want = got;
        ASSERT_EQ(want, got) << b.name << " width " << w << " misalign " << sh.srcMis << "/" << sh.dstMis
                             << (sh.bottomUp ? " bottom-up" : "");
      }
    }
  }
}

TEST(Yuy2ToBgr24, ArgumentChecksWriteNothing) {
  struct Case {
    const char* what;
    bool nullSrc, nullDst;
    RoiSize roi;
    PrimitiveStatus want;
  };
  const Case cases[] = {
      {"null source", true, false, {2, 1}, -8},       {"null destination", false, true, {2, 1}, -8},
      {"null beats size", true, false, {0, 0}, -8},   {"zero width", false, false, {0, 1}, -6},
      {"negative height", false, false, {2, -1}, -6},
  };
  const uint8_t src[8] = {16, 128, 235, 128, 16, 128, 235, 128};
  for (const Yuy2Build& b : kBuilds) {
    for (const Case& c : cases) {
      e3::GuardedBuffer dst(12, 0);
      EXPECT_EQ(c.want, b.convert(c.nullSrc ? nullptr : src, 8, c.nullDst ? nullptr : dst.data(), 12, c.roi))
          << b.name << " " << c.what;
      EXPECT_TRUE(std::all_of(dst.data(), dst.data() + 12, [](uint8_t v) { return v == 0x5A; })) << c.what;
    }
  }
}

TEST(Yuy2ToBgr24, VectorBuildsRunTheirVectorPath) {
  const uint8_t src[64] = {};
  uint8_t out[96];
  for (const Yuy2Build& b : kBuilds) {
    const uint32_t before = b.vectorCount();
    ASSERT_EQ(0, b.convert(src, 64, out, 96, {32, 1}));
    if (e3::IsVectorBuild(b.name)) EXPECT_GT(b.vectorCount(), before) << b.name;
    else EXPECT_EQ(before, b.vectorCount()) << b.name;
  }
}

}  // namespace
