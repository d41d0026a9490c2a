// On the processor it runs on, detection selects a build and the entries then run that build's
// own code with the generic build's results, except where vector builds differ on purpose. CTest runs it on the 32-bit build under one processor model per
// slot, naming the slot that model must select in KVZ_EXPECTED_SLOT.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "primitives/build_selection.h"
#include "primitives/cpu_type.h"
#include "primitives/path_counts.h"
#include "workload.h"

namespace kvz::prim {
namespace {

typedef std::map<std::string, uint32_t> Checksums;

Checksums* g_sink;
void Record(const char* name, uint32_t checksum) { (*g_sink)[name] = checksum; }

Checksums RunWorkload() {
  Checksums sums;
  g_sink = &sums;
  test::RunPrimitiveWorkload(Record);
  g_sink = nullptr;
  return sums;
}

// Vector builds differ from the generic build here by design: colour rounding, and the
// down-sampling bias and output count.
bool DiffersPerBuild(const std::string& name) {
  static const char* const kNames[] = {"RgbToYuv420", "Yuv420ToBgr", "YuvToRgb",   "YCbCrToRgb",
                                       "YCbCrToBgr",  "YcckToCmyk",  "RgbToY",     "RgbToYCbCr",
                                       "BgrToYCbCr",  "CmykToYcck",  "SampleDownRowH2V1",
                                       "SampleDownRowH2V2"};
  for (const char* n : kNames)
    if (name == n) return true;
  return false;
}

// Every vector path count of each build, in slot order.
void TotalCounts(uint32_t totals[KVZ_BUILD_COUNT]) {
  int slot = 0;
#define KVZ_TOTAL(ns)                                                \
  totals[slot] = 0;                                                  \
  for (uint32_t k = 0; k < kPathCount; ++k) totals[slot] += ns::PathCounts[k]; \
  ++slot;
  KVZ_FOR_EACH_BUILD(KVZ_TOTAL)
#undef KVZ_TOTAL
}

class SelectedBuild : public ::testing::Test {
 protected:
  void TearDown() override { PrimitiveDispatchIndex.store(0); }
};

TEST_F(SelectedBuild, DetectionSelectsTheBuildOfTheProcessorModel) {
  const char* expected = getenv("KVZ_EXPECTED_SLOT");
  if (expected == nullptr) GTEST_SKIP() << "only meaningful under a named processor model";
  InitPrimitivesForCpu();
  EXPECT_EQ(PrimitiveDispatchIndex.load(), atoi(expected));
}

TEST_F(SelectedBuild, EntriesRunTheSelectedBuildWithTheGenericResults) {
  ASSERT_EQ(SelectPrimitiveCpu(kCpuAnyGeneric), kStsOk);
  const Checksums generic = RunWorkload();
  InitPrimitivesForCpu();
  const int32_t slot = PrimitiveDispatchIndex.load();
  uint32_t before[KVZ_BUILD_COUNT], after[KVZ_BUILD_COUNT];
  TotalCounts(before);
  const Checksums selected = RunWorkload();
  TotalCounts(after);

  ASSERT_GE(generic.size(), 40u);
  ASSERT_EQ(selected.size(), generic.size());
  for (const auto& [name, checksum] : generic) {
    if (slot != 0 && DiffersPerBuild(name)) continue;
    EXPECT_EQ(selected.at(name), checksum) << name << " in slot " << slot;
  }
  // Only the selected build's vector code ran; the generic build has none.
  for (int s = 0; s < KVZ_BUILD_COUNT; ++s)
    EXPECT_EQ(after[s] != before[s], s == slot && s != 0) << "slot " << s << ", selected " << slot;
}

}  // namespace
}  // namespace kvz::prim
