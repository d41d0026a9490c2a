#include "simcam/face_scene.h"

#include <algorithm>
#include <cmath>

#include "simcam/test_pattern.h"

namespace kvz::simcam {
namespace {

// Background: light growing towards the right, as from a window behind the subject; a cool tint.
constexpr int kBackgroundLuma = 140;
constexpr int kBackgroundRise = 70;  // across the width
constexpr int kBackgroundFall = 20;  // down the height
constexpr uint8_t kBackgroundU = 136;
constexpr uint8_t kBackgroundV = 122;
// Skin tone of the face.
constexpr uint8_t kFaceU = 110;
constexpr uint8_t kFaceV = 152;

uint8_t GreyToLuma(double grey) { return static_cast<uint8_t>(std::lround(16.0 + grey * 219.0 / 255.0)); }

// The crop's sample at a fractional position, bilinear, edges held.
double Sample(const std::vector<uint8_t>& crop, double x, double y) {
  x = std::clamp(x, 0.0, kFaceCropSide - 1.0);
  y = std::clamp(y, 0.0, kFaceCropSide - 1.0);
  const int x0 = std::min(static_cast<int>(x), kFaceCropSide - 2);
  const int y0 = std::min(static_cast<int>(y), kFaceCropSide - 2);
  const double fx = x - x0, fy = y - y0;
  auto at = [&](int cx, int cy) { return static_cast<double>(crop[static_cast<size_t>(cy) * kFaceCropSide + cx]); };
  const double top = at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx;
  const double bottom = at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx;
  return top * (1 - fy) + bottom * fy;
}

}  // namespace

FaceScene::FaceScene(std::vector<FaceWaypoint> path, bool repeat, std::vector<uint8_t> crop)
    : path_(std::move(path)), repeat_(repeat), crop_(std::move(crop)) {
  if (crop_.size() != static_cast<size_t>(kFaceCropSide) * kFaceCropSide)
    crop_.assign(kSceneFaceCrop, kSceneFaceCrop + kFaceCropSide * kFaceCropSide);
}

std::shared_ptr<const FaceScene> FaceScene::Wandering() {
  // 30 frames a second: rest 4 s, drift 4 s, rest, drift back, rest, gone for 4 s.
  return std::make_shared<const FaceScene>(std::vector<FaceWaypoint>{{0, 300, 500, 420, true},
                                                                     {120, 300, 500, 420, true},
                                                                     {240, 700, 480, 400, true},
                                                                     {360, 700, 480, 400, true},
                                                                     {480, 300, 500, 420, true},
                                                                     {600, 300, 500, 420, false},
                                                                     {720, 300, 500, 420, true}},
                                           true);
}

FacePlacement FaceScene::At(uint64_t frameNumber, uint16_t width, uint16_t height) const {
  FacePlacement p;
  if (path_.empty() || width == 0 || height == 0) return p;
  if (repeat_ && path_.back().frame > 0) frameNumber %= path_.back().frame;
  const FaceWaypoint* a = &path_.front();
  const FaceWaypoint* b = a;
  for (size_t i = 0; i < path_.size(); ++i) {
    if (path_[i].frame <= frameNumber) a = b = &path_[i];
    else {
      b = &path_[i];
      break;
    }
  }
  double t = 0;
  if (b != a && b->frame > a->frame)
    t = static_cast<double>(frameNumber - a->frame) / static_cast<double>(b->frame - a->frame);
  if (frameNumber < path_.front().frame) b = a;
  auto lerp = [t](uint16_t from, uint16_t to) { return from + (static_cast<double>(to) - from) * t; };
  p.visible = a->visible;
  p.size = static_cast<int>(std::lround(lerp(a->side, b->side) * height / 1000.0));
  const int cx = static_cast<int>(std::lround(lerp(a->centreX, b->centreX) * width / 1000.0));
  const int cy = static_cast<int>(std::lround(lerp(a->centreY, b->centreY) * height / 1000.0));
  p.left = cx - p.size / 2;
  p.top = cy - p.size / 2;
  return p;
}

std::vector<uint8_t> FaceScene::Yuy2(uint16_t width, uint16_t height, uint64_t frameNumber) const {
  std::vector<uint8_t> out = Picture(width, height, At(frameNumber, width, height));
  StampFrameNumber(&out, frameNumber);
  return out;
}

std::vector<uint8_t> FaceScene::Picture(uint16_t width, uint16_t height, const FacePlacement& face) const {
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 2);
  const double scale = face.size > 0 ? static_cast<double>(kFaceCropSide) / face.size : 0;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = out.data() + static_cast<size_t>(y) * width * 2;
    const bool faceRow = face.visible && y >= face.top && y < face.top + face.size;
    for (int x = 0; x < width; ++x) {
      uint8_t luma;
      uint8_t chroma;
      if (faceRow && x >= face.left && x < face.left + face.size) {
        luma = GreyToLuma(Sample(crop_, (x - face.left + 0.5) * scale - 0.5, (y - face.top + 0.5) * scale - 0.5));
        chroma = (x & 1) ? kFaceV : kFaceU;
      } else {
        luma = static_cast<uint8_t>(kBackgroundLuma + kBackgroundRise * x / width - kBackgroundFall * y / height);
        chroma = (x & 1) ? kBackgroundV : kBackgroundU;
      }
      row[static_cast<size_t>(x) * 2] = luma;
      row[static_cast<size_t>(x) * 2 + 1] = chroma;
    }
  }
  return out;
}

}  // namespace kvz::simcam
