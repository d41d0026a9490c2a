// The cascade trainer's mechanics on drawn faces and textures: a trained stage, run through the
// driver's loader and window test, accepts exactly what the trainer counted, and a written block
// reads back as the same cascade.
#include <gtest/gtest.h>

#include <random>

#include "boost.h"
#include "cascade_model.h"
#include "kernel_checks.h"
#include "training_data.h"
#include "window_features.h"

namespace kvz {
namespace {

TEST(CascadeTrainer, DriverAgreesWithTheTrainersCountsAndBlocksRoundTrip) {
  {
    const train::DataSet data = train::SyntheticDataSet(3);
    std::mt19937 rng(4);
    std::vector<train::Patch> positives, negatives;
    for (const auto& face : data.faces) positives.push_back(train::AugmentFace(face, rng, false));
    for (int i = 0; i < 300; ++i) {
      const train::Grey view = train::RandomView(data.trainPictures[i % 4], 48, 48, rng);
      train::Patch p(24 * 24);
      for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) p[y * 24 + x] = view.at(x + 12, y + 12);
      negatives.push_back(p);
    }
    train::StageOptions options;
    options.maxTrees = 4;
    options.threads = 2;
    const auto features = train::FeaturePool(400, 5);
    const train::StageResult r = train::TrainStage(positives, negatives, features, options);
    ASSERT_FALSE(r.stage.trees.empty());
    EXPECT_GE(r.hitRate, 0.995);
    EXPECT_LT(r.falseRate, 0.5);

    train::Cascade cascade;
    cascade.stages.push_back(r.stage);
    const train::DriverCascade driver(cascade);
    ASSERT_TRUE(driver.ok());
    IntegralImage ii;
    size_t hits = 0, falses = 0;
    for (const auto& p : positives) hits += driver.Accepts(p, &ii);
    for (const auto& p : negatives) falses += driver.Accepts(p, &ii);
    EXPECT_EQ(hits, static_cast<size_t>(r.hitRate * positives.size() + 0.5));
    EXPECT_EQ(falses, static_cast<size_t>(r.falseRate * negatives.size() + 0.5));

    train::Cascade back;
    ASSERT_TRUE(train::ReadCascadeBlock(train::WriteCascadeBlock(cascade), &back));
    EXPECT_EQ(train::WriteCascadeBlock(back), train::WriteCascadeBlock(cascade));
  }
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
}  // namespace kvz
