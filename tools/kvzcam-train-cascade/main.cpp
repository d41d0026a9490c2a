// kvzcam-train-cascade: trains the driver's face cascade and measures it on held-out data.
//   train    --data DIR | --synthetic, writes --source FILE.cpp (and --block FILE)
//   evaluate --data DIR, measures the driver's built-in cascade (or --block FILE)
//   export-test-data --data DIR --out DIR, the held-out pictures the face tests keep
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "boost.h"
#include "cascade_model.h"
#include "driver_scan.h"
#include "evaluation.h"
#include "image_io.h"
#include "training_data.h"
#include "window_features.h"

namespace kvz::train {
void UseCompressedPictures();
}

using namespace kvz::train;

namespace {

struct Options {
  std::map<std::string, std::string> values;
  std::string Get(const std::string& k, const std::string& d) const {
    auto it = values.find(k);
    return it == values.end() ? d : it->second;
  }
  int Int(const std::string& k, int d) const { return std::stoi(Get(k, std::to_string(d))); }
  double Real(const std::string& k, double d) const { return std::stod(Get(k, std::to_string(d))); }
  bool Has(const std::string& k) const { return values.count(k) != 0; }
};

Cascade AcceptAll() {
  Cascade c;
  Tree t;
  t.nodes.push_back(Node{{{0, 0, 12, 24, 1}, {12, 0, 12, 24, -1}}, 0, 0, -1});
  t.leaves = {0, 0};
  c.stages.push_back(Stage{-65535, {t}});
  return c;
}

// Hard negatives: windows the partial cascade accepts in face-free pictures, found by the
// driver's own scan; at most a twentieth from any one view so that they stay varied.
std::vector<Patch> MineNegatives(const Cascade& cascade, const std::vector<Grey>& pictures,
                                 size_t wanted, int maxViews, std::mt19937& rng, double* rate) {
  DriverCascade dc(cascade);
  DriverScanner scanner(dc.hidden());
  std::vector<Patch> found;
  uint64_t windows = 0, hits = 0;
  const size_t perView = std::max<size_t>(wanted / 20, 8);
  std::uniform_real_distribution<double> u(0, 1);
  for (int v = 0; v < maxViews && found.size() < wanted; ++v) {
    const bool texture = u(rng) < 0.25;
    const int w = 240 + static_cast<int>(u(rng) * 240), h = w * 3 / 4;
    Grey view = texture ? SyntheticTexture(w, h, rng)
                        : RandomView(pictures[static_cast<size_t>(u(rng) * pictures.size())], w, h, rng);
    std::vector<Patch> reservoir;
    uint64_t seen = 0;
    const ScanResult r = scanner.Scan(view, 1, 1, 1.2f, 0, [&](const uint8_t* p, unsigned stride) {
      ++seen;
      size_t slot = reservoir.size();
      if (reservoir.size() >= perView) {
        slot = static_cast<size_t>(u(rng) * seen);
        if (slot >= perView) return;
      } else {
        reservoir.emplace_back();
      }
      Patch& patch = reservoir[slot];
      patch.resize(kWindow * kWindow);
      for (int y = 0; y < kWindow; ++y) std::memcpy(&patch[y * kWindow], p + y * stride, kWindow);
    });
    windows += r.windows;
    hits += seen;
    for (Patch& p : reservoir)
      if (found.size() < wanted) found.push_back(std::move(p));
  }
  *rate = windows ? static_cast<double>(hits) / windows : 0;
  return found;
}

int Train(const Options& o, const std::string& commandLine) {
  const auto start = std::chrono::steady_clock::now();
  const uint32_t seed = static_cast<uint32_t>(o.Int("seed", 20261209));
  DataSet data;
  std::string error;
  if (o.Has("synthetic")) data = SyntheticDataSet(seed);
  else if (!LoadDataSet(o.Get("data", ""), &data, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::mt19937 rng(seed);
  const int augment = o.Int("augment", 30);
  Jitter jitter;
  jitter.shift = o.Real("shift", jitter.shift);
  jitter.scale = o.Real("scale-jitter", jitter.scale);
  jitter.degrees = o.Real("rotation", jitter.degrees);
  std::vector<Patch> positives;
  for (int i = 0; i < kTrainFaces; ++i)
    for (int a = 0; a < augment; ++a) positives.push_back(AugmentFace(data.faces[i], rng, a == 0, jitter));
  std::vector<Patch> extraNegatives;
  for (int i = 0; i < kTrainFaces; ++i) extraNegatives.push_back(AugmentFace(data.nonFaces[i], rng, true));
  const auto features = FeaturePool(o.Int("features", 3000), seed);
  StageOptions so;
  so.hitRate = o.Real("hit-rate", 0.995);
  so.falseRate = o.Real("false-rate", 0.5);
  so.maxTrees = o.Int("trees", 40);
  so.threads = o.Int("threads", 3);
  const size_t wanted = static_cast<size_t>(o.Int("negatives", 3000));
  const int maxViews = o.Int("views", 300);
  const int stages = o.Int("stages", 14);

  Cascade cascade;
  double rate = 0;
  std::vector<Patch> negatives = MineNegatives(AcceptAll(), data.trainPictures, wanted, maxViews, rng, &rate);
  std::ostringstream log;
  for (int s = 0; s < stages; ++s) {
    std::vector<Patch> stageNegatives = negatives;
    for (const Patch& p : extraNegatives) stageNegatives.push_back(p);
    if (stageNegatives.size() < 50) break;
    const StageResult r = TrainStage(positives, stageNegatives, features, so);
    cascade.stages.push_back(r.stage);
    // Later stages see only the positives and negatives the cascade so far accepts.
    DriverCascade dc(cascade);
    kvz::IntegralImage ii;
    std::vector<Patch> kept;
    for (Patch& p : positives)
      if (dc.Accepts(p, &ii)) kept.push_back(std::move(p));
    positives.swap(kept);
    kept.clear();
    for (Patch& p : extraNegatives)
      if (dc.Accepts(p, &ii)) kept.push_back(std::move(p));
    extraNegatives.swap(kept);
    negatives = MineNegatives(cascade, data.trainPictures, wanted, maxViews, rng, &rate);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char line[256];
    std::snprintf(line, sizeof(line),
                  "stage %2d: %2zu trees, hit %.4f, false %.3f; positives left %zu; training "
                  "windows accepted %.2e; %.0f s\n",
                  s, r.stage.trees.size(), r.hitRate, r.falseRate, positives.size(), rate, seconds);
    std::fputs(line, stdout);
    std::fflush(stdout);
    log << line;
  }
  std::ostringstream comment;
  comment << "Command: " << commandLine << "\n";
  size_t trees = 0, nodes = 0;
  for (const Stage& s : cascade.stages) {
    trees += s.trees.size();
    for (const Tree& t : s.trees) nodes += t.nodes.size();
  }
  comment << cascade.stages.size() << " stages, " << trees << " trees of 3 nodes (" << nodes
          << " nodes), window " << cascade.width << " x " << cascade.height << ".\n"
          << log.str();
  if (o.Has("source")) {
    std::ofstream(o.Get("source", "")) << WriteCascadeSource(cascade, comment.str());
  }
  if (o.Has("block")) {
    const auto block = WriteCascadeBlock(cascade);
    std::ofstream(o.Get("block", ""), std::ios::binary).write(reinterpret_cast<const char*>(block.data()), block.size());
  }
  std::printf("%s", comment.str().c_str());
  return cascade.stages.empty() ? 1 : 0;
}

// The few held-out pictures the face tests keep in the repository: faces 70-79, non-face
// patches 70-79 and two 320 x 240 views of held-out pictures.
int ExportTestData(const Options& o) {
  DataSet data;
  std::string error;
  if (!LoadDataSet(o.Get("data", ""), &data, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string out = o.Get("out", ".");
  for (int i = kTrainFaces; i < kTrainFaces + 10; ++i) {
    SavePgm(out + "/face" + std::to_string(i) + ".pgm", data.faces[i]);
    SavePgm(out + "/patch" + std::to_string(i) + ".pgm", data.nonFaces[i]);
  }
  std::mt19937 rng(static_cast<uint32_t>(o.Int("seed", 5)));
  for (int k = 0; k < 2; ++k)
    SavePgm(out + "/background" + std::to_string(k) + ".pgm", RandomView(data.testPictures[k], 320, 240, rng));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (std::strcmp(argv[1], "train") != 0 && std::strcmp(argv[1], "evaluate") != 0 &&
                    std::strcmp(argv[1], "export-test-data") != 0)) {
    std::fprintf(stderr, "usage: %s train|evaluate|export-test-data [--data DIR | --synthetic] [--option value]...\n", argv[0]);
    return 2;
  }
  UseCompressedPictures();
  Options o;
  std::string commandLine = "kvzcam-train-cascade";
  for (int i = 1; i < argc; ++i) commandLine += std::string(" ") + argv[i];
  for (int i = 2; i < argc; ++i) {
    std::string k = argv[i];
    if (k.rfind("--", 0) != 0) continue;
    k = k.substr(2);
    if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) o.values[k] = argv[++i];
    else o.values[k] = "1";
  }
  if (std::strcmp(argv[1], "train") == 0) return Train(o, commandLine);
  if (std::strcmp(argv[1], "export-test-data") == 0) return ExportTestData(o);
  return Evaluate(o.Get("data", ""), o.Has("synthetic"), o.Get("block", ""),
                  static_cast<uint32_t>(o.Int("seed", 7)), o.Has("training-split"));
}
