// ResizeImage8uC4 in every processor build: argument checks in their order, the clipping and
// output-size decisions, each interpolation mode against a direct computation of its
// definition, every build byte-identical to the generic build, reads confined to the source
// rectangle (fenced pages) and writes to the output region (guard bytes).
#include <gtest/gtest.h>

#include <math.h>

#include <string>
#include <vector>

#include "kvz/kernel_testing.h"
#include "primitives/path_counts.h"
#include "primitives/resize.h"
#include "support/e3_image.h"

namespace {

using kvz::prim::PrimitiveStatus;
using kvz::prim::ResizeRect;
using kvz::prim::RoiSize;

struct ResizeBuild {
  const char* name;
  decltype(&kvz::prim::generic::ResizeImage8uC4) resize;
  const uint32_t* counts;
  uint32_t vectorCount() const { return counts[kvz::prim::kPathResize]; }
};
#define E3_RESIZE_BUILD(ns) \
  ResizeBuild{#ns, &kvz::prim::ns::ResizeImage8uC4, kvz::prim::ns::PathCounts},
const ResizeBuild kBuilds[] = {KVZ_FOR_EACH_BUILD(E3_RESIZE_BUILD)};
#undef E3_RESIZE_BUILD

const auto Generic = kvz::prim::generic::ResizeImage8uC4;

// ---- argument checks ----

struct CheckCase {
  const char* what;
  bool nullSrc, nullDst;
  RoiSize srcSize;
  ResizeRect rect;
  RoiSize dstSize;
  double xf, yf;
  int32_t mode;
  PrimitiveStatus want;
};

const CheckCase kChecks[] = {
    {"null source", true, false, {16, 8}, {0, 0, 16, 8}, {8, 8}, 0, 0, 3, -8},
    {"null destination", false, true, {0, 0}, {0, 0, 16, 8}, {8, 8}, 1, 1, 1, -8},
    {"source width 0", false, false, {0, 8}, {0, 0, 16, 8}, {8, 8}, 1, 1, 1, -6},
    {"negative rect x", false, false, {16, 8}, {-2, 0, 4, 4}, {8, 8}, 1, 1, 1, -6},
    {"rect height 0", false, false, {16, 8}, {0, 0, 4, 0}, {8, 8}, 1, 1, 1, -6},
    {"origin at the source width", false, false, {16, 8}, {16, 0, 4, 4}, {0, 0}, 0, 0, 3, 29},
    {"origin below the source", false, false, {16, 8}, {0, 8, 4, 4}, {8, 8}, 1, 1, 1, 29},
    {"destination height 0", false, false, {16, 8}, {0, 0, 4, 4}, {8, 0}, 1, 1, 1, -6},
    {"odd source width", false, false, {7, 8}, {0, 0, 4, 4}, {8, 8}, 1, 1, 1, -6},
    {"odd rect width", false, false, {16, 8}, {0, 0, 5, 4}, {8, 8}, 1, 1, 1, -6},
    {"odd rect x", false, false, {16, 8}, {1, 0, 4, 4}, {8, 8}, 1, 1, 1, -6},
    {"destination width 1", false, false, {16, 8}, {0, 0, 4, 4}, {1, 8}, 1, 1, 1, -6},
    {"factor 0", false, false, {16, 8}, {0, 0, 4, 4}, {8, 8}, 0, 1, 3, -23},
    {"negative factor", false, false, {16, 8}, {0, 0, 4, 4}, {8, 8}, 1, -1, 3, -23},
    {"NaN factor", false, false, {16, 8}, {0, 0, 4, 4}, {8, 8}, NAN, 1, 3, -23},
    {"mode 3", false, false, {16, 8}, {0, 0, 4, 4}, {8, 8}, 1, 1, 3, -22},
    {"width rounds to 1", false, false, {16, 8}, {0, 0, 10, 4}, {8, 8}, 0.1, 1, 1, -201},
    {"height below a half", false, false, {16, 8}, {0, 0, 4, 4}, {8, 8}, 1, 0.1, 1, -201},
    {"supersampling enlarges", false, false, {16, 8}, {0, 0, 4, 4}, {8, 8}, 1.5, 1, 8, -23},
};

TEST(Resize, ArgumentChecksInOrderWriteNothing) {
  uint8_t src[16 * 2 * 8];
  e3::FillRandom(src, sizeof src, 1);
  for (const ResizeBuild& b : kBuilds)
    for (const CheckCase& c : kChecks) {
      e3::GuardedBuffer dst(64 * 8, 0);
      ResizeRect rect = c.rect;
      EXPECT_EQ(c.want, b.resize(c.nullSrc ? nullptr : src, c.srcSize, 32, &rect, c.nullDst ? nullptr : dst.data(),
                                 64, c.dstSize, c.xf, c.yf, c.mode))
          << b.name << ": " << c.what;
      for (size_t i = 0; i < dst.size(); ++i) ASSERT_EQ(0x5A, dst.data()[i]) << b.name << ": " << c.what;
      EXPECT_TRUE(dst.GuardsIntact());
      EXPECT_EQ(c.rect.x, rect.x);
      EXPECT_EQ(c.rect.height, rect.height) << c.what;
    }
}

TEST(Resize, NullRectangleIsANullPointer) {
  uint8_t src[64] = {}, dst[64] = {};
  for (const ResizeBuild& b : kBuilds)
    EXPECT_EQ(-8, b.resize(src, {8, 2}, 16, nullptr, dst, 16, {8, 2}, 1, 1, 1)) << b.name;
}

TEST(Resize, ClippingIsWrittenBackEvenWhenALaterCheckFails) {
  uint8_t src[16 * 2 * 8] = {};
  uint8_t dst[64 * 8];
  for (const ResizeBuild& b : kBuilds) {
    ResizeRect rect{4, 2, 100, 100};
    EXPECT_EQ(-23, b.resize(src, {16, 8}, 32, &rect, dst, 64, {16, 8}, 0.5, 2.0, 8)) << b.name;
    EXPECT_EQ(12, rect.width);
    EXPECT_EQ(6, rect.height);
  }
}

TEST(Resize, ForcedOutputWidthOfTwo) {
  // 10 pixels at 0.15: r just above 1.5 gives two pixels; at 0.1 the call fails (above).
  uint8_t src[10 * 2];
  e3::FillRandom(src, sizeof src, 5);
  for (const ResizeBuild& b : kBuilds) {
    e3::GuardedBuffer dst(8, 0);
    ResizeRect rect{0, 0, 10, 1};
    ASSERT_EQ(0, b.resize(src, {10, 1}, 20, &rect, dst.data(), 8, {8, 1}, 0.15, 1, 1)) << b.name;
    for (int i = 4; i < 8; ++i) EXPECT_EQ(0x5A, dst.data()[i]);
    EXPECT_TRUE(dst.GuardsIntact());
  }
}

// ---- direct computations of each mode ----

struct Image {
  const uint8_t* p;
  int32_t step;
  uint8_t At(int32_t row, int32_t byte) const { return p[static_cast<intptr_t>(row) * step + byte]; }
};

// Output size per the preparation rules (the rectangle already clipped).
bool OutputSize(const ResizeRect& r, RoiSize dst, double xf, double yf, int32_t* units, int32_t* rows) {
  const double rw = r.width * xf + 1e-7, rh = r.height * yf + 1e-7;
  int32_t w = rw >= dst.width ? dst.width : (int32_t(rw) > 1 ? int32_t(rw) : (rw >= 1.5 ? 2 : 0));
  int32_t h = rh >= dst.height ? dst.height : (int32_t(rh) > 0 ? int32_t(rh) : (rh >= 0.5 ? 1 : 0));
  *units = w / 2;
  *rows = h;
  return w > 0 && h > 0;
}

// Source sample index of output position k, corner-aligned, clamped to the last sample.
void Corner(int32_t k, int32_t n, double m, int32_t* i, double* f) {
  double pos = m > 1 ? double(k) * (n - 1) / (m - 1) : 0.0;
  pos = std::min(pos, double(n - 1));
  *i = std::min(int32_t(pos + 1e-7), n - 1);
  *f = pos - *i;
}

// For element e of an output row (Y0 U Y1 V): luma pixel or chroma unit position and the byte
// of the sample inside its unit, given a source index.
bool IsLuma(int e) { return (e & 1) == 0; }
int32_t OutPos(int e) { return IsLuma(e) ? 2 * (e >> 2) + ((e & 3) >> 1) : e >> 2; }
int32_t ByteOf(int e, int32_t index) { return IsLuma(e) ? 2 * index : 4 * index + (e & 3); }

uint8_t RefNearest(const Image& s, const ResizeRect& r, double xf, double yf, int32_t i, int e) {
  const int32_t row = std::min(int32_t((i + 0.5) / yf + 1e-7), r.height - 1);
  const int32_t limit = IsLuma(e) ? r.width : r.width / 2;
  const int32_t idx = std::min(int32_t(std::min((OutPos(e) + 0.5) / xf + 1e-7, 1e9)), limit - 1);
  return s.At(row, ByteOf(e, idx));
}

uint8_t RefLinear(const Image& s, const ResizeRect& r, double xf, double yf, int32_t i, int e) {
  auto pair = [](int32_t k, int32_t n, double m, int32_t* a, int32_t* wb) {
    double f;
    Corner(k, n, m, a, &f);
    *wb = std::max(0, int32_t(f * 16384 + 1e-7));
    if (*a + 1 > n - 1) *a = n - 2, *wb = 16384;
  };
  const int32_t n = IsLuma(e) ? r.width : r.width / 2;
  int32_t x, wx, y, wy;
  pair(OutPos(e), n, n * xf, &x, &wx);
  pair(i, r.height, r.height * yf, &y, &wy);
  auto h = [&](int32_t row) {
    return ((16384 - wx) * s.At(row, ByteOf(e, x)) + wx * s.At(row, ByteOf(e, x + 1)) + 128) >> 8;
  };
  return uint8_t(((16384 - wy) * h(y) + wy * h(y + 1) + 0x80000) >> 20);
}

double CubicAt(double t, double p0, double p1, double p2, double p3) {
  return p0 + (1 + t) * (p1 - p0) + t * (1 + t) / 2 * (p2 - 2 * p1 + p0) +
         (t - 1) * t * (1 + t) / 6 * (p3 - 3 * p2 + 3 * p1 - p0);
}

double RefCubic(const Image& s, const ResizeRect& r, double xf, double yf, int32_t i, int e) {
  auto window = [](int32_t k, int32_t n, double m, int32_t* base, double* t) {
    int32_t idx;
    double f;
    Corner(k, n, m, &idx, &f);
    if (idx == 0) *base = 0, *t = f - 1;
    else if (idx == n - 1) *base = n - 4, *t = 2;
    else if (idx == n - 2) *base = n - 4, *t = f + 1;
    else *base = idx - 1, *t = f;
  };
  const int32_t n = IsLuma(e) ? r.width : r.width / 2;
  int32_t bx, by;
  double tx, ty;
  window(OutPos(e), n, n * xf, &bx, &tx);
  window(i, r.height, r.height * yf, &by, &ty);
  double col[4];
  for (int k = 0; k < 4; ++k) {
    double p[4];
    for (int q = 0; q < 4; ++q) p[q] = s.At(by + k, ByteOf(e, bx + q));
    col[k] = CubicAt(tx, p[0], p[1], p[2], p[3]);
  }
  return std::min(255.0, std::max(0.0, CubicAt(ty, col[0], col[1], col[2], col[3]) + 0.5));
}

double RefSuper(const Image& s, const ResizeRect& r, double xf, double yf, int32_t i, int e) {
  auto cover = [](double a, double b, int32_t limit, std::vector<std::pair<int32_t, double>>* out) {
    a = std::min(a, double(limit));
    b = std::min(b, double(limit));
    for (int32_t k = int32_t(a); k < limit && k < b; ++k) {
      const double w = std::min(double(k + 1), b) - std::max(double(k), a);
      if (w > 1e-6) out->push_back({k, w});
    }
  };
  std::vector<std::pair<int32_t, double>> rows, cols;
  cover(i / yf, (i + 1) / yf, r.height, &rows);
  const int32_t limit = IsLuma(e) ? r.width : r.width / 2;
  cover(OutPos(e) / xf, (OutPos(e) + 1) / xf, limit, &cols);
  double sum = 0;
  for (auto [row, wr] : rows)
    for (auto [col, wc] : cols) sum += wr * wc * s.At(row, ByteOf(e, col));
  return sum * xf * yf + 0.5;
}

// ---- sweeps ----

struct Geometry {
  RoiSize srcSize;
  ResizeRect rect;
};

std::vector<Geometry> SweepGeometries() {
  std::vector<Geometry> g;
  for (int32_t w = 2; w <= 130; w += 2) g.push_back({{w, 3}, {0, 0, w, 3}});
  for (int32_t h = 1; h <= 130; ++h) g.push_back({{10, h}, {0, 0, 10, h}});
  g.push_back({{130, 130}, {0, 0, 130, 130}});
  // Rectangles inside a larger image, and one reaching past its right and bottom edges.
  g.push_back({{40, 20}, {6, 3, 20, 9}});
  g.push_back({{40, 20}, {24, 11, 40, 40}});
  return g;
}

constexpr double kFactors[][2] = {{1, 1}, {0.5, 0.5}, {0.25, 1}, {0.7, 0.3}, {1.3, 2}, {3.7, 1.6}, {2, 0.75}};

class ResizeSweep : public ::testing::TestWithParam<int> {};

TEST_P(ResizeSweep, EveryModeMatchesItsDefinitionAndTheGenericBuild) {
  const ResizeBuild& b = kBuilds[GetParam()];
  // The other builds must equal the generic build byte for byte; the generic build is checked
  // against the definitions (slow under emulation, so once).
  const bool checkDefinition = GetParam() == 0;
  for (const Geometry& geo : SweepGeometries()) {
    for (const int m : {0, 1, 4, 8}) {
      if (m != 0 && geo.srcSize.height > 8) continue;  // row alignment is covered by the low rows
      // The source ends at an inaccessible page right after the clipped rectangle's last byte.
      const int32_t srcStep = 2 * geo.srcSize.width + m;
      const size_t srcBytes = size_t(srcStep) * (geo.srcSize.height - 1) + 2 * geo.srcSize.width;
      e3::PageFencedSource src(srcBytes, -1);
      e3::FillRandom(src.data(), srcBytes, geo.srcSize.width * 7 + geo.srcSize.height + m);
      for (const auto& f : kFactors) {
        for (const int32_t mode : {1, 2, 4, 8}) {
          if (mode == 8 && (f[0] > 1 || f[1] > 1)) continue;
          const RoiSize dstSize{264, 264};
          ResizeRect rect = geo.rect;
          ResizeRect clipped = rect;
          clipped.width = std::min(rect.width, geo.srcSize.width - rect.x);
          clipped.height = std::min(rect.height, geo.srcSize.height - rect.y);
          int32_t units, rows;
          if (!OutputSize(clipped, dstSize, f[0], f[1], &units, &rows)) continue;
          const int32_t dstStep = 4 * units + 8 + m;
          e3::GuardedBuffer out(size_t(dstStep) * rows + 3 * dstStep, m), ref(out.size(), m);
          char where[128];
          snprintf(where, sizeof where, "%s mode %d rect %d,%d %dx%d of %dx%d f %.2f,%.2f m%d", b.name, mode,
                   rect.x, rect.y, rect.width, rect.height, geo.srcSize.width, geo.srcSize.height, f[0], f[1], m);
          ASSERT_EQ(0, b.resize(src.data(), geo.srcSize, srcStep, &rect, out.data(), dstStep, dstSize, f[0], f[1],
                                mode))
              << where;
          ASSERT_EQ(clipped.width, rect.width) << where;
          ASSERT_EQ(clipped.height, rect.height) << where;
          ASSERT_TRUE(out.GuardsIntact()) << where;
          ResizeRect rect2 = geo.rect;
          ASSERT_EQ(0, Generic(src.data(), geo.srcSize, srcStep, &rect2, ref.data(), dstStep, dstSize, f[0], f[1],
                               mode));
          ASSERT_EQ(0, memcmp(out.data(), ref.data(), out.size())) << where;
          // Bytes outside the output rows stay untouched.
          for (int32_t i = 0; i < rows + 3; ++i)
            for (int32_t x = (i < rows ? 4 * units : 0); x < dstStep; ++x)
              ASSERT_EQ(0x5A, out.data()[i * dstStep + x]) << where << " row " << i << " byte " << x;
          if (!checkDefinition) continue;
          // The definition, on the mode in force after the fall-back for small rectangles.
          int32_t effective = mode;
          if (mode != 8 && (clipped.width < 4 || clipped.height < 2)) effective = 1;
          else if (mode == 4 && (clipped.width < 8 || clipped.height < 4)) effective = 2;
          const Image s{src.data() + clipped.y * srcStep + 2 * clipped.x, srcStep};
          for (int32_t i = 0; i < rows; ++i)
            for (int e = 0; e < 4 * units; ++e) {
              const int got = out.data()[i * dstStep + e];
              if (effective == 1) {
                ASSERT_EQ(RefNearest(s, clipped, f[0], f[1], i, e), got) << where << " at " << e << "," << i;
              } else if (effective == 2) {
                ASSERT_EQ(RefLinear(s, clipped, f[0], f[1], i, e), got) << where << " at " << e << "," << i;
              } else {
                const double want = effective == 4 ? RefCubic(s, clipped, f[0], f[1], i, e)
                                                   : RefSuper(s, clipped, f[0], f[1], i, e);
                ASSERT_NEAR(want, got + 0.5, 0.51) << where << " at " << e << "," << i;
              }
            }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ResizeSweep, ::testing::Range(0, int(std::size(kBuilds))),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(kBuilds[info.param].name);
                         });

TEST(Resize, OriginMovesTwoBytesPerPixel) {
  // A unit-for-unit copy from x = 4 starts at the third unit of the row.
  uint8_t src[2 * 16 * 2];
  for (int i = 0; i < int(sizeof src); ++i) src[i] = uint8_t(i);
  for (const ResizeBuild& b : kBuilds) {
    uint8_t dst[2 * 8 * 2] = {};
    ResizeRect rect{4, 0, 8, 2};
    ASSERT_EQ(0, b.resize(src, {16, 2}, 32, &rect, dst, 16, {8, 2}, 1, 1, 1));
    for (int r = 0; r < 2; ++r)
      for (int k = 0; k < 16; ++k) EXPECT_EQ(src[r * 32 + 8 + k], dst[r * 16 + k]) << b.name;
  }
}

TEST(Resize, WholeFactorSupersamplingAveragesBlocks) {
  uint8_t src[8 * 2 * 4];
  e3::FillRandom(src, sizeof src, 77);
  for (const ResizeBuild& b : kBuilds) {
    uint8_t dst[4 * 2 * 2] = {};
    ResizeRect rect{0, 0, 8, 4};
    ASSERT_EQ(0, b.resize(src, {8, 4}, 16, &rect, dst, 8, {4, 2}, 0.5, 0.5, 8));
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) {
        auto at = [&](int row, int byte) { return int(src[(2 * i + row) * 16 + byte]); };
        const int u0 = 8 * j;  // first source unit byte of output unit j
        const int y0 = at(0, u0) + at(0, u0 + 2) + at(1, u0) + at(1, u0 + 2);
        const int y1 = at(0, u0 + 4) + at(0, u0 + 6) + at(1, u0 + 4) + at(1, u0 + 6);
        const int u = at(0, u0 + 1) + at(0, u0 + 5) + at(1, u0 + 1) + at(1, u0 + 5);
        const int v = at(0, u0 + 3) + at(0, u0 + 7) + at(1, u0 + 3) + at(1, u0 + 7);
        const uint8_t* d = dst + i * 8 + 4 * j;
        EXPECT_EQ(int(y0 * 0.25f + 0.5f), d[0]) << b.name;
        EXPECT_EQ(int(u * 0.25f + 0.5f), d[1]) << b.name;
        EXPECT_EQ(int(y1 * 0.25f + 0.5f), d[2]) << b.name;
        EXPECT_EQ(int(v * 0.25f + 0.5f), d[3]) << b.name;
      }
  }
}

// The vector builds gather nearest-neighbour rows whose offsets repeat every one or two units,
// sum whole-factor boxes (luma split at an odd box's middle unit, rows in 16-bit lanes up to
// 257 at a time) and run weighted boxes' taps in lanes padded to the longest list. Byte-identical with the generic build at factors that repeat and ones that
// do not, rectangles inside the image and cut by its edge, outputs bounded by the destination,
// sources ending at an inaccessible page.
TEST(Resize, RepeatingPatternsMatchTheGenericBuild) {
  struct Case {
    int32_t mode;
    double xf, yf;
    int32_t height;  // source rows
    bool gathers;    // the vector builds gather this nearest-neighbour pattern
  };
  const Case cases[] = {
      {1, 1, 1, 5, true},         {1, 0.5, 0.5, 9, true},     {1, 1 / 3.0, 1, 5, true},
      {1, 2, 1.5, 5, true},       {1, 2 / 3.0, 0.5, 9, true}, {1, 0.4, 1, 5, true},
      {1, 0.25, 1, 5, false},     {1, 0.75, 1, 5, false},     {1, 1.5, 1, 5, false},
      {1, 0.3, 1, 5, false},      {8, 1, 1, 5, false},        {8, 0.5, 0.5, 9, false},
      {8, 1 / 3.0, 1 / 3.0, 9, false}, {8, 0.25, 1, 5, false}, {8, 0.2, 0.5, 9, false},
      {8, 1 / 7.0, 1, 5, false},  {8, 0.5, 1 / 300.0, 600, false}, {8, 1 / 3.0, 1 / 514.0, 1030, false},
      {8, 0.75, 0.6, 9, false},   {8, 0.3, 1, 5, false},
  };
  std::vector<uint8_t> ref;
  for (const ResizeBuild& b : kBuilds) {
    const uint32_t gathersBefore = b.counts[kvz::prim::kPathResizeGather];
    uint32_t gathersWanted = 0;
    for (const Case& c : cases)
      for (const int32_t width : {8, 14, 34, 66, 130})
        for (const bool cut : {false, true})
          for (const int32_t dstWidth : {264, 10}) {
            // Inside: 4 pixels in and one row down; cut: reaching past the right and bottom edges.
            const RoiSize srcSize{width + 8, c.height};
            const ResizeRect asked = cut ? ResizeRect{8, 0, width + 40, c.height + 9} : ResizeRect{4, 1, width, c.height - 1};
            const int32_t srcStep = 2 * srcSize.width + 6;
            const size_t srcBytes = size_t(srcStep) * (srcSize.height - 1) + 2 * srcSize.width;
            e3::PageFencedSource src(srcBytes, -1);
            e3::FillRandom(src.data(), srcBytes, uint32_t(width * 31 + c.height));
            // Tall boxes of 255s: the largest sums the 16-bit row lanes must hold.
            if (c.height > 257) memset(src.data(), 0xFF, srcBytes);
            const RoiSize dstSize{dstWidth, 264};
            const int32_t dstStep = 2 * dstWidth + 6;
            e3::GuardedBuffer out(size_t(dstStep) * 264, 1);
            ref.assign(out.size(), 0x5A);
            ResizeRect r1 = asked, r2 = asked;
            char where[128];
            snprintf(where, sizeof where, "%s mode %d f %.4f,%.4f width %d%s dst %d", b.name, c.mode, c.xf, c.yf, width,
                     cut ? " cut" : "", dstWidth);
            const PrimitiveStatus want =
                Generic(src.data(), srcSize, srcStep, &r2, ref.data(), dstStep, dstSize, c.xf, c.yf, c.mode);
            ASSERT_EQ(want, b.resize(src.data(), srcSize, srcStep, &r1, out.data(), dstStep, dstSize, c.xf, c.yf, c.mode))
                << where;
            if (want != 0) continue;  // an output below one pixel
            ASSERT_EQ(0, memcmp(out.data(), ref.data(), ref.size())) << where;
            ASSERT_TRUE(out.GuardsIntact()) << where;
            if (c.gathers && width >= 34 && dstWidth == 264) ++gathersWanted;
          }
    if (e3::IsVectorBuild(b.name)) {
      EXPECT_LE(gathersWanted, b.counts[kvz::prim::kPathResizeGather] - gathersBefore) << b.name;
    }
  }
}

TEST(Resize, CubicFallsBackOnSmallRectangles) {
  std::vector<uint8_t> src(2 * 6 * 10);
  e3::FillRandom(src.data(), src.size(), 8);
  for (const ResizeBuild& b : kBuilds) {
    for (const int32_t width : {6, 2}) {
      std::vector<uint8_t> cubic(64 * 20), other(64 * 20);
      ResizeRect r1{0, 0, width, 10}, r2 = r1;
      ASSERT_EQ(0, b.resize(src.data(), {6, 10}, 12, &r1, cubic.data(), 64, {16, 20}, 2.0, 1.5, 4));
      ASSERT_EQ(0, b.resize(src.data(), {6, 10}, 12, &r2, other.data(), 64, {16, 20}, 2.0, 1.5, width == 6 ? 2 : 1));
      EXPECT_EQ(other, cubic) << b.name << " width " << width;
    }
  }
}

TEST(Resize, VectorBuildsRunTheirOwnVerticalPasses) {
  std::vector<uint8_t> src(2 * 32 * 16);
  e3::FillRandom(src.data(), src.size(), 4);
  for (const ResizeBuild& b : kBuilds) {
    const uint32_t before = b.vectorCount();
    std::vector<uint8_t> dst(64 * 32);
    for (const int32_t mode : {2, 4, 8}) {
      ResizeRect rect{0, 0, 32, 16};
      ASSERT_EQ(0, b.resize(src.data(), {32, 16}, 64, &rect, dst.data(), 64, {16, 8}, 0.5, 0.5, mode));
    }
    if (e3::IsVectorBuild(b.name)) {
      EXPECT_EQ(before + 3, b.vectorCount()) << b.name;
    } else {
      EXPECT_EQ(0u, b.vectorCount()) << b.name;
    }
  }
}

}  // namespace

namespace {

// Every work array in turn fails to allocate: -9, nothing written, nothing left allocated.
TEST(Resize, FailedWorkArrayReportsNoMemoryAndLeaksNothing) {
  const ULONG untagged = 'enoN';
  std::vector<uint8_t> src(2 * 32 * 16);
  e3::FillRandom(src.data(), src.size(), 12);
  for (const ResizeBuild& b : kBuilds)
    for (const int32_t mode : {1, 2, 4, 8})
      for (const double f : {0.5, 0.75}) {
        bool completed = false;
        for (uint64_t n = 1; n <= 16 && !completed; ++n) {
          std::vector<uint8_t> dst(64 * 16, 0x5A);
          ResizeRect rect{0, 0, 32, 20};
          const size_t live = kvz::kernel::PoolStatsForTag(untagged).liveBlocks;
          kvz::kernel::FailNthAllocation(n, untagged);
          const PrimitiveStatus st = b.resize(src.data(), {32, 16}, 64, &rect, dst.data(), 64, {16, 16}, f, f, mode);
          kvz::kernel::ClearPoolFaults();
          EXPECT_EQ(live, kvz::kernel::PoolStatsForTag(untagged).liveBlocks)
              << b.name << " mode " << mode << " f " << f << " n " << n;
          EXPECT_EQ(16, rect.height);  // clipped before the allocations
          if (st == 0) {
            completed = true;
            EXPECT_GT(n, 1u);
          } else {
            ASSERT_EQ(-9, st) << b.name << " mode " << mode << " f " << f << " n " << n;
            for (uint8_t c : dst) ASSERT_EQ(0x5A, c);
          }
        }
        EXPECT_TRUE(completed) << b.name << " mode " << mode << " f " << f;
      }
}

}  // namespace
