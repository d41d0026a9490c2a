// Effects without a closed form, checked against checksums of outputs that were reviewed as
// pictures (tests/postproc/data/effects/<name>.png, made by kvzcam-effect-goldens from the same
// test pattern). A changed checksum means a changed picture: look at the new one before
// replacing a line here.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/effect_pictures.h"

namespace kvz {
namespace {

const std::map<std::string, uint64_t> kReviewed = {
    {"770-blur-rgb24-120x90", 0x57f435f13005abe3ull},
    {"770-blur-i420-120x90", 0x1aa636cb6e348a3bull},
    {"773-solarize-i420-120x90", 0x7b8f461b8266a008ull},
    {"774-emboss-rgb24-120x90", 0xfce9db5c4a787a47ull},
    {"774-emboss-i420-120x90", 0x82d2fad85e156652ull},
    {"775-mosaic-rgb24-120x90", 0x1491b28772d0a143ull},
    {"775-mosaic-i420-120x90", 0xb0f938a3e3df6943ull},
    {"779-sketch-rgb24-120x90", 0xc56798908fad6457ull},
    {"779-sketch-i420-120x90", 0x91d07649ee20f377ull},
    {"781-diffuse-rgb24-120x90", 0xd36d16e38015c228ull},
    {"781-diffuse-i420-120x90", 0x42a18f61ceecc8deull},
    {"782-wave-columns-rgb24-120x90", 0xfc804635ba005787ull},
    {"782-wave-rows-rgb24-120x90", 0x3e949344a88ed8ffull},
    {"783-tiles-rgb24-160x120", 0xad796dbb9ed30072ull},
    {"784-canvas-rgb24-120x90", 0x548e721180599213ull},
    {"786-glass-rgb24-120x90", 0x4c915ad1f7b661c5ull},
    {"787-fisheye-rgb24-120x90", 0x904246d289f1b4b5ull},
    {"788-pagecurl-rgb24-120x90", 0x99cce729d161b576ull},
    {"789-frame-rgb24-120x90", 0x9da3ac5fe5150dd0ull},
    {"792-snipe-rgb24-120x90", 0x3e7109438c09a1e0ull},
    {"793-news-rgb24-120x90", 0xae867b8828e21954ull},
    {"796-cctv-rgb24-120x90", 0xbdd82541720b7aa8ull},
    {"797-magnifier-rgb24-120x90", 0x3695ade00764485eull},
    {"770-blur-rgb24-37x23", 0x12cd08cc7b53bdc7ull},
    {"770-blur-i420-37x23", 0x3844bb36b7220f4full},
    {"773-solarize-i420-37x23", 0xf1b32a3479ae3c82ull},
    {"774-emboss-rgb24-37x23", 0x24d3a9425d5a7ebeull},
    {"774-emboss-i420-37x23", 0xaf0e10249be68a90ull},
    {"775-mosaic-rgb24-37x23", 0x701d0932417adae7ull},
    {"775-mosaic-i420-37x23", 0x0f9709cf75aed7fdull},
    {"779-sketch-rgb24-37x23", 0xa006d3057439a8d0ull},
    {"779-sketch-i420-37x23", 0xa5f4ee87c2afa231ull},
    {"781-diffuse-rgb24-37x23", 0x4b0c9ee6aa5f95e4ull},
    {"781-diffuse-i420-37x23", 0x5884830d25aaab4dull},
    {"782-wave-columns-rgb24-37x23", 0xc887a3d9044c7975ull},
    {"782-wave-rows-rgb24-37x23", 0xdc9234f7816d45dfull},
    {"783-tiles-rgb24-320x180", 0xa541abb83f2a0bcbull},
    {"784-canvas-rgb24-37x23", 0x0043b30a8e6e2d87ull},
    {"786-glass-rgb24-37x23", 0xdeec8a5c29639d83ull},
    {"787-fisheye-rgb24-37x23", 0xa7f93cb7d4e5c9aeull},
    {"788-pagecurl-rgb24-37x23", 0xa7a8707303400f36ull},
    {"789-frame-rgb24-37x23", 0xaeba7c8adb84093full},
    {"792-snipe-rgb24-37x23", 0x6b37d4958312f44aull},
    {"793-news-rgb24-37x23", 0x872b718f87f2e6a4ull},
    {"796-cctv-rgb24-37x23", 0x30ee353c5f67af8bull},
    {"797-magnifier-rgb24-37x23", 0x973fa807eaf643b4ull},
};

TEST(EffectGolden, ReviewedOutputsAreReproduced) {
  test::SystemRootPictures pictures;
  for (const test::GoldenCase& c : test::GoldenCases()) {
    const std::string name = test::GoldenName(c);
    SCOPED_TRACE(name);
    const auto run = test::RunEffect(c.id, c.format, c.width, c.height,
                                     test::EffectTestPattern(c.format, c.width, c.height), c.frames);
    ASSERT_EQ(run.setFormat, STATUS_SUCCESS);
    ASSERT_EQ(run.lastDo, STATUS_SUCCESS);
    EXPECT_TRUE(run.guardsIntact);
    const auto reviewed = kReviewed.find(name);
    ASSERT_NE(reviewed, kReviewed.end());
    EXPECT_EQ(test::Fnv1a64(run.frame), reviewed->second);
  }
}

}  // namespace
}  // namespace kvz
