// Forward DCT and quantisation: the worked blocks, the transform against the double-precision
// DCT of T.81 A.3.3, every build equal to the generic one, and the quantisation tables.
#include <gtest/gtest.h>


#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/jpeg/forward_dct.h"
#include "primitives/jpeg/forward_quant_table.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

using Fdct = decltype(&generic::ForwardDctQuantize8x8);
using Scale = decltype(&generic::ScaleQuantTable);
using InitTable = decltype(&generic::InitForwardQuantTable);
const Fdct kFdct[] = KVZ_BUILDS_OF(ForwardDctQuantize8x8);
const Scale kScale[] = KVZ_BUILDS_OF(ScaleQuantTable);
const InitTable kInit[] = KVZ_BUILDS_OF(InitForwardQuantTable);

std::vector<uint16_t> Table(uint16_t r) { return std::vector<uint16_t>(64, r); }

// C(u) cos((2x + 1) u pi / 16) / 2, so that F(u, v) = sum of basis[u][x] basis[v][y] f(x, y).
struct Basis {
  double at[8][8];
  Basis() {
    const double pi = 3.14159265358979323846;
    for (int u = 0; u < 8; ++u)
      for (int x = 0; x < 8; ++x) at[u][x] = 0.5 * (u ? 1 : M_SQRT1_2) * std::cos((2 * x + 1) * u * pi / 16);
  }
};

double ReferenceDct(const uint8_t* px, int step, int u, int v) {
  static const Basis basis;
  double sum = 0;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) sum += (px[y * step + x] - 128.0) * basis.at[u][x] * basis.at[v][y];
  return sum;
}

TEST(ForwardDct, FlatBlocksAndTiesToEven) {
  struct Case {
    uint8_t pixel;
    uint16_t reciprocal;
    int16_t dc;
  } cases[] = {
      {255, 32768, 1016}, {0, 32768, -1024}, {128, 32768, 0},
      {129, 6144, 2},   // 8 x 6144 / 32768 = 1.5
      {129, 10240, 2},  // 2.5
      {127, 6144, -2},  // -1.5
      {0, 0xFFFF, -2048},  // a zero divisor's reciprocal doubles
  };
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    for (const Case& c : cases) {
      std::vector<uint8_t> px(8 * 8, c.pixel);
      int16_t block[64];
      ASSERT_EQ(kFdct[b.slot](px.data(), 8, block, Table(c.reciprocal).data()), 0);
      EXPECT_EQ(block[0], c.dc) << b.name << " pixel " << int(c.pixel) << " r " << c.reciprocal;
      for (int i = 1; i < 64; ++i) ASSERT_EQ(block[i], 0) << b.name;
    }
    int16_t untouched[64] = {7};
    uint8_t px[64] = {};
    EXPECT_EQ(kFdct[b.slot](px, 0, untouched, nullptr), -14) << b.name;
    EXPECT_EQ(untouched[0], 7);
    EXPECT_EQ(kFdct[b.slot](px, 8, untouched, nullptr), -8) << b.name;
    EXPECT_EQ(kFdct[b.slot](nullptr, 0, untouched, nullptr), -8) << b.name;
  }
}

// Random, extreme (0/255 patterns) and smooth blocks: with every reciprocal 32768 the output is
// the transform itself, which stays within one unit of the exact DCT; and every build gives the
// generic coefficients, also with random tables, at odd source addresses.
TEST(ForwardDct, MatchesTheExactTransformAndEveryBuildMatchesGeneric) {
  std::mt19937 rng(5);
  const int step = 13;
  std::vector<uint8_t> buffer(3 + 8 * step);
  uint8_t* px = buffer.data() + 3;
  double worst = 0;
  const std::vector<test::JpegBuild> builds = test::RunnableJpegBuilds();
  for (int trial = 0; trial < 4000; ++trial) {
    const int kind = trial % 4;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x)
        px[y * step + x] = kind == 0 ? static_cast<uint8_t>(rng())
                           : kind == 1 ? ((rng() & 1) ? 255 : 0)
                           : kind == 2 ? static_cast<uint8_t>(128 + 100 * std::sin(x * 0.3 + y * 0.2 + trial))
                                       : (((x ^ y ^ (trial >> 2)) & 1) ? 255 : 0);
    std::vector<uint16_t> table = Table(32768);
    // Reciprocals that are multiples of 2^13 make ties (a product's low 15 bits exactly 2^14)
    // common, on either side of 2^15.
    const uint16_t tieProne[] = {0x2000, 0x4000, 0x6000, 0x8000, 0xA000, 0xC000, 0xE000};
    if (trial % 2)
      for (uint16_t& r : table)
        r = static_cast<uint16_t>(rng() % 3 == 0 ? 0xFFFF : rng() % 2 ? tieProne[rng() % 7] : rng());
    int16_t want[64];
    ASSERT_EQ(kFdct[0](px, step, want, table.data()), 0);
    if (trial % 2 == 0) {
      for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) worst = std::max(worst, std::fabs(want[8 * v + u] - ReferenceDct(px, step, u, v)));
    }
    for (const test::JpegBuild& b : builds) {
      int16_t got[64];
      ASSERT_EQ(kFdct[b.slot](px, step, got, table.data()), 0);
      for (int i = 0; i < 64; ++i) ASSERT_EQ(got[i], want[i]) << b.name << " trial " << trial << " index " << i;
    }
  }
  std::printf("largest difference from the exact DCT: %.4f\n", worst);
  EXPECT_LT(worst, 1.0);
}

// Column differences at the edge of where the vector transform's odd part fits 16 bits: rows
// 0 and 7 (or 3 and 4) whose sums differ by 361 to 364 make the DC column's difference 8 times
// that, around 2896 either way.
TEST(ForwardDct, ColumnDifferencesAroundTheSixteenBitEdgeMatchGeneric) {
  const std::vector<uint16_t> table = Table(32768);
  for (const int pair : {0, 3}) {
    for (const int delta : {361, 362, 363, 364, -361, -362, -363, -364}) {
      uint8_t px[64];
      std::fill(px, px + 64, 128);
      // Spread the difference over the first row of the pair; the other keeps 128.
      const int per = delta / 8, rest = delta % 8;
      for (int x = 0; x < 8; ++x) px[8 * pair + x] = static_cast<uint8_t>(128 + per + (x < std::abs(rest) ? (delta < 0 ? -1 : 1) : 0));
      int16_t want[64];
      ASSERT_EQ(kFdct[0](px, 8, want, table.data()), 0);
      for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
        int16_t got[64];
        ASSERT_EQ(kFdct[b.slot](px, 8, got, table.data()), 0);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(got[i], want[i]) << b.name << " rows " << pair << " delta " << delta << " index " << i;
      }
    }
  }
}

// Column differences where the vector column pass changes form: the top row of each mirrored
// pair (0/7, 1/6, 2/5, 3/4) sums 148 to 151 above or below the flat bottom one, so the DC
// column's differences are 8 times that (1184 to 1208) in every sign combination; at 1200 with
// three of them alike the odd part's partial sums just leave 16 bits.
TEST(ForwardDct, ColumnDifferencesAroundTheNarrowLimitMatchGeneric) {
  const std::vector<uint16_t> table = Table(32768);
  const std::vector<test::JpegBuild> builds = test::RunnableJpegBuilds();
  for (int delta = 148; delta <= 151; ++delta) {
    for (int signs = 0; signs < 16; ++signs) {
      uint8_t px[64];
      std::fill(px, px + 64, 128);
      for (int pair = 0; pair < 4; ++pair) {
        const int sign = (signs >> pair) & 1 ? -1 : 1;
        for (int x = 0; x < 8; ++x) px[8 * pair + x] = static_cast<uint8_t>(128 + sign * (delta / 8 + (x < delta % 8)));
      }
      int16_t want[64];
      ASSERT_EQ(kFdct[0](px, 8, want, table.data()), 0);
      for (const test::JpegBuild& b : builds) {
        int16_t got[64];
        ASSERT_EQ(kFdct[b.slot](px, 8, got, table.data()), 0);
        ASSERT_EQ(std::memcmp(got, want, sizeof got), 0) << b.name << " delta " << delta << " signs " << signs;
      }
    }
  }
}

// Uniform blocks of every value, and blocks that differ from uniform in one pixel at each
// position, under random tables: every build gives the generic coefficients.
TEST(ForwardDct, UniformAndNearlyUniformBlocksMatchGeneric) {
  std::mt19937 rng(17);
  const std::vector<test::JpegBuild> builds = test::RunnableJpegBuilds();
  for (int value = 0; value < 256; ++value) {
    std::vector<uint16_t> table(64);
    for (uint16_t& r : table) r = static_cast<uint16_t>(rng());
    for (int odd = -1; odd < 64; ++odd) {
      uint8_t px[64];
      std::fill(px, px + 64, static_cast<uint8_t>(value));
      if (odd >= 0) px[odd] = static_cast<uint8_t>(value ^ (1 << (odd % 8)));
      int16_t want[64];
      ASSERT_EQ(kFdct[0](px, 8, want, table.data()), 0);
      for (const test::JpegBuild& b : builds) {
        int16_t got[64];
        ASSERT_EQ(kFdct[b.slot](px, 8, got, table.data()), 0);
        ASSERT_EQ(std::memcmp(got, want, sizeof got), 0) << b.name << " value " << value << " odd pixel " << odd;
      }
    }
  }
}

TEST(ForwardQuantTable, ScaleAndReciprocals) {
  const uint8_t luminance[8] = {16, 11, 12, 14, 12, 10, 16, 14};
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    struct Case {
      int quality;
      uint8_t want[8];
    } cases[] = {{50, {16, 11, 12, 14, 12, 10, 16, 14}},
                 {95, {2, 1, 1, 1, 1, 1, 2, 1}},
                 {100, {1, 1, 1, 1, 1, 1, 1, 1}},
                 {1, {255, 255, 255, 255, 255, 255, 255, 255}},
                 {10, {80, 55, 60, 70, 60, 50, 80, 70}}};
    for (const Case& c : cases) {
      uint8_t t[64] = {};
      std::copy(luminance, luminance + 8, t);
      ASSERT_EQ(kScale[b.slot](t, c.quality), 0);
      for (int i = 0; i < 8; ++i) EXPECT_EQ(t[i], c.want[i]) << b.name << " quality " << c.quality << " i " << i;
      EXPECT_EQ(t[8], 1) << b.name;  // 0 scaled is raised to 1
    }
    EXPECT_EQ(kScale[b.slot](nullptr, 50), -8);

    // Raw entry k (zigzag) = k + 1: natural index n gets 32768 / (zigzag position of n + 1),
    // rounded; a raw 0 gives 0xFFFF and the warning.
    uint8_t raw[64];
    for (int k = 0; k < 64; ++k) raw[k] = static_cast<uint8_t>(k + 1);
    uint16_t table[64];
    ASSERT_EQ(kInit[b.slot](raw, table), 0);
    EXPECT_EQ(table[0], 32768) << b.name;
    EXPECT_EQ(table[1], 16384) << b.name;
    EXPECT_EQ(table[8], 10923) << b.name;  // position 2: 32768 / 3
    EXPECT_EQ(table[2], 5461) << b.name;   // position 5: 32768 / 6
    EXPECT_EQ(table[63], 512) << b.name;
    raw[5] = 0;
    EXPECT_EQ(kInit[b.slot](raw, table), 6) << b.name;
    EXPECT_EQ(table[2], 0xFFFF) << b.name;
    EXPECT_EQ(kInit[b.slot](nullptr, table), -8);
    EXPECT_EQ(kInit[b.slot](raw, nullptr), -8);
  }
}

}  // namespace
}  // namespace kvz::prim
