// Dequantisation and inverse DCT: worked blocks, accuracy against a double-precision transform,
// and every build against the generic one bit for bit, extreme inputs included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/dispatch.h"
#include "primitives/jpeg/inverse_dct.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

const decltype(&generic::DequantizeInverseDct8x8) kBlockBuilds[] = KVZ_BUILDS_OF(DequantizeInverseDct8x8);
const decltype(&generic::InverseDct8x8Kernel) kKernelBuilds[] = KVZ_BUILDS_OF(InverseDct8x8Kernel);
const decltype(&generic::InitInverseQuantTable) kTableBuilds[] = KVZ_BUILDS_OF(InitInverseQuantTable);

// The two-dimensional inverse DCT of ITU-T T.81 A.3.3 in double precision, computed
// separably: basis[x][u] = C(u) cos((2x + 1) u pi / 16) / 2.
void ReferenceIdct(const int16_t* in, double* out) {
  static const auto basis = [] {
    std::vector<double> b(64);
    for (int x = 0; x < 8; ++x)
      for (int u = 0; u < 8; ++u) b[x * 8 + u] = (u == 0 ? std::sqrt(0.5) : 1.0) * std::cos((2 * x + 1) * u * M_PI / 16) / 2;
    return b;
  }();
  double rows[64];
  for (int v = 0; v < 8; ++v)
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int u = 0; u < 8; ++u) sum += basis[x * 8 + u] * in[v * 8 + u];
      rows[v * 8 + x] = sum;
    }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int v = 0; v < 8; ++v) sum += basis[y * 8 + v] * rows[v * 8 + x];
      out[y * 8 + x] = sum;
    }
}

TEST(DequantizeInverseDct8x8, WorkedBlocksInEveryBuild) {
  uint16_t ones[64];
  for (int i = 0; i < 64; ++i) ones[i] = 1;
  struct Case {
    const char* what;
    int index;
    int16_t value;
    const uint16_t* table;
    int expect[8];  // one row; every row is the same
  } cases[] = {
      {"all zero", 0, 0, ones, {128, 128, 128, 128, 128, 128, 128, 128}},
      {"DC 100", 0, 100, ones, {141, 141, 141, 141, 141, 141, 141, 141}},
      {"first AC 200", 1, 200, ones, {163, 157, 148, 135, 121, 108, 99, 93}},
      {"DC 2000 clamps to 255", 0, 2000, ones, {255, 255, 255, 255, 255, 255, 255, 255}},
      {"DC -2000 clamps to 0", 0, -2000, ones, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    for (const Case& c : cases) {
      int16_t coef[64] = {};
      coef[c.index] = c.value;
      uint8_t out[8 * 11];
      memset(out, 0xAA, sizeof out);
      ASSERT_EQ(kBlockBuilds[b.slot](coef, out, 11, c.table), 0);
      for (int r = 0; r < 8; ++r) {
        for (int x = 0; x < 8; ++x) EXPECT_EQ(out[r * 11 + x], c.expect[x]) << b.name << " " << c.what;
        if (r < 7) {
          for (int x = 8; x < 11; ++x) EXPECT_EQ(out[r * 11 + x], 0xAA) << "between rows, " << b.name;
        }
      }
    }
    // 1000 x 255 saturates to 32767 before the transform.
    int16_t big[64] = {32767}, sat[64] = {1000};
    uint16_t t[64];
    for (int i = 0; i < 64; ++i) t[i] = 255;
    uint8_t o1[64], o2[64];
    kBlockBuilds[b.slot](sat, o1, 8, t);
    kBlockBuilds[b.slot](big, o2, 8, ones);
    EXPECT_EQ(memcmp(o1, o2, 64), 0) << b.name;

    uint8_t untouched[64];
    memset(untouched, 0x5C, 64);
    int16_t coef[64] = {};
    EXPECT_EQ(kBlockBuilds[b.slot](coef, untouched, 0, nullptr), -14) << b.name;
    EXPECT_EQ(kBlockBuilds[b.slot](coef, untouched, 8, nullptr), -8) << b.name;
    EXPECT_EQ(kBlockBuilds[b.slot](nullptr, untouched, 0, ones), -8) << b.name;
    for (uint8_t v : untouched) ASSERT_EQ(v, 0x5C) << b.name;

    uint8_t raw[64];
    uint16_t table[64];
    for (int i = 0; i < 64; ++i) raw[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(kTableBuilds[b.slot](raw, table), 0);
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[1], 1);
    EXPECT_EQ(table[8], 2);
    EXPECT_EQ(table[2], 5);
    EXPECT_EQ(table[63], 63);
    EXPECT_EQ(kTableBuilds[b.slot](nullptr, table), -8);
  }
}

// Coefficient blocks shaped like dequantised photographs: large DC, AC falling with frequency.
void PhotoLikeBlock(std::mt19937& rng, int16_t* block) {
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) {
      const int limit = u + v == 0 ? 1024 : 1024 / (u + v + 1);
      const int keep = static_cast<int>(rng() % 3);
      block[v * 8 + u] = keep == 0 ? 0 : static_cast<int16_t>(static_cast<int>(rng() % (2 * limit + 1)) - limit);
    }
}

TEST(InverseDct8x8, WithinOneOfTheExactTransform) {
  std::mt19937 rng(5);
  int maxError = 0;
  long offByOne = 0, samples = 0;
  double sumError = 0;
  for (int n = 0; n < 20000; ++n) {
    int16_t block[64], out[64];
    PhotoLikeBlock(rng, block);
    double exact[64];
    ReferenceIdct(block, exact);
    generic::InverseDct8x8Kernel(block, out);
    for (int i = 0; i < 64; ++i) {
      const int err = out[i] - static_cast<int>(std::lround(exact[i]));
      maxError = std::max(maxError, std::abs(err));
      offByOne += err != 0;
      sumError += out[i] - exact[i];
      ++samples;
    }
  }
  std::printf("inverse DCT vs double: max |error| %d, %.4f%% of samples off by one, mean error %.5f\n",
              maxError, 100.0 * offByOne / samples, sumError / samples);
  EXPECT_LE(maxError, 1);
  EXPECT_LT(static_cast<double>(offByOne) / samples, 0.02);
  EXPECT_LT(std::fabs(sumError / samples), 0.01);
}

// Every build reproduces the generic arithmetic exactly: for ordinary blocks, and for any 16-bit
// coefficients and table entries, where products saturate and the 32-bit sums wrap.
TEST(DequantizeInverseDct8x8, EveryBuildMatchesGenericBitForBit) {
  std::mt19937 rng(9);
  std::vector<uint8_t> generic(8 * 40 + 64), other(8 * 40 + 64);
  alignas(16) int16_t coefStore[64 + 9];
  alignas(16) uint16_t tableStore[64 + 9];
  for (int n = 0; n < 6000; ++n) {
    const int mode = n % 5;
    int16_t* coef = coefStore + (n % 9);  // every 2-byte alignment inside 16 bytes
    uint16_t* table = tableStore + (n % 7);
    for (int i = 0; i < 64; ++i) {
      if (mode == 0) {
        coef[i] = static_cast<int16_t>(static_cast<int>(rng() % 121) - 60);
        table[i] = static_cast<uint16_t>(1 + rng() % 255);
      } else if (mode == 1) {
        coef[i] = static_cast<int16_t>(rng());
        table[i] = static_cast<uint16_t>(rng() % 256);
      } else {
        coef[i] = static_cast<int16_t>(rng());
        table[i] = static_cast<uint16_t>(rng());
      }
      // Sparse blocks: only the first row, or only the DC coefficient.
      if ((mode == 3 && i >= 8) || (mode == 4 && i >= 1)) coef[i] = 0;
    }
    const int step = 8 + static_cast<int>(rng() % 33);
    const int offset = static_cast<int>(rng() % 16);
    std::fill(generic.begin(), generic.end(), 0x33);
    ASSERT_EQ(generic::DequantizeInverseDct8x8(coef, generic.data() + offset, step, table), 0);
    int16_t kernelGeneric[64];
    generic::InverseDct8x8Kernel(coef, kernelGeneric);
    for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
      std::fill(other.begin(), other.end(), 0x33);
      ASSERT_EQ(kBlockBuilds[b.slot](coef, other.data() + offset, step, table), 0);
      ASSERT_EQ(generic, other) << b.name << " block " << n << " mode " << mode;
      int16_t kernel[64];
      kKernelBuilds[b.slot](coef, kernel);
      ASSERT_EQ(memcmp(kernel, kernelGeneric, sizeof kernel), 0) << b.name << " block " << n;
    }
  }
}

// Blocks whose non-zero coefficients lie in a corner take shorter exact paths in the vector
// builds (one column, the left half, the first row); each shape, with ordinary and extreme
// values, must still give the generic result.
TEST(DequantizeInverseDct8x8, SparseShapesMatchGenericBitForBit) {
  const struct Shape {
    int rows, columns;  // coefficients outside the top-left rows x columns are zero
  } shapes[] = {{8, 1}, {2, 1}, {8, 4}, {4, 4}, {1, 4}, {1, 8}, {8, 5}, {1, 2}};
  std::mt19937 rng(17);
  for (const Shape& shape : shapes) {
    for (int n = 0; n < 3000; ++n) {
      const bool extreme = n % 2 == 1;
      int16_t coef[64] = {};
      uint16_t table[64];
      if (!extreme) PhotoLikeBlock(rng, coef);
      for (int i = 0; i < 64; ++i) {
        if (extreme) coef[i] = static_cast<int16_t>(rng());
        if (i / 8 >= shape.rows || i % 8 >= shape.columns) coef[i] = 0;
        table[i] = static_cast<uint16_t>(extreme ? rng() : 1 + rng() % 8);
      }
      uint8_t generic[8 * 12], other[8 * 12];
      memset(generic, 0x33, sizeof generic);
      ASSERT_EQ(generic::DequantizeInverseDct8x8(coef, generic, 12, table), 0);
      int16_t kernelGeneric[64];
      generic::InverseDct8x8Kernel(coef, kernelGeneric);
      for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
        memset(other, 0x33, sizeof other);
        ASSERT_EQ(kBlockBuilds[b.slot](coef, other, 12, table), 0);
        ASSERT_EQ(memcmp(generic, other, sizeof other), 0)
            << b.name << " shape " << shape.rows << "x" << shape.columns << " block " << n;
        int16_t kernel[64];
        kKernelBuilds[b.slot](coef, kernel);
        ASSERT_EQ(memcmp(kernel, kernelGeneric, sizeof kernel), 0)
            << b.name << " shape " << shape.rows << "x" << shape.columns << " block " << n;
      }
    }
  }
}

}  // namespace
}  // namespace kvz::prim
