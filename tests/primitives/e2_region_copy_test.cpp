// Region copy, plane packing and sample conversion: every build against the per-pixel rule and
// against the generic build, byte for byte including the guard bytes and the padding between
// destination rows, at misaligned pointers and around the streaming thresholds.
#include <gtest/gtest.h>

#include <memory>

#include "support/e2_builds.h"
#include "support/e2_memory.h"

namespace e2 {
namespace {

using kvz::prim::PrimitiveStatus;
using kvz::prim::RoiSize;

enum class Rule { kCopy, kNarrow, kWiden };

struct Op {
  const char* name;
  int channels;
  bool srcPlanar, dstPlanar;
  int srcSample, dstSample;  // bytes
  Rule rule;
  bool checksSteps;
  PrimitiveStatus (*call)(const Build&, void* const* src, int32_t srcStep, void* const* dst, int32_t dstStep,
                          RoiSize roi);
  std::vector<uint64_t> thresholds;  // bytes written around which streaming switches
};

template <typename T>
T* P(void* p) {
  return static_cast<T*>(p);
}

const std::vector<Op>& Ops() {
  static const std::vector<Op> ops = {
      {"CopyImage8u", 1, false, false, 1, 1, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.CopyImage8u(P<const uint8_t>(s[0]), ss, P<uint8_t>(d[0]), ds, r);
       },
       {0x100000, 0x200000}},
      {"CopyImage16s", 1, false, false, 2, 2, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.CopyImage16s(P<const int16_t>(s[0]), ss, P<int16_t>(d[0]), ds, r);
       },
       {0x100000, 0x200000}},
      {"InterleavePlanes8uP3C3", 3, true, false, 1, 1, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.InterleavePlanes8uP3C3(reinterpret_cast<const uint8_t* const*>(s), ss, P<uint8_t>(d[0]), ds, r);
       },
       {0x100000, 0x200000}},
      {"InterleavePlanes8uP4C4", 4, true, false, 1, 1, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.InterleavePlanes8uP4C4(reinterpret_cast<const uint8_t* const*>(s), ss, P<uint8_t>(d[0]), ds, r);
       },
       {0x100000, 0x200000}},
      {"SplitPixels8uC3P3", 3, false, true, 1, 1, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.SplitPixels8uC3P3(P<const uint8_t>(s[0]), ss, reinterpret_cast<uint8_t* const*>(d), ds, r);
       },
       {160000}},
      {"SplitPixels8uC4P4", 4, false, true, 1, 1, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.SplitPixels8uC4P4(P<const uint8_t>(s[0]), ss, reinterpret_cast<uint8_t* const*>(d), ds, r);
       },
       {160000}},
      {"SplitPixels16sC3P3", 3, false, true, 2, 2, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.SplitPixels16sC3P3(P<const int16_t>(s[0]), ss, reinterpret_cast<int16_t* const*>(d), ds, r);
       },
       {0x100000, 0x200000}},
      {"SplitPixels16sC4P4", 4, false, true, 2, 2, Rule::kCopy, false,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.SplitPixels16sC4P4(P<const int16_t>(s[0]), ss, reinterpret_cast<int16_t* const*>(d), ds, r);
       },
       {0x100000, 0x200000}},
      {"ConvertWordsToBytes", 1, false, false, 2, 1, Rule::kNarrow, true,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.ConvertWordsToBytes(P<const int16_t>(s[0]), ss, P<uint8_t>(d[0]), ds, r);
       },
       {}},
      {"ConvertBytesToWords", 1, false, false, 1, 2, Rule::kWiden, true,
       [](const Build& b, void* const* s, int32_t ss, void* const* d, int32_t ds, RoiSize r) {
         return b.ConvertBytesToWords(P<const uint8_t>(s[0]), ss, P<int16_t>(d[0]), ds, r);
       },
       {2 * 87381, 2 * 174763}},
  };
  return ops;
}

// One image side: one interleaved block or one block per plane.
struct Side {
  std::vector<std::unique_ptr<Block>> blocks;
  void* ptrs[4] = {};
  int32_t step = 0;
};

// Planes after the first lie `spread` bytes further from alignment each, so the packing and
// splitting primitives meet every alignment class of their plane pointers.
Side MakeSide(const Op& op, bool source, RoiSize roi, int32_t pad, size_t misalign, uint32_t seed,
              size_t spread = 4) {
  Side side;
  const bool planar = source ? op.srcPlanar : op.dstPlanar;
  const int sample = source ? op.srcSample : op.dstSample;
  const int planes = planar ? op.channels : 1;
  const int perPixel = planar ? 1 : op.channels;
  side.step = roi.width * perPixel * sample + pad;
  const size_t bytes = static_cast<size_t>(side.step) * (roi.height - 1) + static_cast<size_t>(roi.width) * perPixel * sample;
  for (int p = 0; p < planes; ++p) {
    // Sources end exactly at their allocation; destinations carry guard bytes.
    const size_t mis = (misalign + spread * p) % 16;
    side.blocks.push_back(std::make_unique<Block>(bytes, mis, source ? 0 : 64));
    side.blocks.back()->Fill(seed + p);
    side.ptrs[p] = side.blocks.back()->data();
  }
  return side;
}

int64_t ReadSample(const uint8_t* p, int size, bool isSigned) {
  if (size == 1) return p[0];
  int16_t v;
  std::memcpy(&v, p, 2);
  return isSigned ? v : static_cast<uint16_t>(v);
}

// The per-pixel rule, written independently of the primitives.
void Reference(const Op& op, const Side& src, Side& dst, RoiSize roi) {
  for (int32_t r = 0; r < roi.height; ++r) {
    for (int32_t j = 0; j < roi.width; ++j) {
      for (int c = 0; c < op.channels; ++c) {
        const uint8_t* s = static_cast<const uint8_t*>(src.ptrs[op.srcPlanar ? c : 0]) + static_cast<ptrdiff_t>(r) * src.step +
                           static_cast<ptrdiff_t>(op.srcPlanar ? j : j * op.channels + c) * op.srcSample;
        uint8_t* d = static_cast<uint8_t*>(dst.ptrs[op.dstPlanar ? c : 0]) + static_cast<ptrdiff_t>(r) * dst.step +
                     static_cast<ptrdiff_t>(op.dstPlanar ? j : j * op.channels + c) * op.dstSample;
        int64_t v = ReadSample(s, op.srcSample, true);
        if (op.rule == Rule::kNarrow) v = v < 0 ? 0 : (v > 255 ? 255 : v);
        if (op.dstSample == 1) {
          d[0] = static_cast<uint8_t>(v);
        } else {
          const int16_t w = static_cast<int16_t>(v);
          std::memcpy(d, &w, 2);
        }
      }
    }
  }
}

std::vector<std::vector<uint8_t>> Snapshot(const Side& side) {
  std::vector<std::vector<uint8_t>> v;
  for (const auto& b : side.blocks) v.push_back(b->All());
  return v;
}

struct Shape {
  RoiSize roi;
  int32_t srcPad, dstPad;
  size_t srcMis, dstMis;
  size_t spread = 4;
};

// Runs every build on the shape; each must equal the per-pixel rule, guards included.
void CheckShape(const Op& op, const Shape& sh, uint32_t seed) {
  Side src = MakeSide(op, true, sh.roi, sh.srcPad, sh.srcMis, seed, sh.spread);
  Side expected = MakeSide(op, false, sh.roi, sh.dstPad, sh.dstMis, seed * 7 + 1, sh.spread);
  Reference(op, src, expected, sh.roi);
  const auto want = Snapshot(expected);
  for (const Build& b : Builds()) {
    Side dst = MakeSide(op, false, sh.roi, sh.dstPad, sh.dstMis, seed * 7 + 1, sh.spread);
    ASSERT_EQ(0, op.call(b, src.ptrs, src.step, dst.ptrs, dst.step, sh.roi));
    ASSERT_EQ(want, Snapshot(dst)) << op.name << " build " << b.name << " " << sh.roi.width << "x" << sh.roi.height
                                   << " pads " << sh.srcPad << "/" << sh.dstPad << " misalign " << sh.srcMis << "/"
                                   << sh.dstMis;
  }
}

class RegionOps : public ::testing::TestWithParam<size_t> {
 protected:
  const Op& op() const { return Ops()[GetParam()]; }
};

TEST_P(RegionOps, EveryBuildMatchesTheRuleAtEverySmallSizeAndAlignment) {
  // A cache the processor reports keeps the cache-aware copy's decision deterministic.
  ScopedCpuid cpu(IntelCache({0x7D}));
  uint32_t seed = 1;
  for (int32_t w = 1; w <= 130; ++w) {
    for (const Misalign& m : MisalignPairs()) {
      // Rows back to back (joined where the primitive joins) and rows with padding.
      CheckShape(op(), {{w, 3}, 0, 0, m.src, m.dst, 8}, seed++);
      CheckShape(op(), {{w, 2}, 5, 3, m.src, m.dst}, seed++);
      // Planes at one offset within 16 bytes: the aligned-store paths.
      CheckShape(op(), {{w, 2}, 0, 6, m.src, m.dst, 16}, seed++);
      if (HasFatalFailure()) return;
    }
  }
}

TEST_P(RegionOps, EveryBuildMatchesAroundTheStreamingAndJoiningThresholds) {
  ScopedCpuid cpu(IntelCache({0x7D}));
  const int outBytes = op().channels * op().dstSample;
  const int inBytes = op().channels * op().srcSample;
  uint32_t seed = 99;
  for (uint64_t t : op().thresholds) {
    // For the splits the limit counts source bytes; for the others destination bytes.
    const uint64_t per = t == 160000 ? inBytes : outBytes;
    // At the limit (not above it) and one pixel above.
    for (int64_t delta : {0, 1}) {
      const int32_t pixels = static_cast<int32_t>(t / per) + static_cast<int32_t>(delta);
      for (int32_t h : {1, 4}) {
        const int32_t w = (pixels + h - 1) / h;
        CheckShape(op(), {{w, h}, 0, 0, 4, 8}, seed++);
        CheckShape(op(), {{w, h}, 0, 0, 2, 0, 16}, seed++);
        if (!kEmulated) CheckShape(op(), {{w, h}, 16, 0, 1, 0}, seed++);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST_P(RegionOps, ErrorsComeInCheckOrderAndWriteNothing) {
  const Op& o = op();
  const RoiSize roi{4, 2};
  struct Case {
    const char* what;
    int nullSrc, nullDst;  // -1 none, 4 the array, otherwise that plane
    RoiSize roi;
    int32_t srcStep, dstStep;
    PrimitiveStatus want;
  };
  std::vector<Case> cases = {
      {"null source", o.srcPlanar ? 0 : 0, -1, roi, 64, 64, -8},
      {"null destination", -1, 0, roi, 64, 64, -8},
      {"null source beats zero width", 0, -1, {0, 2}, 0, 0, -8},
      {"null destination beats zero width", -1, 0, {0, 2}, 0, 0, -8},
      {"zero width", -1, -1, {0, 2}, 64, 64, -6},
      {"negative height", -1, -1, {4, -1}, 64, 64, -6},
      {"size beats step", -1, -1, {-3, 2}, 0, 0, -6},
      {"zero source step", -1, -1, roi, 0, 64, o.checksSteps ? -14 : 0},
      {"negative destination step", -1, -1, roi, 64, -64, o.checksSteps ? -14 : 999},
  };
  const int planesSrc = o.srcPlanar ? o.channels : 0, planesDst = o.dstPlanar ? o.channels : 0;
  for (int p = 1; p < planesSrc; ++p) cases.push_back({"null source plane", p, -1, {0, 0}, 64, 64, -8});
  for (int p = 1; p < planesDst; ++p) cases.push_back({"null destination plane", -1, p, {0, 0}, 64, 64, -8});
  if (planesSrc) cases.push_back({"null source array", 4, -1, roi, 64, 64, -8});
  if (planesDst) cases.push_back({"null destination array", -1, 4, roi, 64, 64, -8});

  for (const Build& b : Builds()) {
    for (const Case& c : cases) {
      if (c.want == 999) continue;  // a negative step walks upward; covered below
      Side src = MakeSide(o, true, {4, 4}, 64, 0, 5);
      Side dst = MakeSide(o, false, {4, 4}, 64, 0, 6);
      // Steps of 64 bytes keep every case inside the 4-row blocks.
      void* sp[4], *dp[4];
      std::memcpy(sp, src.ptrs, sizeof sp);
      std::memcpy(dp, dst.ptrs, sizeof dp);
      void* const* sArg = sp;
      void* const* dArg = dp;
      if (c.nullSrc == 4) sArg = nullptr;
      else if (c.nullSrc >= 0) sp[c.nullSrc] = nullptr;
      if (c.nullDst == 4) dArg = nullptr;
      else if (c.nullDst >= 0) dp[c.nullDst] = nullptr;
      const auto before = Snapshot(dst);
      EXPECT_EQ(c.want, o.call(b, sArg, c.srcStep, dArg, c.dstStep, c.roi)) << o.name << " " << b.name << " " << c.what;
      if (c.want < 0) {
        EXPECT_EQ(before, Snapshot(dst)) << o.name << " " << b.name << " " << c.what;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, RegionOps, ::testing::Range<size_t>(0, 10), [](const auto& info) {
  return std::string(Ops()[info.param].name);
});

TEST(RegionCopy, ZeroStepsCopyTheSameRowAndNegativeStepsWalkUpward) {
  uint8_t src[3 * 8], dst[3 * 8];
  for (int i = 0; i < 24; ++i) src[i] = static_cast<uint8_t>(i + 1);
  for (const Build& b : Builds()) {
    std::memset(dst, 0xEE, sizeof dst);
    ASSERT_EQ(0, b.CopyImage8u(src, 0, dst, 8, {6, 3}));
    for (int r = 0; r < 3; ++r) {
      for (int j = 0; j < 8; ++j) {
        EXPECT_EQ(j < 6 ? j + 1 : 0xEE, dst[8 * r + j]) << b.name;
      }
    }
    std::memset(dst, 0xEE, sizeof dst);
    // Start at the last row of each image and step upward.
    ASSERT_EQ(0, b.CopyImage8u(src + 16, -8, dst + 16, -8, {8, 3}));
    EXPECT_EQ(0, std::memcmp(src, dst, sizeof dst)) << b.name;
  }
}

TEST(RegionCopy, SaturationAndZeroExtensionValues) {
  const int16_t words[] = {-32768, -1, 0, 100, 254, 255, 256, 32767};
  const uint8_t bytesWant[] = {0, 0, 0, 100, 254, 255, 255, 255};
  const uint8_t bytes[] = {0, 127, 128, 255};
  for (const Build& b : Builds()) {
    uint8_t out[8];
    ASSERT_EQ(0, b.ConvertWordsToBytes(words, 16, out, 8, {8, 1}));
    EXPECT_EQ(0, std::memcmp(out, bytesWant, 8)) << b.name;
    int16_t wide[4];
    ASSERT_EQ(0, b.ConvertBytesToWords(bytes, 4, wide, 8, {4, 1}));
    EXPECT_EQ((std::vector<int16_t>{0, 127, 128, 255}), std::vector<int16_t>(wide, wide + 4)) << b.name;
  }
}

TEST(RegionCopy, QuantTableShapeWidensAsOneRow) {
  uint8_t table[64];
  for (int i = 0; i < 64; ++i) table[i] = static_cast<uint8_t>(200 + i);
  for (const Build& b : Builds()) {
    int16_t out[64] = {};
    ASSERT_EQ(0, b.ConvertBytesToWords(table, 8, out, 16, {8, 8}));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(table[i], out[i]) << b.name;
  }
}

// A vector build must run its own vector code, not the scalar loops.
TEST(RegionCopy, VectorBuildsRunTheirOwnKernels) {
  using namespace kvz::prim;
  ScopedCpuid cpu(IntelCache({0x7D}));
  const RoiSize roi{96, 4};
  Block s8(4 * 96 * 4 * 2, 0, 0), d8(4 * 96 * 4 * 2, 0);
  const Op* byName[10];
  for (size_t i = 0; i < 10; ++i) byName[i] = &Ops()[i];
  const CountedPath uses[10] = {kPathCopyRow, kPathCopyRow, kPathInterleave, kPathInterleave, kPathSplitPixels,
                              kPathSplitPixels, kPathSplitPixels, kPathSplitPixels, kPathWordsToBytes,
                              kPathBytesToWords};
  for (const Build* b : VectorBuilds()) {
    for (size_t i = 0; i < 10; ++i) {
      const Op& o = *byName[i];
      CountedPath use = uses[i];
      if (!b->IntegerVector() && i >= 2) continue;  // the SSE-only build has no integer vectors
      if (b->Ssse3() && i < 2) use = kPathCopyRowCacheAware;
      Side src = MakeSide(o, true, roi, 0, 0, 3);
      Side dst = MakeSide(o, false, roi, 0, 0, 4);
      const uint32_t before = b->Count(use);
      const uint32_t genericBefore = Generic().Count(use);
      ASSERT_EQ(0, o.call(*b, src.ptrs, src.step, dst.ptrs, dst.step, roi));
      EXPECT_GT(b->Count(use), before) << o.name << " " << b->name;
      ASSERT_EQ(0, o.call(Generic(), src.ptrs, src.step, dst.ptrs, dst.step, roi));
      EXPECT_EQ(Generic().Count(use), genericBefore) << o.name;
    }
  }
}

}  // namespace
}  // namespace e2
