#include "boost.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <thread>

#include "window_features.h"

namespace kvz::train {
namespace {

constexpr double kLeafScale = 1024;  // leaf values are log-odds halves in 1/1024
constexpr double kThresholdLimit = 2147483000.0;

template <typename F>
void Parallel(int threads, size_t count, F f) {
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (size_t i = t; i < count; i += threads) f(i);
    });
  for (std::thread& th : pool) th.join();
}

// Per feature: each sample's critical threshold r (a node sends the sample left exactly when
// its integer threshold is below r) and the samples sorted by it.
struct FeatureTable {
  size_t samples = 0;
  std::vector<float> r;          // features x samples, sorted per feature
  std::vector<uint32_t> order;   // features x samples
};

struct Split {
  int feature = -1;
  int32_t threshold = 0;
  double score = std::numeric_limits<double>::max();
};

// Best split of the samples in subset (mask) by the real-boosting score
// sqrt(W+ W-) left + sqrt(W+ W-) right.
Split BestSplit(const FeatureTable& table, size_t features, const std::vector<double>& weight,
                const std::vector<int8_t>& label, const std::vector<uint8_t>& mask, int threads) {
  double totalPos = 0, totalNeg = 0;
  for (size_t i = 0; i < table.samples; ++i)
    if (mask[i]) (label[i] > 0 ? totalPos : totalNeg) += weight[i];
  std::vector<Split> best(features);
  Parallel(threads, features, [&](size_t f) {
    const float* r = table.r.data() + f * table.samples;
    const uint32_t* order = table.order.data() + f * table.samples;
    double leftPos = 0, leftNeg = 0;
    Split s;
    float previous = std::numeric_limits<float>::infinity();
    // Walk from the largest r down: the samples passed so far go left.
    for (size_t k = table.samples; k-- > 0;) {
      const uint32_t i = order[k];
      if (!mask[i]) continue;
      const double hi = previous, lo = r[k];
      if (hi > lo && hi != std::numeric_limits<float>::infinity()) {
        const double mid = std::floor((hi + lo) / 2);
        if (mid >= lo && mid < hi && std::fabs(mid) < kThresholdLimit) {
          const double score = std::sqrt(leftPos * leftNeg) +
                               std::sqrt((totalPos - leftPos) * (totalNeg - leftNeg));
          if (score < s.score) {
            s.score = score;
            s.feature = static_cast<int>(f);
            s.threshold = static_cast<int32_t>(mid);
          }
        }
      }
      (label[i] > 0 ? leftPos : leftNeg) += weight[i];
      previous = r[k];
    }
    best[f] = s;
  });
  Split s;
  for (const Split& b : best)
    if (b.score < s.score) s = b;
  return s;
}

int32_t LeafValue(double pos, double neg, double eps) {
  const double v = 0.5 * std::log((pos + eps) / (neg + eps)) * kLeafScale;
  return static_cast<int32_t>(std::lround(std::max(-65535.0, std::min(65535.0, v))));
}

}  // namespace

StageResult TrainStage(const std::vector<Patch>& positives, const std::vector<Patch>& negatives,
                       const std::vector<std::vector<Rect>>& features, const StageOptions& options) {
  const size_t n = positives.size() + negatives.size();
  const size_t nf = features.size();
  std::vector<int8_t> label(n);
  std::vector<const Patch*> patch(n);
  for (size_t i = 0; i < n; ++i) {
    label[i] = i < positives.size() ? 1 : -1;
    patch[i] = i < positives.size() ? &positives[i] : &negatives[i - positives.size()];
  }
  // Feature values and spreads through the driver's integral images and node arithmetic.
  std::vector<kvz::HiddenNode> nodes;
  for (const auto& f : features) nodes.push_back(MakeNode(f));
  std::vector<int32_t> value(nf * n);
  std::vector<long long> spread(n);
  Parallel(options.threads, n, [&](size_t i) {
    kvz::IntegralImage ii;
    spread[i] = EvaluatePatch(*patch[i], &ii);
    for (size_t f = 0; f < nf; ++f) value[f * n + i] = kvz::FeatureValue(&nodes[f], ii.sum);
  });
  FeatureTable table;
  table.samples = n;
  table.r.resize(nf * n);
  table.order.resize(nf * n);
  Parallel(options.threads, nf, [&](size_t f) {
    std::vector<std::pair<float, uint32_t>> v(n);
    for (size_t i = 0; i < n; ++i) {
      const double fv = value[f * n + i];
      double r;
      if (spread[i] == 0) r = fv > 0 ? 4e9 : -4e9;  // threshold 0 whatever the stored value
      else r = fv * 4194304.0 / spread[i];
      v[i] = {static_cast<float>(std::max(-4e9, std::min(4e9, r))), static_cast<uint32_t>(i)};
    }
    std::sort(v.begin(), v.end());
    for (size_t k = 0; k < n; ++k) {
      table.r[f * n + k] = v[k].first;
      table.order[f * n + k] = v[k].second;
    }
  });

  std::vector<double> weight(n);
  for (size_t i = 0; i < n; ++i) weight[i] = label[i] > 0 ? 0.5 / positives.size() : 0.5 / negatives.size();
  std::vector<long long> sum(n, 0);
  StageResult result;
  const double eps = 0.1 / n;
  auto goesLeft = [&](int f, int32_t threshold, size_t i) {
    return value[f * n + i] > kvz::ScaledNodeThreshold(spread[i], threshold);
  };
  for (int t = 0; t < options.maxTrees; ++t) {
    std::vector<uint8_t> all(n, 1);
    const Split root = BestSplit(table, nf, weight, label, all, options.threads);
    std::vector<uint8_t> side[2] = {std::vector<uint8_t>(n, 0), std::vector<uint8_t>(n, 0)};
    for (size_t i = 0; i < n; ++i) side[goesLeft(root.feature, root.threshold, i) ? 0 : 1][i] = 1;
    Split child[2];
    for (int c = 0; c < 2; ++c) {
      child[c] = BestSplit(table, nf, weight, label, side[c], options.threads);
      if (child[c].feature < 0) child[c] = Split{root.feature, root.threshold, 0};
    }
    // Leaves 0-3: left-left, left-right, right-left, right-right.
    std::vector<int> leafOf(n);
    double pos[4] = {}, neg[4] = {};
    for (size_t i = 0; i < n; ++i) {
      const int c = side[0][i] ? 0 : 1;
      leafOf[i] = 2 * c + (goesLeft(child[c].feature, child[c].threshold, i) ? 0 : 1);
      (label[i] > 0 ? pos : neg)[leafOf[i]] += weight[i];
    }
    Tree tree;
    tree.nodes.resize(3);
    tree.nodes[0] = Node{features[root.feature], root.threshold, 1, 2};
    tree.nodes[1] = Node{features[child[0].feature], child[0].threshold, 0, -1};
    tree.nodes[2] = Node{features[child[1].feature], child[1].threshold, -2, -3};
    for (int l = 0; l < 4; ++l) tree.leaves.push_back(LeafValue(pos[l], neg[l], eps));
    double total = 0;
    for (size_t i = 0; i < n; ++i) {
      const int32_t leaf = tree.leaves[leafOf[i]];
      sum[i] += leaf;
      weight[i] *= std::exp(-label[i] * leaf / kLeafScale);
      total += weight[i];
    }
    for (double& w : weight) w /= total;
    result.stage.trees.push_back(tree);

    std::vector<long long> positiveSums(sum.begin(), sum.begin() + positives.size());
    std::sort(positiveSums.begin(), positiveSums.end());
    const size_t miss = static_cast<size_t>((1 - options.hitRate) * positiveSums.size());
    const long long threshold = positiveSums[miss];
    size_t hits = 0, falses = 0;
    for (size_t i = 0; i < n; ++i)
      if (sum[i] >= threshold) ++(label[i] > 0 ? hits : falses);
    result.stage.threshold = static_cast<int32_t>(threshold);
    result.hitRate = static_cast<double>(hits) / positives.size();
    result.falseRate = static_cast<double>(falses) / negatives.size();
    if (result.falseRate <= options.falseRate) break;
  }
  return result;
}

}  // namespace kvz::train
