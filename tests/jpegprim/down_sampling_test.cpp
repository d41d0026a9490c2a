// Down-sampling: the worked rows, and every build against the averages its rules give (generic:
// ceil(length / 2) outputs, bias from output 0; vector: floor(length / 2) outputs, bias
// starting odd for lengths 4, 8 and 12) at every length from 1 to 130 and odd output addresses.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "primitives/jpeg/down_sampling.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

using H2V1 = decltype(&generic::SampleDownRowH2V1);
using H2V2 = decltype(&generic::SampleDownRowH2V2);
const H2V1 kH2V1[] = KVZ_BUILDS_OF(SampleDownRowH2V1);
const H2V2 kH2V2[] = KVZ_BUILDS_OF(SampleDownRowH2V2);

TEST(DownSampling, WorkedRows) {
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    const bool vector = b.isa != KVZ_ISA_GENERIC;
    // Length 1: the generic build pairs the sample with the one after it; vector builds write
    // nothing.
    uint8_t in[4] = {10, 13, 0, 0}, low[4] = {20, 22, 0, 0}, out[4] = {99, 99, 99, 99};
    ASSERT_EQ(kH2V1[b.slot](in, 1, out), 0);
    EXPECT_EQ(out[0], vector ? 99 : 11) << b.name;
    out[0] = 99;
    ASSERT_EQ(kH2V2[b.slot](in, low, 1, out), 0);
    EXPECT_EQ(out[0], vector ? 99 : 16) << b.name;  // (10 + 13 + 20 + 22 + 1) >> 2
    // Length 2: bias 0 and 1 in every build.
    ASSERT_EQ(kH2V1[b.slot](in, 2, out), 0);
    EXPECT_EQ(out[0], 11) << b.name;
    ASSERT_EQ(kH2V2[b.slot](in, low, 2, out), 0);
    EXPECT_EQ(out[0], 16) << b.name;
    // 1, 2, 1, 2: generic 1, 2; vector 2, 1.
    const uint8_t ones[4] = {1, 2, 1, 2};
    ASSERT_EQ(kH2V1[b.slot](ones, 4, out), 0);
    EXPECT_EQ(out[0], vector ? 2 : 1) << b.name;
    EXPECT_EQ(out[1], vector ? 1 : 2) << b.name;
    // Length 32 of 1, 2 pairs alternates 1, 2 in every build.
    uint8_t row[32], half[16];
    for (int i = 0; i < 32; ++i) row[i] = static_cast<uint8_t>(1 + i % 2);
    ASSERT_EQ(kH2V1[b.slot](row, 32, half), 0);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(half[k], 1 + k % 2) << b.name << " k " << k;
    // Checks: null before length.
    EXPECT_EQ(kH2V1[b.slot](nullptr, 0, out), -8);
    EXPECT_EQ(kH2V2[b.slot](in, nullptr, 2, out), -8);
    EXPECT_EQ(kH2V2[b.slot](in, low, 0, out), -6);
    EXPECT_EQ(kH2V1[b.slot](in, -2, out), -6);
  }
}

TEST(DownSampling, EveryBuildAtEveryLengthAndAlignment) {
  std::mt19937 rng(11);
  const uint8_t guard = 0x5A;
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    const bool vector = b.isa != KVZ_ISA_GENERIC;
    for (int length = 1; length <= 130; ++length) {
      for (int offset : {0, 1, 7, 15}) {
        // Only the generic build may read the sample after an odd length.
        const int readable = vector ? length : length + 1;
        std::vector<uint8_t> top(readable), bottom(readable), out(offset + length + 16, guard);
        for (int i = 0; i < readable; ++i) top[i] = static_cast<uint8_t>(rng()), bottom[i] = static_cast<uint8_t>(rng());
        const int outputs = vector ? length / 2 : (length + 1) / 2;
        const int phase = vector && (length == 4 || length == 8 || length == 12) ? 1 : 0;
        for (int v2 = 0; v2 < 2; ++v2) {
          std::fill(out.begin(), out.end(), guard);
          uint8_t* dst = out.data() + offset;
          ASSERT_EQ(v2 ? kH2V2[b.slot](top.data(), bottom.data(), length, dst) : kH2V1[b.slot](top.data(), length, dst), 0);
          for (int k = 0; k < outputs; ++k) {
            int sum = top[2 * k] + top[2 * k + 1] + (v2 ? bottom[2 * k] + bottom[2 * k + 1] : 0);
            int bias = (v2 ? 1 : 0) + ((k + phase) & 1);
            ASSERT_EQ(dst[k], (sum + bias) >> (v2 ? 2 : 1))
                << b.name << (v2 ? " H2V2" : " H2V1") << " length " << length << " offset " << offset << " k " << k;
          }
          for (int i = 0; i < offset; ++i) ASSERT_EQ(out[i], guard);
          for (size_t i = offset + outputs; i < out.size(); ++i) ASSERT_EQ(out[i], guard) << b.name << " length " << length;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kvz::prim
