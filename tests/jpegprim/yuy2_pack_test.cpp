// YUY2 row packing: every build against the per-pixel definition (Y of each pixel, Cb after an
// even pixel's Y, Cr after an odd one's) for every width 1-40, odd ones included, on exactly sized
// sample rows and a destination whose bytes past 2 x width must stay untouched.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "primitives/jpeg/yuy2_pack.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

const decltype(&generic::PackYuy2Row) kPack[] = KVZ_BUILDS_OF(PackYuy2Row);

TEST(PackYuy2Row, EveryWidthInEveryBuildIsTheDefinition) {
  std::mt19937 random(7);
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    for (int32_t width = 1; width <= 40; ++width) {
      std::vector<uint8_t> luma(width), cb((width + 1) / 2), cr((width + 1) / 2);
      for (auto* plane : {&luma, &cb, &cr})
        for (uint8_t& v : *plane) v = static_cast<uint8_t>(random());
      std::vector<uint8_t> expected(width * 2 + 4, 0xEE);
      for (int32_t x = 0; x < width; ++x) {
        expected[2 * x] = luma[x];
        expected[2 * x + 1] = (x & 1) ? cr[x / 2] : cb[x / 2];
      }
      std::vector<uint8_t> out(width * 2 + 4, 0xEE);
      kPack[b.slot](luma.data(), cb.data(), cr.data(), width, out.data());
      EXPECT_EQ(expected, out) << b.name << " width " << width;
    }
  }
}

}  // namespace
}  // namespace kvz::prim
