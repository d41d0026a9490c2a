// The face scene: where its path puts the face, and that the driver's own face detection finds
// that face (and nothing on the bare background) in the frames the scene renders.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "face/face_detect.h"
#include "simcam/face_scene.h"
#include "simcam/test_pattern.h"

namespace kvz {

template <>
struct TestSeam<FaceDetect> {
  static const FaceTrack& Track(const FaceDetect& d) { return d.track_; }
};

}  // namespace kvz

namespace kvz::simcam {
namespace {

TEST(FaceScene, PathPlacesTheFace) {
  // 640 x 480: thousandths of the width are 0.64 px, of the height 0.48 px.
  const FaceScene scene({{10, 250, 500, 400, true}, {30, 750, 250, 200, true}, {40, 750, 250, 200, false}});
  struct Case {
    uint64_t frame;
    FacePlacement expected;
  } cases[] = {
      {0, {true, 160 - 96, 240 - 96, 192}},     // before the first waypoint: stands there
      {10, {true, 160 - 96, 240 - 96, 192}},
      {20, {true, 320 - 72, 180 - 72, 144}},    // halfway: centre (500, 375), side 300
      {30, {true, 480 - 48, 120 - 48, 96}},
      {35, {true, 480 - 48, 120 - 48, 96}},
      {40, {false, 480 - 48, 120 - 48, 96}},    // gone from the last waypoint on
      {1000, {false, 480 - 48, 120 - 48, 96}},
  };
  for (const Case& c : cases) {
    const FacePlacement p = scene.At(c.frame, 640, 480);
    EXPECT_EQ(p.visible, c.expected.visible) << c.frame;
    EXPECT_EQ(p.left, c.expected.left) << c.frame;
    EXPECT_EQ(p.top, c.expected.top) << c.frame;
    EXPECT_EQ(p.size, c.expected.size) << c.frame;
  }
  // A repeating path starts again after its last waypoint.
  const FaceScene loop({{0, 250, 500, 400, true}, {10, 750, 500, 400, false}}, true);
  EXPECT_EQ(loop.At(15, 640, 480).left, loop.At(5, 640, 480).left);
  EXPECT_TRUE(loop.At(10, 640, 480).visible);
  EXPECT_EQ(loop.At(10, 640, 480).left, 64);
}

TEST(FaceScene, FramesCarryTheirNumberAndTheFaceInSkinTone) {
  const FaceScene scene({{0, 500, 500, 500, true}});
  const std::vector<uint8_t> frame = scene.Yuy2(320, 240, 0x01020304);
  ASSERT_EQ(frame.size(), 320u * 240 * 2);
  EXPECT_EQ(FrameNumberOfYuy2(frame.data(), frame.size()), 0x01020304u);
  // Face pixels have a red-leaning chroma (V above U), the background a cool one.
  const FacePlacement p = scene.At(0, 320, 240);
  const size_t inside = (static_cast<size_t>(p.top + p.size / 2) * 320 + (p.left + p.size / 2) / 2 * 2) * 2;
  EXPECT_GT(frame[inside + 3], frame[inside + 1]);
  const size_t outside = (static_cast<size_t>(p.top + p.size / 2) * 320 + 4) * 2;
  EXPECT_LT(frame[outside + 3], frame[outside + 1]);
}

class SearchDevice : public FaceDeviceServices {
 public:
  SearchDevice() { KeInitializeMutex(&mutex_, 0); }
  PKMUTEX FaceDetectionMutex() override { return &mutex_; }
  NTSTATUS SetFaceRectangle(const RegionRect&, LONG, LONG) override { return STATUS_SUCCESS; }
  VOID SetFaceWorkFlags(LONG) override {}
  VOID ClearFaceWorkFlags(LONG) override {}
  VOID ReadFaceWorkSwitches(FaceWorkSwitches* switches) override { *switches = {1, 1, kFaceWorkDetect}; }

 private:
  KMUTEX mutex_;
};

// Overlap of a face the search kept (work-image pixels) with the drawn face (frame pixels).
double Overlap(const FaceRecord& found, const FacePlacement& drawn, double toWork) {
  const double l = std::max<double>(found.left, drawn.left * toWork);
  const double r = std::min<double>(found.right, (drawn.left + drawn.size) * toWork);
  const double t = std::max<double>(found.top, drawn.top * toWork);
  const double b = std::min<double>(found.bottom, (drawn.top + drawn.size) * toWork);
  const double inter = (r > l && b > t) ? (r - l) * (b - t) : 0;
  const double side = drawn.size * toWork;
  const double uni = double(found.right - found.left) * (found.bottom - found.top) + side * side - inter;
  return uni > 0 ? inter / uni : 0;
}

// Every tenth frame of the capture tool's scene at two frame sizes: where the face is drawn,
// the coarse search keeps it; where it is gone, nothing is kept.
TEST(FaceScene, DriverSearchFindsTheFaceAlongThePath) {
  const auto scene = FaceScene::Wandering();
  for (uint16_t width : {320, 640}) {
    const uint16_t height = width * 3 / 4;
    SearchDevice device;
    FaceDetect detect;
    int shown = 0, found = 0, empty = 0, clean = 0;
    for (uint64_t n = 0; n < 720; n += 10) {
      const std::vector<uint8_t> frame = scene->Yuy2(width, height, n);
      ASSERT_EQ(detect.doFaceDetection(&device, frame.data(), nullptr, width, height, 0), STATUS_SUCCESS);
      const FacePlacement p = scene->At(n, width, height);
      const FaceRecord& kept = TestSeam<FaceDetect>::Track(detect).LastFace();
      if (p.visible) {
        ++shown;
        found += Overlap(kept, p, 320.0 / width) >= 0.5;
      } else {
        ++empty;
        clean += kept.right == 0;
      }
    }
    EXPECT_EQ(found, shown) << width;
    EXPECT_EQ(clean, empty) << width;
    EXPECT_GT(empty, 0);
  }
}

}  // namespace
}  // namespace kvz::simcam
