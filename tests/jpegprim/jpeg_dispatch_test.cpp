// The JPEG groups of the dispatch: each slot holds the build its sharing names, and an entry
// runs the build in the slot the index selects.
#include <gtest/gtest.h>

#include "primitives/build_selection.h"
#include "primitives/dispatch.h"
#include "primitives/jpeg/down_sampling.h"
#include "primitives/jpeg/forward_colour.h"
#include "primitives/jpeg/forward_dct.h"
#include "primitives/jpeg/forward_quant_table.h"
#include "primitives/jpeg/huffman_encode.h"
#include "primitives/jpeg/jpeg_dispatch_table.h"
#include "support/jpeg_builds.h"

namespace kvz::prim {
namespace {

class JpegDispatch : public ::testing::Test {
 protected:
  void TearDown() override { PrimitiveDispatchIndex.store(0); }
};

// Slot s of a group with a build per slot holds build s; a one-build group holds the generic
// build everywhere; a two-build group holds the lowest vector build in every vector slot.
#if defined(__i386__)
#define KVZ_OWN(name) {&generic::name, &sse::name, &sse2::name, &sse3::name, &ssse3::name}
#define KVZ_ONE(name) {&generic::name, &generic::name, &generic::name, &generic::name, &generic::name}
#define KVZ_TWO(name) {&generic::name, &sse::name, &sse::name, &sse::name, &sse::name}
#else
#define KVZ_OWN(name) {&generic::name, &sse3::name, &ssse3::name}
#define KVZ_ONE(name) {&generic::name, &generic::name, &generic::name}
#define KVZ_TWO(name) {&generic::name, &sse3::name, &sse3::name}
#endif
#define KVZ_EXPECT_ROW(name, kind)                                                          \
  {                                                                                         \
    const decltype(&generic::name) want[KVZ_BUILD_COUNT] = kind(name);                      \
    for (int s = 0; s < KVZ_BUILD_COUNT; ++s)                                               \
      EXPECT_EQ(JpegDispatchTable.name[s], want[s]) << #name " slot " << s;                 \
  }

TEST_F(JpegDispatch, EncoderGroupsHoldTheirBuilds) {
  KVZ_EXPECT_ROW(InitHuffmanEncodeState, KVZ_OWN)
  KVZ_EXPECT_ROW(EncodeHuffmanBlock, KVZ_OWN)
  KVZ_EXPECT_ROW(RgbToY, KVZ_OWN)
  KVZ_EXPECT_ROW(RgbToYCbCr, KVZ_OWN)
  KVZ_EXPECT_ROW(BgrToYCbCr, KVZ_OWN)
  KVZ_EXPECT_ROW(CmykToYcck, KVZ_OWN)
  KVZ_EXPECT_ROW(SampleDownRowH2V1, KVZ_OWN)
  KVZ_EXPECT_ROW(SampleDownRowH2V2, KVZ_OWN)
  KVZ_EXPECT_ROW(ForwardDctQuantize8x8, KVZ_OWN)
  KVZ_EXPECT_ROW(ScaleQuantTable, KVZ_TWO)
  KVZ_EXPECT_ROW(InitForwardQuantTable, KVZ_OWN)
  KVZ_EXPECT_ROW(GetHuffmanEncodeTableSize, KVZ_ONE)
  KVZ_EXPECT_ROW(InitHuffmanEncodeTable, KVZ_OWN)
  KVZ_EXPECT_ROW(GetHuffmanEncodeStateSize, KVZ_ONE)
}

// The yellow pixel's Cb tells the generic build (0) from a vector build (1).
TEST_F(JpegDispatch, EntriesRunTheSelectedBuild) {
  const uint8_t yellow[3] = {255, 255, 0};
  uint8_t y, cb, cr;
  uint8_t* planes[3] = {&y, &cb, &cr};
  for (const test::JpegBuild& b : test::RunnableJpegBuilds()) {
    const int slot = b.slot;
    PrimitiveDispatchIndex.store(slot);
    ASSERT_EQ(RgbToYCbCr(yellow, 3, planes, 1, {1, 1}), 0);
    EXPECT_EQ(cb, slot == 0 ? 0 : 1) << "slot " << slot;
    EXPECT_EQ(RgbToYCbCr(yellow, 0, planes, 1, {1, 1}), -14);
    int32_t size = 0;
    EXPECT_EQ(GetHuffmanEncodeStateSize(&size), 0);
    EXPECT_EQ(size, 1048);
    EXPECT_EQ(GetHuffmanEncodeTableSize(&size), 0);
    EXPECT_EQ(size, 1024);
    EXPECT_EQ(GetHuffmanEncodeTableSize(nullptr), -8);
  }
}

}  // namespace
}  // namespace kvz::prim
