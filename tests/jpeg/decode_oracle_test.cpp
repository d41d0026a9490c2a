// libjpeg-turbo writes, our decoder reads: every sampling, table kind, restart interval,
// progression script, size and quality the cameras and files can bring, in all three output
// formats, compared with libjpeg-turbo's own decode of the same stream.
#include <gtest/gtest.h>

#include <algorithm>

#include "jpeg/jpeg_constants.h"
#include "jpeg/jpeg_decoder.h"
#include "jpeg/mjpeg_decoder.h"
#include "support/codec_check.h"

namespace kvz::jpegtest {
namespace {

struct MatrixCase {
  int width;
  int height;
  EncodeOptions options;
};

EncodeOptions Opt(Sampling s, int quality, Progression p = Progression::kNone) {
  EncodeOptions o;
  o.sampling = s;
  o.quality = quality;
  o.progression = p;
  return o;
}
EncodeOptions Optimised(EncodeOptions o) {
  o.optimize = true;
  return o;
}
EncodeOptions Restart(EncodeOptions o, int mcus, int rows = 0) {
  o.restartMcus = mcus;
  o.restartRows = rows;
  return o;
}
EncodeOptions NoDht(EncodeOptions o) {
  o.stripHuffmanTables = true;
  return o;
}

std::vector<MatrixCase> Cases() {
  std::vector<MatrixCase> cases;
  for (Sampling s : {Sampling::k444, Sampling::k422, Sampling::k420, Sampling::kGrey}) {
    cases.push_back({1, 1, Opt(s, 75)});
    cases.push_back({17, 9, Opt(s, 75)});
    cases.push_back({639, 479, Opt(s, 75)});
    cases.push_back({17, 9, Opt(s, 75, Progression::kSimple)});
  }
  cases.push_back({639, 479, Opt(Sampling::k422, 10)});
  cases.push_back({639, 479, Opt(Sampling::k422, 95)});
  cases.push_back({639, 479, Opt(Sampling::k420, 100)});
  cases.push_back({17, 9, Opt(Sampling::k444, 100)});
  cases.push_back({639, 479, Optimised(Opt(Sampling::k420, 75))});
  cases.push_back({639, 479, Optimised(Opt(Sampling::kGrey, 75))});
  cases.push_back({17, 9, Optimised(Opt(Sampling::k444, 95))});
  cases.push_back({639, 479, Restart(Opt(Sampling::k422, 75), 1)});
  cases.push_back({639, 479, Restart(Opt(Sampling::k420, 75), 5)});
  cases.push_back({639, 479, Restart(Opt(Sampling::k444, 75), 0, 1)});
  cases.push_back({17, 9, Restart(Opt(Sampling::kGrey, 75), 1)});
  cases.push_back({639, 479, Opt(Sampling::k420, 75, Progression::kSimple)});
  cases.push_back({639, 479, Opt(Sampling::k422, 75, Progression::kSpectralOnly)});
  cases.push_back({639, 479, Opt(Sampling::k444, 75, Progression::kSeparateDc)});
  cases.push_back({17, 9, Opt(Sampling::k420, 75, Progression::kSeparateDc)});
  cases.push_back({639, 479, Opt(Sampling::k420, 75, Progression::kSuccessive)});
  cases.push_back({639, 479, Opt(Sampling::kGrey, 95, Progression::kSuccessive)});
  cases.push_back({639, 479, Restart(Opt(Sampling::k420, 75, Progression::kSimple), 5)});
  cases.push_back({639, 479, NoDht(Opt(Sampling::k422, 95))});
  cases.push_back({17, 9, NoDht(Restart(Opt(Sampling::k420, 75), 1))});
#if !defined(__i386__)
  // The large frames are few: the camera's own kinds (under emulation they would cost minutes).
  cases.push_back({1280, 720, NoDht(Restart(Opt(Sampling::k422, 95), 0, 1))});
  cases.push_back({1920, 1080, NoDht(Opt(Sampling::k422, 95))});
  cases.push_back({1920, 1080, Opt(Sampling::k420, 75, Progression::kSimple)});
#endif
  return cases;
}

class DecodeOracle : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(DecodeOracle, EveryFormatMatchesLibjpegTurbo) {
  const MatrixCase& c = GetParam();
  const std::vector<uint8_t> stream = TurboEncode(MakePicture(c.width, c.height), c.options);
  ASSERT_FALSE(stream.empty());
  const TurboDecoded ref = TurboDecode(stream);
  ASSERT_TRUE(ref.ok);
  ASSERT_EQ(ref.warnings, 0);
  struct Format {
    int32_t code;
    int tolerance;
  };
  for (const Format f : {Format{kPixelRgb24, 4}, Format{kPixelYuy2, 2}, Format{kPixelI420, 2}}) {
    SCOPED_TRACE(f.code);
    const OurDecode ours = DecodeWithOurs(stream, f.code, c.width, c.height);
    EXPECT_EQ(ours.result, 0);
    EXPECT_EQ(ours.width, c.width);
    EXPECT_EQ(ours.height, c.height);
    EXPECT_TRUE(ours.guardIntact);
    const std::vector<uint8_t> expected = ExpectedOutput(ref, c.options.sampling, f.code);
    ASSERT_EQ(ours.out.size(), expected.size());
    EXPECT_LE(MaxDifference(ours.out.data(), expected.data(), expected.size()), f.tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeOracle, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<MatrixCase>& info) {
                           std::string name = std::to_string(info.param.width) + "x" +
                                              std::to_string(info.param.height) + "_" + Describe(info.param.options);
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name + "_" + std::to_string(info.index);
                         });

// MJPEG frames without DHT: the coefficients our decoder gathers with the standard tables are
// those libjpeg-turbo reads, block for block.
TEST(DecodeOracle, DhtLessCoefficientsEqualLibjpegTurbos) {
  for (const MatrixCase& c : {MatrixCase{639, 479, NoDht(Opt(Sampling::k422, 95))},
                              MatrixCase{17, 9, NoDht(Restart(Opt(Sampling::k420, 75), 1))},
                              MatrixCase{40, 24, Opt(Sampling::k420, 75, Progression::kSuccessive)}}) {
    SCOPED_TRACE(Describe(c.options));
    const std::vector<uint8_t> stream = TurboEncode(MakePicture(c.width, c.height), c.options);
    const Coefficients theirs = TurboReadCoefficients(stream);
    ASSERT_TRUE(theirs.ok);
    jpeg::JpegDecoder d = {};
    d.Reset();
    ASSERT_EQ(d.InstallStandardTables(), 0);
    d.SetInput(stream.data(), static_cast<int32_t>(stream.size()));
    ASSERT_EQ(d.ReadHeader(), 0);
    std::vector<std::vector<int16_t>> ours(d.componentCount);
    for (int k = 0; k < d.componentCount; ++k) {
      ours[k].assign(static_cast<size_t>(d.components[k].blocksWide) * d.components[k].blocksHigh * 64, 0);
      d.coefficientTap[k] = ours[k].data();
    }
    std::vector<uint8_t> out(static_cast<size_t>(jpeg::JpegOutputSize(kPixelYuy2, c.width, c.height)));
    d.SetOutput(out.data(), kPixelYuy2);
    ASSERT_EQ(d.DecodeImage(), 0);
    for (int k = 0; k < d.componentCount; ++k) {
      int mismatches = 0;
      for (int by = 0; by < theirs.blocksHigh[k]; ++by) {
        for (int bx = 0; bx < theirs.blocksWide[k]; ++bx) {
          const int16_t* a = &ours[k][(static_cast<size_t>(by) * d.components[k].blocksWide + bx) * 64];
          const int16_t* b = &theirs.values[k][(static_cast<size_t>(by) * theirs.blocksWide[k] + bx) * 64];
          mismatches += !std::equal(a, a + 64, b);
        }
      }
      EXPECT_EQ(mismatches, 0) << "component " << k;
    }
    d.Release();
    d.FreeStandardTables();
  }
}

}  // namespace
}  // namespace kvz::jpegtest
