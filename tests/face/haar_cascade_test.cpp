// The cascade loader and the fixed-point window test, on cascades of one stage and one to three
// nodes whose answers are worked out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "kernel_checks.h"
#include "support/cascade_builders.h"

namespace kvz {
namespace {

using test::LeftMinusRight;
using test::LoadedCascade;
using test::OneNode;

// A 24 x 24 window, left half 200, right half 100. Over the equalising rectangle (columns and
// rows 1..22): s = 242 x 200 + 242 x 100 = 72,600, q = 242 x 40,000 + 242 x 10,000 =
// 12,100,000, q A - s s = 585,640,000 = 24,200^2, so sqrt(4096 x that) = 1,548,800 and
// L = 774,400. The feature left half minus right half is 57,600 - 28,800 = 28,800.
struct Window {
  UCHAR pixels[24 * 24];
  explicit Window(UCHAR left = 200, UCHAR right = 100) {
    for (int y = 0; y < 24; ++y)
      for (int x = 0; x < 24; ++x) pixels[y * 24 + x] = x < 12 ? left : right;
  }
};

LONG Classify(const train::Cascade& c, const Window& w) {
  LoadedCascade loaded(c);
  EXPECT_EQ(loaded.status(), STATUS_SUCCESS);
  IntegralImage ii;
  DetectorEvaluate(&ii, w.pixels, 24, 24, 24);
  return RunHaarCascade(loaded.get(), &ii, 0, 0, nullptr);
}

TEST(WindowTest, SpreadOfAHalfAndHalfWindow) {
  LoadedCascade loaded(OneNode(LeftMinusRight(), 0, 0, 0, 0));
  IntegralImage ii;
  Window w;
  DetectorEvaluate(&ii, w.pixels, 24, 24, 24);
  EXPECT_EQ(WindowSpread(loaded.get(), &ii, 0, 0), 774400);
}

// Left leaf 1 passes the stage threshold 1, right leaf 0 does not: accepted means "went left".
struct ThresholdCase {
  const char* name;
  std::vector<train::Rect> rects;
  int32_t threshold;
  UCHAR left, right;
  LONG accepted;
};

TEST(WindowTest, NodeThresholdsScaleWithTheSpreadAndEqualityGoesRight) {
  const ThresholdCase cases[] = {
      // t = floor(774,400 x 155,986 / 2^22) = 28,799 < 28,800: left.
      {"just below", LeftMinusRight(), 155986, 200, 100, 1},
      // t = floor(774,400 x 155,987 / 2^22) = 28,800 = f: right.
      {"equal", LeftMinusRight(), 155987, 200, 100, 0},
      // Flat window: L = 0, every threshold becomes 0, f = 0 is not above it.
      {"flat, huge threshold", LeftMinusRight(), -2000000000, 90, 90, 0},
      // Flat and f = 90 x 288 > 0: left whatever the stored threshold.
      {"flat, positive feature", {{0, 0, 12, 24, 1}, {12, 0, 12, 24, 0}}, 2000000000, 90, 90, 1},
      // f = -256 x 57,600 = -14,745,600. Unlimited, t = 774,400 x -2^31 / 2^22 = -396,492,800
      // would send it left; limited to -0x400000 it goes right.
      {"lower limit", {{0, 0, 12, 24, -256}, {12, 0, 12, 24, 0}}, INT32_MIN, 200, 100, 0},
      // f = 256 x 57,600 = 14,745,600 > 0x3FFFFF, the upper limit of any threshold: left.
      {"upper limit", {{0, 0, 12, 24, 256}, {12, 0, 12, 24, 0}}, INT32_MAX, 200, 100, 1},
  };
  for (const ThresholdCase& c : cases) {
    EXPECT_EQ(Classify(OneNode(c.rects, c.threshold, 1, 0, 1), Window(c.left, c.right)), c.accepted) << c.name;
  }
  EXPECT_CLEAN_UNLOAD();
}

TEST(WindowTest, ThreeNodeTreeAndStageSum) {
  // Root: left minus right (f = 28,800) against threshold 0 (t = 0): left, to node 1.
  // Node 1: top half minus bottom half, f = 0 on this window; threshold 0: right, leaf 1.
  // Node 2 (not reached) would give leaves 2 and 3.
  train::Cascade c;
  train::Tree t;
  t.nodes.push_back(train::Node{LeftMinusRight(), 0, 1, 2});
  t.nodes.push_back(train::Node{{{0, 0, 24, 12, 1}, {0, 12, 24, 12, -1}}, 0, 0, -1});
  t.nodes.push_back(train::Node{LeftMinusRight(), 0, -2, -3});
  t.leaves = {100, 7, 1000, 1000};
  // Two copies of the tree: the stage sums 14.
  c.stages.push_back(train::Stage{14, {t, t}});
  EXPECT_EQ(Classify(c, Window()), 1);
  c.stages[0].threshold = 15;
  EXPECT_EQ(Classify(c, Window()), 0);
  // A second stage that rejects: one stage passed.
  c.stages[0].threshold = 14;
  c.stages.push_back(OneNode(LeftMinusRight(), 0, 0, 0, 1).stages[0]);
  LoadedCascade loaded(c);
  IntegralImage ii;
  Window w;
  DetectorEvaluate(&ii, w.pixels, 24, 24, 24);
  LONG passed = -1;
  EXPECT_EQ(RunHaarCascade(loaded.get(), &ii, 0, 0, &passed), 0);
  EXPECT_EQ(passed, 1);
}

TEST(WindowTest, PositionsOutsideTheSubTileAreRejectedUnevaluated) {
  LoadedCascade loaded(OneNode(LeftMinusRight(), 0, 1, 1, 1));
  UCHAR tile[30 * 30];
  std::memset(tile, 50, sizeof(tile));
  IntegralImage ii;
  DetectorEvaluate(&ii, tile, 30, 30, 30);
  EXPECT_EQ(RunHaarCascade(loaded.get(), &ii, 6, 6, nullptr), 1);   // 6 + 24 = w
  EXPECT_EQ(RunHaarCascade(loaded.get(), &ii, 7, 0, nullptr), kWindowRejected);  // = w + 1
  EXPECT_EQ(RunHaarCascade(loaded.get(), &ii, 0, 7, nullptr), kWindowRejected);
  EXPECT_EQ(RunHaarCascade(loaded.get(), &ii, -1, 0, nullptr), kWindowRejected);
}

TEST(WindowTest, IntegerSquareRootIsTheIntegerPart) {
  const ULONGLONG cases[][2] = {{0, 0}, {1, 1}, {3, 1}, {4, 2}, {99, 9}, {100, 10},
                                {2398781440000ull, 1548800}, {~0ull, 4294967295ull}};
  for (const auto& c : cases) EXPECT_EQ(IntegerSquareRoot(c[0]), c[1]) << c[0];
}

// Every malformed block is refused; the loader reads only what the counts say.
TEST(CascadeLoader, RefusesEveryMalformedBlock) {
  const train::Cascade good = [] {
    train::Cascade c;
    train::Tree t;
    t.nodes.push_back(train::Node{LeftMinusRight(), 5, 1, 2});
    t.nodes.push_back(train::Node{{{0, 0, 8, 8, 1}, {8, 0, 8, 8, -2}, {16, 0, 8, 8, 1}}, 0, 0, -1});
    t.nodes.push_back(train::Node{LeftMinusRight(), 0, -2, -3});
    t.leaves = {1, 2, 3, 4};
    c.stages.push_back(train::Stage{0, {t}});
    c.stages.push_back(train::Stage{0, {t, t}});
    return c;
  }();
  ASSERT_EQ(LoadedCascade(good).status(), STATUS_SUCCESS);
  struct ModelCase {
    const char* name;
    std::function<void(train::Cascade&)> change;
  };
  const ModelCase models[] = {
      {"stage without trees", [](train::Cascade& c) { c.stages[1].trees.clear(); }},
      {"tree without nodes", [](train::Cascade& c) { c.stages[0].trees[0].nodes.clear(); c.stages[0].trees[0].leaves = {0}; }},
      {"rectangle outside the window", [](train::Cascade& c) { c.stages[0].trees[0].nodes[0].rects[1].x = 13; }},
      {"empty rectangle", [](train::Cascade& c) { c.stages[0].trees[0].nodes[0].rects[0].w = 0; }},
      {"negative origin", [](train::Cascade& c) { c.stages[0].trees[0].nodes[0].rects[0].y = -1; }},
      {"weight that could overflow", [](train::Cascade& c) { c.stages[0].trees[0].nodes[0].rects[0].weight = 257; }},
      {"child pointing back", [](train::Cascade& c) { c.stages[0].trees[0].nodes[1].left = 1; }},
      {"child past the tree", [](train::Cascade& c) { c.stages[0].trees[0].nodes[0].right = 3; }},
      {"leaf past the tree", [](train::Cascade& c) { c.stages[0].trees[0].nodes[2].right = -4; }},
      {"leaf value out of range", [](train::Cascade& c) { c.stages[1].trees[1].leaves[3] = 65536; }},
      {"window too small", [](train::Cascade& c) { c.width = 2; }},
      {"window larger than a sub-tile", [](train::Cascade& c) { c.height = 65; }},
  };
  for (const ModelCase& m : models) {
    train::Cascade c = good;
    m.change(c);
    EXPECT_EQ(LoadedCascade(c).status(), STATUS_INVALID_PARAMETER) << m.name;
  }
  // Damage to the bytes themselves (offsets from the block layout).
  const std::vector<uint8_t> block = train::WriteCascadeBlock(good);
  const size_t firstFeature = 80 + 2 * 32 + 3 * 48;
  struct ByteCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
  };
  auto put = [](std::vector<uint8_t>& b, size_t at, int32_t v) { std::memcpy(&b[at], &v, 4); };
  const ByteCase bytes[] = {
      {"one byte more", [](std::vector<uint8_t>& b) { b.push_back(0); }},
      {"four bytes less", [](std::vector<uint8_t>& b) { b.resize(b.size() - 4); }},
      {"header only", [](std::vector<uint8_t>& b) { b.resize(79); }},
      {"bad magic", [&](std::vector<uint8_t>& b) { put(b, 0, 0x42500001); }},
      {"stage count zero", [&](std::vector<uint8_t>& b) { put(b, 4, 0); }},
      {"stage count against the descriptor", [&](std::vector<uint8_t>& b) { put(b, 4, 1); }},
      {"classifier count beyond the block", [&](std::vector<uint8_t>& b) { put(b, 80, 100000); }},
      {"negative node count", [&](std::vector<uint8_t>& b) { put(b, 80 + 2 * 32, -3); }},
      {"huge node count", [&](std::vector<uint8_t>& b) { put(b, 80 + 2 * 32, 0x7FFFFFFF); }},
      {"tilted feature", [&](std::vector<uint8_t>& b) { put(b, firstFeature, 1); }},
      // Rectangle 3 present (weight, width and height set) while rectangle 2 is absent.
      {"gap between rectangles", [&](std::vector<uint8_t>& b) {
         const size_t r3 = firstFeature + 4 + 3 * 20;
         put(b, r3, 0); put(b, r3 + 4, 0); put(b, r3 + 8, 4); put(b, r3 + 12, 4); put(b, r3 + 16, 1);
       }},
  };
  for (const ByteCase& m : bytes) {
    std::vector<uint8_t> b = block;
    m.change(b);
    EXPECT_EQ(LoadedCascade(b, good).status(), STATUS_INVALID_PARAMETER) << m.name;
  }
  EXPECT_CLEAN_UNLOAD();
}

TEST(CascadeLoader, AcceptsOtherShapes) {
  // Any window from 3 to 64 pixels, stumps, five rectangles, many stages.
  train::Cascade c = OneNode({{0, 0, 4, 20, 1}, {4, 0, 4, 20, -1}, {8, 0, 4, 20, 1}, {12, 0, 4, 20, -1}, {16, 0, 4, 20, 1}}, 0, 1, 0, 1);
  c.width = 20;
  c.height = 20;
  for (int s = 0; s < 30; ++s) c.stages.push_back(c.stages[0]);
  LoadedCascade loaded(c);
  ASSERT_EQ(loaded.status(), STATUS_SUCCESS);
  EXPECT_EQ(loaded.get()->stageCount, 31);
  EXPECT_EQ(loaded.get()->windowWidth, 20);
  EXPECT_EQ(loaded.get()->stumpBased, 1);
  EXPECT_EQ(loaded.get()->stages[0].classifiers[0].nodes[0].rectCount, 5);
}

}  // namespace
}  // namespace kvz
