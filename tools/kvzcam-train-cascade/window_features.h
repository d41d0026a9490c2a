// Feature values exactly as the driver computes them: the driver's integral images, spread and
// fixed-point node threshold, over one 24 x 24 window.
#pragma once
#include <memory>
#include <vector>

#include "cascade_model.h"
#include "face/detector_internal.h"
#include "training_data.h"

namespace kvz::train {

// Builds the patch's integral images into ii and returns the window's spread.
long long EvaluatePatch(const Patch& patch, kvz::IntegralImage* ii);
kvz::HiddenNode MakeNode(const std::vector<Rect>& rects);
// Upright 2- and 3-rectangle features of the window, count of them drawn at random.
std::vector<std::vector<Rect>> FeaturePool(int count, uint32_t seed);
// The window test of a whole cascade on one sample, through the driver's loader and test.
class DriverCascade {
 public:
  explicit DriverCascade(const Cascade& cascade);
  ~DriverCascade();
  bool ok() const { return hidden_ != nullptr; }
  const kvz::HiddenCascade* hidden() const { return hidden_; }
  bool Accepts(const Patch& patch, kvz::IntegralImage* ii) const;

 private:
  std::vector<uint8_t> block_;
  kvz::HiddenCascade* hidden_ = nullptr;
};

}  // namespace kvz::train
