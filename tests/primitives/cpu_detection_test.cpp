// Detection on the processor that runs the test (on the 32-bit build, each of several qemu
// models): the feature record and the type code against an independent reading of CPUID, the
// build chosen is one the processor can run, and every build it can run computes as the
// generic build does.
#include <cpuid.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "primitives/build_selection.h"
#include "primitives/cpu_features.h"
#include "primitives/cpu_type.h"
#include "support/e1_arithmetic_builds.h"

namespace kvz::prim {
namespace {

struct Leaves {
  unsigned maxLeaf = 0, vendor[3] = {0, 0, 0};
  unsigned eax1 = 0, ebx1 = 0, ecx1 = 0, edx1 = 0;
  unsigned maxExtended = 0, edxExtended = 0;
};

Leaves ReadLeaves() {
  Leaves l;
  unsigned a, b, c, d;
  __cpuid(0, a, b, c, d);
  l.maxLeaf = a;
  l.vendor[0] = b;
  l.vendor[1] = d;
  l.vendor[2] = c;
  __cpuid(1, l.eax1, l.ebx1, l.ecx1, l.edx1);
  __cpuid(0x80000000u, l.maxExtended, b, c, d);
  if (l.maxExtended >= 0x80000001u) __cpuid(0x80000001u, a, b, c, l.edxExtended);
  return l;
}

bool Bit(unsigned v, int n) { return (v >> n) & 1; }

TEST(CpuDetection, RecordMatchesTheProcessor) {
  const Leaves l = ReadLeaves();
  CpuFeatureRecord r;
  QueryCpuFeatures(&r);
  EXPECT_EQ(r.family, static_cast<int32_t>((l.eax1 >> 8) & 15));
  EXPECT_EQ(r.model, static_cast<int32_t>((l.eax1 >> 4) & 15));
  EXPECT_EQ(r.stepping, static_cast<int32_t>(l.eax1 & 15));
  EXPECT_EQ(static_cast<unsigned>(r.featureBits), l.edx1);
  EXPECT_EQ(r.mmx, Bit(l.edx1, 23));
  EXPECT_EQ(r.sse, Bit(l.edx1, 25));
  EXPECT_EQ(r.sse2, Bit(l.edx1, 26));
  EXPECT_EQ(r.sse3, Bit(l.ecx1, 0));
  EXPECT_EQ(r.ssse3, Bit(l.ecx1, 9));
  EXPECT_EQ(r.multipleLogicalCpus, Bit(l.edx1, 28) && ((l.ebx1 >> 16) & 255) > 1);
  EXPECT_EQ(r.longMode, l.maxExtended >= 0x80000001u && Bit(l.edxExtended, 29));
  const bool intel = l.vendor[0] == 0x756E6547u && l.vendor[1] == 0x49656E69u && l.vendor[2] == 0x6C65746Eu;
  EXPECT_EQ(IsGenuineIntel(), intel ? 1 : 0);
  std::printf("processor: %.12s family %d model %d, type code %d\n",
              reinterpret_cast<const char*>(l.vendor), r.family, r.model, GetCpuType());
}

TEST(CpuDetection, AutomaticSelectionPicksARunnableBuild) {
  const PrimitiveStatus status = InitPrimitivesForCpu();
  const int32_t slot = PrimitiveDispatchIndex.load();
  PrimitiveDispatchIndex.store(0);
  ASSERT_GE(slot, 0);
  ASSERT_LT(slot, KVZ_BUILD_COUNT);
  EXPECT_TRUE(test::IsaRunsHere(test::ArithmeticBuilds()[slot].isa)) << "slot " << slot;
  EXPECT_EQ(status == kStsCpuNotRecognised, IsGenuineIntel() == 0);
  // Nothing the processor can run was passed over, except where the deliverable's table stops
  // short (64-bit processors without long mode, which only the 32-bit driver runs on).
  const int32_t code = GetCpuType();
  if (SlotForCpuCode(kThisDeliverable, code) >= 0) {
    EXPECT_EQ(slot, std::min(SlotForCpuCode(kThisDeliverable, code),
                             HighestRunnableSlot(kThisDeliverable, ReadCpuIdentity())));
  }
}

TEST(CpuDetection, EveryRunnableBuildAgreesWithGeneric) {
  std::vector<uint16_t> a(200), divisors(200);
  std::vector<int16_t> b(200);
  for (int i = 0; i < 200; ++i) {
    a[i] = static_cast<uint16_t>(i * 331 + 7);
    b[i] = static_cast<int16_t>(i * -97 + 3000);
    divisors[i] = static_cast<uint16_t>(i % 255);
  }
  std::vector<int16_t> expectedProducts(200);
  std::vector<uint16_t> expectedQuotients(200);
  generic::MultiplyWordsScaled(a.data(), b.data(), expectedProducts.data(), 200, 15);
  generic::ReverseDivideWordsKernel(divisors.data(), 0x8000, expectedQuotients.data(), 200);
  for (const test::ArithmeticBuild& build : test::RunnableArithmeticBuilds()) {
    std::vector<int16_t> products(200);
    std::vector<uint16_t> quotients(200);
    build.multiplyScaled(a.data(), b.data(), products.data(), 200, 15);
    build.reverseDivideKernel(divisors.data(), 0x8000, quotients.data(), 200);
    EXPECT_EQ(products, expectedProducts) << build.name;
    EXPECT_EQ(quotients, expectedQuotients) << build.name;
  }
}

}  // namespace
}  // namespace kvz::prim
