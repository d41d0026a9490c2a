// Guards the shipped cascade on a fixed subset of the held-out data kept in data/: faces and
// non-face patches the trainer never saw, pasted at fixed places into two held-out backgrounds
// and searched with the driver's own parameters. The thresholds are modest on purpose: the
// full held-out measurement is in docs/face-cascade.md.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "face/face_detect.h"
#include "face/face_detector.h"
#include "face/face_detector_defs.h"
#include "image_io.h"
#include "kernel_checks.h"
#include "support/fake_face_device.h"
#include "training_data.h"

namespace kvz {
namespace {

using train::Grey;

Grey Load(const std::string& name) {
  Grey g;
  EXPECT_TRUE(train::LoadPicture(std::string(KVZ_FACE_TEST_DATA) + "/" + name, &g)) << name;
  return g;
}

struct Placement {
  int x, y, size;
};
const Placement kPlacements[] = {{30, 40, 60}, {150, 60, 90}, {100, 20, 130}};

bool Overlaps(const FaceRecord& f, const Placement& p) {
  const int l = std::max<int>(f.left, p.x), r = std::min<int>(f.right, p.x + p.size - 1);
  const int t = std::max<int>(f.top, p.y), b = std::min<int>(f.bottom, p.y + p.size - 1);
  if (r < l || b < t) return false;
  const double inter = double(r - l + 1) * (b - t + 1);
  const double uni = double(f.right - f.left + 1) * (f.bottom - f.top + 1) + double(p.size) * p.size - inter;
  return inter / uni >= 0.5;
}

struct Counts {
  int frames = 0, found = 0, falses = 0;
};

Counts SearchComposites(const char* prefix) {
  Counts c;
  FaceRecord faces[3];
  FaceDetectorSetup setup = {320, 240, faces, 3, 0};
  DetectorHandle* handle = nullptr;
  EXPECT_EQ(FaceDetectorCreate(&handle, &setup), kFdOk);
  for (int b = 0; b < 2; ++b) {
    const Grey background = Load("background" + std::to_string(b) + ".pgm");
    for (int i = 70; i < 80; ++i) {
      const Grey crop = Load(std::string(prefix) + std::to_string(i) + ".pgm");
      for (const Placement& p : kPlacements) {
        Grey frame = background;
        train::Paste(&frame, crop, p.x, p.y, p.size);
        DetectionImage image = {frame.pixels.data(), 320, 240, 320, {}};
        ULONG count = 0;
        EXPECT_EQ(FaceDetectorDetect(handle, &image, &count, 0, 0, 320, 240, 1, 2, 1.25f, 50, 1), kFdOk);
        bool hit = false;
        for (ULONG k = 0; k < count; ++k) {
          if (Overlaps(faces[k], p)) hit = true;
          else ++c.falses;
        }
        c.found += hit;
        ++c.frames;
      }
    }
  }
  FaceDetectorDestroy(handle);
  return c;
}

TEST(HeldOutGuard, FindsHeldOutFacesAndNotPatches) {
  const Counts faces = SearchComposites("face");
  const Counts patches = SearchComposites("patch");
  RecordProperty("face_recall", faces.found);
  EXPECT_GE(faces.found, faces.frames / 2) << "of " << faces.frames;
  EXPECT_LE(faces.falses, faces.frames / 10);
  EXPECT_LE(patches.found, patches.frames / 10) << "of " << patches.frames;
  EXPECT_LE(patches.falses, patches.frames / 10);
  EXPECT_CLEAN_UNLOAD();
}

TEST(HeldOutGuard, FaceFreeBackgroundsStayEmpty) {
  FaceRecord faces[3];
  FaceDetectorSetup setup = {320, 240, faces, 3, 0};
  DetectorHandle* handle = nullptr;
  ASSERT_EQ(FaceDetectorCreate(&handle, &setup), kFdOk);
  for (int b = 0; b < 2; ++b) {
    const Grey background = Load("background" + std::to_string(b) + ".pgm");
    DetectionImage image = {background.pixels.data(), 320, 240, 320, {}};
    ULONG count = 0;
    EXPECT_EQ(FaceDetectorDetect(handle, &image, &count, 0, 0, 320, 240, 1, 2, 1.25f, 50, 1), kFdOk);
    EXPECT_EQ(count, 0u) << b;
  }
  FaceDetectorDestroy(handle);
}

// The whole object on a 640 x 480 YUY2 frame: three searches confirm the face and its window
// reaches the exposure in frame pixels, around where the face was pasted (doubled).
TEST(HeldOutGuard, FaceDetectSendsTheWindowOfAHeldOutFace) {
  const Grey background = Load("background0.pgm");
  const Grey crop = Load("face72.pgm");
  const Placement p = {110, 50, 100};
  Grey work = background;
  train::Paste(&work, crop, p.x, p.y, p.size);
  std::vector<UCHAR> frame(640 * 480 * 2);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      frame[(y * 640 + x) * 2] = work.pixels[(y / 2) * 320 + x / 2];
      frame[(y * 640 + x) * 2 + 1] = 128;
    }
  test::FakeFaceDevice device;
  {
    FaceDetect detect;
    for (int i = 0; i < 3; ++i) {
      detect.doFaceDetection(&device, frame.data(), nullptr, 640, 480, 0);
      detect.doFaceDetection(&device, frame.data(), nullptr, 640, 480, 1);
    }
  }
  ASSERT_EQ(device.windows.size(), 1u);
  const RegionRect w = device.windows[0];
  const LONG cx = (w.left + w.right) / 2, cy = (w.top + w.bottom) / 2;
  EXPECT_NEAR(cx, 2 * (p.x + p.size / 2), 30);
  EXPECT_NEAR(cy, 2 * (p.y + p.size / 2), 30);
  EXPECT_NEAR(w.right - w.left, 2 * p.size, 60);
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
}  // namespace kvz
