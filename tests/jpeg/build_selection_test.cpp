// The codec's first use selects the primitives' build from what the processor can run (CPUID
// feature bits through the kernel's identification seam), whatever its vendor, and reads the
// vendor from the registry as before.
#include <gtest/gtest.h>

#include "e1_cpu_profiles.h"
#include "jpeg/jpeg_constants.h"
#include "jpeg/jpeg_cpu.h"
#include "jpeg/jpeg_encoder.h"
#include "jpeg/mjpeg_decoder.h"
#include "kvz/registry_testing.h"
#include "primitives/build_selection.h"
#include "primitives/pool_object.h"

namespace kvz::jpegtest {
namespace {

#if defined(__i386__)
constexpr int32_t kSsse3Slot = 4;
constexpr int32_t kSse2Slot = 2;
#else
constexpr int32_t kSsse3Slot = 2;
constexpr int32_t kSse2Slot = 0;
#endif

struct SelectionCase {
  const char* profile;
  int32_t slot;
};

class BuildSelection : public ::testing::TestWithParam<SelectionCase> {
 protected:
  void TearDown() override {
    kernel::InjectCpuid(nullptr);
    prim::OverrideBuild(-1);
  }
};

// A processor of another vendor gets its vector build at once; a 64-bit Intel processor
// without SSE3 does not get the SSE3 build.
TEST_P(BuildSelection, FollowsTheFeatureBits) {
  test::ScopedCpu cpu(GetParam().profile);
  prim::OverrideBuild(-1);
  prim::PrimitiveDispatchIndex.store(-1);
  auto* decoder = PoolNew<jpeg::MjpegDecoder>(jpeg::kDecoderPoolTag);
  EXPECT_EQ(prim::PrimitiveDispatchIndex.load(), GetParam().slot);
  // Once selected, later constructions leave the index alone.
  prim::PrimitiveDispatchIndex.store(0);
  PoolDelete(decoder, jpeg::kDecoderPoolTag);
  decoder = PoolNew<jpeg::MjpegDecoder>(jpeg::kDecoderPoolTag);
  EXPECT_EQ(prim::PrimitiveDispatchIndex.load(), 0);
  PoolDelete(decoder, jpeg::kDecoderPoolTag);
}

INSTANTIATE_TEST_SUITE_P(Processors, BuildSelection,
                         ::testing::Values(SelectionCase{"zen2", kSsse3Slot}, SelectionCase{"core2", kSsse3Slot},
                                           SelectionCase{"athlon64", kSse2Slot}, SelectionCase{"none", 0}),
                         [](const ::testing::TestParamInfo<SelectionCase>& info) { return std::string(info.param.profile) == "none" ? std::string("no_cpuid") : std::string(info.param.profile); });

TEST(BuildSelection, EncoderSelectsOnItsFirstCallToo) {
  test::ScopedCpu cpu("zen2");
  prim::OverrideBuild(-1);
  prim::PrimitiveDispatchIndex.store(-1);
  jpeg::JpegEncoder* encoder = nullptr;
  int32_t length = 0;
  uint8_t pixel[2] = {};
  uint8_t out[8];
  jpeg::JpegEncodeFrame(pixel, kPixelYuy2, 2, out, 0, &length, 1, 1, 95, 0, 1, encoder);
  EXPECT_EQ(prim::PrimitiveDispatchIndex.load(), kSsse3Slot);
  kernel::InjectCpuid(nullptr);
  prim::OverrideBuild(-1);
}

struct VendorCase {
  const char16_t* vendor;
  const char16_t* identifier;
  uint32_t code;
};

class VendorLookup : public ::testing::TestWithParam<VendorCase> {};

TEST_P(VendorLookup, ReadsTheProcessorKey) {
  const std::u16string key = u"\\Registry\\Machine\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
  kernel::ResetRegistry();
  if (GetParam().vendor) kernel::SetRegistryString(key, u"VendorIdentifier", GetParam().vendor);
  if (GetParam().identifier) kernel::SetRegistryString(key, u"Identifier", GetParam().identifier);
  EXPECT_EQ(jpeg::DetectCpuVendor(), GetParam().code);
  kernel::ResetRegistry();
}

INSTANTIATE_TEST_SUITE_P(
    Registry, VendorLookup,
    ::testing::Values(VendorCase{u"GenuineIntel", u"x86 Family 6", jpeg::kVendorIntel},
                      VendorCase{u"AuthenticAMD", u"AMD64 Family 15 Model 43", jpeg::kVendorAmdFamily15x64},
                      VendorCase{u"AuthenticAMD", u"x86 Family 15 Model 4", jpeg::kVendorAmdFamily15x86},
                      VendorCase{u"AuthenticAMD", u"AMD64 Family 23 Model 1", jpeg::kVendorOther},
                      VendorCase{u"CentaurHauls", u"x86 Family 15", jpeg::kVendorOther},
                      VendorCase{nullptr, nullptr, jpeg::kVendorOther}));

}  // namespace
}  // namespace kvz::jpegtest
