// Up-sampling: worked rows, the argument checks, and every build against the generic one over
// random planes of every destination width 1-130, on exactly sized buffers (so a read past
// the padding the caller provides is caught by the address sanitizer) and odd destinations.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "primitives/jpeg/upsample.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

const decltype(&generic::SampleUpH2V1) kH2V1[] = KVZ_BUILDS_OF(SampleUpH2V1);
const decltype(&generic::SampleUpH2V2) kH2V2[] = KVZ_BUILDS_OF(SampleUpH2V2);

TEST(SampleUp, WorkedRowsInEveryBuild) {
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    const uint8_t row[] = {10, 10, 20, 30, 30};
    uint8_t d[6];
    ASSERT_EQ(kH2V1[b.slot](row + 1, 8, RoiSize{3, 1}, d, 8, RoiSize{6, 1}), 0);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 6), (std::vector<uint8_t>{10, 13, 17, 23, 27, 30})) << b.name;
    // Wd 5 never reads the right padding sample: the source ends before it.
    std::vector<uint8_t> tight(row, row + 4);
    ASSERT_EQ(kH2V1[b.slot](tight.data() + 1, 8, RoiSize{3, 1}, d, 8, RoiSize{5, 1}), 0);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 5), (std::vector<uint8_t>{10, 13, 17, 23, 27})) << b.name;
    const uint8_t edge[] = {0, 0, 255, 255};
    ASSERT_EQ(kH2V1[b.slot](edge + 1, 8, RoiSize{2, 1}, d, 8, RoiSize{4, 1}), 0);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 4), (std::vector<uint8_t>{0, 64, 191, 255})) << b.name;

    // Rows: far (above), near, and a row below the near one. Destination row 0 is even: its
    // far row is the one above.
    const uint8_t plane[3][4] = {{0, 0, 40, 40}, {10, 10, 20, 20}, {0, 0, 0, 0}};
    ASSERT_EQ(kH2V2[b.slot](&plane[1][1], 4, RoiSize{2, 1}, d, 8, RoiSize{4, 1}), 0);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 4), (std::vector<uint8_t>{8, 12, 21, 25})) << b.name;

    uint8_t untouched[4] = {1, 2, 3, 4};
    EXPECT_EQ(kH2V1[b.slot](row, 0, RoiSize{3, 1}, nullptr, 8, RoiSize{4, 1}), -14);
    EXPECT_EQ(kH2V2[b.slot](row, 8, RoiSize{3, 1}, untouched, 8, RoiSize{0, 1}), -6);
    EXPECT_EQ(kH2V2[b.slot](nullptr, 8, RoiSize{3, 1}, untouched, 8, RoiSize{4, 1}), -8);
    EXPECT_EQ(kH2V1[b.slot](row, 8, RoiSize{3, 0}, untouched, 8, RoiSize{4, 1}), -6);
    EXPECT_EQ(std::vector<uint8_t>(untouched, untouched + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  }
}

// Planes of 0 and 255 stay 0 and 255: no bias carries a sum out of range.
TEST(SampleUp, FlatPlanesStayFlat) {
  for (const test::JpegBuild& b : test::RunnableJpegBuilds())
    for (uint8_t v : {uint8_t{0}, uint8_t{255}}) {
      std::vector<uint8_t> src(6 * 40, v), dst(70 * 5, 0x55);
      ASSERT_EQ(kH2V2[b.slot](src.data() + 40 + 1, 40, RoiSize{35, 4}, dst.data(), 70, RoiSize{70, 5}), 0);
      for (uint8_t o : dst) ASSERT_EQ(o, v) << b.name;
    }
}

TEST(SampleUp, EveryBuildMatchesGenericAtEveryWidth) {
  std::mt19937 rng(4);
  for (int wd = 1; wd <= 130; ++wd) {
    for (int hd : {1, 2, 3}) {
      const int ws = (wd + 1) / 2, hs = (hd + 1) / 2;
      // Exactly the samples the primitives may read: a padding column on each side (the right
      // one only for an even width) and, for H2V2, a padding row above and below.
      const int step = ws + 1 + (wd % 2 == 0 ? 1 : 0);
      const int dstStep = wd + 3;
      for (int pass = 0; pass < 2; ++pass) {
        const auto up = pass == 0 ? kH2V1 : kH2V2;
        const int srcRows = pass == 0 ? hd : hs;
        const int rows = pass == 0 ? hd + 1 : hs + 1 + (hd % 2 == 0 ? 1 : 0);
        std::vector<uint8_t> src(static_cast<size_t>(step) * rows);
        for (uint8_t& v : src) v = static_cast<uint8_t>(rng());
        const uint8_t* origin = src.data() + step + 1;
        std::vector<uint8_t> want(static_cast<size_t>(dstStep) * hd + 1, 0x77);
        ASSERT_EQ(up[0](origin, step, RoiSize{ws, srcRows}, want.data(), dstStep, RoiSize{wd, hd}), 0);
        for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
          for (int offset : {0, 1}) {
            std::vector<uint8_t> got(static_cast<size_t>(dstStep) * hd + 1, 0x77);
            ASSERT_EQ(up[b.slot](origin, step, RoiSize{ws, srcRows}, got.data() + offset, dstStep, RoiSize{wd, hd}), 0);
            std::vector<uint8_t> shifted(want.size(), 0x77);
            std::copy(want.begin(), want.end() - 1, shifted.begin() + offset);
            if (offset == 0) shifted = want;
            ASSERT_EQ(got, shifted) << b.name << (pass ? " H2V2" : " H2V1") << " wd " << wd << " hd " << hd;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace kvz::prim
