// Reciprocal tables in every build: exact rounding half to even for every numerator and
// divisor, zero divisors, the numerator's low 16 bits, checks, and each build's vector path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/e1_arithmetic_builds.h"

namespace kvz::prim {
namespace {

using test::ArithmeticBuild;

// Round half to even of c / v in double precision: exact for 16-bit operands, since a true
// half is representable and anything else lies at least 1 / (2v) away from one.
uint16_t Reference(uint32_t c, uint32_t v) {
  return static_cast<uint16_t>(std::nearbyint(static_cast<double>(c) / v));
}

TEST(ReverseDivideWords, QuantisationReciprocals) {
  const uint16_t divisors[] = {1, 2, 3, 5, 7, 16, 99, 255};
  const uint16_t expected[] = {32768, 16384, 10923, 6554, 4681, 2048, 331, 129};
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    // Repeated so that the vector builds divide them in their groups too.
    std::vector<uint16_t> v;
    for (int r = 0; r < 4; ++r) v.insert(v.end(), std::begin(divisors), std::end(divisors));
    ASSERT_EQ(build.reverseDivide(0x8000, v.data(), static_cast<int32_t>(v.size())), 0);
    for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], expected[i % 8]) << build.name << " " << i;
  }
}

TEST(ReverseDivideWords, TiesGoToTheEvenNeighbour) {
  struct Case {
    int32_t c;
    uint16_t v, expected;
  };
  const Case cases[] = {{3, 2, 2},         {5, 2, 2},         {1, 2, 0},         {0xFFFF, 2, 32768},
                        {16385, 32769, 1}, {0x8000, 65535, 1}, {0xFFFF, 1, 0xFFFF}, {7, 14, 0},
                        {21, 14, 2},       {0x18000, 3, 10923}};
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (const Case& c : cases) {
      std::vector<uint16_t> v(24, c.v);
      ASSERT_EQ(build.reverseDivide(c.c, v.data(), 24), 0);
      for (uint16_t q : v) EXPECT_EQ(q, c.expected) << build.name << " " << c.c << "/" << c.v;
    }
  }
}

TEST(ReverseDivideWords, ZeroDivisorsSaturateAndWarnAfterTheRest) {
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (int n : {3, 20, 64}) {
      std::vector<uint16_t> v(n);
      std::iota(v.begin(), v.end(), 0);  // the first divisor is 0
      v[n - 1] = 0;
      ASSERT_EQ(build.reverseDivide(0x8000, v.data(), n), 6) << build.name;
      EXPECT_EQ(v[0], 0xFFFF);
      EXPECT_EQ(v[n - 1], 0xFFFF);
      for (int i = 1; i < n - 1; ++i) EXPECT_EQ(v[i], Reference(0x8000, i)) << build.name << " " << i;
    }
  }
}

TEST(ReverseDivideWords, NumeratorZeroClearsTheVector) {
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    std::vector<uint16_t> v = {5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    EXPECT_EQ(build.reverseDivide(0x10000, v.data(), 10), 0);
    for (uint16_t q : v) EXPECT_EQ(q, 0);
    v = {5, 0, 7};
    EXPECT_EQ(build.reverseDivide(0, v.data(), 3), 6);
    for (uint16_t q : v) EXPECT_EQ(q, 0);
  }
}

TEST(ReverseDivideWords, ChecksAndLeavesTheVectorAlone) {
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    uint16_t v[2] = {3, 4};
    EXPECT_EQ(build.reverseDivide(0x8000, nullptr, 2), -8);
    EXPECT_EQ(build.reverseDivide(0x8000, nullptr, 0), -8);
    EXPECT_EQ(build.reverseDivide(0x8000, v, 0), -6);
    EXPECT_EQ(build.reverseDivide(0x8000, v, -1), -6);
    EXPECT_EQ(v[0], 3);
    EXPECT_EQ(v[1], 4);
    uint16_t out[2] = {1, 1};
    EXPECT_EQ(build.reverseDivideKernel(nullptr, 0x8000, out, 2), -8);
    EXPECT_EQ(build.reverseDivideKernel(v, 0x8000, nullptr, 2), -8);
    EXPECT_EQ(build.reverseDivideKernel(v, 0x8000, out, 0), -6);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(build.reverseDivideKernel(v, 0x8000, out, 2), 0);
    EXPECT_EQ(out[0], 10923);
    EXPECT_EQ(v[0], 3);  // out of place leaves the source alone
  }
}

TEST(ReverseDivideWords, EveryBuildIdenticalToGenericAtEverySizeAndAlignment) {
  std::mt19937 rng(7);
  std::vector<uint16_t> src(200);
  for (uint16_t& x : src) x = (rng() & 7) == 0 ? 0 : static_cast<uint16_t>(rng() >> (rng() % 16));
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    for (int32_t c : {1, 0x7FFF, 0x8000, 0xFFFF, 12345}) {
      for (int offset : test::TestMisalignments()) {
        for (int n = 1; n <= 130; ++n) {
          std::vector<uint16_t> expected(n);
          const PrimitiveStatus expectedStatus =
              generic::ReverseDivideWordsKernel(src.data(), c, expected.data(), n);
          std::vector<uint8_t> bytes(2 * n + 96, 0xA5);
          uint8_t* base = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(bytes.data()) + 15) & ~uintptr_t{15});
          uint16_t* out = reinterpret_cast<uint16_t*>(base + 32 + offset);
          ASSERT_EQ(build.reverseDivideKernel(src.data() + (n & 3), c, out, n),
                    generic::ReverseDivideWordsKernel(src.data() + (n & 3), c, expected.data(), n));
          (void)expectedStatus;
          ASSERT_EQ(std::memcmp(out, expected.data(), 2 * n), 0)
              << build.name << " c " << c << " n " << n << " offset " << offset;
          for (uint8_t* p = base; p < base + 32 + offset; ++p) ASSERT_EQ(*p, 0xA5);
          for (uint8_t* p = base + 32 + offset + 2 * n; p < base + 64 + 2 * n; ++p) ASSERT_EQ(*p, 0xA5);
        }
      }
    }
  }
}

// True when every q[v] is c / v rounded half to even (q[0], a zero divisor, must be 0xFFFF):
// twice the remainder lies within one divisor of zero, and a tie has chosen the even side.
bool AllQuotientsExact(uint32_t c, const std::vector<uint16_t>& q) {
  if (q[0] != 0xFFFF) return false;
  uint32_t v = 1;
  int32_t bad = 0;
#if defined(__SSE2__)
  // Eight divisors at a time; the scalar loop below says the same thing more plainly.
  const __m128i cc = _mm_set1_epi32(static_cast<int32_t>(c));
  const __m128i one = _mm_set1_epi32(1);
  __m128i badv = _mm_setzero_si128();
  __m128i vv = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
  for (uint32_t base = 0; base < 65536; base += 8, vv = _mm_add_epi16(vv, _mm_set1_epi16(8))) {
    const __m128i qq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q.data() + base));
    const __m128i lo = _mm_mullo_epi16(qq, vv), hi = _mm_mulhi_epu16(qq, vv);
    const __m128i zero = _mm_setzero_si128();
    for (int half = 0; half < 2; ++half) {
      const __m128i qv = half ? _mm_unpackhi_epi16(lo, hi) : _mm_unpacklo_epi16(lo, hi);
      const __m128i v32 = half ? _mm_unpackhi_epi16(vv, zero) : _mm_unpacklo_epi16(vv, zero);
      const __m128i q32 = half ? _mm_unpackhi_epi16(qq, zero) : _mm_unpacklo_epi16(qq, zero);
      const __m128i rem = _mm_sub_epi32(cc, qv);
      const __m128i h = _mm_srli_epi32(v32, 1), negH = _mm_sub_epi32(zero, h);
      const __m128i even = _mm_cmpeq_epi32(_mm_and_si128(v32, one), zero);
      const __m128i odd = _mm_cmpeq_epi32(_mm_and_si128(q32, one), one);
      const __m128i tie = _mm_and_si128(even, _mm_or_si128(_mm_cmpeq_epi32(rem, h), _mm_cmpeq_epi32(rem, negH)));
      __m128i b = _mm_or_si128(_mm_cmpgt_epi32(rem, h), _mm_cmplt_epi32(rem, negH));
      b = _mm_or_si128(b, _mm_and_si128(tie, odd));
      if (base == 0) b = _mm_andnot_si128(_mm_setr_epi32(-1, 0, 0, 0), b);  // v = 0 checked above
      badv = _mm_or_si128(badv, b);
    }
  }
  bad = _mm_movemask_epi8(badv);
  v = 65536;
#endif
  for (; v <= 0xFFFF; ++v) {
    // q * v < 2^32, so the wrapped difference is the remainder whenever it is small.
    const int32_t rem = static_cast<int32_t>(c - q[v] * v);
    const int32_t half = static_cast<int32_t>(v >> 1);
    const int32_t tie = static_cast<int32_t>((v & 1) == 0) & ((rem == half) | (rem == -half));
    bad |= (rem > half) | (rem < -half) | (tie & (q[v] & 1));
  }
  return bad == 0;
}

// Numerators checked against all 65536 divisors: every one when KVZ_EXHAUSTIVE is set (about
// ten seconds per vector build), else a dense sample that keeps the small and large numerators,
// those around 0x8000 and every step-th one between. The highest vector build is sampled most
// densely; the others run the same source, or one hardware division per element.
bool NumeratorChecked(uint32_t c, uint32_t step) {
  const uint32_t edge = step > 4 ? 32 : 1024;  // narrower edges when the run is slow anyway
  return c % step == 0 || c < edge || c > 0xFFFF - edge || (c + edge > 0x8000 && c < 0x8000 + edge);
}

TEST(ReverseDivideWords, ExactForEveryNumeratorAndDivisor) {
  std::vector<uint16_t> divisors(65536), out(65536);
  std::iota(divisors.begin(), divisors.end(), 0);
#if defined(__i386__) || defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
  uint32_t topStep = 251;  // emulated or instrumented
#else
  uint32_t topStep = 4;
#endif
  if (std::getenv("KVZ_EXHAUSTIVE") != nullptr) topStep = 1;
  const std::vector<ArithmeticBuild> builds = test::RunnableArithmeticBuilds();
  for (const ArithmeticBuild& build : builds) {
    const bool top = &build == &builds.back();
    const uint32_t step = top ? topStep : build.isa >= KVZ_ISA_SSE2 ? 29 * topStep : 61 * topStep;
    for (uint32_t c = 1; c <= 0xFFFF; ++c) {
      if (!NumeratorChecked(c, step)) continue;
      ASSERT_NE(build.divideSimd(divisors.data(), static_cast<uint16_t>(c), out.data(), 65536), 0);
      if (!AllQuotientsExact(c, out)) {
        for (uint32_t v = 1; v <= 0xFFFF; ++v)
          ASSERT_EQ(out[v], Reference(c, v)) << build.name << " c " << c << " v " << v;
        FAIL() << build.name << " c " << c;
      }
    }
  }
}

TEST(ReverseDivideWords, VectorBuildsRunTheirOwnVectorPath) {
  std::vector<uint16_t> v(64, 9);
  for (const ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    build.resetPathCounts();
    build.reverseDivide(0x8000, v.data(), 64);
    EXPECT_EQ(build.pathCount(kPathReverseDivide), build.isa >= KVZ_ISA_SSE2 ? 1u : 0u) << build.name;
  }
}

}  // namespace
}  // namespace kvz::prim
