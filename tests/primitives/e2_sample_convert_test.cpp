// Sample-type conversion kernels of every build against the per-sample rules: saturation,
// rounding in the current mode, the fourth sample of AC4 rows kept, streaming or not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <type_traits>

#include "primitives/sample_convert.h"
#include "support/e2_builds.h"
#include "support/e2_memory.h"

namespace e2 {
namespace {

template <typename D, typename S>
D Rule(S v) {
  if constexpr (std::is_floating_point_v<D>) {
    return static_cast<D>(v);
  } else if constexpr (std::is_floating_point_v<S>) {
    const S lo = static_cast<S>(std::numeric_limits<D>::min()), hi = static_cast<S>(std::numeric_limits<D>::max());
    const S limited = std::max(std::min(v, hi), lo);
    return static_cast<D>(std::nearbyint(limited));
  } else {
    const int64_t lo = std::numeric_limits<D>::min(), hi = std::numeric_limits<D>::max();
    return static_cast<D>(std::max<int64_t>(std::min<int64_t>(v, hi), lo));
  }
}

template <typename S>
S Sample(uint32_t& seed) {
  seed = seed * 1664525u + 1013904223u;
  if constexpr (std::is_floating_point_v<S>) {
    // Values across and beyond every destination range, with many exact halves.
    const int32_t r = static_cast<int32_t>(seed >> 8) % 140000 - 70000;
    return static_cast<S>(r) / 2.0f;
  } else {
    S v;
    std::memcpy(&v, &seed, sizeof v);
    return v;
  }
}

// One kernel of one build on (source, destination, count[, stream]).
template <typename S, typename D>
using Kernel = std::function<void(const Build&, const S*, D*, size_t, uint32_t)>;

template <typename S, typename D>
void CheckKernel(const char* name, Kernel<S, D> kernel, bool ac4) {
  uint32_t seed = 17;
  std::vector<size_t> counts;
  for (size_t n = 1; n <= 130; ++n) {
    if (!ac4 || n % 4 == 0) counts.push_back(n);
  }
  counts.push_back(ac4 ? 4000 : 4001);
  for (size_t n : counts) {
    for (size_t dm : {0, 1, 2, 4, 8, 12}) {
      if (dm % alignof(D) != 0 && dm != 1) continue;
      Block src(n * sizeof(S), 4, 0);
      for (size_t i = 0; i < n; ++i) {
        const S v = Sample<S>(seed);
        std::memcpy(src.data() + i * sizeof(S), &v, sizeof v);
      }
      Block want(n * sizeof(D), dm);
      want.Fill(seed);
      for (size_t i = 0; i < n; ++i) {
        if (ac4 && i % 4 == 3) continue;
        S v;
        std::memcpy(&v, src.data() + i * sizeof(S), sizeof v);
        const D d = Rule<D>(v);
        std::memcpy(want.data() + i * sizeof(D), &d, sizeof d);
      }
      for (const Build& b : Builds()) {
        for (uint32_t stream : {0u, 1u}) {
          Block got(n * sizeof(D), dm);
          got.Fill(seed);
          kernel(b, reinterpret_cast<const S*>(src.data()), reinterpret_cast<D*>(got.data()), n, stream);
          ASSERT_EQ(want.All(), got.All()) << name << " " << b.name << " n " << n << " misalign " << dm << " stream " << stream;
        }
      }
    }
  }
}

// Kernels without a streaming flag ignore the one the table passes.
#define E2_C1(f, S, D) \
  TEST(SampleConvert, f) { \
    CheckKernel<S, D>(#f, [](const Build& b, const S* s, D* d, size_t n, uint32_t) { b.f(s, d, n); }, false); \
  }
#define E2_C1S(f, S, D) \
  TEST(SampleConvert, f) { \
    CheckKernel<S, D>(#f, [](const Build& b, const S* s, D* d, size_t n, uint32_t st) { b.f(s, d, n, st); }, false); \
  }
#define E2_AC4(f, S, D) \
  TEST(SampleConvert, f) { \
    CheckKernel<S, D>(#f, [](const Build& b, const S* s, D* d, size_t n, uint32_t) { b.f(s, d, n); }, true); \
  }

E2_C1S(ConvertBytesToWordsKernel, uint8_t, int16_t)
E2_C1(ConvertWordsToBytesKernel, int16_t, uint8_t)
E2_C1(Convert16uTo8uKernel, uint16_t, uint8_t)
E2_C1(Convert32sTo8sKernel, int32_t, int8_t)
E2_AC4(Convert32sTo8sAc4Kernel, int32_t, int8_t)
E2_C1(Convert32sTo8uKernel, int32_t, uint8_t)
E2_AC4(Convert32sTo8uAc4Kernel, int32_t, uint8_t)
E2_C1S(Convert8sTo32sKernel, int8_t, int32_t)
E2_AC4(Convert8sTo32sAc4Kernel, int8_t, int32_t)
E2_C1S(Convert8uTo32sKernel, uint8_t, int32_t)
E2_AC4(Convert8uTo32sAc4Kernel, uint8_t, int32_t)
E2_C1(Convert32fTo16uKernel, float, uint16_t)
E2_AC4(Convert32fTo16uAc4Kernel, float, uint16_t)
E2_C1(Convert32fTo16sKernel, float, int16_t)
E2_AC4(Convert32fTo16sAc4Kernel, float, int16_t)
E2_C1(Convert32fTo8uKernel, float, uint8_t)
E2_AC4(Convert32fTo8uAc4Kernel, float, uint8_t)
E2_C1(Convert32fTo8sKernel, float, int8_t)
E2_AC4(Convert32fTo8sAc4Kernel, float, int8_t)
E2_C1S(Convert16uTo32fKernel, uint16_t, float)
E2_AC4(Convert16uTo32fAc4Kernel, uint16_t, float)
E2_C1S(Convert16sTo32fKernel, int16_t, float)
E2_AC4(Convert16sTo32fAc4Kernel, int16_t, float)
E2_C1S(Convert8uTo32fKernel, uint8_t, float)
E2_AC4(Convert8uTo32fAc4Kernel, uint8_t, float)
E2_C1S(Convert8sTo32fKernel, int8_t, float)
E2_AC4(Convert8sTo32fAc4Kernel, int8_t, float)

TEST(SampleConvert, NamedValues) {
  const int16_t words[] = {-32768, -1, 0, 254, 255, 256, 32767};
  const uint8_t bytes[] = {0, 0, 0, 254, 255, 255, 255};
  const float floats[] = {40000.0f, -40000.0f, 2.5f, 3.5f, -0.5f, -2.5f, 1.49f, 32767.5f};
  const int16_t rounded[] = {32767, -32768, 2, 4, 0, -2, 1, 32767};
  for (const Build& b : Builds()) {
    uint8_t out[7];
    b.ConvertWordsToBytesKernel(words, out, 7);
    EXPECT_EQ(0, std::memcmp(out, bytes, 7)) << b.name;
    int16_t r[8];
    b.Convert32fTo16sKernel(floats, r, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(rounded[i], r[i]) << b.name << " " << floats[i];
  }
}

TEST(SampleConvert, Ac4FloatKernelsIgnoreTheFourthSource) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float src[8] = {1.0f, 2.0f, 3.0f, nan, 300.0f, -5.0f, 254.5f, 1e30f};
  for (const Build& b : Builds()) {
    uint8_t d[8] = {9, 9, 9, 0x77, 9, 9, 9, 0x88};
    b.Convert32fTo8uAc4Kernel(src, d, 8);
    const uint8_t want[8] = {1, 2, 3, 0x77, 255, 0, 254, 0x88};
    EXPECT_EQ(0, std::memcmp(d, want, 8)) << b.name;
  }
}

TEST(SampleConvert, VectorBuildsRunTheirOwnKernels) {
  uint8_t bytes[100] = {};
  alignas(16) int16_t words[100] = {};
  float f[100] = {};
  for (const Build* b : VectorBuilds()) {
    if (!b->IntegerVector()) continue;  // the SSE-only build converts with scalar code
    const uint32_t w = b->Count(kvz::prim::kPathBytesToWords), n = b->Count(kvz::prim::kPathWordsToBytes),
                   fam = b->Count(kvz::prim::kPathConvertFamily);
    b->ConvertBytesToWordsKernel(bytes, words, 100, 0);
    b->ConvertWordsToBytesKernel(words, bytes, 100);
    b->Convert8uTo32fKernel(bytes, f, 100, 0);
    EXPECT_GT(b->Count(kvz::prim::kPathBytesToWords), w) << b->name;
    EXPECT_GT(b->Count(kvz::prim::kPathWordsToBytes), n) << b->name;
    EXPECT_GT(b->Count(kvz::prim::kPathConvertFamily), fam) << b->name;
  }
}

}  // namespace
}  // namespace e2
