// Processor classification and build selection for both deliverables, on injected processors.
#include <gtest/gtest.h>

#include <map>

#include "support/e1_cpu_profiles.h"
#include "primitives/build_selection.h"
#include "primitives/cpu_features.h"
#include "primitives/cpu_type.h"
#include "primitives/pointer_alignment.h"

namespace kvz::prim {
namespace {

using test::Profile;
using test::ScopedCpu;

constexpr Deliverable k64 = Deliverable::kKvzcam64;
constexpr Deliverable k32 = Deliverable::kKvzcam;

CpuIdentity IdentityOf(const std::string& name) {
  ScopedCpu cpu(name);
  return ReadCpuIdentity();
}

struct ClassifyCase {
  const char* profile;
  int32_t code64, slot64, status64;
  int32_t code32, slot32, status32;
};

const ClassifyCase kClassify[] = {
    {"none", 0, 0, 20, 0, 0, 20},
    {"core2", 0x21, 2, 0, 0x21, 4, 0},
    {"yonah", 0x42, 0, 0, 0x0A, 3, 0},
    {"prescott64", 0x20, 1, 0, 0x20, 3, 0},
    {"prescott", 0x42, 0, 0, 8, 3, 0},
    {"northwood-ht", 0x41, 0, 0, 7, 2, 0},
    {"northwood", 0x41, 0, 0, 6, 2, 0},
    {"pentium3", 0x40, 0, 0, 5, 1, 0},
    {"pentium2", 0, 0, 0, 4, 0, 0},
    {"p5-mmx", 0, 0, 0, 2, 0, 0},
    {"p5", 0, 0, 0, 1, 0, 0},
    {"athlon64", 0x43, 0, 20, 0x41, 2, 20},
    {"zen2", 0x21, 2, 20, 0x21, 4, 20},
    // The type codes of these name a build the processor lacks: the slot is held down to
    // what it can run and the selection warns.
    {"family7", 0, 0, 0, 0x10, 0, 21},
    {"family15-nosse2", 0x40, 0, 0, 0x11, 1, 0},
    {"family15-nosse", 0, 0, 0, 0x11, 0, 21},
};

class ClassifyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, CodeSlotAndStatusOnBothDeliverables) {
  const ClassifyCase& c = GetParam();
  const CpuIdentity cpu = IdentityOf(c.profile);
  EXPECT_EQ(ClassifyCpu(k64, cpu), c.code64);
  EXPECT_EQ(ClassifyCpu(k32, cpu), c.code32);
  const BuildChoice b64 = ChooseBuildForProcessor(k64, cpu);
  EXPECT_EQ(b64.slot, c.slot64);
  EXPECT_EQ(b64.status, c.status64);
  const BuildChoice b32 = ChooseBuildForProcessor(k32, cpu);
  EXPECT_EQ(b32.slot, c.slot32);
  EXPECT_EQ(b32.status, c.status32);
}

TEST_P(ClassifyTest, RunningDeliverableSetsTheIndex) {
  const ClassifyCase& c = GetParam();
  const bool is64 = kThisDeliverable == k64;
  ScopedCpu cpu(c.profile);
  PrimitiveDispatchIndex.store(1);
  EXPECT_EQ(GetCpuType(), is64 ? c.code64 : c.code32);
  EXPECT_EQ(InitPrimitivesForCpu(), is64 ? c.status64 : c.status32);
  EXPECT_EQ(PrimitiveDispatchIndex.load(), is64 ? c.slot64 : c.slot32);
  PrimitiveDispatchIndex.store(0);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ClassifyTest, ::testing::ValuesIn(kClassify),
                         [](const auto& info) {
                           std::string n = info.param.profile;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

TEST(SlotForCpuCode, TablesOfBothDeliverables) {
  const std::map<int32_t, int32_t> slots64 = {{-1, 0}, {0, 0}, {0x20, 1}, {0x21, 2}, {0x22, 2},
                                              {0x43, 0}};
  const std::map<int32_t, int32_t> slots32 = {
      {-1, 0}, {0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 1}, {0x10, 1}, {0x11, 1}, {0x40, 1},
      {6, 2}, {7, 2}, {9, 2}, {0x41, 2}, {8, 3}, {0x0A, 3}, {0x42, 3}, {0x20, 3}, {0x21, 4},
      {0x22, 4}};
  for (int32_t code = -300; code <= 300; ++code) {
    auto it = slots64.find(code);
    EXPECT_EQ(SlotForCpuCode(k64, code), it == slots64.end() ? -1 : it->second) << code;
    it = slots32.find(code);
    EXPECT_EQ(SlotForCpuCode(k32, code), it == slots32.end() ? -1 : it->second) << code;
  }
}

TEST(ChooseBuildForCode, RefusedCodeKeepsTheSlotInForce) {
  const CpuIdentity cpu = IdentityOf("core2");
  for (int32_t current : {0, 1, 2}) {
    const BuildChoice b = ChooseBuildForCode(k64, 1, current, cpu);
    EXPECT_EQ(b.slot, current);
    EXPECT_EQ(b.status, 21);
  }
  EXPECT_EQ(ChooseBuildForCode(k32, 0x43, 3, cpu).slot, 3);
  EXPECT_EQ(ChooseBuildForCode(k32, 0x43, 3, cpu).status, 21);
}

TEST(ChooseBuildForCode, EveryAcceptedCodeUnclampedOnAProcessorWithAllFeatures) {
  const CpuIdentity cpu = IdentityOf("core2");
  for (Deliverable d : {k64, k32}) {
    for (int32_t code = -1; code <= 0x43; ++code) {
      const int32_t slot = SlotForCpuCode(d, code);
      if (slot < 0) continue;
      const BuildChoice b = ChooseBuildForCode(d, code, 0, cpu);
      EXPECT_EQ(b.slot, slot) << code;
      EXPECT_EQ(b.status, 0) << code;
    }
  }
}

struct VendorModeCase {
  const char* profile;
  int32_t mode;
  int32_t slot64, status64;  // from slot 0 in force
  int32_t slot32, status32;
};

// The codec's vendor modes map to these calls: 1 detection, 2 code 6, 3 code 32, else code 1.
int32_t CodeForVendorMode(int32_t mode) { return mode == 2 ? 6 : mode == 3 ? 0x20 : 1; }

const VendorModeCase kVendorModes[] = {
    {"core2", 2, 0, 21, 2, 0},
    {"core2", 3, 1, 0, 3, 0},
    {"core2", 0, 0, 21, 0, 0},
    {"core2", 7, 0, 21, 0, 0},
    {"zen2", 3, 1, 0, 3, 0},
    {"athlon64", 2, 0, 21, 2, 0},
    // An early 64-bit processor without SSE3: mode 3 would pick the SSE3 build.
    {"athlon64", 3, 0, 21, 2, 21},
};

TEST(ChooseBuildForCode, CodecVendorModes) {
  for (const VendorModeCase& c : kVendorModes) {
    SCOPED_TRACE(std::string(c.profile) + " mode " + std::to_string(c.mode));
    const CpuIdentity cpu = IdentityOf(c.profile);
    const int32_t code = CodeForVendorMode(c.mode);
    const BuildChoice b64 = ChooseBuildForCode(k64, code, 0, cpu);
    EXPECT_EQ(b64.slot, c.slot64);
    EXPECT_EQ(b64.status, c.status64);
    const BuildChoice b32 = ChooseBuildForCode(k32, code, 0, cpu);
    EXPECT_EQ(b32.slot, c.slot32);
    EXPECT_EQ(b32.status, c.status32);
  }
}

TEST(ChooseBuildForCode, ClampsToTheHighestRunnableBuild) {
  EXPECT_EQ(ChooseBuildForCode(k32, 0x21, 0, IdentityOf("pentium3")).slot, 1);
  EXPECT_EQ(ChooseBuildForCode(k32, 0x21, 0, IdentityOf("pentium3")).status, 21);
  EXPECT_EQ(ChooseBuildForCode(k32, 0x10, 0, IdentityOf("family7")).slot, 0);
  EXPECT_EQ(ChooseBuildForCode(k64, 0x22, 2, IdentityOf("yonah")).slot, 1);
  EXPECT_EQ(ChooseBuildForCode(k64, 0x21, 2, IdentityOf("none")).slot, 0);
  EXPECT_EQ(ChooseBuildForCode(k64, 0x21, 2, IdentityOf("none")).status, 21);
  EXPECT_EQ(ChooseBuildForCode(k64, 0, 2, IdentityOf("none")).status, 0);
}

TEST(SelectPrimitiveCpu, SetsOrKeepsTheIndex) {
  ScopedCpu cpu("core2");
  const bool is64 = kThisDeliverable == k64;
  PrimitiveDispatchIndex.store(2);
  EXPECT_EQ(SelectPrimitiveCpu(1), is64 ? 21 : 0);
  EXPECT_EQ(PrimitiveDispatchIndex.load(), is64 ? 2 : 0);
  EXPECT_EQ(SelectPrimitiveCpu(0x22), 0);  // accepted though detection never yields it
  EXPECT_EQ(PrimitiveDispatchIndex.load(), is64 ? 2 : 4);
  EXPECT_EQ(SelectPrimitiveCpu(0x43), is64 ? 0 : 21);
  EXPECT_EQ(PrimitiveDispatchIndex.load(), is64 ? 0 : 4);
  EXPECT_EQ(SelectPrimitiveCpu(6), is64 ? 21 : 0);
  EXPECT_EQ(PrimitiveDispatchIndex.load(), is64 ? 0 : 2);
  EXPECT_EQ(SelectPrimitiveCpu(0x20), 0);
  EXPECT_EQ(PrimitiveDispatchIndex.load(), is64 ? 1 : 3);
  EXPECT_EQ(SelectPrimitiveCpu(12345), 21);
  EXPECT_EQ(PrimitiveDispatchIndex.load(), is64 ? 1 : 3);
  PrimitiveDispatchIndex.store(0);
}

TEST(SelectPrimitiveCpu, ClampedOnAProcessorWithoutTheBuildsFeatures) {
  ScopedCpu cpu("athlon64");
  EXPECT_EQ(SelectPrimitiveCpu(0x20), 21);
  EXPECT_EQ(PrimitiveDispatchIndex.load(), kThisDeliverable == k64 ? 0 : 2);
  PrimitiveDispatchIndex.store(0);
}

TEST(QueryCpuFeatures, FillsEveryFieldFromTheLeaves) {
  ScopedCpu cpu("core2");
  CpuFeatureRecord r;
  QueryCpuFeatures(&r);
  const test::CpuProfile& p = Profile("core2");
  EXPECT_EQ(r.family, 6);
  EXPECT_EQ(r.stepping, 6);
  EXPECT_EQ(r.model, 15);
  EXPECT_EQ(static_cast<uint32_t>(r.featureBits), p.leaf1Edx);
  EXPECT_EQ(static_cast<uint32_t>(r.cacheDescriptorsEax), p.leaf2Eax);
  EXPECT_EQ(static_cast<uint32_t>(r.cacheDescriptorsEdx), p.leaf2Edx);
  EXPECT_EQ(r.mmx, 1);
  EXPECT_EQ(r.sse, 1);
  EXPECT_EQ(r.sse2, 1);
  EXPECT_EQ(r.multipleLogicalCpus, 1);
  EXPECT_EQ(r.sse3, 1);
  EXPECT_EQ(r.longMode, 1);
  EXPECT_EQ(r.ssse3, 1);
  EXPECT_EQ(r.coresPerPackage, 2);
}

TEST(QueryCpuFeatures, BaseFamilyAndModelOnly) {
  ScopedCpu cpu("zen2");
  CpuFeatureRecord r;
  QueryCpuFeatures(&r);
  EXPECT_EQ(r.family, 15);
  EXPECT_EQ(r.model, 1);
  EXPECT_EQ(r.coresPerPackage, 1);  // leaf 4 reads zero on this profile
}

TEST(QueryCpuFeatures, AsksOnlyForLeavesThatExist) {
  {
    ScopedCpu cpu("pentium3");
    CpuFeatureRecord r;
    QueryCpuFeatures(&r);
    EXPECT_EQ(kernel::CpuidCallCount(4), 0u);
    EXPECT_EQ(kernel::CpuidCallCount(0x80000001u), 0u);
    EXPECT_EQ(r.longMode, 0);
    EXPECT_EQ(r.coresPerPackage, 1);
  }
  {
    ScopedCpu cpu("core2");
    CpuFeatureRecord r;
    QueryCpuFeatures(&r);
    EXPECT_GE(kernel::CpuidCallCount(4), 1u);
    EXPECT_GE(kernel::CpuidCallCount(0x80000001u), 1u);
  }
}

TEST(CpuHelpers, SingleFeatureQueries) {
  ScopedCpu cpu("northwood-ht");
  EXPECT_EQ(GetMaxCpuidLeaf(), 2);
  EXPECT_EQ(HasTsc(), 1);
  EXPECT_EQ(HasMmx(), 1);
  EXPECT_EQ(HasSse(), 1);
  EXPECT_EQ(HasSse2(), 1);
  EXPECT_EQ(HasSse3(), 0);
  EXPECT_EQ(HasSsse3(), 0);
  EXPECT_EQ(HasMultipleLogicalCpus(), 1);
  EXPECT_EQ(HasLongMode(), 0);
  EXPECT_EQ(GetCoresPerPackage(), 1);
  EXPECT_EQ(IsGenuineIntel(), 1);
  EXPECT_EQ(HasCpuid(), 1);
}

TEST(CpuHelpers, WithoutCpuid) {
  ScopedCpu cpu("none");
  EXPECT_EQ(HasCpuid(), 0);
  EXPECT_EQ(GetCpuType(), 0);
}

TEST(CpuHelpers, GenuineIntelNeedsAllThreeWords) {
  test::CpuProfile p = Profile("core2");
  p.vendor = "GenuineIntek";
  ScopedCpu cpu(p);
  EXPECT_EQ(IsGenuineIntel(), 0);
}

TEST(LookupCacheDescriptor, FirstTableEntryThatTheProcessorReports) {
  ScopedCpu cpu("core2");  // descriptors B1 B0 05 | 7D 30 04 2C
  const CacheDescriptorEntry bySize[] = {{0x7D, 2048}, {0x2C, 32}, {0, 0}};
  const CacheDescriptorEntry byL1[] = {{0x2C, 32}, {0x7D, 2048}, {0, 0}};
  const CacheDescriptorEntry absent[] = {{0x47, 8192}, {0x01, 5}, {0, 0}};
  const CacheDescriptorEntry fromEax[] = {{0x105, 7}, {0, 0}};  // low byte 0x05
  EXPECT_EQ(LookupCacheDescriptor(bySize), 2048);
  EXPECT_EQ(LookupCacheDescriptor(byL1), 32);
  EXPECT_EQ(LookupCacheDescriptor(absent), -1);  // 01 is the count byte, not a descriptor
  EXPECT_EQ(LookupCacheDescriptor(fromEax), 7);
}

TEST(LookupCacheDescriptor, IgnoresInvalidRegistersAndMultiShotLeaves) {
  const CacheDescriptorEntry table[] = {{0x7D, 2048}, {0, 0}};
  test::CpuProfile p = Profile("core2");
  p.leaf2Edx |= 0x80000000u;
  {
    ScopedCpu cpu(p);
    EXPECT_EQ(LookupCacheDescriptor(table), -1);
  }
  p = Profile("core2");
  p.leaf2Eax = (p.leaf2Eax & ~0xFFu) | 2;
  {
    ScopedCpu cpu(p);
    EXPECT_EQ(LookupCacheDescriptor(table), -1);
  }
}

TEST(AlignPointer, RoundsUpToTheBoundary) {
  alignas(64) static char buffer[128];
  EXPECT_EQ(AlignPointer(buffer, 32), buffer);
  EXPECT_EQ(AlignPointer(buffer + 1, 32), buffer + 32);
  EXPECT_EQ(AlignPointer(buffer + 31, 32), buffer + 32);
  EXPECT_EQ(AlignPointer(buffer + 33, 16), buffer + 48);
  EXPECT_EQ(AlignPointer(buffer + 5, 1), buffer + 5);
}

TEST(PrimitiveDispatchIndex, StartsAtTheGenericBuild) {
  // Runs before any test of this binary changes it only if it is first; every test here puts
  // it back to 0, so at any point between tests it reads 0.
  EXPECT_EQ(PrimitiveDispatchIndex.load(), 0);
}

}  // namespace
}  // namespace kvz::prim
