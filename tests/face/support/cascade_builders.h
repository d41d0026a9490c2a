// Tiny cascades built by hand for the detector's mechanism tests, and the loader around them.
#pragma once
#include <cstdint>
#include <vector>

#include "cascade_model.h"
#include "face/haar_cascade.h"

namespace kvz::test {

// Left half +1, right half -1 of a 24 x 24 window.
inline std::vector<train::Rect> LeftMinusRight() {
  return {{0, 0, 12, 24, 1}, {12, 0, 12, 24, -1}};
}

// One stage of one single-node tree: leaves (left, right), stage threshold.
inline train::Cascade OneNode(std::vector<train::Rect> rects, int32_t threshold, int32_t leftLeaf,
                              int32_t rightLeaf, int32_t stageThreshold) {
  train::Cascade c;
  train::Tree t;
  t.nodes.push_back(train::Node{std::move(rects), threshold, 0, -1});
  t.leaves = {leftLeaf, rightLeaf};
  c.stages.push_back(train::Stage{stageThreshold, {t}});
  return c;
}

// A loaded cascade that owns its block.
class LoadedCascade {
 public:
  explicit LoadedCascade(const train::Cascade& c) : LoadedCascade(train::WriteCascadeBlock(c), c) {}
  LoadedCascade(std::vector<uint8_t> block, const train::Cascade& c) : block_(std::move(block)) {
    descriptor_ = {static_cast<UCHAR>(c.stages.size()), static_cast<UCHAR>(c.width),
                   static_cast<UCHAR>(c.height), {0, 0, 0, 0}, static_cast<ULONG>(block_.size()),
                   block_.data()};
    status_ = CreateHiddenCascade_PG(descriptor_, &hidden_);
  }
  ~LoadedCascade() { FreeHiddenCascade(hidden_); }
  NTSTATUS status() const { return status_; }
  const HiddenCascade* get() const { return hidden_; }

 private:
  std::vector<uint8_t> block_;
  CascadeDescriptor descriptor_{};
  HiddenCascade* hidden_ = nullptr;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;
};

}  // namespace kvz::test
