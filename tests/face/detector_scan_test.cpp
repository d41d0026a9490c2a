// The scan: scale ladder, coverage of every window position through tiles and sub-tiles, the
// fixed-point down-scaling, grouping and merging, slices, argument checks and the life of the
// shared cascade. Cascades are built by hand so that every answer can be counted.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "face/detector_internal.h"
#include "kernel_checks.h"
#include "kvz/kernel_thread.h"
#include "support/cascade_builders.h"

namespace kvz {
namespace {

using test::LeftMinusRight;
using test::LoadedCascade;
using test::OneNode;

// On a flat picture every window has f = 0 and goes right: right leaf 1 >= stage threshold 1
// accepts everything.
const train::Cascade kAcceptFlat = OneNode(LeftMinusRight(), 0, 0, 1, 1);

struct Scanner {
  explicit Scanner(const HiddenCascade* cascade, USHORT tileWidth = 320, USHORT tileHeight = 240) {
    FaceDetectorSetup setup = {tileWidth, tileHeight, faces, 3, 0};
    EXPECT_EQ(FaceDetectorCreateWithCascade(&handle, &setup, cascade), kFdOk);
    handle->observer = [](PVOID context, const UCHAR*, ULONG, const Candidate&) {
      ++*static_cast<ULONG*>(context);
    };
    handle->observerContext = &windows;
  }
  ~Scanner() { FaceDetectorDestroy(handle); }
  USHORT Detect(const std::vector<UCHAR>& pixels, USHORT w, USHORT h, USHORT cs, USHORT rs, float scale,
                USHORT minSize, USHORT slices = 1) {
    image = DetectionImage{pixels.data(), w, h, w, {}};
    return FaceDetectorDetect(handle, &image, &count, 0, 0, w, h, cs, rs, scale, minSize, slices);
  }
  DetectorHandle* handle = nullptr;
  FaceRecord faces[3] = {};
  DetectionImage image = {};
  ULONG count = 0;
  ULONG windows = 0;
};

TEST(ScaleLadder, CountsScalesAsTheDriverSearches) {
  ULONG searched;
  // 1.25 from 24: windows 30, 37, 46, 58, 73, 91, 114, 143, 178, 223, then 279 > 240: eleven
  // scales, the eight whose next window exceeds 50 searched (46 ... 223).
  EXPECT_EQ(CountScales(24, 24, 320, 240, 1280, 50, &searched), 11u);
  EXPECT_EQ(searched, 8u);
  // 1.125: windows 27, 30, 34, 38, 43, 48, 54, ..., 224, then 252: 14 searched from 48.
  CountScales(24, 24, 320, 240, 1152, 50, &searched);
  EXPECT_EQ(searched, 14u);
}

TEST(DetectorScan, VisitsEveryAlignedWindowOnceThroughTilesAndSubTiles) {
  {
  LoadedCascade cascade(kAcceptFlat);
  const std::vector<UCHAR> flat(100 * 70, 80);
  struct Case {
    USHORT tile;       // tile capacity (at least one sub-tile)
    USHORT cs, rs;
    ULONG windows;
  } cases[] = {
      {320, 1, 1, 77 * 47},  // one tile, sub-tiles at 0 and 41 across, 0 and 41 down
      {64, 1, 1, 77 * 47},   // four tiles
      {64, 3, 2, 26 * 24},   // columns 0, 3, ..., 75 and rows 0, 2, ..., 46
  };
  for (const Case& c : cases) {
    Scanner s(cascade.get(), c.tile, c.tile);
    // A factor of 4 leaves one scale (the next window, 96, exceeds the picture's height).
    EXPECT_EQ(s.Detect(flat, 100, 70, c.cs, c.rs, 4.0f, 0), kFdOk);
    EXPECT_EQ(s.windows, c.windows) << c.tile << " " << c.cs << "x" << c.rs;
    // All hits of one picture form one group: one face.
    EXPECT_EQ(s.count, 1u);
  }
  }
  EXPECT_CLEAN_UNLOAD();
}

TEST(DetectorScan, ScalesDownInFivePointFixedPoint) {
  // 2 x 2 picture 0 32 / 64 96 sampled with steps of 1.5 pixels (48/32): the first sample sits
  // at 8/32 in both directions, w = 8 x 8 / 32 = 2, so
  // (0 x 18 + 32 x 6 + 64 x 6 + 96 x 2 + 16) / 32 = 24.
  const UCHAR pixels[4] = {0, 32, 64, 96};
  DetectionImage image = {pixels, 2, 2, 2, {}};
  ScanJob job = {0, 0, 1, 1, 48, 48, 1, 1, 0, 0};
  UCHAR out[4] = {};
  TileRecord tile = {};
  tile.buffer = out;
  tile.stride = 2;
  tile.width = tile.height = 1;
  DetectorScaleImage(image, job, &tile);
  EXPECT_EQ(out[0], 24);
}

Candidate Box(LONG l, LONG t, LONG side, USHORT neighbours = 1) {
  return Candidate{l, t, l + side, t + side, 1, neighbours, 0};
}

TEST(Grouping, CornersWithinAThirdOfTheSizeGroup) {
  // Two 30 x 30 hits: d = (30 + 30 + 7) / 3 = 22 with widths taken as right - left.
  LONG scratch[kGroupScratchEntries * 3];
  for (LONG shift : {22, 23}) {
    const Candidate c[2] = {Box(0, 0, 30), Box(shift, shift, 30)};
    EXPECT_EQ(GroupDetections(c, 2, scratch), shift == 22 ? 1u : 2u) << shift;
  }
  // A chain groups transitively; labels follow the order of each group's first member.
  const Candidate chain[4] = {Box(200, 0, 30), Box(0, 0, 30), Box(20, 0, 30), Box(40, 0, 30)};
  EXPECT_EQ(GroupDetections(chain, 4, scratch), 2u);
  const LONG* label = scratch + 2 * kGroupScratchEntries;
  EXPECT_EQ(label[0], 0);
  EXPECT_EQ(label[1], 1);
  EXPECT_EQ(label[3], 1);
}

TEST(Merging, AveragesGroupsAndDropsWeakOrEnclosedOnes) {
  LONG scratch[kGroupScratchEntries * 3];
  Candidate out[8];
  // Three hits averaged with rounding: (0 + 10 + 11 + 1) / 3 = 7.
  Candidate group[3] = {Box(0, 0, 40), Box(10, 10, 40), Box(11, 11, 40)};
  ULONG n = 3;
  EXPECT_EQ(MergeCandidates(group, out, 8, &n, 1, scratch), kFdOk);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(out[0].left, 7);
  EXPECT_EQ(out[0].neighbours, 3);
  EXPECT_EQ(out[0].members, 1u);
  // An isolated hit survives a minimum of one neighbour, not of two.
  for (ULONG minimum : {1u, 2u}) {
    Candidate single[1] = {Box(5, 5, 40)};
    n = 1;
    MergeCandidates(single, out, 8, &n, minimum, scratch);
    EXPECT_EQ(n, minimum == 1 ? 1u : 0u);
  }
  // Classes of 5 and 3 neighbours, the weaker inside the stronger grown by a fifth (dx = 20):
  // only the stronger stays; with equal counts both stay. In place, as the final merge runs.
  for (USHORT weaker : {3, 5}) {
    Candidate classes[2] = {Box(100, 100, 100, 5), Box(85, 85, 60, weaker)};
    n = 2;
    MergeCandidates(classes, classes, 640, &n, 2, scratch);
    EXPECT_EQ(n, weaker == 3 ? 1u : 2u);
    EXPECT_EQ(classes[0].left, 100);
  }
  // A full output stops the selection and says so.
  Candidate apart[3] = {Box(0, 0, 20), Box(100, 0, 20), Box(200, 0, 20)};
  n = 3;
  EXPECT_EQ(MergeCandidates(apart, out, 2, &n, 1, scratch), kFdListFull);
  EXPECT_EQ(n, 2u);
}

TEST(DetectorScan, LaterScalesAreNotMergedOnceTheFaceListCouldBeFilled) {
  LoadedCascade cascade(kAcceptFlat);
  const std::vector<UCHAR> flat(48 * 48, 80);
  for (USHORT already : {2, 3}) {
    Scanner s(cascade.get());
    s.image = DetectionImage{flat.data(), 48, 48, 48, {}};
    s.handle->scan->image = &s.image;
    s.handle->workspace.mergedCount = already;
    // One job over the whole 48 x 48 picture: 25 x 25 windows, all accepted, one group.
    const ScanJob job = {0, 0, 48, 48, 32, 32, 1, 1, 0, 0};
    EXPECT_EQ(RunDetectionPass(s.handle, job), kFdOk);
    EXPECT_EQ(s.handle->workspace.hitCount, 625);
    EXPECT_EQ(s.handle->workspace.mergedCount, 3) << already;
    EXPECT_EQ(s.handle->workspace.newCount, already == 2 ? 1 : 0) << already;
  }
}

TEST(DetectorScan, SlicesSplitTheSearchAcrossCalls) {
  LoadedCascade cascade(kAcceptFlat);
  const std::vector<UCHAR> flat(64 * 64, 80);
  Scanner one(cascade.get());
  EXPECT_EQ(one.Detect(flat, 64, 64, 1, 1, 1.25f, 0, 1), kFdOk);
  Scanner split(cascade.get());
  // 64 x 64 with 1.25: scales 24, 30, 37, 46, 58 (72 stops): five jobs over three slices.
  EXPECT_EQ(split.Detect(flat, 64, 64, 1, 1, 1.25f, 0, 3), kFdMoreSlices);
  EXPECT_EQ(split.Detect(flat, 64, 64, 1, 1, 1.25f, 0, 3), kFdMoreSlices);
  EXPECT_EQ(split.Detect(flat, 64, 64, 1, 1, 1.25f, 0, 3), kFdOk);
  EXPECT_EQ(split.windows, one.windows);
  EXPECT_EQ(split.count, one.count);
}

TEST(DetectorScan, RegionTooSmallForTheWindowScansNothing) {
  LoadedCascade cascade(kAcceptFlat);
  const std::vector<UCHAR> flat(320 * 240, 80);
  Scanner s(cascade.get());
  DetectionImage image = {flat.data(), 320, 240, 320, {}};
  // A 20 x 20 region: every job's scaled region is below 24, all rejected.
  EXPECT_EQ(FaceDetectorDetect(s.handle, &image, &s.count, 100, 100, 20, 20, 1, 1, 1.125f, 0, 1), kFdOk);
  EXPECT_EQ(s.windows, 0u);
  EXPECT_EQ(s.count, 0u);
  // A zero step: every job is skipped.
  EXPECT_EQ(FaceDetectorDetect(s.handle, &image, &s.count, 0, 0, 320, 240, 0, 1, 1.25f, 0, 1), kFdOk);
  EXPECT_EQ(s.windows, 0u);
}

TEST(FaceDetectorInterface, RefusesBadArguments) {
  auto cascade = std::make_unique<LoadedCascade>(kAcceptFlat);
  const std::vector<UCHAR> flat(64 * 64, 80);
  DetectionImage image = {flat.data(), 64, 64, 64, {}};
  ULONG count = 7;
  EXPECT_EQ(FaceDetectorDetect(nullptr, &image, &count, 0, 0, 64, 64, 1, 1, 1.25f, 0, 1), kFdBadArgument);
  {
    Scanner s(cascade->get());
    struct Case {
      const char* name;
      USHORT x, y, w, h, cs, rs;
      float scale;
    } cases[] = {
        {"region past the right edge", 10, 0, 60, 64, 1, 1, 1.25f},
        {"region past the bottom", 0, 1, 64, 64, 1, 1, 1.25f},
        {"empty region", 0, 0, 0, 64, 1, 1, 1.25f},
        {"step beyond its field", 0, 0, 64, 64, 8, 1, 1.25f},
        {"scale that never grows", 0, 0, 64, 64, 1, 1, 1.0f},
        {"scale just above one in 1/1024", 0, 0, 64, 64, 1, 1, 1.0005f},
    };
    for (const Case& c : cases) {
      EXPECT_EQ(FaceDetectorDetect(s.handle, &image, &count, c.x, c.y, c.w, c.h, c.cs, c.rs, c.scale, 0, 1),
                kFdBadArgument) << c.name;
      EXPECT_EQ(count, 0u);
    }
    EXPECT_EQ(FaceDetectorDetect(s.handle, nullptr, &count, 0, 0, 64, 64, 1, 1, 1.25f, 0, 1), kFdBadArgument);
  }
  // No handle left: a stale handle's search reports no instance.
  DetectorHandle fake = {};
  EXPECT_EQ(FaceDetectorDetect(&fake, &image, &count, 0, 0, 64, 64, 1, 1, 1.25f, 0, 1), kFdNoInstance);
  EXPECT_EQ(FaceDetectorCreate(nullptr, nullptr), kFdBadArgument);
  EXPECT_EQ(FaceDetectorDestroy(nullptr), kFdBadArgument);
  cascade.reset();
  EXPECT_CLEAN_UNLOAD();
}

TEST(FaceDetectorInterface, SharedCascadeLivesFromFirstCreateToLastDestroy) {
  FaceRecord faces[3];
  FaceDetectorSetup setup = {320, 240, faces, 3, 0};
  DetectorHandle* a = nullptr;
  DetectorHandle* b = nullptr;
  ASSERT_EQ(FaceDetectorCreate(&a, &setup), kFdOk);
  ASSERT_EQ(FaceDetectorCreate(&b, &setup), kFdOk);
  ASSERT_NE(a->cascade, nullptr);
  EXPECT_EQ(a->cascade, b->cascade);
  EXPECT_EQ(a->windowWidth, 24);
  // Each handle has integral images of its own: two devices may search at once.
  EXPECT_NE(a->integral, b->integral);
  FaceDetectorDestroy(a);
  FaceDetectorDestroy(b);
  EXPECT_CLEAN_UNLOAD();
  ASSERT_EQ(FaceDetectorCreate(&a, &setup), kFdOk);
  EXPECT_NE(a->cascade, nullptr);
  FaceDetectorDestroy(a);
  EXPECT_CLEAN_UNLOAD();
}

// Devices come and go on their own threads: the shared cascade is built once, every handle
// sees the same one, and the last destruction releases it.
TEST(FaceDetectorInterface, HandlesOfSeveralDevicesAtOnce) {
  constexpr int kThreads = 4;
  const HiddenCascade* seen[kThreads][20] = {};
  {
    std::vector<std::unique_ptr<kernel::KernelThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.push_back(std::make_unique<kernel::KernelThread>("device" + std::to_string(t), [&seen, t] {
        FaceRecord faces[3];
        FaceDetectorSetup setup = {320, 240, faces, 3, 0};
        for (int i = 0; i < 20; ++i) {
          DetectorHandle* h = nullptr;
          if (FaceDetectorCreate(&h, &setup) != kFdOk) continue;
          seen[t][i] = h->cascade;
          FaceDetectorDestroy(h);
        }
      }));
    }
  }
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < 20; ++i) EXPECT_NE(seen[t][i], nullptr);
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
}  // namespace kvz
