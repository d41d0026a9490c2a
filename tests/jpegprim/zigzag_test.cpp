// Zigzag order: the tables against a walk of the anti-diagonals, and the reorder in every build.
#include <gtest/gtest.h>

#include <cstdint>

#include "primitives/jpeg/zigzag.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

TEST(Zigzag, TablesFollowTheAntiDiagonals) {
  // Diagonal d = row + column, walked upwards (row falling) when d is even.
  int k = 0;
  for (int d = 0; d < 15; ++d) {
    for (int i = 0; i <= d; ++i) {
      int row = (d % 2 == 0) ? d - i : i;
      int col = d - row;
      if (row > 7 || col > 7) continue;
      EXPECT_EQ(kZigzagToNatural[k], row * 8 + col) << "position " << k;
      EXPECT_EQ(kNaturalToZigzag[row * 8 + col], k);
      ++k;
    }
  }
  EXPECT_EQ(k, 64);
  for (int g = 64; g < 72; ++g) EXPECT_EQ(kZigzagToNatural[g], 63);
}

TEST(Zigzag, EveryBuildReordersAndChecksPointers) {
  const decltype(&generic::ZigzagToNatural) builds[] = KVZ_BUILDS_OF(ZigzagToNatural);
  int16_t zigzag[64], natural[64];
  for (int i = 0; i < 64; ++i) zigzag[i] = static_cast<int16_t>(i * 3 - 90);
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    ASSERT_EQ(builds[b.slot](zigzag, natural), 0) << b.name;
    // Natural index 8 is zigzag position 2; 2 is position 5; 63 stays last.
    EXPECT_EQ(natural[0], zigzag[0]) << b.name;
    EXPECT_EQ(natural[8], zigzag[2]) << b.name;
    EXPECT_EQ(natural[2], zigzag[5]) << b.name;
    EXPECT_EQ(natural[63], zigzag[63]) << b.name;
    EXPECT_EQ(builds[b.slot](nullptr, natural), -8) << b.name;
    EXPECT_EQ(builds[b.slot](zigzag, nullptr), -8) << b.name;
  }
}

}  // namespace
}  // namespace kvz::prim
