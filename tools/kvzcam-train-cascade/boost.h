// One stage of the cascade: boosted depth-two trees with integer leaves, split thresholds
// chosen on the driver's own fixed-point test, a stage threshold for a high hit rate.
#pragma once
#include <vector>

#include "cascade_model.h"
#include "training_data.h"

namespace kvz::train {

struct StageOptions {
  double hitRate = 0.995;     // of the stage's positives
  double falseRate = 0.5;     // stop adding trees at or below
  int maxTrees = 40;
  int threads = 3;
};

struct StageResult {
  Stage stage;
  double hitRate = 0;
  double falseRate = 0;
};

StageResult TrainStage(const std::vector<Patch>& positives, const std::vector<Patch>& negatives,
                       const std::vector<std::vector<Rect>>& features, const StageOptions& options);

}  // namespace kvz::train
