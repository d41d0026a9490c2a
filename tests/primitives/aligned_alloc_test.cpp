// Aligned arrays on top of the untagged pool pair.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kvz/kernel_testing.h"
#include "primitives/aligned_alloc.h"
#include "primitives/driver_memory.h"

namespace kvz::prim {
namespace {

constexpr uint32_t kOverhead = 32 + sizeof(void*);  // 40 on x86-64, 36 on x86

TEST(AlignedAlloc, RequestIsTheArrayPlusThePointerSlotAndSlack) {
  EXPECT_EQ(AlignedBlockRequest(1, 2), 2 + kOverhead);
  EXPECT_EQ(AlignedBlockRequest(10, 4), 40 + kOverhead);
  EXPECT_EQ(AlignedBlockRequest(100, 1), 100 + kOverhead);
  if (sizeof(void*) == 8) {
    EXPECT_EQ(AlignedBlockRequest(1, 2), 42u);
    EXPECT_EQ(AlignedBlockRequest(10, 4), 80u);
    EXPECT_EQ(AlignedBlockRequest(100, 1), 140u);
  } else {
    EXPECT_EQ(AlignedBlockRequest(1, 2), 38u);
    EXPECT_EQ(AlignedBlockRequest(10, 4), 76u);
    EXPECT_EQ(AlignedBlockRequest(100, 1), 136u);
  }
}

TEST(AlignedAlloc, RefusesBlocksBeyondThePoolsByteCount) {
  // 2^30 32-bit elements would wrap a 32-bit byte count to a block smaller than the array.
  EXPECT_EQ(AlignedBlockRequest(1 << 30, 4), 0u);
  EXPECT_EQ(AlignedBlockRequest(INT32_MAX, 2), 0u);
  EXPECT_EQ(AlignedBlockRequest(-1, 4), 0u);
  EXPECT_EQ(AlignedBlockRequest(0, 1), 0u);
  EXPECT_EQ(AllocAligned32s(1 << 30), nullptr);
  EXPECT_EQ(AllocAligned16s(INT32_MAX), nullptr);
  EXPECT_EQ(AlignedBlockRequest(INT32_MAX, 1), static_cast<uint32_t>(INT32_MAX) + kOverhead);
}

TEST(AlignedAlloc, StartsOn32BytesWithTheRawAddressJustBefore) {
  for (int32_t count = 1; count <= 100; ++count) {
    void* blocks[3] = {AllocAligned8u(count), AllocAligned16s(count), AllocAligned32s(count)};
    const uint32_t sizes[3] = {1, 2, 4};
    for (int k = 0; k < 3; ++k) {
      ASSERT_NE(blocks[k], nullptr);
      const uintptr_t start = reinterpret_cast<uintptr_t>(blocks[k]);
      EXPECT_EQ(start % 32, 0u);
      const uintptr_t raw = reinterpret_cast<uintptr_t>(static_cast<void**>(blocks[k])[-1]);
      EXPECT_GE(start - raw, sizeof(void*));
      EXPECT_LE(start - raw, sizeof(void*) + 31);
      // The whole array lies inside the pool block.
      EXPECT_LE(start + count * sizes[k], raw + AlignedBlockRequest(count, sizes[k]));
      std::memset(blocks[k], 0xEE, count * sizes[k]);
    }
    for (void* b : blocks) FreeAligned(b);
  }
}

// The live untagged pool blocks, to see exactly what the allocators asked for and gave back.
std::vector<kernel::PoolBlock> UntaggedBlocks() {
  std::vector<kernel::PoolBlock> blocks;
  for (const kernel::PoolBlock& b : kernel::LivePoolBlocks())
    if (b.tag == 'enoN') blocks.push_back(b);
  return blocks;
}

TEST(AlignedAlloc, AsksThePoolForTheDocumentedSizes) {
  struct Case {
    void* (*alloc)(int32_t);
    int32_t count;
    size_t bytes64, bytes32;
  };
  const Case cases[] = {
      {[](int32_t n) -> void* { return AllocAligned16s(n); }, 1, 42, 38},
      {[](int32_t n) -> void* { return AllocAligned32s(n); }, 10, 80, 76},
      {[](int32_t n) -> void* { return AllocAligned8u(n); }, 100, 140, 136},
  };
  for (const Case& c : cases) {
    const size_t before = UntaggedBlocks().size();
    void* p = c.alloc(c.count);
    ASSERT_NE(p, nullptr);
    const std::vector<kernel::PoolBlock> blocks = UntaggedBlocks();
    ASSERT_EQ(blocks.size(), before + 1);
    const kernel::PoolBlock& mine = blocks.back();
    EXPECT_EQ(mine.size, sizeof(void*) == 8 ? c.bytes64 : c.bytes32);
    EXPECT_EQ(mine.type, DriverPoolType);
    EXPECT_EQ(mine.address, static_cast<void**>(p)[-1]);
    FreeAligned(p);
    // Freed through the raw address: the block is gone.
    EXPECT_EQ(UntaggedBlocks().size(), before);
  }
}

TEST(AlignedAlloc, NothingFromTheZeroOrNegativeCountsTouchesThePool) {
  const uint64_t attempts = kernel::PoolAllocationAttempts();
  EXPECT_EQ(AllocAligned32s(0), nullptr);
  EXPECT_EQ(AllocAligned8u(-5), nullptr);
  EXPECT_EQ(AllocAligned16s(INT32_MIN), nullptr);
  FreeAligned(nullptr);
  EXPECT_EQ(kernel::PoolAllocationAttempts(), attempts);
}

TEST(AlignedAlloc, ExhaustedPoolGivesNull) {
  kernel::FailNthAllocation(1);
  EXPECT_EQ(AllocAligned8u(64), nullptr);
  kernel::ClearPoolFaults();
  void* p = AllocAligned8u(64);
  EXPECT_NE(p, nullptr);
  FreeAligned(p);
}

}  // namespace
}  // namespace kvz::prim
