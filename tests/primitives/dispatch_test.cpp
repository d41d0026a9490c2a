// Dispatch: the table holds each build in its slot, and an entry runs the build that the index
// selects, returning exactly what that build returns.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "primitives/build_selection.h"
#include "primitives/colour_convert.h"
#include "primitives/dispatch.h"
#include "primitives/dispatch_table.h"
#include "primitives/mirror.h"
#include "primitives/path_counts.h"
#include "primitives/region_copy.h"
#include "primitives/vector_ops.h"
#include "support/e1_arithmetic_builds.h"

namespace kvz::prim {
namespace {

// Restores the generic build after each test.
class DispatchTest : public ::testing::Test {
 protected:
  void TearDown() override { PrimitiveDispatchIndex.store(0); }
};

// Slot s of every wired group holds build s of that primitive.
#define KVZ_CHECK_SLOT(name, ns) EXPECT_EQ(PrimitiveDispatchTable.name[slot], &ns::name) << #name " slot " << slot;
#define KVZ_CHECK_BUILD(ns)                                  \
  {                                                          \
    KVZ_CHECK_SLOT(ResizeImage8uC4, ns)                      \
    KVZ_CHECK_SLOT(MirrorImage8uC3InPlace, ns)               \
    KVZ_CHECK_SLOT(CopyImage8u, ns)                          \
    KVZ_CHECK_SLOT(InterleavePlanes8uP3C3, ns)               \
    KVZ_CHECK_SLOT(InterleavePlanes8uP4C4, ns)               \
    KVZ_CHECK_SLOT(ConvertWordsToBytes, ns)                  \
    KVZ_CHECK_SLOT(CopyImage16s, ns)                         \
    KVZ_CHECK_SLOT(SplitPixels8uC3P3, ns)                    \
    KVZ_CHECK_SLOT(SplitPixels8uC4P4, ns)                    \
    KVZ_CHECK_SLOT(SplitPixels16sC3P3, ns)                   \
    KVZ_CHECK_SLOT(SplitPixels16sC4P4, ns)                   \
    KVZ_CHECK_SLOT(ConvertBytesToWords, ns)                  \
    KVZ_CHECK_SLOT(GetLibraryVersion, ns)                    \
    KVZ_CHECK_SLOT(CopyBytes, ns)                            \
    KVZ_CHECK_SLOT(ZeroBytes, ns)                            \
    KVZ_CHECK_SLOT(ShiftLeftWords, ns)                       \
    KVZ_CHECK_SLOT(CopyWords, ns)                            \
    KVZ_CHECK_SLOT(ShiftRightWords, ns)                      \
    KVZ_CHECK_SLOT(RgbToYuv420, ns)                          \
    KVZ_CHECK_SLOT(Yuv420ToBgr, ns)                          \
    KVZ_CHECK_SLOT(YuvToRgb, ns)                             \
    KVZ_CHECK_SLOT(Yuy2ToPlanar422, ns)                      \
    ++slot;                                                  \
  }

TEST_F(DispatchTest, EverySlotHoldsItsOwnBuild) {
  int slot = 0;
  KVZ_FOR_EACH_BUILD(KVZ_CHECK_BUILD)
  EXPECT_EQ(slot, KVZ_BUILD_COUNT);
}

// This library's table holds the 18 groups of table A that are its own (the JPEG primitives'
// groups are held by primitives/jpeg), then the colour table.
TEST_F(DispatchTest, TheColourTableFollowsTableA) {
#if !defined(__i386__)
  EXPECT_EQ(PrimitiveDispatchTable.endOfTableA, nullptr);
  EXPECT_EQ(reinterpret_cast<const char*>(&PrimitiveDispatchTable.RgbToYuv420) -
                reinterpret_cast<const char*>(&PrimitiveDispatchTable.ResizeImage8uC4),
            static_cast<std::ptrdiff_t>((18 * 3 + 1) * sizeof(void*)));
#else
  EXPECT_EQ(reinterpret_cast<const char*>(&PrimitiveDispatchTable.RgbToYuv420) -
                reinterpret_cast<const char*>(&PrimitiveDispatchTable.ResizeImage8uC4),
            static_cast<std::ptrdiff_t>(18 * 5 * sizeof(void*)));
#endif
}

// The version entry shows which build ran: each build's record names its slot.
TEST_F(DispatchTest, IndexRoutesTheEntryToThatBuild) {
#if defined(__i386__)
  const char* codes[] = {"b0", "b1", "b2", "b3", "b4"};
#else
  const char* codes[] = {"g0", "h3", "h4"};
#endif
  EXPECT_STREQ(GetLibraryVersion()->targetCode, codes[0]);  // before any selection
  for (int slot = 0; slot < KVZ_BUILD_COUNT; ++slot) {
    PrimitiveDispatchIndex.store(slot);
    const PrimitiveLibraryVersion* v = GetLibraryVersion();
    EXPECT_EQ(v, test::ArithmeticBuilds()[slot].libraryVersion());
    EXPECT_EQ(std::string(v->targetCode, 2), codes[slot]);
    EXPECT_EQ(v->targetCode[2], 0);
    EXPECT_EQ(v->targetCode[3], 0);
    EXPECT_EQ(std::string(v->name), std::string("zqpj") + codes[slot] + ".lib");
    EXPECT_EQ(v->major, 2);
    EXPECT_EQ(v->minor, 4);
    EXPECT_EQ(v->majorBuild, 133);
    EXPECT_EQ(v->build, 250);
    EXPECT_STREQ(v->version, "2.4.0");
    EXPECT_STREQ(v->buildDate, "Mar 02 2007");
  }
}

TEST_F(DispatchTest, AVectorBuildsOwnKernelRunsBehindTheEntry) {
  std::vector<uint8_t> src(4096, 7), dst(4096);
  const std::vector<test::ArithmeticBuild>& builds = test::ArithmeticBuilds();
  for (const test::ArithmeticBuild& b : test::RunnableArithmeticBuilds()) {
    uint32_t before[KVZ_BUILD_COUNT];
    int k = 0;
#define KVZ_READ_COUNT(ns) before[k++] = ns::PathCounts[kPathCopyBytes];
    KVZ_FOR_EACH_BUILD(KVZ_READ_COUNT)
    PrimitiveDispatchIndex.store(b.slot);
    ASSERT_EQ(CopyBytes(src.data(), dst.data(), 4096), 0);
    EXPECT_EQ(dst, src);
    k = 0;
#define KVZ_COUNT_GREW(ns)                                                          \
  EXPECT_EQ(ns::PathCounts[kPathCopyBytes] != before[k],                              \
            k == b.slot && builds[k].isa != KVZ_ISA_GENERIC)                        \
      << "index " << b.slot << " build " << #ns;                                    \
  ++k;
    KVZ_FOR_EACH_BUILD(KVZ_COUNT_GREW)
  }
}

TEST_F(DispatchTest, EntriesReturnWhatTheBuildReturns) {
  // A 3 x 2 RGB image: the odd width still converts and warns.
  uint8_t rgb[3 * 3 * 2] = {};
  uint8_t y[6], u[2], v[2];
  uint8_t* planes[3] = {y, u, v};
  const int32_t steps[3] = {3, 2, 2};
  for (const test::ArithmeticBuild& b : test::RunnableArithmeticBuilds()) {
    PrimitiveDispatchIndex.store(b.slot);
    EXPECT_EQ(RgbToYuv420(rgb, 9, planes, steps, {3, 2}), 35) << b.name;
    EXPECT_EQ(CopyBytes(nullptr, y, 1), -8) << b.name;
    EXPECT_EQ(ShiftLeftWords(-1, reinterpret_cast<int16_t*>(y), 1), -32) << b.name;
    EXPECT_EQ(MirrorImage8uC3InPlace(rgb, 9, {3, 2}, 3), -21) << b.name;
  }
}

}  // namespace
}  // namespace kvz::prim
