#include "window_features.h"

#include <algorithm>
#include <random>

namespace kvz::train {
namespace {

kvz::HiddenCascade SpreadOnly() {
  kvz::HiddenCascade c = {};
  c.windowWidth = c.windowHeight = kWindow;
  c.equaliseArea = (kWindow - 2) * (kWindow - 2);
  c.equaliseCorner[0] = 1 * kvz::kIntegralSide + 1;
  c.equaliseCorner[1] = 1 * kvz::kIntegralSide + kWindow - 1;
  c.equaliseCorner[2] = (kWindow - 1) * kvz::kIntegralSide + 1;
  c.equaliseCorner[3] = (kWindow - 1) * kvz::kIntegralSide + kWindow - 1;
  return c;
}

}  // namespace

long long EvaluatePatch(const Patch& patch, kvz::IntegralImage* ii) {
  static const kvz::HiddenCascade spreadOnly = SpreadOnly();
  kvz::DetectorEvaluate(ii, patch.data(), kWindow, kWindow, kWindow);
  return kvz::WindowSpread(&spreadOnly, ii, 0, 0);
}

kvz::HiddenNode MakeNode(const std::vector<Rect>& rects) {
  kvz::HiddenNode node = {};
  for (const Rect& r : rects) {
    kvz::HiddenRect& h = node.rects[node.rectCount++];
    h.corner[0] = r.y * kvz::kIntegralSide + r.x;
    h.corner[1] = r.y * kvz::kIntegralSide + r.x + r.w;
    h.corner[2] = (r.y + r.h) * kvz::kIntegralSide + r.x;
    h.corner[3] = (r.y + r.h) * kvz::kIntegralSide + r.x + r.w;
    h.weight = r.weight;
  }
  return node;
}

std::vector<std::vector<Rect>> FeaturePool(int count, uint32_t seed) {
  std::vector<std::vector<Rect>> all;
  for (int kind = 0; kind < 4; ++kind) {
    const bool horizontal = kind % 2 == 0;
    const int parts = kind < 2 ? 2 : 3;
    for (int uw = 1; uw <= kWindow; ++uw)
      for (int uh = 1; uh <= kWindow; ++uh) {
        const int w = horizontal ? uw * parts : uw, h = horizontal ? uh : uh * parts;
        if (w > kWindow || h > kWindow || w * h < 8) continue;
        for (int y = 0; y + h <= kWindow; ++y)
          for (int x = 0; x + w <= kWindow; ++x) {
            std::vector<Rect> f;
            for (int p = 0; p < parts; ++p) {
              const int weight = parts == 2 ? (p == 0 ? 1 : -1) : (p == 1 ? 2 : -1);
              f.push_back(horizontal ? Rect{x + p * uw, y, uw, uh, weight} : Rect{x, y + p * uh, uw, uh, weight});
            }
            all.push_back(f);
          }
      }
  }
  std::mt19937 rng(seed);
  std::shuffle(all.begin(), all.end(), rng);
  if (static_cast<int>(all.size()) > count) all.resize(count);
  return all;
}

DriverCascade::DriverCascade(const Cascade& cascade) : block_(WriteCascadeBlock(cascade)) {
  kvz::CascadeDescriptor d = {static_cast<UCHAR>(cascade.stages.size()), static_cast<UCHAR>(cascade.width),
                              static_cast<UCHAR>(cascade.height), {0, 0, 0, 0},
                              static_cast<ULONG>(block_.size()), block_.data()};
  if (kvz::CreateHiddenCascade_PG(d, &hidden_) != STATUS_SUCCESS) hidden_ = nullptr;
}

DriverCascade::~DriverCascade() { kvz::FreeHiddenCascade(hidden_); }

bool DriverCascade::Accepts(const Patch& patch, kvz::IntegralImage* ii) const {
  kvz::DetectorEvaluate(ii, patch.data(), kWindow, kWindow, kWindow);
  return kvz::RunHaarCascade(hidden_, ii, 0, 0, nullptr) == 1;
}

}  // namespace kvz::train
