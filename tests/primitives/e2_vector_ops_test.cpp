// Vector copy, zero, fill and shift: every build against the rule and the generic build at every
// small size and alignment, guard bytes untouched, and the entries' checks in order.
#include <gtest/gtest.h>

#include <functional>
#include <type_traits>

#include "support/e2_builds.h"
#include "support/e2_memory.h"

namespace e2 {
namespace {

using kvz::prim::PrimitiveStatus;

// A byte operation on (source, destination, element count) as one build does it.
struct ByteOp {
  const char* name;
  size_t elementSize;
  std::function<PrimitiveStatus(const Build&, const uint8_t*, uint8_t*, int32_t)> call;
  std::function<void(const uint8_t*, uint8_t*, size_t)> rule;  // on bytes
};

const std::vector<ByteOp>& ByteOps() {
  static const std::vector<ByteOp> ops = {
      {"CopyBytes", 1, [](const Build& b, const uint8_t* s, uint8_t* d, int32_t n) { return b.CopyBytes(s, d, n); },
       [](const uint8_t* s, uint8_t* d, size_t n) { std::memcpy(d, s, n); }},
      {"CopyWords", 2,
       [](const Build& b, const uint8_t* s, uint8_t* d, int32_t n) {
         return b.CopyWords(reinterpret_cast<const int16_t*>(s), reinterpret_cast<int16_t*>(d), n);
       },
       [](const uint8_t* s, uint8_t* d, size_t n) { std::memcpy(d, s, n); }},
      {"ZeroBytes", 1, [](const Build& b, const uint8_t*, uint8_t* d, int32_t n) { return b.ZeroBytes(d, n); },
       [](const uint8_t*, uint8_t* d, size_t n) { std::memset(d, 0, n); }},
      {"ZeroWords", 2,
       [](const Build& b, const uint8_t*, uint8_t* d, int32_t n) {
         return b.ZeroWords(reinterpret_cast<int16_t*>(d), n);
       },
       [](const uint8_t*, uint8_t* d, size_t n) { std::memset(d, 0, n); }},
  };
  return ops;
}

void CheckByteOp(const ByteOp& op, size_t count, size_t srcMis, size_t dstMis, uint32_t seed) {
  const size_t bytes = count * op.elementSize;
  Block src(bytes, srcMis, 0);
  src.Fill(seed);
  Block want(bytes, dstMis);
  want.Fill(seed + 1);
  op.rule(src.data(), want.data(), bytes);
  for (const Build& b : Builds()) {
    Block dst(bytes, dstMis);
    dst.Fill(seed + 1);
    ASSERT_EQ(0, op.call(b, src.data(), dst.data(), static_cast<int32_t>(count)));
    ASSERT_EQ(want.All(), dst.All()) << op.name << " " << b.name << " count " << count << " misalign " << srcMis
                                     << "/" << dstMis;
  }
}

TEST(VectorOps, CopiesAndClearsAreExactAtEverySizeAndAlignment) {
  ScopedCpuid cpu(IntelCache({0x7D}, 2));
  uint32_t seed = 1;
  for (const ByteOp& op : ByteOps()) {
    for (size_t n = 1; n <= 130; ++n) {
      for (size_t dm = 0; dm < 16; ++dm) {
        for (size_t sm : {0, 1, 4, 8}) {
          CheckByteOp(op, n, sm, dm, seed++);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST(VectorOps, LargeRunsAroundTheStreamingThresholds) {
  // 1 MiB cache, 1 core: the SSE3 copy streams from half of it, the clear from all of it.
  ScopedCpuid cpu(IntelCache({0x87}, 1));
  uint32_t seed = 7;
  for (const ByteOp& op : ByteOps()) {
    for (size_t bytes : {0x80000, 0x100000, 0x140000 + 48}) {
      for (int delta : {-2, 2}) {
        const size_t n = (bytes + delta) / op.elementSize;
        CheckByteOp(op, n, 1, 9, seed++);
        if (kEmulated) continue;
        CheckByteOp(op, n, 0, 0, seed++);
        CheckByteOp(op, n, 4, 0, seed++);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(VectorOps, EntryChecksInOrder) {
  uint8_t buf[16] = {};
  int16_t words[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  struct Case {
    const char* what;
    std::function<PrimitiveStatus(const Build&)> call;
    PrimitiveStatus want;
  };
  const std::vector<Case> cases = {
      {"copy null source", [&](const Build& b) { return b.CopyBytes(nullptr, buf, 0); }, -8},
      {"copy null destination", [&](const Build& b) { return b.CopyBytes(buf, nullptr, -1); }, -8},
      {"copy zero count", [&](const Build& b) { return b.CopyBytes(buf + 8, buf, 0); }, -6},
      {"copy words negative count", [&](const Build& b) { return b.CopyWords(words, words + 4, -4); }, -6},
      {"copy words null", [&](const Build& b) { return b.CopyWords(nullptr, words, 4); }, -8},
      {"zero null", [&](const Build& b) { return b.ZeroBytes(nullptr, 0); }, -8},
      {"zero count", [&](const Build& b) { return b.ZeroBytes(buf, 0); }, -6},
      {"zero words null", [&](const Build& b) { return b.ZeroWords(nullptr, 3); }, -8},
      {"zero words count", [&](const Build& b) { return b.ZeroWords(words, -1); }, -6},
      {"left shift 16 null", [&](const Build& b) { return b.ShiftLeftWords(16, nullptr, 4); }, -8},
      {"left shift 16 zero count", [&](const Build& b) { return b.ShiftLeftWords(16, words, 0); }, -6},
      {"left null before count", [&](const Build& b) { return b.ShiftLeftWords(-1, nullptr, 0); }, -8},
      {"left count before shift", [&](const Build& b) { return b.ShiftLeftWords(-1, words, 0); }, -6},
      {"left negative shift", [&](const Build& b) { return b.ShiftLeftWords(-1, words, 8); }, -32},
      {"right null", [&](const Build& b) { return b.ShiftRightWords(20, nullptr, 8); }, -8},
      {"right count", [&](const Build& b) { return b.ShiftRightWords(-3, words, 0); }, -6},
      {"right negative shift", [&](const Build& b) { return b.ShiftRightWords(-1, words, 8); }, -32},
  };
  for (const Build& b : Builds()) {
    for (const Case& c : cases) {
      EXPECT_EQ(c.want, c.call(b)) << b.name << " " << c.what;
      for (int i = 0; i < 16; ++i) EXPECT_EQ(0, buf[i]) << b.name << " " << c.what;
      for (int i = 0; i < 8; ++i) EXPECT_EQ(i + 1, words[i]) << b.name << " " << c.what;
    }
  }
}

TEST(VectorOps, ShiftValues) {
  struct Case {
    bool left;
    int32_t shift;
    int16_t in, out;
  };
  const Case cases[] = {
      {true, 1, 0x4000, -32768}, {true, 1, static_cast<int16_t>(0x8001), 0x0002}, {true, 0, 1234, 1234},
      {true, 15, 3, -32768},     {true, 16, 0x7FFF, 0},                          {true, 40, -1, 0},
      {false, 20, -5, -1},       {false, 20, 7, 0},                              {false, 1, -3, -2},
      {false, 0, -3, -3},        {false, 15, -32768, -1},                        {false, 3, 100, 12},
  };
  for (const Build& b : Builds()) {
    for (const Case& c : cases) {
      // Long enough to pass through the vector blocks; the value sits at several positions.
      std::vector<int16_t> v(77, c.in);
      ASSERT_EQ(0, c.left ? b.ShiftLeftWords(c.shift, v.data(), 77) : b.ShiftRightWords(c.shift, v.data(), 77));
      for (int16_t x : v) ASSERT_EQ(c.out, x) << b.name << (c.left ? " left " : " right ") << c.shift << " of " << c.in;
    }
  }
}

TEST(VectorOps, ZeroWordsClearsExactlyItsBytes) {
  for (const Build& b : Builds()) {
    uint8_t buf[16];
    std::memset(buf, 0x5A, sizeof buf);
    ASSERT_EQ(0, b.ZeroWords(reinterpret_cast<int16_t*>(buf + 2), 3));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(i >= 2 && i < 8 ? 0 : 0x5A, buf[i]) << b.name << " byte " << i;
  }
}

// Shifts over every size to 130 at even and odd addresses, all shifts, against the rule.
TEST(VectorOps, ShiftsMatchTheRuleAtEverySizeAndAlignment) {
  uint32_t seed = 5;
  for (size_t n = 1; n <= 130; ++n) {
    for (size_t mis : {0, 1, 2, 4, 8}) {
      Block in(2 * n, mis, 0);
      in.Fill(seed++);
      for (int32_t shift : {1, 5, 15, 16, 31}) {
        for (bool left : {true, false}) {
          Block want(2 * n, mis);
          want.Fill(seed);
          want.Set(in.data(), 2 * n);
          for (size_t i = 0; i < n; ++i) {
            int16_t v;
            std::memcpy(&v, want.data() + 2 * i, 2);
            if (left) v = shift > 15 ? 0 : static_cast<int16_t>(static_cast<uint16_t>(v) << shift);
            else v = static_cast<int16_t>(v >> (shift > 15 ? 15 : shift));
            std::memcpy(want.data() + 2 * i, &v, 2);
          }
          for (const Build& b : Builds()) {
            Block got(2 * n, mis);
            got.Fill(seed);
            got.Set(in.data(), 2 * n);
            int16_t* p = got.as<int16_t>();
            ASSERT_EQ(0, left ? b.ShiftLeftWords(shift, p, static_cast<int32_t>(n)) : b.ShiftRightWords(shift, p, static_cast<int32_t>(n)));
            ASSERT_EQ(want.All(), got.All()) << b.name << " n " << n << " misalign " << mis << " shift " << shift;
          }
        }
      }
    }
  }
}

// The fill kernels against a plain element-by-element fill.
TEST(VectorOps, FillKernelsMatchTheRule) {
  ScopedCpuid cpu(IntelCache({0x7A}));  // 256 KiB: the large runs below stream
  using Fill = void (*)(const void*, void*, size_t);
  struct Kernel {
    size_t size;
    Fill Build::*fn;
    size_t streamAbove;  // elements
  };
  const Kernel kernels[] = {{1, &Build::FillKernel8, 524288},
                            {2, &Build::FillKernel16, 524288},
                            {4, &Build::FillKernel32, 262144},
                            {8, &Build::FillKernel64, 131072},
                            {16, &Build::FillKernel128, 65536}};
  uint8_t value[16];
  for (int i = 0; i < 16; ++i) value[i] = static_cast<uint8_t>(0xC0 + i);
  for (const Kernel& k : kernels) {
    std::vector<size_t> counts;
    for (size_t n = 1; n <= 130; ++n) counts.push_back(n);
    counts.push_back(k.streamAbove);
    counts.push_back(k.streamAbove + 1);
    for (size_t n : counts) {
      for (size_t mis : {0, 1, 4, 8}) {
        if (n > 130 && kEmulated && mis > 1) continue;
        Block want(n * k.size, mis);
        want.Fill(static_cast<uint32_t>(n));
        for (size_t i = 0; i < n; ++i) std::memcpy(want.data() + i * k.size, value, k.size);
        for (const Build& b : Builds()) {
          Block got(n * k.size, mis);
          got.Fill(static_cast<uint32_t>(n));
          (b.*k.fn)(value, got.data(), n);
          ASSERT_EQ(want.All(), got.All()) << b.name << " element " << k.size << " count " << n << " misalign " << mis;
        }
      }
    }
  }
}

// The shift kernel family, in place and out of place, against the per-element rule.
template <typename T>
T ShiftRule(T v, int32_t s, int kind) {
  typedef typename std::make_unsigned<T>::type U;
  if (kind == 0) return static_cast<T>(static_cast<U>(static_cast<U>(v) << s));
  if (kind == 1) return static_cast<T>(static_cast<U>(v) >> s);
  return static_cast<T>(v >> s);
}

template <typename T, typename InPlace, typename Copy>
void CheckShiftFamily(const char* name, InPlace inPlace, Copy copy, int kind, int32_t maxShift) {
  uint32_t seed = 11;
  for (size_t n = 1; n <= 130; n += (n < 40 ? 1 : 7)) {
    for (size_t mis : {0, 1, 4, 8}) {
      Block in(n * sizeof(T), mis, 0);
      in.Fill(seed++);
      for (int32_t s = 1; s <= maxShift; s += (maxShift > 8 ? 3 : 1)) {
        std::vector<T> want(n);
        for (size_t i = 0; i < n; ++i) {
          T v;
          std::memcpy(&v, in.data() + i * sizeof(T), sizeof(T));
          want[i] = ShiftRule<T>(v, s, kind);
        }
        for (const Build& b : Builds()) {
          Block a(n * sizeof(T), mis);
          a.Set(in.data(), n * sizeof(T));
          (b.*inPlace)(s, a.as<T>(), n);
          ASSERT_EQ(0, std::memcmp(a.data(), want.data(), n * sizeof(T))) << name << " " << b.name << " n " << n << " shift " << s;
          Block c(n * sizeof(T), (mis + 3) % 16);
          c.Fill(1);
          (b.*copy)(in.as<T>(), s, c.as<T>(), n);
          ASSERT_EQ(0, std::memcmp(c.data(), want.data(), n * sizeof(T))) << name << " copy " << b.name << " n " << n;
        }
      }
    }
  }
}

TEST(VectorOps, ShiftKernelFamily) {
  CheckShiftFamily<uint8_t>("left bytes", &Build::ShiftLeftBytesKernel, &Build::ShiftLeftBytesCopyKernel, 0, 7);
  CheckShiftFamily<int16_t>("left words", &Build::ShiftLeftWordsKernel, &Build::ShiftLeftWordsCopyKernel, 0, 15);
  CheckShiftFamily<int32_t>("left dwords", &Build::ShiftLeftDwordsKernel, &Build::ShiftLeftDwordsCopyKernel, 0, 31);
  CheckShiftFamily<uint8_t>("logical bytes", &Build::ShiftRightLogicalBytesKernel,
                            &Build::ShiftRightLogicalBytesCopyKernel, 1, 7);
  CheckShiftFamily<uint16_t>("logical words", &Build::ShiftRightLogicalWordsKernel,
                             &Build::ShiftRightLogicalWordsCopyKernel, 1, 15);
  CheckShiftFamily<int16_t>("arith words", &Build::ShiftRightWordsKernel, &Build::ShiftRightWordsCopyKernel, 2, 15);
  CheckShiftFamily<int32_t>("arith dwords", &Build::ShiftRightDwordsKernel, &Build::ShiftRightDwordsCopyKernel, 2, 31);
}

TEST(VectorOps, VectorBuildsRunTheirOwnKernels) {
  using namespace kvz::prim;
  std::vector<uint8_t> a(300, 1), d(300);
  int16_t w[100] = {};
  uint32_t v = 7;
  for (const Build* b : VectorBuilds()) {
    const uint32_t copy = b->Count(kPathCopyBytes), zero = b->Count(kPathZeroFill), fill = b->Count(kPathFill),
                   shift = b->Count(kPathShift);
    ASSERT_EQ(0, b->CopyBytes(a.data(), d.data(), 300));
    ASSERT_EQ(0, b->ZeroBytes(d.data(), 300));
    b->FillKernel32(&v, d.data(), 64);
    EXPECT_EQ(copy + 1, b->Count(kPathCopyBytes)) << b->name;
    EXPECT_EQ(zero + 1, b->Count(kPathZeroFill)) << b->name;
    EXPECT_EQ(fill + 1, b->Count(kPathFill)) << b->name;
    ASSERT_EQ(0, b->CopyWords(w, w + 50, 50));
    ASSERT_EQ(0, b->ZeroWords(w, 100));
    EXPECT_EQ(copy + 2, b->Count(kPathCopyBytes)) << b->name;
    EXPECT_EQ(zero + 2, b->Count(kPathZeroFill)) << b->name;
    if (b->IntegerVector()) {
      ASSERT_EQ(0, b->ShiftLeftWords(3, w, 100));
      ASSERT_EQ(0, b->ShiftRightWords(3, w, 100));
      EXPECT_EQ(shift + 2, b->Count(kPathShift)) << b->name;
      const uint32_t ac4 = b->Count(kPathCopyRowAc4);
      alignas(16) uint8_t px[64] = {};
      b->CopyRowAc4Kernel8u(a.data(), px, 64);
      EXPECT_EQ(ac4 + 1, b->Count(kPathCopyRowAc4)) << b->name;
    }
  }
  const Build& g = Generic();
  ASSERT_EQ(0, g.CopyBytes(a.data(), d.data(), 300));
  ASSERT_EQ(0, g.ZeroBytes(d.data(), 300));
  ASSERT_EQ(0, g.ShiftLeftWords(3, w, 100));
  g.FillKernel32(&v, d.data(), 64);
  for (uint32_t k = 0; k < kPathCount; ++k) EXPECT_EQ(0u, g.counts[k]) << "generic counter " << k;
}

}  // namespace
}  // namespace e2
