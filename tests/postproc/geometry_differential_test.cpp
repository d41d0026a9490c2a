// The frame geometry against its plain per-pixel definitions (support/geometry_reference.h),
// byte for byte, over tiny, odd, portrait, extreme and full-HD sizes: tiled, table-driven and
// vector paths must not change a single byte, and must write nothing outside their frames.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kvz/kernel_testing.h"
#include "postproc/geometry/bilinear_resample.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/base/frame_format.h"
#include "postproc/geometry/frame_rotation.h"
#include "postproc/geometry/image_crop_resize.h"
#include "primitives/build_selection.h"
#include "primitives/cpu_features.h"
#include "support/geometry_reference.h"
#include "support/guarded_buffer.h"
#include "support/yuy2_frames.h"

namespace kvz {
namespace {

using test::GuardedBuffer;
using test::RandomBytes;

struct Resize {
  int sw, sh, dw, dh;
};

// Sides here stay under 8192; bounding them lets the compiler see that no size overflows, even
// with a 32-bit size_t.
size_t Bytes(int width, int height, int perPixel) {
  return static_cast<size_t>(width & 0x1FFF) * static_cast<size_t>(height & 0x1FFF) *
         static_cast<size_t>(perPixel & 3);
}

// Deterministic assorted sizes from 2 to max on each side (mostly small, so that every tail and
// edge rule is met many times).
std::vector<Resize> AssortedResizes(int count, int max, uint32_t seed) {
  std::vector<Resize> out;
  uint32_t s = seed;
  auto next = [&] {
    s = s * 1664525u + 1013904223u;
    return 2 + static_cast<int>((s >> 8) % static_cast<uint32_t>(max - 1));
  };
  for (int n = 0; n < count; ++n) out.push_back({next(), next(), next(), next()});
  return out;
}

// The frame processor's zoom and the quarter turn's fit among them, both ways from 2 x 2 to
// 1920 x 1080 and portrait, exact and inexact ratios, extreme aspect ratios.
const Resize kNamedResizes[] = {
    {1920, 1080, 1920, 1080}, {960, 540, 1920, 1080},  {1745, 981, 1920, 1080},
    {1920, 1080, 1080, 604},  {1080, 1920, 604, 1080}, {1280, 720, 1920, 1080},
    {1920, 1080, 960, 540},   {640, 480, 480, 360},    {2, 2, 2, 2},
    {2, 2, 9, 7},             {9, 7, 2, 2},            {3, 5, 33, 17},
    {641, 481, 319, 239},     {33, 17, 34, 18},        {1000, 8, 9, 40},
    {16, 300, 1000, 3},       {17, 3, 16, 3},          {18, 4, 160, 4},
    {176, 144, 320, 240},     {320, 240, 176, 144},    {9, 9, 9, 9},
    {250, 2, 30, 2},          {40, 9, 1024, 9},        {1023, 5, 1024, 5},
};

// A processor with SSE2 but without SSSE3: the geometry's byte-shuffle paths stand aside.
const kernel::CpuidTable& Sse2OnlyProcessor() {
  static const kernel::CpuidTable table = [] {
    kernel::CpuidTable t;
    t.leaves[{0, 0}] = {1, 0, 0, 0};
    t.leaves[{1, 0}] = {0x00000F41, 0, 0, (1u << 25) | (1u << 26)};
    return t;
  }();
  return table;
}

// The geometry runs the build the dispatch holds, chosen once as the device's add chooses it:
// a processor is put in place and its build selected, and afterwards the generic build is back.
void RunOn(const kernel::CpuidTable* cpu) {
  kernel::InjectCpuid(cpu);
  prim::SelectBuild();
}

void EndRun() {
  kernel::InjectCpuid(nullptr);
  prim::PrimitiveDispatchIndex.store(0);
}

std::vector<Resize> ResizeCases() {
  std::vector<Resize> cases(std::begin(kNamedResizes), std::end(kNamedResizes));
  for (const auto& r : AssortedResizes(60, 120, 7)) cases.push_back(r);
  return cases;
}

// The byte-shuffle paths take their tables from the pool: each is run with SSSE3 and a pool
// that gives, with SSSE3 and a pool that refuses, and without SSSE3.
struct PathSetting {
  const char* name;
  const kernel::CpuidTable* cpu;
  bool poolRefuses;
};

const PathSetting kPathSettings[] = {{"this processor", nullptr, false},
                                     {"this processor, no pool block", nullptr, true},
                                     {"without SSSE3", &Sse2OnlyProcessor(), false}};

// Each setting must have taken the path it names (the cases include wide enlargements, which
// ask for a block) and returned every block.
void ExpectPathTaken(const PathSetting& setting, const kernel::PoolTagStats& before,
                     const kernel::PoolTagStats& after) {
  EXPECT_EQ(0u, after.liveBlocks);
#if defined(__SSE2__)
  const bool shuffles = !setting.cpu && prim::HasSsse3();
#else
  const bool shuffles = false;  // the 32-bit build keeps the plain loops
#endif
  if (shuffles && setting.poolRefuses)
    EXPECT_GT(after.injectedFailures, before.injectedFailures);
  else if (shuffles)
    EXPECT_GT(after.allocations, before.allocations);
  else
    EXPECT_EQ(after.allocations, before.allocations);
}

// Enlargements take byte shuffles where the processor has SSSE3, with a row of shuffles from
// the pool or strips of them on the stack when the pool has none; every setting is checked.
TEST(GeometryAgainstDefinition, NearestYuy2Resize) {
  std::vector<Resize> cases = ResizeCases();
  cases.push_back({600, 2, 4200, 3});  // wider than one row of shuffles: two strips
  for (const PathSetting& setting : kPathSettings) {
    const kernel::PoolTagStats before = kernel::PoolStatsForTag(kTagResizeStrip);
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << setting.name << " " << c.sw << "x" << c.sh << " -> "
                                        << c.dw << "x" << c.dh);
      const auto src = RandomBytes(Bytes(c.sw, c.sh, 2), c.sw * 131 + c.dh);
      const size_t bytes = Bytes(c.dw, c.dh, 2);
      GuardedBuffer got(bytes, 0x3C);
      std::vector<uint8_t> want(bytes, 0x3C);
      RunOn(setting.cpu);
      if (setting.poolRefuses) kernel::FailAllocationsRandomly(1.0, 7, kTagResizeStrip);
      const NTSTATUS status =
          ResizeImage(src.data(), got.data(), c.sw, c.sh, c.dw, c.dh, kPixelYuy2);
      kernel::ClearPoolFaults();
      EndRun();
      ASSERT_EQ(STATUS_SUCCESS, status);
      test::ReferenceResizeYuy2(src.data(), c.sw, c.sh, want.data(), c.dw, c.dh);
      ASSERT_EQ(0, memcmp(want.data(), got.data(), bytes));
      ASSERT_TRUE(got.GuardsIntact());
    }
    ExpectPathTaken(setting, before, kernel::PoolStatsForTag(kTagResizeStrip));
  }
}

struct Frame {
  int w, h;
};

std::vector<Frame> TurnFrames() {
  std::vector<Frame> frames = {{1920, 1080}, {1080, 1920}, {1280, 720}, {640, 480},
                               {480, 640},   {176, 144},   {2, 2},      {8, 2},
                               {9, 5},       {5, 9},       {641, 481},  {63, 99},
                               {61, 101},    {33, 32},     {32, 33},    {1000, 48},
                               {48, 1000},   {99, 98},     {17, 18},    {258, 66}};
  for (const auto& r : AssortedResizes(40, 150, 11)) frames.push_back({r.sw, r.sh});
  return frames;
}

TEST(GeometryAgainstDefinition, QuarterTurns) {
  for (const auto& f : TurnFrames())
    for (LONG rotation : {1, 3}) {
      SCOPED_TRACE(::testing::Message() << f.w << "x" << f.h << " rotation " << rotation);
      const size_t bytes = Bytes(f.w, f.h, 2);
      const auto src = RandomBytes(bytes, f.w * 17 + f.h + rotation);
      GuardedBuffer got(bytes, 0x77), scratch(bytes);
      RotateYuy2Frame(got.data(), src.data(), scratch.data(), rotation, f.w, f.h);
      const auto want = test::ReferenceQuarterTurn(src, rotation, f.w, f.h);
      ASSERT_EQ(0, memcmp(want.data(), got.data(), bytes));
      ASSERT_TRUE(got.GuardsIntact());
      ASSERT_TRUE(scratch.GuardsIntact());
    }
}

void ExpectBilinearAsDefined(const Resize& c, int channels) {
  SCOPED_TRACE(::testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh
                                    << " channels " << channels);
  // Odd sizes also get rows padded past their pixels, which must stay untouched.
  const int pad = (c.dw & 1) ? 5 : 0;
  const int srcStride = c.sw * channels + ((c.sw & 1) ? 3 : 0);
  const int dstStride = c.dw * channels + pad;
  const auto src = RandomBytes(Bytes(srcStride, c.sh, 1), c.sw * 7 + c.dh * 3);
  const size_t bytes = Bytes(dstStride, c.dh, 1);
  GuardedBuffer got(bytes, 0x5A);
  std::vector<uint8_t> want(bytes, 0x5A);
  const ResampleImage in{const_cast<uint8_t*>(src.data()), static_cast<ULONG>(srcStride), c.sw,
                         c.sh};
  const ResampleImage out{got.data(), static_cast<ULONG>(dstStride), c.dw, c.dh};
  if (channels == 3)
    ResizeRgb24Bilinear(&out, &in);
  else
    ResizeYuy2Bilinear(&out, &in);
  test::ReferenceBilinear(src.data(), c.sw, c.sh, srcStride, want.data(), c.dw, c.dh, dstStride,
                          channels);
  ASSERT_EQ(0, memcmp(want.data(), got.data(), bytes));
  ASSERT_TRUE(got.GuardsIntact());
}

TEST(GeometryAgainstDefinition, BilinearRgb24AndYuy2) {
  std::vector<Resize> cases = ResizeCases();
  cases.push_back({1, 1, 17, 9});
  cases.push_back({1, 6, 12, 61});
  cases.push_back({160, 120, 1920, 1080});
  for (const auto& c : cases)
    for (int channels : {2, 3}) {
      if (channels == 2 && c.sw < 2) continue;
      ExpectBilinearAsDefined(c, channels);
      if (HasFailure()) return;
    }
}

// YUY2 takes byte shuffles where the processor has SSSE3 and the pool gives the strips their
// tables, and the SSE2 transposes (or the plain loops) otherwise; all must give the defined
// bytes and return the block. The extra sizes meet the shuffle path's edges: rows of exactly
// one or two 16-byte loads, a lone last pixel inside the last load, windows moved back from the
// end of the row, two loads per group (shrinking by up to about three) and beyond (the other
// paths), strips of 640 pixels and a few more, and destination rows that share their source
// rows.
TEST(GeometryAgainstDefinition, BilinearYuy2WithAndWithoutByteShuffles) {
  std::vector<Resize> cases = ResizeCases();
  for (const Resize& r : std::initializer_list<Resize>{
           {8, 3, 37, 5}, {9, 4, 31, 7}, {16, 5, 7, 9}, {15, 4, 40, 9}, {17, 2, 6, 3},
           {300, 20, 129, 41}, {256, 3, 135, 2}, {700, 9, 255, 30}, {2000, 4, 700, 4},
           {2000, 4, 600, 5}, {1001, 6, 1000, 11}, {97, 40, 257, 121}, {640, 3, 1919, 3},
           {427, 5, 1283, 9}, {2500, 3, 1285, 4}})
    cases.push_back(r);
  for (const PathSetting& setting : kPathSettings) {
    SCOPED_TRACE(setting.name);
    RunOn(setting.cpu);
    if (setting.poolRefuses) kernel::FailAllocationsRandomly(1.0, 7, kTagBilinearStrip);
    const kernel::PoolTagStats before = kernel::PoolStatsForTag(kTagBilinearStrip);
    for (const auto& c : cases) {
      ExpectBilinearAsDefined(c, 2);
      if (HasFailure()) break;
    }
    const kernel::PoolTagStats after = kernel::PoolStatsForTag(kTagBilinearStrip);
    kernel::ClearPoolFaults();
    EndRun();
    ExpectPathTaken(setting, before, after);
    if (HasFailure()) return;
  }
}

// Half turns and mirrors reverse pixel pairs by a byte shuffle where the processor has SSSE3
// and by masks and shifts where it has not. Even widths are checked pixel by pixel against the
// definition; every size (odd ones with their lone last pixel too) must give the same bytes on
// both paths. Widths reach one, two and more 16-byte blocks from both ends of an in-place row.
TEST(GeometryAgainstDefinition, HalfTurnAndMirrorWithAndWithoutByteShuffles) {
  const struct {
    int w, h;
  } kSizes[] = {{2, 1}, {8, 3}, {16, 2}, {18, 3}, {24, 2}, {32, 5}, {34, 2}, {7, 5}, {17, 3}, {641, 3}, {1920, 2}};
  // Operation 0 is the half turn; 1 to 3 are mirror, flip and both.
  for (const auto& sz : kSizes)
    for (int op = 0; op < 4; ++op) {
      SCOPED_TRACE(::testing::Message() << sz.w << "x" << sz.h << " operation " << op);
      const size_t bytes = Bytes(sz.w, sz.h, 2);
      const auto src = RandomBytes(bytes, static_cast<uint32_t>(sz.w * 7 + sz.h + op));
      std::vector<uint8_t> results[2];
      const kernel::CpuidTable* const processors[] = {nullptr, &Sse2OnlyProcessor()};
      for (int p = 0; p < 2; ++p) {
        RunOn(processors[p]);
        GuardedBuffer out(bytes), scratch(bytes);
        if (op == 0) {
          RotateYuy2Frame(out.data(), src.data(), scratch.data(), 2, sz.w, sz.h);
        } else {
          memcpy(out.data(), src.data(), bytes);
          MirrorFlipYuy2Frame(out.data(), scratch.data(), op & 1, op >> 1, sz.w, sz.h);
        }
        EndRun();
        ASSERT_TRUE(out.GuardsIntact() && scratch.GuardsIntact());
        results[p].assign(out.data(), out.data() + bytes);
      }
      ASSERT_EQ(results[0], results[1]);
      if (sz.w % 2) continue;
      const bool mirror = op == 0 || (op & 1), flip = op == 0 || (op >> 1);
      test::Yuy2View s{src.data(), sz.w, sz.h}, d{results[0].data(), sz.w, sz.h};
      for (int y = 0; y < sz.h; ++y)
        for (int x = 0; x < sz.w; ++x) {
          const int sx = mirror ? sz.w - 1 - x : x, sy = flip ? sz.h - 1 - y : y;
          ASSERT_EQ(s.Y(sx, sy), d.Y(x, y)) << x << "," << y;
          ASSERT_EQ(s.U(sx, sy), d.U(x, y)) << x << "," << y;
          ASSERT_EQ(s.V(sx, sy), d.V(x, y)) << x << "," << y;
        }
    }
}

}  // namespace
}  // namespace kvz
