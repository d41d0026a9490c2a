#include <cstring>

#include <gtest/gtest.h>

#include "kernel_checks.h"
#include "kvz/kernel_testing.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

TEST(KernelPool, TagsAreShownInMemoryOrder) {
  EXPECT_EQ(TagToString('CDlC'), "ClDC");
  EXPECT_EQ(TagToString('enoN'), "None");
  EXPECT_EQ(TagToString(0x00414243), "CBA.");
}

TEST(KernelPool, AccountsPerTagAndFillsFreshBlocks) {
  const ULONG tag = 'tseT';
  PoolTagStats before = PoolStatsForTag(tag);
  auto* a = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 24, tag));
  void* b = ExAllocatePoolWithTag(PagedPool, 100, tag);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_NE(a[0], 0) << "new pool is not zeroed";
  std::memset(a, 0, 24);  // the whole block is usable
  PoolTagStats during = PoolStatsForTag(tag);
  EXPECT_EQ(during.liveBlocks - before.liveBlocks, 2u);
  EXPECT_EQ(during.liveBytes - before.liveBytes, 124u);
  ExFreePoolWithTag(a, tag);
  ExFreePool(b);
  PoolTagStats after = PoolStatsForTag(tag);
  EXPECT_EQ(after.liveBlocks, before.liveBlocks);
  EXPECT_EQ(after.allocations - before.allocations, 2u);
  void* untagged = ExAllocatePool(NonPagedPool, 8);
  bool found = false;
  for (const PoolBlock& block : LivePoolBlocks()) found = found || (block.address == untagged && block.tag == 'enoN');
  EXPECT_TRUE(found);
  ExFreePool(untagged);
  EXPECT_CLEAN_UNLOAD();
}

TEST(KernelPool, UnloadCheckNamesTagAndSizeOfALeak) {
  void* leaked = ExAllocatePoolWithTag(NonPagedPool, 37, 'kaeL');
  ASSERT_NE(leaked, nullptr);
  UnloadReport report = CheckUnload();
  EXPECT_FALSE(report.clean);
  EXPECT_NE(report.text.find("tag 'Leak' 37 bytes"), std::string::npos) << report.text;
  // Reported once; freeing it later is still allowed.
  EXPECT_TRUE(CheckUnload().clean);
  ExFreePool(leaked);
}

struct InjectionCase {
  const char* name;
  uint64_t n;
  std::optional<ULONG> onlyTag;
  int expectedFailedIndex;  // in the sequence below
};

class KernelPoolInjection : public ::testing::TestWithParam<InjectionCase> {};

TEST_P(KernelPoolInjection, FailsExactlyTheNthMatchingAllocation) {
  const ULONG tags[] = {'AAAA', 'BBBB', 'AAAA', 'BBBB', 'AAAA', 'BBBB'};
  FailNthAllocation(GetParam().n, GetParam().onlyTag);
  void* blocks[6];
  for (int i = 0; i < 6; ++i) blocks[i] = ExAllocatePoolWithTag(NonPagedPool, 16, tags[i]);
  ClearPoolFaults();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(blocks[i] == nullptr, i == GetParam().expectedFailedIndex) << "allocation " << i;
    if (blocks[i]) ExFreePool(blocks[i]);
  }
  EXPECT_CLEAN_UNLOAD();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KernelPoolInjection,
    ::testing::Values(InjectionCase{"first", 1, std::nullopt, 0}, InjectionCase{"fourth", 4, std::nullopt, 3},
                      InjectionCase{"secondOfTagB", 2, 'BBBB', 3}, InjectionCase{"thirdOfTagA", 3, 'AAAA', 4},
                      InjectionCase{"beyondTheSequence", 7, std::nullopt, -1}),
    [](const ::testing::TestParamInfo<InjectionCase>& info) { return info.param.name; });

TEST(KernelPool, RandomInjectionIsSeededAndTagFiltered) {
  auto run = [](uint32_t seed) {
    FailAllocationsRandomly(0.5, seed, 'dnaR');
    std::string pattern;
    for (int i = 0; i < 64; ++i) {
      void* other = ExAllocatePoolWithTag(NonPagedPool, 8, 'rhtO');
      EXPECT_NE(other, nullptr);
      ExFreePool(other);
      void* p = ExAllocatePoolWithTag(NonPagedPool, 8, 'dnaR');
      pattern += p ? '1' : '0';
      if (p) ExFreePool(p);
    }
    ClearPoolFaults();
    return pattern;
  };
  std::string first = run(42);
  EXPECT_EQ(first, run(42));
  EXPECT_NE(first.find('0'), std::string::npos);
  EXPECT_NE(first.find('1'), std::string::npos);
  EXPECT_NE(first, run(43));
}

TEST(KernelPoolDeathTest, DamagedGuardIsCaughtAtFree) {
  EXPECT_DEATH(
      {
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, 'kcaB'));
        p[10] = 0;
        ExFreePool(p);
      },
      "bugcheck: pool block 0x[0-9a-f]+ tag 'Back' 10 bytes .*guard after the block damaged");
  EXPECT_DEATH(
      {
        auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, 'tnrF'));
        p[-1] = 0;
        ExFreePool(p);
      },
      "guard before the block damaged");
}

TEST(KernelPoolDeathTest, DoubleFreeAndWrongTagAndPagedAtDispatchBugcheck) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 10, 'ylbD');
        ExFreePool(p);
        ExFreePool(p);
      },
      "bugcheck: ExFreePool of pool block 0x[0-9a-f]+, which was freed twice");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 10, 'enoN');
        ExFreePoolWithTag(p, 'gaTX');
      },
      "bugcheck: ExFreePoolWithTag with tag 'XTag' of pool block .* tag 'None'");
  EXPECT_DEATH(
      {
        KIRQL old = KeRaiseIrqlToDpcLevel();
        (void)old;
        ExAllocatePoolWithTag(PagedPool, 10, 'gaPX');
      },
      "bugcheck: paged pool allocated at DISPATCH_LEVEL");
}

TEST(KernelPoolDeathTest, FreeingAQueuedTimerBugchecks) {
  EXPECT_DEATH(
      {
        auto* t = static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), 'rmiT'));
        KeInitializeTimer(t);
        LARGE_INTEGER due;
        due.QuadPart = -kSecond;
        KeSetTimer(t, due, nullptr);
        ExFreePool(t);
      },
      "bugcheck: pool freed that holds timer 0x[0-9a-f]+, which is still queued");
}

VOID NTAPI SpinForever(PKDPC, PVOID, PVOID, PVOID) {
  for (;;) {
  }
}

VOID NTAPI NeverRuns(PKDPC, PVOID, PVOID, PVOID) {}

TEST(KernelPoolDeathTest, FreeingAQueuedDpcBugchecks) {
  EXPECT_DEATH(
      {
        static KDPC busy;  // holds the DPC thread so that the next one stays queued
        KeInitializeDpc(&busy, SpinForever, nullptr);
        KeInsertQueueDpc(&busy, nullptr, nullptr);
        auto* dpc = static_cast<KDPC*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), 'cpDQ'));
        KeInitializeDpc(dpc, NeverRuns, nullptr);
        KeInsertQueueDpc(dpc, nullptr, nullptr);
        ExFreePool(dpc);
      },
      "bugcheck: pool freed that holds DPC 0x[0-9a-f]+, which is still queued");
}

}  // namespace
