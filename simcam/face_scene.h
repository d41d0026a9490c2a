// A scene for face detection: a real face moving over a calm, bright background, rendered as
// the camera's YUY2 (and, encoded, MJPEG) frames. The face is a grey 25 x 25 aligned face crop
// given a skin tone and scaled to its place; where it stands is a path of waypoints in frame
// numbers, so a test knows where the face is in every frame it receives.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kvz::simcam {

// The face in one frame, in frame pixels: a square size x size at (left, top).
struct FacePlacement {
  bool visible = false;
  int left = 0;
  int top = 0;
  int size = 0;

  bool operator==(const FacePlacement& o) const {
    return visible == o.visible && left == o.left && top == o.top && size == o.size;
  }
};

// Where the face stands at a frame number. Positions are in thousandths of the frame, so a path
// fits every frame size: the centre's x of the width and y of the height, the side of the
// height.
struct FaceWaypoint {
  uint64_t frame = 0;
  uint16_t centreX = 500;
  uint16_t centreY = 500;
  uint16_t side = 400;
  bool visible = true;
};

constexpr int kFaceCropSide = 25;

class FaceScene {
 public:
  // path: waypoints in increasing frame order; between two the face moves in a straight line
  // (visible as the earlier one says), before the first and after the last it stands still;
  // with repeat, the path starts again after its last waypoint. crop: 25 x 25 grey samples,
  // row by row; empty takes the scene's own face.
  explicit FaceScene(std::vector<FaceWaypoint> path, bool repeat = false, std::vector<uint8_t> crop = {});

  // The capture tool's scene: the face drifts slowly left and right, pausing at each end, and
  // leaves the picture now and then.
  static std::shared_ptr<const FaceScene> Wandering();

  FacePlacement At(uint64_t frameNumber, uint16_t width, uint16_t height) const;
  // width x height x 2 bytes; the frame number sits in the first four luma samples as in the
  // test pattern.
  std::vector<uint8_t> Yuy2(uint16_t width, uint16_t height, uint64_t frameNumber) const;
  // The picture with the face at `face`, without a frame number (MJPEG frames carry none, so
  // frames with the face in one place encode alike).
  std::vector<uint8_t> Picture(uint16_t width, uint16_t height, const FacePlacement& face) const;

 private:
  std::vector<FaceWaypoint> path_;
  bool repeat_;
  std::vector<uint8_t> crop_;
};

// The scene's own face: held-out face 73 of the packaged LFW subset (never used in training the
// cascade), 25 x 25 grey.
extern const uint8_t kSceneFaceCrop[kFaceCropSide * kFaceCropSide];

}  // namespace kvz::simcam
