// A still at a size the format file adds (the camera sends the largest smaller still it has)
// reaches the client at the size it asked for, scaled bilinearly, while the capture pin runs.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "e2e_bench.h"
#include "frame_oracle.h"
#include "kvz/system_testing.h"
#include "tests/support/test_folder.h"

namespace kvz::e2e {
namespace {

// The camera's YUY2 stills are 640 x 480, 320 x 240 and 1280 x 720: 1920 x 1080 comes from the
// last.
constexpr int kCameraWidth = 1280, kCameraHeight = 720;
constexpr int kStillWidth = 1920, kStillHeight = 1080;
const char kFormatFile[] =
    "[INTERPOSITION_STILL_YUY2]\r\nCOUNT=1\r\n[INTERPOSITION_STILL_YUY2_0]\r\nWIDTH=1920\r\nHEIGHT=1080\r\n";

// Bilinear resampling of packed YUY2 in floating point, corners on corners: destination pixel
// (x, y) samples the source at (x (sw - 1) / dw, y (sh - 1) / dh). Chroma is each pair's, taken
// at both of its pixels, and resampled the same way; pixel x carries U when x is even, V when odd.
Bytes BilinearYuy2(const Bytes& in, int sw, int sh, int dw, int dh) {
  auto sample = [&](int x, int y, int byte) {
    x = std::min(x, sw - 1);
    y = std::min(y, sh - 1);
    const size_t pixel = (static_cast<size_t>(y) * sw + x) * 2;
    return byte == 0 ? in[pixel] : in[(pixel & ~size_t{3}) + byte];
  };
  Bytes out(static_cast<size_t>(dw) * dh * 2);
  for (int y = 0; y < dh; ++y) {
    const double fy = static_cast<double>(y) * (sh - 1) / dh;
    const int y0 = static_cast<int>(fy);
    const double b = fy - y0;
    for (int x = 0; x < dw; ++x) {
      const double fx = static_cast<double>(x) * (sw - 1) / dw;
      const int x0 = static_cast<int>(fx);
      const double a = fx - x0;
      for (int k = 0; k < 2; ++k) {
        const int byte = k == 0 ? 0 : (x % 2 == 0 ? 1 : 3);
        const double top = (1 - a) * sample(x0, y0, byte) + a * sample(x0 + 1, y0, byte);
        const double bottom = (1 - a) * sample(x0, y0 + 1, byte) + a * sample(x0 + 1, y0 + 1, byte);
        out[(static_cast<size_t>(y) * dw + x) * 2 + k] = static_cast<uint8_t>(std::lround((1 - b) * top + b * bottom));
      }
    }
  }
  return out;
}

// The camera still a delivered picture was scaled from: the one whose luma, at a sparse grid of
// points, is closest.
uint64_t ScaledFrom(const Bytes& delivered, uint64_t framesSent) {
  uint64_t best = 0;
  double bestError = 1e300;
  for (uint64_t n = 0; n <= framesSent + 1; ++n) {
    const Bytes camera = CameraPicture(kCameraWidth, kCameraHeight, n);
    double error = 0;
    for (int y = 0; y < kStillHeight; y += 37)
      for (int x = 0; x < kStillWidth; x += 29) {
        const int cx = static_cast<int>(static_cast<double>(x) * (kCameraWidth - 1) / kStillWidth + 0.5);
        const int cy = static_cast<int>(static_cast<double>(y) * (kCameraHeight - 1) / kStillHeight + 0.5);
        error += std::abs(delivered[(static_cast<size_t>(y) * kStillWidth + x) * 2] -
                          camera[(static_cast<size_t>(cy) * kCameraWidth + cx) * 2]);
      }
    if (error < bestError) {
      bestError = error;
      best = n;
    }
  }
  return best;
}

struct ScalingCase {
  const char* name;
  uint32_t subtype;
  int captureWidth, captureHeight;
  // Largest difference from the reference. YUY2: the scaler's 16.16 positions and 8-bit weights
  // put a sample up to 0.03 pixel off the exact position, which at a full-contrast bar edge
  // (255 levels) is under 8 levels, and its sums are truncated (1 more): 9. RGB24 converts those
  // samples: a chroma error grows by up to 2.02 and a luma one by 1.16, plus the integer
  // conversion's rounding (2): 31.
  int tolerance;
};

class StillScalingTest : public E2eBench, public ::testing::WithParamInterface<ScalingCase> {
 protected:
  void SetUp() override {
    E2eBench::SetUp();
    root_ = kvz::testing::FreshTestFolder("kvz-e2e-");
    std::ofstream(std::filesystem::path(root_) / "FORMAT.CFG", std::ios::binary) << kFormatFile;
    kernel::SetSystemRootFolder(root_);
  }
  void TearDown() override {
    E2eBench::TearDown();
    kernel::SetSystemRootFolder("");
    std::filesystem::remove_all(root_);
  }

 private:
  std::string root_;
};

TEST_P(StillScalingTest, StillAtAnAddedSizeIsTheCameraStillScaledBilinearly) {
  const ScalingCase& c = GetParam();
  ASSERT_TRUE(Boot("isoch"));
  KsPinClient *capture = nullptr, *still = nullptr;
  VideoFormat cf, sf;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, c.captureWidth, c.captureHeight, &capture, &cf));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*capture));
  ASSERT_EQ(2u, Read(*capture, 2, cf.sizeImage).size());
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kStillPin, c.subtype, kStillWidth, kStillHeight, &still, &sf));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*still));

  auto read = still->QueueRead(sf.sizeImage);
  ASSERT_EQ(STATUS_SUCCESS, capture::TriggerStill(Filter(), kStillPin));
  ASSERT_EQ(STATUS_SUCCESS, read->Request()->Wait(5 * kernel::kSecond));
  const size_t bytes = static_cast<size_t>(kStillWidth) * kStillHeight * (c.subtype == kYuy2 ? 2 : 3);
  ASSERT_EQ(bytes, read->Headers().header.DataUsed);
  const Bytes data(read->Data().begin(), read->Data().begin() + bytes);
  read.reset();

  Bytes expected;
  if (c.subtype == kYuy2) {
    const uint64_t n = ScaledFrom(data, Camera().Snapshot().framesSent);
    expected = BilinearYuy2(CameraPicture(kCameraWidth, kCameraHeight, n), kCameraWidth, kCameraHeight, kStillWidth,
                            kStillHeight);
  } else {
    // The picture is bottom-up BGR: its luma cannot pick the frame, so every sent one is tried.
    int best = 256;
    for (uint64_t n = 0; n <= Camera().Snapshot().framesSent + 1 && best > c.tolerance; ++n) {
      Bytes candidate = BottomUpBgr(BilinearYuy2(CameraPicture(kCameraWidth, kCameraHeight, n), kCameraWidth,
                                                 kCameraHeight, kStillWidth, kStillHeight),
                                    kStillWidth, kStillHeight);
      const int difference = MaxDifference(candidate, data);
      if (difference < best) {
        best = difference;
        expected = std::move(candidate);
      }
    }
  }
  EXPECT_LE(MaxDifference(expected, data), c.tolerance);
  double sum = 0;
  for (size_t i = 0; i < data.size(); ++i) sum += std::abs(int(data[i]) - int(expected[i]));
  EXPECT_LT(sum / static_cast<double>(data.size()), 1.0) << "mean difference";
  capture::StopPin(*still);
  capture::StopPin(*capture);
}

INSTANTIATE_TEST_SUITE_P(Stills, StillScalingTest,
                         ::testing::Values(ScalingCase{"yuy2_during_720p_capture", kYuy2, 1280, 720, 9},
                                           ScalingCase{"rgb24_during_vga_capture", kRgb24, 640, 480, 31}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
