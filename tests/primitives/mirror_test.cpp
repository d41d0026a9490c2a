// Image mirrors: all eighteen members in every processor build against the definition of the
// three axes, byte-identical to the generic build, guard bytes untouched, sources read only
// inside their rows, argument checks in order.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "primitives/mirror.h"
#include "primitives/path_counts.h"
#include "support/e3_image.h"

namespace {

using kvz::prim::PrimitiveStatus;
using kvz::prim::RoiSize;

template <typename T>
using CopyFn = PrimitiveStatus (*)(const T*, int32_t, T*, int32_t, RoiSize, int32_t);
template <typename T>
using InPlaceFn = PrimitiveStatus (*)(T*, int32_t, RoiSize, int32_t);

// Members in layout order C1, C3, AC4 per sample size.
struct MirrorBuild {
  const char* name;
  CopyFn<uint8_t> copy8[3];
  InPlaceFn<uint8_t> inPlace8[3];
  CopyFn<uint16_t> copy16[3];
  InPlaceFn<uint16_t> inPlace16[3];
  CopyFn<int32_t> copy32[3];
  InPlaceFn<int32_t> inPlace32[3];
  const uint32_t* counts;

  uint32_t vectorCount() const { return counts[kvz::prim::kPathMirror]; }

  CopyFn<uint8_t> Copy(uint8_t*, int l) const { return copy8[l]; }
  CopyFn<uint16_t> Copy(uint16_t*, int l) const { return copy16[l]; }
  CopyFn<int32_t> Copy(int32_t*, int l) const { return copy32[l]; }
  InPlaceFn<uint8_t> InPlace(uint8_t*, int l) const { return inPlace8[l]; }
  InPlaceFn<uint16_t> InPlace(uint16_t*, int l) const { return inPlace16[l]; }
  InPlaceFn<int32_t> InPlace(int32_t*, int l) const { return inPlace32[l]; }
};

#define E3_MEMBERS(ns, bits, T)                                                               \
  {&kvz::prim::ns::MirrorImage##bits##C1, &kvz::prim::ns::MirrorImage##bits##C3,               \
   &kvz::prim::ns::MirrorImage##bits##Ac4},                                                    \
  {&kvz::prim::ns::MirrorImage##bits##C1InPlace, &kvz::prim::ns::MirrorImage##bits##C3InPlace, \
   &kvz::prim::ns::MirrorImage##bits##Ac4InPlace}
#define E3_MIRROR_BUILD(ns)                                                                   \
  MirrorBuild{#ns, E3_MEMBERS(ns, 8u, uint8_t), E3_MEMBERS(ns, 16u, uint16_t),                \
              E3_MEMBERS(ns, 32s, int32_t), kvz::prim::ns::PathCounts},
const MirrorBuild kBuilds[] = {KVZ_FOR_EACH_BUILD(E3_MIRROR_BUILD)};
#undef E3_MIRROR_BUILD
#undef E3_MEMBERS

constexpr int kChannels[3] = {1, 3, 4};
constexpr const char* kLayoutNames[3] = {"C1", "C3", "AC4"};

template <typename T>
T* At(uint8_t* base, int32_t step, int32_t r, int32_t x, int ch) {
  return reinterpret_cast<T*>(base + static_cast<intptr_t>(step) * r) + x * ch;
}

// What pixel (r, x) holds after mirroring `before` about `axis`; AC4 keeps `keep`'s fourth sample.
template <typename T>
void ExpectMirrored(const uint8_t* before, int32_t srcStep, const uint8_t* keep, const uint8_t* after,
                    int32_t dstStep, RoiSize roi, int ch, int axis, const char* where) {
  // Compare whole rows first; only a mismatch walks the samples to name the first bad one.
  bool same = true;
  for (int32_t r = 0; r < roi.height && same; ++r)
    for (int32_t x = 0; x < roi.width && same; ++x) {
      const int32_t sr = axis == 1 ? r : roi.height - 1 - r;
      const int32_t sx = axis == 0 ? x : roi.width - 1 - x;
      const T* want = At<T>(const_cast<uint8_t*>(before), srcStep, sr, sx, ch);
      const T* got = At<T>(const_cast<uint8_t*>(after), dstStep, r, x, ch);
      const T* kept = At<T>(const_cast<uint8_t*>(keep), dstStep, r, x, ch);
      same = memcmp(want, got, sizeof(T) * (ch == 4 ? 3 : ch)) == 0 && (ch != 4 || kept[3] == got[3]);
    }
  if (same) return;
  for (int32_t r = 0; r < roi.height; ++r)
    for (int32_t x = 0; x < roi.width; ++x) {
      const int32_t sr = axis == 1 ? r : roi.height - 1 - r;
      const int32_t sx = axis == 0 ? x : roi.width - 1 - x;
      const T* want = At<T>(const_cast<uint8_t*>(before), srcStep, sr, sx, ch);
      const T* got = At<T>(const_cast<uint8_t*>(after), dstStep, r, x, ch);
      for (int c = 0; c < ch; ++c) {
        const T expected = c == 3 ? At<T>(const_cast<uint8_t*>(keep), dstStep, r, x, ch)[3] : want[c];
        ASSERT_EQ(expected, got[c]) << where << " at " << x << "," << r << " sample " << c;
      }
    }
}

// Every width up to 130 (past every group and chunk remainder) and every height up to 130; the
// wider samples reach their group remainders within 48 pixels.
std::vector<RoiSize> SweepSizes(size_t sampleBytes) {
  const int32_t limit = sampleBytes == 1 ? 130 : 48;
  std::vector<RoiSize> sizes;
  for (int32_t w = 1; w <= limit; ++w)
    for (int32_t h : {1, 3})
      sizes.push_back({w, h});
  for (int32_t h = 2; h <= limit; ++h)
    if (h != 3) sizes.push_back({5, h});
  sizes.push_back({limit, limit});
  return sizes;
}

// Misalignments in bytes, whole samples so that 16- and 32-bit pointers stay sample-aligned.
template <typename T>
std::vector<int> Misalignments() {
  if (sizeof(T) == 1) return {0, 1, 4, 8};
  if (sizeof(T) == 2) return {0, 2, 4, 8};
  return {0, 4, 8, 12};
}

template <typename T>
void SweepBuild(const MirrorBuild& b, int layout) {
  const int ch = kChannels[layout];
  const MirrorBuild& g = kBuilds[0];
  T* tag = nullptr;
  for (const RoiSize roi : SweepSizes(sizeof(T))) {
    for (const int m : Misalignments<T>()) {
      const int32_t rowBytes = roi.width * ch * int32_t(sizeof(T));
      const int32_t srcStep = rowBytes + m, dstStep = rowBytes + int32_t(sizeof(T)) * 3;
      const size_t srcBytes = size_t(srcStep) * (roi.height - 1) + rowBytes;
      const size_t dstBytes = size_t(dstStep) * roi.height;
      // Into a second image; the source ends at an inaccessible page.
      e3::PageFencedSource src(srcBytes, m == 1 ? -1 : m);
      e3::FillRandom(src.data(), srcBytes, roi.width * 977 + roi.height * 13 + m);
      for (int axis = 0; axis < 3; ++axis) {
        char where[128];
        snprintf(where, sizeof where, "%s %d%s %dx%d m%d axis %d", b.name, int(sizeof(T) * 8),
                 kLayoutNames[layout], roi.width, roi.height, m, axis);
        e3::GuardedBuffer out(dstBytes, m), ref(dstBytes, m);
        e3::FillRandom(out.data(), dstBytes, 42);
        memcpy(ref.data(), out.data(), dstBytes);
        const std::vector<uint8_t> before(out.data(), out.data() + dstBytes);
        ASSERT_EQ(0, b.Copy(tag, layout)(reinterpret_cast<const T*>(src.data()), srcStep,
                                         reinterpret_cast<T*>(out.data()), dstStep, roi, axis))
            << where;
        ASSERT_TRUE(out.GuardsIntact()) << where;
        ExpectMirrored<T>(src.data(), srcStep, before.data(), out.data(), dstStep, roi, ch, axis, where);
        for (int32_t r = 0; r < roi.height; ++r)
          ASSERT_EQ(0, memcmp(out.data() + r * dstStep + rowBytes, before.data() + r * dstStep + rowBytes,
                              dstStep - rowBytes)) << where;
        ASSERT_EQ(0, g.Copy(tag, layout)(reinterpret_cast<const T*>(src.data()), srcStep,
                                         reinterpret_cast<T*>(ref.data()), dstStep, roi, axis));
        ASSERT_EQ(0, memcmp(out.data(), ref.data(), dstBytes)) << where;

        // In place.
        e3::GuardedBuffer img(dstBytes, m);
        e3::FillRandom(img.data(), dstBytes, roi.width + roi.height * 31 + axis);
        const std::vector<uint8_t> orig(img.data(), img.data() + dstBytes);
        ASSERT_EQ(0, b.InPlace(tag, layout)(reinterpret_cast<T*>(img.data()), dstStep, roi, axis)) << where;
        ASSERT_TRUE(img.GuardsIntact()) << where;
        strcat(where, " in place");
        ExpectMirrored<T>(orig.data(), dstStep, orig.data(), img.data(), dstStep, roi, ch, axis, where);
        for (int32_t r = 0; r < roi.height; ++r)
          ASSERT_EQ(0, memcmp(img.data() + r * dstStep + rowBytes, orig.data() + r * dstStep + rowBytes,
                              dstStep - rowBytes)) << where;
      }
    }
  }
}

class MirrorSweep : public ::testing::TestWithParam<int> {};

TEST_P(MirrorSweep, EightBit) {
  for (int layout = 0; layout < 3; ++layout) SweepBuild<uint8_t>(kBuilds[GetParam()], layout);
}
TEST_P(MirrorSweep, SixteenBit) {
  for (int layout = 0; layout < 3; ++layout) SweepBuild<uint16_t>(kBuilds[GetParam()], layout);
}
TEST_P(MirrorSweep, ThirtyTwoBit) {
  for (int layout = 0; layout < 3; ++layout) SweepBuild<int32_t>(kBuilds[GetParam()], layout);
}

INSTANTIATE_TEST_SUITE_P(Builds, MirrorSweep, ::testing::Range(0, int(std::size(kBuilds))),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(kBuilds[info.param].name);
                         });

TEST(Mirror, ArgumentChecksInOrderWriteNothing) {
  for (const MirrorBuild& b : kBuilds) {
    uint8_t img[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t out[12] = {};
    const RoiSize one{2, 2};
    for (int l = 0; l < 3; ++l) {
      EXPECT_EQ(-8, b.copy8[l](nullptr, 6, out, 6, {0, 0}, 3));
      EXPECT_EQ(-8, b.copy8[l](img, 6, nullptr, 6, {0, 0}, 3));
      EXPECT_EQ(-6, b.copy8[l](img, 6, out, 6, {0, 1}, 3));
      EXPECT_EQ(-6, b.copy8[l](img, 6, out, 6, {1, -2}, 3));
      EXPECT_EQ(-21, b.copy8[l](img, 6, out, 6, one, 3));
      EXPECT_EQ(-21, b.copy8[l](img, 6, out, 6, one, -1));
      EXPECT_EQ(-8, b.inPlace8[l](nullptr, 6, {0, 0}, 3));
      EXPECT_EQ(-6, b.inPlace8[l](img, 6, {0, 0}, 3));
      EXPECT_EQ(-21, b.inPlace8[l](img, 6, one, 3));
      EXPECT_EQ(-8, b.inPlace16[l](nullptr, 6, {0, 0}, 3));
      EXPECT_EQ(-21, b.copy32[l](reinterpret_cast<int32_t*>(out), 6, reinterpret_cast<int32_t*>(out), 6, one, -1));
    }
    for (int i = 0; i < 12; ++i) {
      EXPECT_EQ(i + 1, img[i]) << b.name;
      EXPECT_EQ(0, out[i]) << b.name;
    }
  }
}

TEST(Mirror, OneRowAndThreeRowImagesInPlace) {
  for (const MirrorBuild& b : kBuilds) {
    SCOPED_TRACE(b.name);
    // 3 x 1 three-channel: axis 0 keeps it, axes 1 and 2 reverse the three pixels.
    const std::vector<uint8_t> row = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::vector<uint8_t> reversed = {7, 8, 9, 4, 5, 6, 1, 2, 3};
    for (int axis = 0; axis < 3; ++axis) {
      std::vector<uint8_t> img = row;
      ASSERT_EQ(0, b.inPlace8[1](img.data(), 9, {3, 1}, axis));
      EXPECT_EQ(axis == 0 ? row : reversed, img) << axis;
    }
    // 2 x 3 one-channel: axis 0 swaps rows 0 and 2; axis 2 also reverses every row.
    std::vector<uint8_t> img = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(0, b.inPlace8[0](img.data(), 2, {2, 3}, 0));
    EXPECT_EQ((std::vector<uint8_t>{5, 6, 3, 4, 1, 2}), img);
    img = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(0, b.inPlace8[0](img.data(), 2, {2, 3}, 2));
    EXPECT_EQ((std::vector<uint8_t>{6, 5, 4, 3, 2, 1}), img);
  }
}

TEST(Mirror, TwiceInPlaceRestoresTheImage) {
  for (const MirrorBuild& b : kBuilds)
    for (int axis = 0; axis < 3; ++axis) {
      std::vector<uint8_t> img(61 * 3 * 7 + 5);
      e3::FillRandom(img.data(), img.size(), axis);
      const std::vector<uint8_t> orig = img;
      ASSERT_EQ(0, b.inPlace8[1](img.data() + 5, 61 * 3, {61, 7}, axis));
      EXPECT_NE(orig, img);
      ASSERT_EQ(0, b.inPlace8[1](img.data() + 5, 61 * 3, {61, 7}, axis));
      EXPECT_EQ(orig, img) << b.name << " axis " << axis;
    }
}

// Large aligned regions take the streaming stores; the result must not change.
TEST(Mirror, LargeAlignedRegionsMatchTheGenericBuild) {
  const RoiSize roi{1024, 600};
  for (const MirrorBuild& b : kBuilds)
    for (int axis = 0; axis < 3; ++axis) {
      e3::GuardedBuffer src(1024 * 600, 0), out(1024 * 600, 0), ref(1024 * 600, 0);
      e3::FillRandom(src.data(), src.size(), 9);
      ASSERT_EQ(0, b.copy8[0](src.data(), 1024, out.data(), 1024, roi, axis));
      ASSERT_EQ(0, kBuilds[0].copy8[0](src.data(), 1024, ref.data(), 1024, roi, axis));
      ASSERT_EQ(0, memcmp(out.data(), ref.data(), out.size())) << b.name << " axis " << axis;
      auto* s16 = reinterpret_cast<const uint16_t*>(src.data());
      ASSERT_EQ(0, b.copy16[0](s16, 1024, reinterpret_cast<uint16_t*>(out.data()), 1024, {512, 600}, axis));
      ASSERT_EQ(0, kBuilds[0].copy16[0](s16, 1024, reinterpret_cast<uint16_t*>(ref.data()), 1024, {512, 600}, axis));
      ASSERT_EQ(0, memcmp(out.data(), ref.data(), out.size())) << b.name << " axis " << axis;
      // Three-channel 16- and 32-bit rows (960 bytes) stream through 4-byte stores.
      ASSERT_EQ(0, b.copy16[1](s16, 1024, reinterpret_cast<uint16_t*>(out.data()), 1024, {160, 600}, axis));
      ASSERT_EQ(0, kBuilds[0].copy16[1](s16, 1024, reinterpret_cast<uint16_t*>(ref.data()), 1024, {160, 600}, axis));
      ASSERT_EQ(0, memcmp(out.data(), ref.data(), out.size())) << b.name << " C3 16 axis " << axis;
      auto* s32 = reinterpret_cast<const int32_t*>(src.data());
      ASSERT_EQ(0, b.copy32[1](s32, 1024, reinterpret_cast<int32_t*>(out.data()), 1024, {80, 600}, axis));
      ASSERT_EQ(0, kBuilds[0].copy32[1](s32, 1024, reinterpret_cast<int32_t*>(ref.data()), 1024, {80, 600}, axis));
      ASSERT_EQ(0, memcmp(out.data(), ref.data(), out.size())) << b.name << " C3 32 axis " << axis;
      ASSERT_TRUE(out.GuardsIntact());
    }
}

TEST(Mirror, VectorBuildsRunTheirOwnWorkers) {
  for (const MirrorBuild& b : kBuilds) {
    const uint32_t before = b.vectorCount();
    uint8_t img[48] = {};
    ASSERT_EQ(0, b.inPlace8[1](img, 48, {16, 1}, 1));
    if (e3::IsVectorBuild(b.name)) {
      EXPECT_EQ(before + 1, b.vectorCount()) << b.name;
    } else {
      EXPECT_EQ(0u, b.vectorCount()) << b.name;
    }
  }
}

}  // namespace
