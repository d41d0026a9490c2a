#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "kvz_cpuid.h"

namespace {

using namespace kvz::kernel;

class KernelCpuid : public ::testing::Test {
 protected:
  void TearDown() override { InjectCpuid(nullptr); }
};

TEST_F(KernelCpuid, HardwareAnswersLeafZeroWithAVendor) {
  InjectCpuid(nullptr);
  ASSERT_TRUE(KvzCpuidSupported());
  int info[4];
  KvzCpuidEx(info, 0, 0);
  EXPECT_GE(info[0], 1) << "highest standard leaf";
  EXPECT_NE(info[1], 0) << "vendor string";
}

TEST_F(KernelCpuid, InjectedTableAnswersAndCountsPerLeaf) {
  CpuidTable table;
  table.leaves[{0, 0}] = {4, 0x756E6547, 0x6C65746E, 0x49656E69};
  table.leaves[{4, 1}] = {0x11, 0x22, 0x33, 0x44};
  InjectCpuid(&table);
  int info[4];
  KvzCpuidEx(info, 0, 0);
  EXPECT_EQ(info[1], 0x756E6547);
  KvzCpuidEx(info, 4, 1);
  EXPECT_EQ(info[0], 0x11);
  KvzCpuidEx(info, 7, 0);  // not listed: zeros
  EXPECT_EQ(info[0] | info[1] | info[2] | info[3], 0);
  KvzCpuidEx(info, 0, 0);
  EXPECT_EQ(CpuidCallCount(0), 2u);
  EXPECT_EQ(CpuidCallCount(4), 1u);
  EXPECT_EQ(CpuidCallCount(2), 0u);
  ResetCpuidCounters();
  EXPECT_EQ(CpuidCallCount(0), 0u);
}

TEST_F(KernelCpuid, AProcessorWithoutCpuidIsRepresentable) {
  CpuidTable none;
  none.supported = false;
  InjectCpuid(&none);
  EXPECT_FALSE(KvzCpuidSupported());
  InjectCpuid(nullptr);
  EXPECT_TRUE(KvzCpuidSupported());
}

}  // namespace
