// The 16-bit products in every build: against an independent 64-bit reference, against the
// generic build at every size and alignment, and through each build's own vector path.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/e1_arithmetic_builds.h"

namespace kvz::prim {
namespace {

using test::ArithmeticBuild;

int64_t Sat(int64_t v) { return v > 32767 ? 32767 : v < -32768 ? -32768 : v; }

// a * b / 2^scale rounded half to even, in 64-bit arithmetic.
int16_t Reference(uint16_t a, int16_t b, int scale) {
  const int64_t p = static_cast<int64_t>(a) * b;
  int64_t v;
  if (scale >= 32) {
    v = 0;
  } else if (scale >= 0) {
    const int64_t d = int64_t{1} << scale;
    int64_t q = p >> scale;  // floor
    const int64_t r = p - q * d;
    if (2 * r > d || (2 * r == d && (q & 1))) ++q;
    v = q;
  } else if (scale >= -14) {
    v = Sat(p) * (int64_t{1} << -scale);
  } else {
    v = p == 0 ? 0 : b > 0 ? 32767 : -32768;
  }
  return static_cast<int16_t>(Sat(v));
}

struct Vectors {
  std::vector<uint16_t> a;
  std::vector<int16_t> b;
};

Vectors RandomVectors(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  const uint16_t specialsA[] = {0, 1, 2, 0x7FFF, 0x8000, 0xFFFF, 16384, 3};
  const int16_t specialsB[] = {0, 1, -1, 3, -3, 32767, -32768, 100};
  Vectors v{std::vector<uint16_t>(n), std::vector<int16_t>(n)};
  for (size_t i = 0; i < n; ++i) {
    v.a[i] = (rng() & 3) == 0 ? specialsA[rng() % 8] : static_cast<uint16_t>(rng());
    v.b[i] = (rng() & 3) == 0 ? specialsB[rng() % 8] : static_cast<int16_t>(rng());
  }
  return v;
}

// A destination placed at a byte offset inside guard bytes.
class GuardedWords {
 public:
  GuardedWords(size_t count, int offset) : count_(count), offset_(offset), bytes_(count * 2 + 96, 0xA5) {}
  int16_t* data() { return reinterpret_cast<int16_t*>(base() + kGuard + offset_); }
  bool GuardsIntact() {
    const uint8_t* b = base();
    for (size_t i = 0; i < kGuard + offset_; ++i)
      if (b[i] != 0xA5) return false;
    for (size_t i = kGuard + offset_ + 2 * count_; i < kGuard * 2 + 2 * count_; ++i)
      if (b[i] != 0xA5) return false;
    return true;
  }

 private:
  static constexpr size_t kGuard = 32;
  uint8_t* base() {
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(bytes_.data()) + 15) & ~uintptr_t{15});
  }
  size_t count_;
  size_t offset_;
  std::vector<uint8_t> bytes_;
};

TEST(MultiplyWordsScaled, GenericMatchesTheReferenceAtEveryScale) {
  const Vectors v = RandomVectors(4096, 1);
  std::vector<int16_t> out(4096);
  for (int scale = -20; scale <= 40; ++scale) {
    ASSERT_EQ(generic::MultiplyWordsScaled(v.a.data(), v.b.data(), out.data(), 4096, scale), 0);
    for (size_t i = 0; i < out.size(); ++i)
      ASSERT_EQ(out[i], Reference(v.a[i], v.b[i], scale))
          << "scale " << scale << " a " << v.a[i] << " b " << v.b[i];
  }
}

struct ScaledCase {
  uint16_t a;
  int16_t b;
  int scale;
  int16_t expected;
};

TEST(MultiplyWordsScaled, DocumentedValuesInEveryBuild) {
  const ScaledCase cases[] = {
      {16384, 1, 15, 0},       {16384, -1, 15, 0},       {16384, 3, 15, 2},
      {16384, -3, 15, -2},     {0x8000, 100, 15, 100},   {0xFFFF, 1, 15, 2},
      {65535, 32767, 15, 32767}, {65535, 32767, 0, 32767}, {65535, -32768, 0, -32768},
      {15, 1, 1, 8},           {2, 1, 1, 1},             {7, 1, 1, 4},
      {6, 1, 2, 2},            {10, 1, 2, 2},            {1, -1, -20, -32768},
      {0, 5, -20, 0},          {20000, 20000, -3, 32767}, {0, 0, 40, 0},
  };
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (const ScaledCase& c : cases) {
      // Sixteen copies so that the vector builds take their vector path too.
      std::vector<uint16_t> a(16, c.a);
      std::vector<int16_t> b(16, c.b), out(16, 77);
      ASSERT_EQ(build.multiplyScaled(a.data(), b.data(), out.data(), 16, c.scale), 0);
      for (int16_t r : out) EXPECT_EQ(r, c.expected) << build.name << " " << c.a << "*" << c.b << ">>" << c.scale;
    }
  }
}

TEST(MultiplyWordsScaled, ChecksInOrderAndWritesNothingOnError) {
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    uint16_t a[4] = {1, 2, 3, 4};
    int16_t b[4] = {1, 2, 3, 4}, out[4] = {9, 9, 9, 9};
    EXPECT_EQ(build.multiplyScaled(nullptr, b, out, 0, 15), -8);
    EXPECT_EQ(build.multiplyScaled(a, nullptr, out, 4, 15), -8);
    EXPECT_EQ(build.multiplyScaled(a, b, nullptr, 4, 40), -8);
    EXPECT_EQ(build.multiplyScaled(a, b, out, 0, 15), -6);
    EXPECT_EQ(build.multiplyScaled(a, b, out, -3, 40), -6);
    for (int16_t v : out) EXPECT_EQ(v, 9);
    EXPECT_EQ(build.multiplyScaled(a, b, out, 3, 32), 0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 9);
  }
}

TEST(MultiplyWordsScaled, EveryBuildIdenticalToGenericAtEverySizeAndAlignment) {
  const Vectors v = RandomVectors(200, 2);
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (int scale : {0, 1, 2, 3, 14, 15, 16, 30, 31, -2}) {
      for (int offset : test::TestMisalignments()) {
        for (int n = 1; n <= 130; ++n) {
          std::vector<int16_t> expected(n);
          generic::MultiplyWordsScaled(v.a.data(), v.b.data(), expected.data(), n, scale);
          // Sources shifted against the destination, so their alignment differs from it.
          const uint16_t* a = v.a.data() + (n & 3);
          const int16_t* b = v.b.data() + (n % 5);
          std::vector<int16_t> expectedShifted(n);
          generic::MultiplyWordsScaled(a, b, expectedShifted.data(), n, scale);
          GuardedWords out(n, offset);
          ASSERT_EQ(build.multiplyScaled(a, b, out.data(), n, scale), 0);
          ASSERT_EQ(std::memcmp(out.data(), expectedShifted.data(), 2 * n), 0)
              << build.name << " n " << n << " offset " << offset << " scale " << scale;
          ASSERT_TRUE(out.GuardsIntact()) << build.name << " n " << n << " offset " << offset;
        }
      }
    }
  }
}

TEST(MultiplyWordsScaled, KernelInPlaceEqualsOutOfPlace) {
  const Vectors v = RandomVectors(64, 3);
  std::vector<int16_t> expected(64);
  generic::MultiplyWordsScaled(v.a.data(), v.b.data(), expected.data(), 64, 15);
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    std::vector<int16_t> inPlace = v.b;
    build.multiplyScaledKernel(v.a.data(), inPlace.data(), inPlace.data(), 64, 15);
    EXPECT_EQ(inPlace, expected) << build.name;
  }
}

TEST(MultiplyWordsScaled, KernelMatchesForEveryScaleItTakes) {
  const Vectors v = RandomVectors(64, 4);
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (int scale = 2; scale <= 31; ++scale) {
      std::vector<int16_t> out(64);
      build.multiplyScaledKernel(v.a.data(), v.b.data(), out.data(), 64, scale);
      for (int i = 0; i < 64; ++i)
        ASSERT_EQ(out[i], Reference(v.a[i], v.b[i], scale)) << build.name << " scale " << scale;
    }
  }
}

TEST(MultiplyWordsScaled, VectorBuildsRunTheirOwnVectorPath) {
  const Vectors v = RandomVectors(64, 5);
  std::vector<int16_t> out(64);
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    build.resetPathCounts();
    build.multiplyScaledKernel(v.a.data(), v.b.data(), out.data(), 64, 15);
    build.multiplyScaled(v.a.data(), v.b.data(), out.data(), 14, 15);  // too short for vectors
    const uint32_t expected = build.isa >= KVZ_ISA_SSE2 ? 1 : 0;
    EXPECT_EQ(build.pathCount(kPathMultiplyScaled), expected) << build.name;
  }
}

TEST(MultiplyWordsSat, DocumentedValuesAndEveryBuildIdentical) {
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    const int16_t a[3] = {-300, 181, -32768}, b[3] = {200, 181, -1};
    int16_t out[3];
    ASSERT_EQ(build.multiplySat(a, b, out, 3), 0);
    EXPECT_EQ(out[0], -32768);
    EXPECT_EQ(out[1], 32761);
    EXPECT_EQ(out[2], 32767);
    EXPECT_EQ(build.multiplySat(nullptr, b, out, 0), -8);
    EXPECT_EQ(build.multiplySat(a, b, out, 0), -6);
  }
  std::mt19937 rng(6);
  std::vector<int16_t> a(130), b(130);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<int16_t>(rng());
    b[i] = static_cast<int16_t>(rng() >> (rng() % 16));
  }
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    build.resetPathCounts();
    for (int n = 1; n <= 130; ++n) {
      std::vector<int16_t> out(n);
      ASSERT_EQ(build.multiplySat(a.data(), b.data(), out.data(), n), 0);
      for (int i = 0; i < n; ++i)
        ASSERT_EQ(out[i], Sat(static_cast<int32_t>(a[i]) * b[i])) << build.name << " n " << n;
    }
    EXPECT_EQ(build.pathCount(kPathMultiplySat) > 0, build.isa >= KVZ_ISA_SSE2) << build.name;
  }
}

}  // namespace
}  // namespace kvz::prim
