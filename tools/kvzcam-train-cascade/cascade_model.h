// A cascade as the trainer builds it, and its two outputs: the binary block the driver's loader
// reads, and the generated C++ source that carries the block into the driver.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kvz::train {

struct Rect {
  int x, y, w, h, weight;
};

struct Node {
  std::vector<Rect> rects;  // 2 to 5, upright
  int32_t threshold = 0;
  int left = 0;   // > 0: node index; <= 0: leaf -left
  int right = 0;
};

struct Tree {
  std::vector<Node> nodes;
  std::vector<int32_t> leaves;  // nodes.size() + 1
};

struct Stage {
  int32_t threshold = 0;
  std::vector<Tree> trees;
};

struct Cascade {
  int width = 24;
  int height = 24;
  std::vector<Stage> stages;
};

std::vector<uint8_t> WriteCascadeBlock(const Cascade& cascade);
// A source file defining kvz::kTrainedCascade over the block; command and notes go into its
// leading comment.
std::string WriteCascadeSource(const Cascade& cascade, const std::string& comment);
// Reads a block written by WriteCascadeBlock back (for the evaluation of a frozen cascade).
bool ReadCascadeBlock(const std::vector<uint8_t>& block, Cascade* cascade);

}  // namespace kvz::train
