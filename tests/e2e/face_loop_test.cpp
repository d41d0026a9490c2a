// Face detection and the face-region exposure through the whole driver: the simulated camera
// shows a face moving over a bright background; the driver's worker finds and confirms it, the
// camera's face-exposure window (vendor unit, selector 27, 15 bytes) is sent around the face and
// follows it, and is cleared three seconds after the face has left. A client's region rectangle
// steers the same window while face detection is off.
#include <cstdlib>
#include <cstring>
#include <optional>

#include "driver/controls/region_control_handler.h"
#include "e2e_bench.h"
#include "kvz/registry_testing.h"
#include "simcam/face_scene.h"

namespace kvz::e2e {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr uint64_t kFps = 30;
constexpr uint16_t kWindowValue = 0x1B00;  // selector 27 in the high byte
constexpr size_t kWindowBytes = 15;
constexpr size_t kBatch = 6;  // the worker is offered every sixth delivered frame

// One window the camera received: its frame (the camera's frame count when it was seen) and
// content; on = false for the clearing transfer of 15 zero bytes.
struct SentWindow {
  uint64_t frame = 0;
  bool on = false;
  int x = 0, y = 0, width = 0, height = 0;
  int luma = 0;

  int CentreX() const { return x + width / 2; }
  int CentreY() const { return y + height / 2; }
};

int BigEndian(const std::vector<uint8_t>& d, size_t at) { return d[at] << 8 | d[at + 1]; }

class FaceLoopTest : public E2eBench {
 protected:
  // The device reads FaceDetectEnable from the OEM key when it starts.
  void EnableFaceDetection() {
    const std::u16string key = u"\\Registry\\MACHINE\\SOFTWARE\\Brevik\\Camera\\Integrated";
    kernel::CreateRegistryKey(key);
    kernel::SetRegistryDword(key, u"FaceDetectEnable", 1);
  }

  bool BootWith(std::shared_ptr<const simcam::FaceScene> scene, uint32_t subtype = kYuy2, int width = kWidth,
                int height = kHeight) {
    scene_ = scene;
    simcam::CameraOptions options;
    options.faceScene = std::move(scene);
    if (!Boot("isoch", options)) return false;
    KsPinClient* pin = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, subtype, width, height, &pin, &format_));
    if (!pin) return false;
    EXPECT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
    pin_ = pin;
    return true;
  }

  // Streams until the camera has sent `frame` frames, collecting the windows it receives.
  void StreamUntil(uint64_t frame) {
    while (Camera().Snapshot().framesSent < frame) {
      ASSERT_EQ(kBatch, Read(*pin_, kBatch, format_.sizeImage).size());
      Collect();
    }
  }

  void Collect() {
    const std::vector<simcam::LoggedRequest> log = Camera().Log();
    const uint64_t now = Camera().Snapshot().framesSent;
    for (; seen_ < log.size(); ++seen_) {
      const simcam::LoggedRequest& r = log[seen_];
      if (r.kind != simcam::RequestKind::kControl || r.setup.bRequest != 0x01 ||
          r.setup.wValue != kWindowValue)
        continue;
      ASSERT_EQ(kWindowBytes, r.data.size());
      SentWindow w;
      w.frame = now;
      w.on = r.data[0] != 0;
      w.x = BigEndian(r.data, 7);
      w.y = BigEndian(r.data, 9);
      w.width = BigEndian(r.data, 11);
      w.height = BigEndian(r.data, 13);
      w.luma = r.data[3];
      windows_.push_back(w);
    }
  }

  NTSTATUS SetRegion(LONG left, LONG top, LONG right, LONG bottom) {
    uint8_t data[kRegionDataSize] = {};
    const LONG rect[4] = {left, top, right, bottom};
    std::memcpy(data, rect, sizeof(rect));
    return Filter().Set(PROPSETID_KVZ_REGION, 0, data, sizeof(data));
  }

  // The first window sent on or after frame `from` that is on, or that is off.
  std::optional<SentWindow> First(uint64_t from, bool on) const {
    for (const SentWindow& w : windows_)
      if (w.frame >= from && w.on == on) return w;
    return std::nullopt;
  }

  std::shared_ptr<const simcam::FaceScene> scene_;
  VideoFormat format_;
  KsPinClient* pin_ = nullptr;
  std::vector<SentWindow> windows_;
  size_t seen_ = 0;
};

// The window lies around the drawn face: centred on it within a quarter of its side, and
// larger than it (the face grown by a margin).
void ExpectAround(const SentWindow& w, const simcam::FacePlacement& face, const char* where) {
  EXPECT_TRUE(w.on) << where;
  EXPECT_LE(std::abs(w.CentreX() - (face.left + face.size / 2)), face.size / 4) << where << " x " << w.x;
  EXPECT_LE(std::abs(w.CentreY() - (face.top + face.size / 2)), face.size / 4) << where << " y " << w.y;
  EXPECT_GT(w.width, face.size) << where;
  EXPECT_GT(w.height, face.size) << where;
}

// The face rests on the left for 8 s, crosses to the right in 2 s, rests 8 s and leaves.
constexpr uint64_t kMoveStart = 240, kMoveEnd = 300, kLeaves = 540;

// The frame size and the face's side on the left and on the right (thousandths of the height).
struct SizeCase {
  const char* name;
  int width, height;
  uint16_t leftSide, rightSide;
};

class FaceLoopSizeTest : public FaceLoopTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FaceLoopSizeTest, WindowFindsFollowsAndLeavesTheFace) {
  const SizeCase& c = GetParam();
  const int width = c.width, height = c.height;
  EnableFaceDetection();
  ASSERT_TRUE(BootWith(std::make_shared<const simcam::FaceScene>(std::vector<simcam::FaceWaypoint>{
                           {0, 300, 500, c.leftSide, true},
                           {kMoveStart, 300, 500, c.leftSide, true},
                           {kMoveEnd, 700, 480, c.rightSide, true},
                           {kLeaves - 1, 700, 480, c.rightSide, true},
                           {kLeaves, 700, 480, c.rightSide, false}}),
                       kYuy2, width, height));
  StreamUntil(kLeaves + 6 * kFps);

  // Stream start switches the window off before anything else.
  ASSERT_FALSE(windows_.empty());
  EXPECT_FALSE(windows_.front().on);

  // Found and confirmed (three searches), 1.5 s stable, sent on the fourth measured frame: well
  // within 5 s.
  const auto first = First(0, true);
  ASSERT_TRUE(first.has_value());
  EXPECT_LE(first->frame, 5 * kFps);
  ExpectAround(*first, scene_->At(first->frame, width, height), "at rest on the left");
  EXPECT_GT(first->luma, 0);

  // Once the face rests on the right, the window follows within 5 s, and stays off the left.
  const auto moved = First(kMoveEnd, true);
  ASSERT_TRUE(moved.has_value());
  EXPECT_LE(moved->frame, kMoveEnd + 5 * kFps);
  ExpectAround(*moved, scene_->At(kMoveEnd, width, height), "at rest on the right");
  for (const SentWindow& w : windows_)
    if (w.on && w.frame > moved->frame) {
      ExpectAround(w, scene_->At(kMoveEnd, width, height), "after following");
    }

  // Gone: no window is sent any more, and 3 s after the face was last seen it is switched off,
  // once.
  const auto cleared = First(kLeaves, false);
  ASSERT_TRUE(cleared.has_value());
  EXPECT_GE(cleared->frame, kLeaves + 3 * kFps);
  EXPECT_LE(cleared->frame, kLeaves + 5 * kFps);
  size_t clears = 0;
  for (const SentWindow& w : windows_) {
    if (w.frame > kLeaves + kFps) {
      EXPECT_FALSE(w.on) << "frame " << w.frame;
    }
    clears += w.frame >= kLeaves && !w.on;
  }
  EXPECT_EQ(1u, clears);
}

// At 320 x 240 the frame is searched unscaled and the face maps back one to one. The exposure's
// margins are frame pixels, so a face there must be larger to be measured (face/README.md).
INSTANTIATE_TEST_SUITE_P(Sizes, FaceLoopSizeTest,
                         ::testing::Values(SizeCase{"vga", 640, 480, 420, 400},
                                           SizeCase{"qvga", 320, 240, 600, 600}),
                         [](const auto& info) { return std::string(info.param.name); });

// MJPG passed through: the worker decodes the camera's frame itself and finds the same face.
TEST_F(FaceLoopTest, MjpegFramesAreSearchedToo) {
  EnableFaceDetection();
  ASSERT_TRUE(BootWith(std::make_shared<const simcam::FaceScene>(
                           std::vector<simcam::FaceWaypoint>{{0, 650, 450, 450, true}}),
                       kMjpg));
  StreamUntil(5 * kFps);
  const auto first = First(0, true);
  ASSERT_TRUE(first.has_value());
  ExpectAround(*first, scene_->At(0, kWidth, kHeight), "in MJPEG frames");
}

// A client that reads the region property takes face detection over: its rectangle, not the
// face the camera shows, decides the window; one outside the frame changes nothing; an empty
// rectangle switches the window off 3 s later.
TEST_F(FaceLoopTest, RegionPropertySteersTheWindow) {
  EnableFaceDetection();
  ASSERT_TRUE(BootWith(std::make_shared<const simcam::FaceScene>(
      std::vector<simcam::FaceWaypoint>{{0, 750, 500, 420, true}})));
  uint8_t region[kRegionDataSize] = {};
  ASSERT_EQ(STATUS_SUCCESS, Filter().Get(PROPSETID_KVZ_REGION, 0, region, sizeof(region)));
  ASSERT_EQ(STATUS_SUCCESS, SetRegion(100, 100, 300, 300));
  const uint64_t set = Camera().Snapshot().framesSent;
  StreamUntil(set + 6 * kFps);
  // A rectangle reaching past the frame's right edge is refused: the window stays.
  ASSERT_EQ(STATUS_SUCCESS, SetRegion(100, 100, 700, 300));
  StreamUntil(set + 9 * kFps);

  // Rectangle (100, 100)-(300, 300) grown by 60: x = y = 40, width = height = 300 - 40 + 60.
  const auto first = First(set, true);
  ASSERT_TRUE(first.has_value());
  EXPECT_LE(first->frame, set + 4 * kFps);
  for (const SentWindow& w : windows_) {
    if (!w.on || w.frame < set) continue;
    EXPECT_EQ(40, w.x);
    EXPECT_EQ(40, w.y);
    EXPECT_EQ(320, w.width);
    EXPECT_EQ(320, w.height);
  }

  ASSERT_EQ(STATUS_SUCCESS, SetRegion(0, 0, 0, 0));
  const uint64_t emptied = Camera().Snapshot().framesSent;
  StreamUntil(emptied + 5 * kFps);
  const auto cleared = First(emptied, false);
  ASSERT_TRUE(cleared.has_value());
  EXPECT_GE(cleared->frame, emptied + 3 * kFps);
  EXPECT_LE(cleared->frame, emptied + 4 * kFps);
  for (const SentWindow& w : windows_)
    if (w.frame > emptied + kBatch) {
      EXPECT_FALSE(w.on);
    }
}

}  // namespace
}  // namespace kvz::e2e
