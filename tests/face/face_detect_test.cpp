// The face detection object on whole frames: every frame shape fits the work image without
// overrunning it, the uncovered part is black, a missing work image changes nothing.
#include <gtest/gtest.h>

#include <vector>

#include "face/face_detect.h"
#include "kernel_checks.h"
#include "support/fake_face_device.h"

namespace kvz {

template <>
struct TestSeam<FaceDetect> {
  static const UCHAR* WorkImage(const FaceDetect& d) { return d.workImage_; }
  static ULONG Misses(const FaceDetect& d) { return d.track_.misses_; }
};

namespace {

std::vector<UCHAR> Yuy2Frame(LONG width, LONG height, UCHAR luma) {
  std::vector<UCHAR> f(static_cast<size_t>(width) * height * 2);
  for (size_t i = 0; i < f.size(); i += 2) {
    f[i] = luma;
    f[i + 1] = 128;
  }
  return f;
}

TEST(FaceDetect, FitsEveryFrameShapeIntoTheWorkImage) {
  struct Case {
    LONG width, height;
    LONG fitWidth, fitHeight;
  } cases[] = {
      {640, 480, 320, 240}, {1280, 720, 320, 180}, {352, 288, 293, 240},
      {176, 144, 293, 240}, {480, 640, 180, 240},  {160, 120, 320, 240},
  };
  for (const Case& c : cases) {
    test::FakeFaceDevice device;
    {
      FaceDetect detect;
      ASSERT_NE(TestSeam<FaceDetect>::WorkImage(detect), nullptr);
      const std::vector<UCHAR> frame = Yuy2Frame(c.width, c.height, 90);
      std::vector<UCHAR> scratch(static_cast<size_t>(c.width) * c.height * 2);
      EXPECT_EQ(detect.doFaceDetection(&device, frame.data(), scratch.data(), c.width, c.height, 0),
                STATUS_SUCCESS);
      const UCHAR* luma = TestSeam<FaceDetect>::WorkImage(detect);
      // Inside the fitted picture the frame's luma, outside black.
      EXPECT_EQ(luma[(c.fitHeight - 1) * kWorkWidth + c.fitWidth - 1], 90) << c.width << "x" << c.height;
      if (c.fitWidth < kWorkWidth) {
        EXPECT_EQ(luma[c.fitWidth], 0);
      }
      if (c.fitHeight < kWorkHeight) {
        EXPECT_EQ(luma[c.fitHeight * kWorkWidth], 0);
      }
      EXPECT_EQ(detect.FaceCount(), 0u);
    }
    // The work image's pool guard is checked when it is freed.
    EXPECT_CLEAN_UNLOAD();
  }
}

TEST(FaceDetect, RefusesFramesItCannotReadAndWorksWithoutAWorkImage) {
  test::FakeFaceDevice device;
  FaceDetect detect;
  const std::vector<UCHAR> frame = Yuy2Frame(2, 2, 10);
  EXPECT_EQ(detect.doFaceDetection(&device, nullptr, nullptr, 640, 480, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(detect.doFaceDetection(&device, frame.data(), nullptr, 1, 2, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(detect.doFaceDetection(&device, frame.data(), nullptr, 2, 0, 0), STATUS_INVALID_PARAMETER);
  detect.stopFaceDetection();
  EXPECT_EQ(detect.doFaceDetection(&device, frame.data(), nullptr, 2, 2, 0), STATUS_INSUFFICIENT_RESOURCES);
  // Reset under the device's mutex leaves no window and sends nothing.
  detect.Reset(&device);
  EXPECT_TRUE(device.windows.empty());
  EXPECT_EQ(TestSeam<FaceDetect>::Misses(detect), 3u);
}

}  // namespace
}  // namespace kvz
