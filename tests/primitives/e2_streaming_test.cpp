// The cache probe on injected processor identification, and the streaming decisions of every
// build that it and the size thresholds drive.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "primitives/cache_probe.h"
#include "support/e2_builds.h"
#include "support/e2_memory.h"

namespace e2 {
namespace {

using kvz::kernel::CpuidCallCount;
using kvz::kernel::CpuidTable;
using kvz::prim::kPathStream;
using kvz::prim::ProbeCacheSize;

constexpr uint32_t kKiB = 1024, kMiB = 1024 * 1024;

CpuidTable OtherVendor(const std::vector<uint8_t>& descriptors) {
  CpuidTable t = IntelCache(descriptors);
  t.leaves[{0, 0}] = {4, 0x68747541u, 0x444D4163u, 0x69746E65u};  // AuthenticAMD
  return t;
}

TEST(CacheProbe, EveryDescriptorGivesItsSize) {
  struct Entry {
    uint8_t descriptor;
    uint32_t size;
  };
  const Entry entries[] = {{0x47, 8 * kMiB}, {0x49, 4 * kMiB}, {0x29, 4 * kMiB},   {0x46, 4 * kMiB},
                           {0x25, 2 * kMiB}, {0x7D, 2 * kMiB}, {0x85, 2 * kMiB},   {0x45, 2 * kMiB},
                           {0x23, kMiB},     {0x87, kMiB},     {0x7C, kMiB},       {0x78, kMiB},
                           {0x84, kMiB},     {0x44, kMiB},     {0x22, 512 * kKiB}, {0x7B, 512 * kKiB},
                           {0x86, 512 * kKiB}, {0x7F, 512 * kKiB}, {0x83, 512 * kKiB}, {0x43, 512 * kKiB},
                           {0x7A, 256 * kKiB}, {0x82, 256 * kKiB}, {0x3C, 256 * kKiB}, {0x42, 256 * kKiB}};
  for (const Entry& e : entries) {
    ScopedCpuid cpu(IntelCache({0x01, e.descriptor, 0x2C, 0x30}));  // not in a top byte
    EXPECT_EQ(e.size, ProbeCacheSize(false)) << std::hex << int(e.descriptor);
  }
}

TEST(CacheProbe, Cases) {
  struct Case {
    const char* what;
    CpuidTable cpu;
    bool perCore;
    uint32_t want;
  };
  CpuidTable noCpuid;
  noCpuid.supported = false;
  CpuidTable twoShot = IntelCache({0x7D});
  twoShot.leaves[{2, 0}][0] = (twoShot.leaves[{2, 0}][0] & ~0xFFu) | 2;
  CpuidTable highBit = IntelCache({0x01, 0x02, 0x03, 0x7D});  // 0x7D lands in EBX
  highBit.leaves[{2, 0}][1] |= 0x80000000u;
  CpuidTable inEdx = IntelCache({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x49});
  const std::vector<Case> cases = {
      {"no CPUID", noCpuid, false, 0},
      {"other vendor", OtherVendor({0x7D}), false, 0},
      {"leaf 2 needs more than one call", twoShot, false, 0},
      {"register with bit 31 names nothing", highBit, false, 0},
      {"descriptor in EDX", inEdx, false, 4 * kMiB},
      {"unknown descriptors only", IntelCache({0x01, 0x02, 0xF0}), false, 0},
      {"largest listed cache wins whatever its position", IntelCache({0x42, 0x7D, 0x49, 0x47}), false, 8 * kMiB},
      {"8 MiB listed before 4 MiB", IntelCache({0x49, 0x47}), false, 8 * kMiB},
      {"per core: two cores", IntelCache({0x7D}, 2), true, kMiB},
      {"per core: three cores, unsigned division", IntelCache({0x7D}, 3), true, 2 * kMiB / 3},
      {"per core without leaf 4", IntelCache({0x7D}, 4, 3), true, 2 * kMiB},
      {"not per core ignores leaf 4", IntelCache({0x7D}, 4), false, 2 * kMiB},
  };
  for (const Case& c : cases) {
    ScopedCpuid cpu(c.cpu);
    EXPECT_EQ(c.want, ProbeCacheSize(c.perCore)) << c.what;
  }
}

TEST(CacheProbe, LeafFourOnlyForThePerCoreSizeOfAProcessorThatHasIt) {
  {
    ScopedCpuid cpu(IntelCache({0x7D}, 2, 3));
    ProbeCacheSize(true);
    EXPECT_EQ(0u, CpuidCallCount(4));
    EXPECT_EQ(1u, CpuidCallCount(2));
  }
  {
    ScopedCpuid cpu(IntelCache({0x7D}, 2, 4));
    ProbeCacheSize(false);
    EXPECT_EQ(0u, CpuidCallCount(4));
    ProbeCacheSize(true);
    EXPECT_EQ(1u, CpuidCallCount(4));
  }
  {
    // Nothing is cached between calls.
    ScopedCpuid cpu(IntelCache({0x7D}));
    for (int i = 0; i < 3; ++i) ProbeCacheSize(false);
    EXPECT_EQ(3u, CpuidCallCount(2));
  }
}

// The kernels probe once per kind of size (whole, per core) and keep the answer; large runs
// after the first ask the processor nothing, and still stream by the kept size.
TEST(CacheProbe, KernelsKeepTheSizeTheyProbed) {
  Block buf(2 * kMiB, 0), src(2 * kMiB, 0, 0);
  src.Fill(7);
  for (const Build* b : VectorBuilds()) {
    ScopedCpuid cpu(IntelCache({0x7A}, 2));  // 256 KiB, two cores
    const uint32_t streamsBefore = b->Count(kPathStream);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(0, b->ZeroBytes(buf.data(), 2 * kMiB));
      ASSERT_EQ(0, b->CopyBytes(src.data(), buf.data(), 2 * kMiB));
    }
    EXPECT_EQ(6u, b->Count(kPathStream) - streamsBefore) << b->name;
    // Zero (whole size) and, for the SSE3 copy, the per-core size: one probe each.
    EXPECT_EQ(b->Ssse3() ? 1u : 2u, CpuidCallCount(2)) << b->name;
    EXPECT_EQ(b->Ssse3() ? 0u : 1u, CpuidCallCount(4)) << b->name;
    EXPECT_EQ(0, std::memcmp(src.data(), buf.data(), 2 * kMiB)) << b->name;
  }
  // Another processor is probed afresh once the kept size is dropped.
  ScopedCpuid big(IntelCache({0x47}));
  EXPECT_EQ(8 * kMiB, kvz::prim::StreamingCacheSize(false));
  EXPECT_EQ(8 * kMiB, kvz::prim::StreamingCacheSize(false));
  EXPECT_EQ(1u, CpuidCallCount(2));
}

// A large run through a build: did it probe (leaf 2 queried), and did it stream?
struct Outcome {
  uint32_t leaf2, leaf4;
  bool streamed;
};

template <typename F>
Outcome Observe(const Build& b, const CpuidTable& cpu, F&& run) {
  ScopedCpuid scoped(cpu);
  const uint32_t before = b.Count(kPathStream);
  run();
  return {CpuidCallCount(2), CpuidCallCount(4), b.Count(kPathStream) != before};
}

TEST(Streaming, CopyBytesDecisions) {
  Block src(4 * kMiB + 64, 0, 0), dst(4 * kMiB + 64, 0);
  struct Case {
    const char* what;
    CpuidTable cpu;
    size_t bytes;
    size_t dstMis;
    // expected per strategy: SSE3-like builds, SSSE3 build
    bool probeSse3, streamSse3, probeSsse3, streamSsse3;
  };
  const std::vector<Case> cases = {
      {"2 MiB, 2 MiB cache, 2 cores", IntelCache({0x7D}, 2), 2 * kMiB, 0, true, true, true, true},
      {"just below the SSE3 probe size", IntelCache({0x7A}), 0x80000 - 1, 0, false, false, false, false},
      {"SSE3 probe size, 1 MiB cache", IntelCache({0x87}), 0x80000, 0, true, true, false, false},
      {"1 MiB, 8 MiB cache", IntelCache({0x47}), kMiB, 0, true, false, true, false},
      {"1 MiB, 2 MiB cache, 1 core", IntelCache({0x7D}), kMiB, 0, true, true, true, true},
      {"1 MiB just below half of 2 MiB per core", IntelCache({0x25}, 1), kMiB - 16, 0, true, false, false, false},
      {"4 MiB, 8 MiB cache, 2 cores", IntelCache({0x47}, 2), 4 * kMiB, 0, true, true, true, true},
      {"other vendor", OtherVendor({0x7D}), 2 * kMiB, 0, false, false, false, false},
      // Destination aligned on the way and source aligned: no streaming considered.
      {"aligned source, destination aligned late", IntelCache({0x7A}), 2 * kMiB, 4, false, false, false, false},
  };
  for (const Build& b : Builds()) {
    for (const Case& c : cases) {
      uint8_t* d = dst.data() + c.dstMis;
      const uint8_t* s = src.data() + c.dstMis;  // equal offsets: the source is aligned after the head
      const Outcome o = Observe(b, c.cpu, [&] { ASSERT_EQ(0, b.CopyBytes(s, d, static_cast<int32_t>(c.bytes))); });
      if (!b.Vector()) {
        EXPECT_EQ(0u, o.leaf2) << b.name << " " << c.what;
        EXPECT_FALSE(o.streamed) << b.name << " " << c.what;
        continue;
      }
      const bool probe = b.Ssse3() ? c.probeSsse3 : c.probeSse3;
      const bool stream = b.Ssse3() ? c.streamSsse3 : c.streamSse3;
      // The vendor check comes first, so another vendor answers leaf 0 only.
      EXPECT_EQ(probe && std::string(c.what) != "other vendor" ? 1u : 0u, o.leaf2) << b.name << " " << c.what;
      EXPECT_EQ(stream, o.streamed) << b.name << " " << c.what;
      if (probe && o.leaf2 != 0) {
        EXPECT_EQ(b.Ssse3() ? 0u : 1u, o.leaf4) << b.name << " " << c.what;
      }
      EXPECT_EQ(0, std::memcmp(s, d, c.bytes)) << b.name << " " << c.what;
    }
  }
}

TEST(Streaming, ZeroAndFillDecisions) {
  Block buf(2 * kMiB, 0);
  for (const Build* b : VectorBuilds()) {
    struct Case {
      CpuidTable cpu;
      size_t bytes;
      bool probe, stream;
    };
    const Case cases[] = {{IntelCache({0x7A}), 0x80000, false, false},
                          {IntelCache({0x7A}), 0x80000 + 16, true, true},
                          {IntelCache({0x7D}), 0x100000, true, false},
                          {IntelCache({0x7D}), 2 * kMiB, true, true},
                          {OtherVendor({0x7A}), 2 * kMiB, false, false}};
    for (const Case& c : cases) {
      const Outcome o = Observe(*b, c.cpu, [&] { ASSERT_EQ(0, b->ZeroBytes(buf.data(), static_cast<int32_t>(c.bytes))); });
      EXPECT_EQ(c.probe ? 1u : 0u, o.leaf2) << b->name << " zero " << c.bytes;
      EXPECT_EQ(c.stream, o.streamed) << b->name << " zero " << c.bytes;
      for (size_t i = 0; i < c.bytes; i += 4093) ASSERT_EQ(0, buf.data()[i]);
    }
    // 32-bit fill: considered above 262,144 elements, streams above a quarter of the cache.
    const uint32_t v = 0xDEADBEEF;
    Outcome o = Observe(*b, IntelCache({0x7A}), [&] { b->FillKernel32(&v, buf.data(), 262144); });
    EXPECT_FALSE(o.streamed) << b->name;
    o = Observe(*b, IntelCache({0x7A}), [&] { b->FillKernel32(&v, buf.data(), 262145); });
    EXPECT_TRUE(o.streamed) << b->name;
    o = Observe(*b, IntelCache({0x25}), [&] { b->FillKernel32(&v, buf.data(), 300000); });
    EXPECT_FALSE(o.streamed) << b->name;  // 2 MiB / 4 = 524288 elements
  }
}

TEST(Streaming, CacheAwareRegionCopyDecisions) {
  const Build* ssse3 = nullptr;
  for (const Build& b : Builds()) {
    if (b.Ssse3()) ssse3 = &b;
  }
  ASSERT_NE(nullptr, ssse3);
  Block src(4 * kMiB, 0, 0), dst(4 * kMiB, 0);
  struct Case {
    const char* what;
    CpuidTable cpu;
    uint32_t cache;   // what the processor reports, 0 for nothing
    int32_t height;   // rows of up to 1 KiB
  };
  const Case cases[] = {
      {"1 MiB never streams", IntelCache({0x7A}), 256 * kKiB, 1024},
      {"3 MiB, 8 MiB cache", IntelCache({0x47}), 8 * kMiB, 3072},
      {"3 MiB, 4 MiB cache", IntelCache({0x49}), 4 * kMiB, 3072},
      {"3 MiB, both listed", IntelCache({0x49, 0x47}), 8 * kMiB, 3072},
      {"4 MiB, 8 MiB cache: exactly half", IntelCache({0x47}), 8 * kMiB, 4096},
      {"other vendor", OtherVendor({0x7A}), 0, 4096},
  };
  for (const Case& c : cases) {
    for (int32_t pad : {0, 64}) {
      // With padding the rows are not joined; the region is smaller by the padding.
      const int32_t w = 1024 - pad, step = 1024;
      const Outcome o = Observe(*ssse3, c.cpu, [&] {
        ASSERT_EQ(0, ssse3->CopyImage8u(src.data(), step, dst.data(), step, {w, c.height}));
      });
      const uint64_t total = static_cast<uint64_t>(w) * c.height;
      const bool probes = total >= 2 * kMiB;
      EXPECT_EQ(probes && c.cache != 0 ? 1u : 0u, o.leaf2) << c.what << " pad " << pad;
      EXPECT_EQ(probes && c.cache != 0 && total >= c.cache / 2, o.streamed) << c.what << " pad " << pad;
      for (int32_t r = 0; r < c.height; r += 97) {
        ASSERT_EQ(0, std::memcmp(src.data() + r * step, dst.data() + r * step, w)) << c.what;
      }
    }
  }
}

TEST(Streaming, RegionThresholds) {
  // Streaming switches one pixel above each limit of output bytes.
  struct Case {
    const char* what;
    uint64_t limitSse3, limitSsse3;
    int bytesPerPixel;
    std::function<void(const Build&, int32_t w, int32_t h)> run;
  };
  Block a(8 * kMiB + 64, 0), b8(8 * kMiB + 64, 0), c8(8 * kMiB, 0), d8(8 * kMiB, 0), e8(8 * kMiB, 0);
  uint8_t* planes[4] = {b8.data(), c8.data(), d8.data(), e8.data()};
  const std::vector<Case> cases = {
      {"InterleavePlanes8uP3C3", 0x100000, 0x200000, 3,
       [&](const Build& b, int32_t w, int32_t h) {
         ASSERT_EQ(0, b.InterleavePlanes8uP3C3(planes, w, a.data(), 3 * w, {w, h}));
       }},
      {"InterleavePlanes8uP4C4", 0x100000, 0x200000, 4,
       [&](const Build& b, int32_t w, int32_t h) {
         ASSERT_EQ(0, b.InterleavePlanes8uP4C4(planes, w, a.data(), 4 * w, {w, h}));
       }},
      {"SplitPixels16sC3P3", 0x100000, 0x200000, 6,
       [&](const Build& b, int32_t w, int32_t h) {
         int16_t* p[3] = {b8.as<int16_t>(), c8.as<int16_t>(), d8.as<int16_t>()};
         ASSERT_EQ(0, b.SplitPixels16sC3P3(a.as<int16_t>(), 6 * w, p, 2 * w, {w, h}));
       }},
      {"SplitPixels16sC4P4", 0x100000, 0x200000, 8,
       [&](const Build& b, int32_t w, int32_t h) {
         int16_t* p[4] = {b8.as<int16_t>(), c8.as<int16_t>(), d8.as<int16_t>(), e8.as<int16_t>()};
         ASSERT_EQ(0, b.SplitPixels16sC4P4(a.as<int16_t>(), 8 * w, p, 2 * w, {w, h}));
       }},
      {"ConvertBytesToWords joined", 3 * 87381, 3 * 87381, 3,
       [&](const Build& b, int32_t w, int32_t h) {
         ASSERT_EQ(0, b.ConvertBytesToWords(b8.data(), w, a.as<int16_t>(), 2 * w, {w, h}));
       }},
      {"CopyImage8u (SSE3 strategy)", 0x100000, 0, 1,
       [&](const Build& b, int32_t w, int32_t h) { ASSERT_EQ(0, b.CopyImage8u(b8.data(), w, a.data(), w, {w, h})); }},
  };
  for (const Build* b : VectorBuilds()) {
    if (!b->IntegerVector()) continue;  // the SSE-only build packs and converts with scalar code
    for (const Case& c : cases) {
      const uint64_t limit = b->Ssse3() ? c.limitSsse3 : c.limitSse3;
      if (limit == 0) continue;
      const int32_t pixels = static_cast<int32_t>(limit / c.bytesPerPixel);
      for (int32_t extra : {0, 1}) {
        // Width a multiple of 16 keeps every row's blocks in the vector path.
        const int32_t w = 64, h = (pixels + extra) / w;
        if (static_cast<uint64_t>(w) * h * c.bytesPerPixel == limit && extra == 1) continue;
        const Outcome o = Observe(*b, IntelCache({0x7A}), [&] { c.run(*b, w, h); });
        EXPECT_EQ(static_cast<uint64_t>(w) * h * c.bytesPerPixel > limit, o.streamed)
            << c.what << " " << b->name << " " << w << "x" << h;
        const Outcome above = Observe(*b, IntelCache({0x7A}), [&] { c.run(*b, w, h + 1); });
        EXPECT_TRUE(above.streamed) << c.what << " " << b->name;
      }
    }
  }
}

TEST(Streaming, UnjoinedBytesToWordsNeedsWideRows) {
  Block src(kMiB, 0, 0), dst(2 * kMiB + 64, 0);
  for (const Build* b : VectorBuilds()) {
    if (!b->IntegerVector()) continue;
    struct Case {
      int32_t w, h;
      bool stream;
    };
    // Source step above the width: rows are not joined; 174763 samples and rows over 512.
    const Case cases[] = {{513, 340, false}, {513, 341, true}, {512, 400, false}, {1024, 171, true}};
    for (const Case& c : cases) {
      const Outcome o = Observe(*b, IntelCache({0x7A}), [&] {
        ASSERT_EQ(0, b->ConvertBytesToWords(src.data(), c.w + 1, dst.as<int16_t>(), 2 * c.w, {c.w, c.h}));
      });
      EXPECT_EQ(c.stream, o.streamed) << b->name << " " << c.w << "x" << c.h;
    }
  }
}

#if !defined(__i386__)
// Region sizes beyond 2^31 bytes (one row copied again and again with steps of 0) must still
// count as large: the sizes are formed in 64 bits.
TEST(Streaming, RegionSizesAbove31BitsStillStream) {
  Block src(65536, 0, 0), dst(65536, 0);
  src.Fill(3);
  const kvz::prim::RoiSize roi{65536, 32769};
  for (const Build* b : VectorBuilds()) {
    const Outcome o = Observe(*b, IntelCache({0x7A}), [&] { ASSERT_EQ(0, b->CopyImage8u(src.data(), 0, dst.data(), 0, roi)); });
    EXPECT_TRUE(o.streamed) << b->name;
    ASSERT_EQ(0, std::memcmp(src.data(), dst.data(), 65536)) << b->name;
  }
}
#endif

TEST(Streaming, GenericBuildNeverAsksTheProcessor) {
  const Build& g = Generic();
  ScopedCpuid cpu(IntelCache({0x7A}));
  Block s(4 * kMiB, 0, 0), d(4 * kMiB, 0);
  ASSERT_EQ(0, g.CopyBytes(s.data(), d.data(), 4 * kMiB));
  ASSERT_EQ(0, g.ZeroBytes(d.data(), 4 * kMiB));
  ASSERT_EQ(0, g.CopyImage8u(s.data(), 2048, d.data(), 2048, {2048, 2048}));
  EXPECT_EQ(0u, CpuidCallCount(0));
  EXPECT_EQ(0u, CpuidCallCount(2));
  EXPECT_EQ(0u, g.Count(kPathStream));
}

}  // namespace
}  // namespace e2
