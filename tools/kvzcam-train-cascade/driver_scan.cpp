#include "driver_scan.h"

namespace kvz::train {

DriverScanner::DriverScanner(const kvz::HiddenCascade* cascade) {
  kvz::FaceDetectorSetup setup = {320, 240, faces_, 3, 0};
  if (cascade == nullptr) kvz::FaceDetectorCreate(&handle_, &setup);
  else kvz::FaceDetectorCreateWithCascade(&handle_, &setup, cascade);
  handle_->observer = [](PVOID context, const UCHAR* window, ULONG stride, const kvz::Candidate&) {
    auto* self = static_cast<DriverScanner*>(context);
    if (self->onHit_) self->onHit_(window, stride);
  };
  handle_->observerContext = this;
}

DriverScanner::~DriverScanner() { kvz::FaceDetectorDestroy(handle_); }

ScanResult DriverScanner::Scan(const Grey& picture, int columnStep, int rowStep, float scale,
                               int minSize, const std::function<void(const uint8_t*, unsigned)>& onHit) {
  onHit_ = onHit;
  kvz::DetectionImage image = {};
  image.pixels = picture.pixels.data();
  image.width = static_cast<USHORT>(picture.width);
  image.height = static_cast<USHORT>(picture.height);
  image.stride = static_cast<USHORT>(picture.width);
  ULONG count = 0;
  kvz::FaceDetectorDetect(handle_, &image, &count, 0, 0, image.width, image.height,
                          static_cast<USHORT>(columnStep), static_cast<USHORT>(rowStep), scale,
                          static_cast<USHORT>(minSize), 1);
  ScanResult r;
  r.faces.assign(faces_, faces_ + count);
  r.windows = CountWindows(picture.width, picture.height, columnStep, rowStep, scale, minSize);
  onHit_ = nullptr;
  return r;
}

uint64_t CountWindows(int width, int height, int columnStep, int rowStep, float scale, int minSize) {
  const USHORT m = static_cast<USHORT>(scale * 1024);
  ULONG searched;
  const ULONG n = kvz::CountScales(kWindow, kWindow, width, height, m, static_cast<USHORT>(minSize), &searched);
  uint64_t total = 0;
  ULONG g = 1024;
  for (ULONG j = 0; j < n; ++j, g = (m * g) >> 10) {
    if (j < n - searched) continue;
    const int sw = (width * 1024 + g / 2) / g, sh = (height * 1024 + g / 2) / g;
    if (sw < kWindow || sh < kWindow) continue;
    total += static_cast<uint64_t>((sw - kWindow) / columnStep + 1) * ((sh - kWindow) / rowStep + 1);
  }
  return total;
}

}  // namespace kvz::train
