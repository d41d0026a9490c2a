// Complex products in every build: documented values, an independent single-precision
// reference, identical bytes to the generic build at every size and alignment, and each
// build's own vector and streaming paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "support/e1_arithmetic_builds.h"

namespace kvz::prim {
namespace {

using test::ArithmeticBuild;

// Each product and each sum rounded to single precision (volatile keeps x87 from holding
// them wider).
Complex32f Reference(Complex32f a, Complex32f b) {
  volatile float rr = a.re * b.re, ii = a.im * b.im, ir = a.im * b.re, ri = a.re * b.im;
  volatile float re = rr - ii, im = ir + ri;
  return {re, im};
}

std::vector<Complex32f> RandomComplex(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::vector<Complex32f> v(n);
  for (Complex32f& c : v) {
    c.re = std::ldexp(mantissa(rng), exponent(rng));
    c.im = (rng() & 7) == 0 ? 0.0f : std::ldexp(mantissa(rng), exponent(rng));
  }
  return v;
}

bool SameBytes(const Complex32f* a, const Complex32f* b, size_t n) {
  return std::memcmp(a, b, n * sizeof(Complex32f)) == 0;
}

// Destination at a byte offset between guard bytes.
struct GuardedComplex {
  GuardedComplex(size_t n, int offset) : n(n), offset(offset), bytes(n * 8 + 96, 0x5A) {}
  uint8_t* base() {
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(bytes.data()) + 15) & ~uintptr_t{15});
  }
  Complex32f* data() { return reinterpret_cast<Complex32f*>(base() + 32 + offset); }
  bool GuardsIntact() {
    for (uint8_t* p = base(); p < base() + 32 + offset; ++p)
      if (*p != 0x5A) return false;
    for (uint8_t* p = base() + 32 + offset + 8 * n; p < base() + 64 + 8 * n; ++p)
      if (*p != 0x5A) return false;
    return true;
  }
  size_t n;
  int offset;
  std::vector<uint8_t> bytes;
};

TEST(MultiplyComplex, DocumentedValuesInEveryBuild) {
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (int n : {1, 4, 5, 9}) {
      std::vector<Complex32f> a(n, {1, 2}), b(n, {3, 4}), out(n);
      build.complexMultiply(a.data(), b.data(), out.data(), n);
      for (const Complex32f& c : out) {
        EXPECT_EQ(c.re, -5.0f) << build.name;
        EXPECT_EQ(c.im, 10.0f) << build.name;
      }
      std::vector<Complex32f> i(n, {0, 1}), acc(n, {0, 1});
      build.complexInPlace(i.data(), acc.data(), n);
      for (const Complex32f& c : acc) {
        EXPECT_EQ(c.re, -1.0f) << build.name;
        EXPECT_EQ(c.im, 0.0f) << build.name;
      }
    }
  }
}

TEST(MultiplyComplex, GenericMatchesTheSinglePrecisionReference) {
  const std::vector<Complex32f> a = RandomComplex(1000, 1), b = RandomComplex(1000, 2);
  std::vector<Complex32f> out(1000);
  generic::MultiplyComplex(a.data(), b.data(), out.data(), 1000);
  for (size_t i = 0; i < out.size(); ++i) {
    const Complex32f r = Reference(a[i], b[i]);
    ASSERT_TRUE(SameBytes(&out[i], &r, 1)) << i;
  }
}

TEST(MultiplyComplex, EveryBuildIdenticalToGenericAtEverySizeAndAlignment) {
  const std::vector<Complex32f> a = RandomComplex(140, 3), b = RandomComplex(140, 4);
  std::vector<int> offsets = test::TestMisalignments();
  offsets.push_back(12);
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (int offset : offsets) {
      for (int n = 1; n <= 130; ++n) {
        const Complex32f* pa = a.data() + (n & 1);
        const Complex32f* pb = b.data() + (n % 3);
        std::vector<Complex32f> expected(n);
        generic::MultiplyComplex(pa, pb, expected.data(), n);
        GuardedComplex out(n, offset);
        build.complexMultiply(pa, pb, out.data(), n);
        ASSERT_TRUE(SameBytes(out.data(), expected.data(), n)) << build.name << " n " << n << " offset " << offset;
        ASSERT_TRUE(out.GuardsIntact()) << build.name << " n " << n << " offset " << offset;
        GuardedComplex acc(n, offset);
        std::memcpy(acc.data(), pa, n * sizeof(Complex32f));
        build.complexInPlace(pb, acc.data(), n);
        ASSERT_TRUE(SameBytes(acc.data(), expected.data(), n)) << build.name << " in place n " << n;
        ASSERT_TRUE(acc.GuardsIntact()) << build.name << " in place n " << n;
      }
    }
  }
}

TEST(MultiplyComplex, VectorBuildsRunTheirOwnVectorPath) {
  const std::vector<Complex32f> a = RandomComplex(16, 5), b = RandomComplex(16, 6);
  std::vector<Complex32f> out(16), acc = a;
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    build.resetPathCounts();
    build.complexMultiply(a.data(), b.data(), out.data(), 4);  // single pairs only
    EXPECT_EQ(build.pathCount(kPathComplexMultiply), 0u) << build.name;
    build.complexMultiply(a.data(), b.data(), out.data(), 16);
    build.complexInPlace(b.data(), acc.data(), 16);
    const uint32_t expected = build.isa >= KVZ_ISA_SSE ? 1 : 0;
    EXPECT_EQ(build.pathCount(kPathComplexMultiply), expected) << build.name;
    EXPECT_EQ(build.pathCount(kPathComplexMultiplyInPlace), expected) << build.name;
  }
}

TEST(MultiplyComplex, LongAlignedVectorsStreamOnlyInTheSse3Build) {
  const int n = 4 * 0x2AAB + 3;
  const std::vector<Complex32f> a0 = RandomComplex(n + 2, 7), b0 = RandomComplex(n + 2, 8);
  // vector<Complex32f> storage is 16-byte aligned from the allocator on both targets only by
  // luck; align explicitly.
  std::vector<uint8_t> store(3 * (n * 8 + 32));
  auto aligned = [&](int k) {
    return reinterpret_cast<Complex32f*>((reinterpret_cast<uintptr_t>(store.data()) + k * (n * 8 + 32) + 15) & ~uintptr_t{15});
  };
  Complex32f* a = aligned(0);
  Complex32f* b = aligned(1);
  Complex32f* out = aligned(2);
  std::memcpy(a, a0.data(), n * 8);
  std::memcpy(b, b0.data(), n * 8);
  std::vector<Complex32f> expected(n);
  generic::MultiplyComplex(a, b, expected.data(), n);
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    build.resetPathCounts();
    std::memset(out, 0, n * 8);
    build.complexMultiply(a, b, out, n);
    EXPECT_TRUE(SameBytes(out, expected.data(), n)) << build.name;
    EXPECT_EQ(build.pathCount(kPathComplexMultiplyStreaming), build.name == "sse3" ? 1u : 0u) << build.name;
    // One group fewer than the threshold keeps ordinary stores.
    build.resetPathCounts();
    build.complexMultiply(a, b, out, 4 * 0x2AAA);
    EXPECT_EQ(build.pathCount(kPathComplexMultiplyStreaming), 0u) << build.name;
  }
}

}  // namespace
}  // namespace kvz::prim
