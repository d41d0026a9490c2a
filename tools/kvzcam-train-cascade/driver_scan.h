// Runs the driver's own scan (FaceDetectorDetect) with a cascade of the trainer's.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "face/detector_internal.h"
#include "training_data.h"

namespace kvz::train {

struct ScanResult {
  std::vector<kvz::FaceRecord> faces;
  uint64_t windows = 0;  // window positions tested
};

class DriverScanner {
 public:
  // cascade null: the driver's own trained cascade.
  explicit DriverScanner(const kvz::HiddenCascade* cascade);
  ~DriverScanner();
  // onHit sees each accepted window's pixels (row stride given).
  ScanResult Scan(const Grey& picture, int columnStep, int rowStep, float scale, int minSize,
                  const std::function<void(const uint8_t*, unsigned)>& onHit = nullptr);

 private:
  kvz::DetectorHandle* handle_ = nullptr;
  kvz::FaceRecord faces_[3] = {};
  std::function<void(const uint8_t*, unsigned)> onHit_;
};

// Window positions the scan tests on a width x height picture.
uint64_t CountWindows(int width, int height, int columnStep, int rowStep, float scale, int minSize);

}  // namespace kvz::train
