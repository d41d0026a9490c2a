// Tracking of the face detection object on synthetic detections: three sightings confirm a
// face, moves beyond 8 / 5 pixels or an area change beyond 9,600 send the window again, misses
// drop it; and the mapping of work-image windows back into frames of any shape.
#include <gtest/gtest.h>

#include "face/face_detect.h"
#include "kernel_checks.h"
#include "support/fake_face_device.h"

namespace kvz {

template <>
struct TestSeam<FaceTrack> {
  static ULONG Confirmations(const FaceTrack& t) { return t.confirmations_; }
};

namespace {

FaceRecord Face(USHORT l, USHORT t, USHORT r, USHORT b) { return FaceRecord{l, t, r, b, 0, {0, 0}}; }

struct Tracker {
  test::FakeFaceDevice device;
  FaceTrack track;
  Tracker() { track.Clear(); }
  // One mode-1 search that found the given faces (none: a miss) in a 640 x 480 frame.
  void Search(std::initializer_list<FaceRecord> found) {
    FaceRecord faces[3];
    ULONG count = 0;
    for (const FaceRecord& f : found) faces[count++] = f;
    track.TrackFace(&device, faces, &count, 640, 480);
  }
};

TEST(FaceTrack, ThreeSightingsInPlaceConfirmAFace) {
  Tracker t;
  const FaceRecord face = Face(100, 60, 160, 120);
  t.Search({face});
  t.Search({Face(113, 70, 173, 130)});  // centre moved by 13 and 10: still the candidate
  EXPECT_TRUE(t.device.windows.empty());
  t.Search({face});
  ASSERT_EQ(t.device.windows.size(), 1u);
  // 640 x 480 is twice the work image.
  const RegionRect w = t.device.windows[0];
  EXPECT_EQ(w.left, 200);
  EXPECT_EQ(w.top, 120);
  EXPECT_EQ(w.right, 320);
  EXPECT_EQ(w.bottom, 240);
  EXPECT_EQ(t.device.flags & kFaceWorkExposure, kFaceWorkExposure);
}

TEST(FaceTrack, AMoveBeyondTheToleranceRestartsConfirmation) {
  Tracker t;
  t.Search({Face(100, 60, 160, 120)});
  t.Search({Face(114, 60, 174, 120)});  // 14 across
  t.Search({Face(114, 60, 174, 120)});  // a new first sighting
  t.Search({Face(114, 60, 174, 120)});
  EXPECT_TRUE(t.device.windows.empty());
  t.Search({Face(114, 60, 174, 120)});
  EXPECT_EQ(t.device.windows.size(), 1u);
}

TEST(FaceTrack, AConfirmedFaceMovesTheWindowOnlyBeyondItsTolerances) {
  struct Case {
    const char* name;
    FaceRecord next;
    bool sent;
  } cases[] = {
      {"8 across, 5 down", Face(108, 65, 168, 125), false},
      {"9 across", Face(109, 60, 169, 120), true},
      {"6 down", Face(100, 66, 160, 126), true},
      // 60 x 60 = 3,600 against 140 x 94 = 13,160: +9,560, kept; 140 x 95 = 13,300: +9,700.
      {"area +9,560", Face(60, 43, 200, 137), false},
      {"area +9,700", Face(60, 43, 200, 138), true},
  };
  for (const Case& c : cases) {
    Tracker t;
    const FaceRecord face = Face(100, 60, 160, 120);
    for (int i = 0; i < 3; ++i) t.Search({face});
    ASSERT_EQ(t.device.windows.size(), 1u);
    t.Search({c.next});
    EXPECT_EQ(t.device.windows.size(), c.sent ? 2u : 1u) << c.name;
  }
}

TEST(FaceTrack, MissesCountThenDropTheWindow) {
  Tracker t;
  // Right after a reset a miss drops at once, but with no window there is nothing to send.
  t.Search({});
  EXPECT_TRUE(t.device.windows.empty());
  const FaceRecord face = Face(100, 60, 160, 120);
  for (int i = 0; i < 3; ++i) t.Search({face});
  ASSERT_EQ(t.device.windows.size(), 1u);
  for (int i = 0; i < 3; ++i) t.Search({});
  EXPECT_EQ(t.device.windows.size(), 1u);
  t.Search({Face(100, 60, 140, 100)});  // 40 wide: too small, a miss as well
  ASSERT_EQ(t.device.windows.size(), 2u);
  const RegionRect empty = t.device.windows[1];
  EXPECT_EQ(empty.left | empty.top | empty.right | empty.bottom, 0);
  EXPECT_EQ(TestSeam<FaceTrack>::Confirmations(t.track), 0u);
  // Further misses send nothing more.
  t.Search({});
  EXPECT_EQ(t.device.windows.size(), 2u);
}

TEST(FaceTrack, ModeZeroKeepsTheLargestWideEnoughFace) {
  FaceTrack track;
  track.Clear();
  struct Case {
    const char* name;
    FaceRecord faces[3];
    ULONG count;
    USHORT keptLeft;  // 0: nothing kept
  } cases[] = {
      {"49 wide", {Face(10, 10, 59, 80)}, 1, 0},
      {"50 wide", {Face(10, 10, 60, 80)}, 1, 10},
      {"largest of three", {Face(10, 10, 70, 70), Face(100, 10, 180, 90), Face(200, 10, 260, 70)}, 3, 100},
      {"equal areas keep the first", {Face(10, 10, 70, 70), Face(100, 10, 160, 70)}, 2, 10},
  };
  for (const Case& c : cases) {
    ULONG count = c.count;
    track.KeepSearchResult(c.faces, &count);
    EXPECT_EQ(track.LastFace().left, c.keptLeft) << c.name;
    EXPECT_EQ(count, c.keptLeft ? c.count : 0u) << c.name;
  }
}

TEST(FaceWindow, MapsBackIntoFramesOfAnyShape) {
  struct Case {
    const char* name;
    LONG width, height;
    FaceRecord face;
    RegionRect expected;
  } cases[] = {
      {"640 x 480 doubles", 640, 480, Face(100, 60, 160, 120), {200, 120, 320, 240}},
      // 1280 x 720 fills 320 x 180: x by 4, y by 720 / 180 = 4.
      {"1280 x 720", 1280, 720, Face(100, 60, 160, 120), {400, 240, 640, 480}},
      // 352 x 288 is taller than 4:3: it fills 293 x 240 (352 x 240 / 288), mapped back by
      // 352 / 293 across and 288 / 240 down.
      {"352 x 288", 352, 288, Face(100, 60, 160, 120), {120, 72, 192, 144}},
      {"176 x 144", 176, 144, Face(100, 60, 160, 120), {60, 36, 96, 72}},
      // Portrait 480 x 640 fills 180 x 240.
      {"480 x 640", 480, 640, Face(100, 60, 160, 120), {266, 160, 426, 320}},
      // A face at the work image's left edge (moved in to column 1) still maps to a face.
      {"touching the left edge", 176, 144, Face(1, 1, 60, 60), {1, 1, 36, 36}},
  };
  for (const Case& c : cases) {
    test::FakeFaceDevice device;
    EXPECT_EQ(FaceTrack::ApplyFaceWindow(&device, &c.face, c.width, c.height), STATUS_SUCCESS);
    ASSERT_EQ(device.windows.size(), 1u);
    const RegionRect& r = device.windows[0];
    EXPECT_EQ(r.left, c.expected.left) << c.name;
    EXPECT_EQ(r.top, c.expected.top) << c.name;
    EXPECT_EQ(r.right, c.expected.right) << c.name;
    EXPECT_EQ(r.bottom, c.expected.bottom) << c.name;
    EXPECT_LT(r.right, c.width);
    EXPECT_LT(r.bottom, c.height);
  }
}

}  // namespace
}  // namespace kvz
