#include "evaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "cascade_model.h"
#include "driver_scan.h"
#include "face/trained_cascade.h"
#include "training_data.h"
#include "window_features.h"

namespace kvz::train {
namespace {

struct Box {
  int l, t, r, b;
};

double IoU(const Box& a, const Box& b) {
  const int w = std::min(a.r, b.r) - std::max(a.l, b.l) + 1, h = std::min(a.b, b.b) - std::max(a.t, b.t) + 1;
  if (w <= 0 || h <= 0) return 0;
  const double inter = static_cast<double>(w) * h;
  const double ua = static_cast<double>(a.r - a.l + 1) * (a.b - a.t + 1) + static_cast<double>(b.r - b.l + 1) * (b.b - b.t + 1) - inter;
  return inter / ua;
}

// 95% Wilson interval of a proportion over n independent trials.
void Wilson(double p, double n, double* lo, double* hi) {
  const double z = 1.96, d = 1 + z * z / n, c = p + z * z / (2 * n);
  const double s = z * std::sqrt(p * (1 - p) / n + z * z / (4 * n * n));
  *lo = (c - s) / d;
  *hi = (c + s) / d;
}

struct FrameStats {
  int frames = 0, found = 0, falses = 0;
};

// Composite frames of each crop (held-out faces or non-face patches), 50-150 px on a held-out
// background; the driver's coarse search parameters.
FrameStats CompositeFrames(DriverScanner& scanner, const std::vector<Grey>& crops, const std::vector<Grey>& backgrounds,
                           int perCrop, std::mt19937& rng, std::vector<int>* foundPerCrop) {
  std::uniform_real_distribution<double> u(0, 1);
  FrameStats s;
  for (size_t c = 0; c < crops.size(); ++c) {
    int found = 0;
    for (int k = 0; k < perCrop; ++k) {
      const bool texture = u(rng) < 0.25;
      Grey frame = texture ? SyntheticTexture(320, 240, rng)
                           : RandomView(backgrounds[static_cast<size_t>(u(rng) * backgrounds.size())], 320, 240, rng);
      const int size = 50 + static_cast<int>(u(rng) * 101);
      const int x = static_cast<int>(u(rng) * (320 - size)), y = static_cast<int>(u(rng) * (240 - size));
      Paste(&frame, crops[c], x, y, size);
      const Box truth{x, y, x + size - 1, y + size - 1};
      const ScanResult r = scanner.Scan(frame, 1, 2, 1.25f, 50);
      bool hit = false;
      for (const auto& f : r.faces) {
        if (IoU(truth, Box{f.left, f.top, f.right, f.bottom}) >= 0.5) hit = true;
        else ++s.falses;
      }
      found += hit;
      s.found += hit;
      ++s.frames;
    }
    if (foundPerCrop) foundPerCrop->push_back(found);
  }
  return s;
}

}  // namespace

int Evaluate(const std::string& folder, bool synthetic, const std::string& blockFile, uint32_t seed,
             bool trainingSplit) {
  DataSet data;
  std::string error;
  if (synthetic) data = SyntheticDataSet(seed);
  else if (!LoadDataSet(folder, &data, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<DriverCascade> own;
  const kvz::HiddenCascade* hidden = nullptr;
  kvz::HiddenCascade* builtIn = nullptr;
  if (!blockFile.empty()) {
    std::ifstream in(blockFile, std::ios::binary);
    std::vector<uint8_t> block((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Cascade c;
    if (!ReadCascadeBlock(block, &c)) {
      std::fprintf(stderr, "cannot read %s\n", blockFile.c_str());
      return 1;
    }
    own = std::make_unique<DriverCascade>(c);
    hidden = own->hidden();
  } else if (kvz::CreateHiddenCascade_PG(kvz::kTrainedCascade, &builtIn) == STATUS_SUCCESS) {
    hidden = builtIn;
  }
  if (hidden == nullptr) {
    std::fprintf(stderr, "no cascade\n");
    return 1;
  }
  // The training split gives the same measurements on data the cascade was trained on: a
  // check to tune by, never a result.
  std::vector<Grey> testFaces(data.faces.begin() + kTrainFaces, data.faces.end());
  std::vector<Grey> testPatches(data.nonFaces.begin() + kTrainFaces, data.nonFaces.end());
  if (trainingSplit) {
    testFaces.assign(data.faces.begin(), data.faces.begin() + kTrainFaces);
    testPatches.assign(data.nonFaces.begin(), data.nonFaces.begin() + kTrainFaces);
    data.testPictures = data.trainPictures;
    std::printf("ON TRAINING DATA\n");
  }

  // (a) window level.
  kvz::IntegralImage ii;
  int faceHits = 0, mirroredHits = 0, patchHits = 0;
  for (const Grey& f : testFaces) {
    Patch p(kWindow * kWindow);
    Grey small = Resize(f, kWindow, kWindow);
    p.assign(small.pixels.begin(), small.pixels.end());
    kvz::DetectorEvaluate(&ii, p.data(), kWindow, kWindow, kWindow);
    faceHits += kvz::RunHaarCascade(hidden, &ii, 0, 0, nullptr) == 1;
    for (int y = 0; y < kWindow; ++y) std::reverse(p.begin() + y * kWindow, p.begin() + (y + 1) * kWindow);
    kvz::DetectorEvaluate(&ii, p.data(), kWindow, kWindow, kWindow);
    mirroredHits += kvz::RunHaarCascade(hidden, &ii, 0, 0, nullptr) == 1;
  }
  for (const Grey& f : testPatches) {
    Grey small = Resize(f, kWindow, kWindow);
    kvz::DetectorEvaluate(&ii, small.pixels.data(), kWindow, kWindow, kWindow);
    patchHits += kvz::RunHaarCascade(hidden, &ii, 0, 0, nullptr) == 1;
  }
  DriverScanner scanner(hidden);
  uint64_t windows = 0, hits = 0;
  for (const Grey& picture : data.testPictures) {
    for (double shrink : {1.0, 0.5}) {
      Grey g = shrink == 1.0 ? picture : Resize(picture, static_cast<int>(picture.width * shrink), static_cast<int>(picture.height * shrink));
      if (g.width >= 4096 || g.height >= 4096) continue;
      uint64_t seen = 0;
      windows += scanner.Scan(g, 1, 1, 1.25f, 0, [&](const uint8_t*, unsigned) { ++seen; }).windows;
      hits += seen;
    }
  }
  double lo, hi;
  const double n = static_cast<double>(testFaces.size());
  std::printf("(a) window level\n");
  Wilson(faceHits / n, n, &lo, &hi);
  std::printf("  held-out face crops accepted: %d of %zu (%.1f%%, 95%% interval %.1f-%.1f%%); mirrored: %d of %zu\n",
              faceHits, testFaces.size(), 100 * faceHits / n, 100 * lo, 100 * hi, mirroredHits, testFaces.size());
  std::printf("  held-out non-face crops accepted: %d of %zu\n", patchHits, testPatches.size());
  std::printf("  held-out pictures: %llu false windows of %llu (%.2e per window)\n",
              static_cast<unsigned long long>(hits), static_cast<unsigned long long>(windows),
              windows ? static_cast<double>(hits) / windows : 0.0);

  // (b) frame level with the driver's coarse search, and face-free frames.
  std::mt19937 rng(seed);
  const int perCrop = 4;
  std::vector<int> perFace;
  const FrameStats faces = CompositeFrames(scanner, testFaces, data.testPictures, perCrop, rng, &perFace);
  int freeFrames = 0, freeFalses = 0, framesWithFalse = 0;
  std::uniform_real_distribution<double> u(0, 1);
  for (int k = 0; k < 200; ++k) {
    Grey frame = u(rng) < 0.25 ? SyntheticTexture(320, 240, rng)
                               : RandomView(data.testPictures[static_cast<size_t>(u(rng) * data.testPictures.size())], 320, 240, rng);
    const ScanResult r = scanner.Scan(frame, 1, 2, 1.25f, 50);
    ++freeFrames;
    freeFalses += static_cast<int>(r.faces.size());
    framesWithFalse += !r.faces.empty();
  }
  const double recall = static_cast<double>(faces.found) / faces.frames;
  int facesEverFound = 0;
  for (int f : perFace) facesEverFound += f > 0;
  Wilson(recall, n, &lo, &hi);
  std::printf("(b) frame level (320x240, faces 50-150 px, search step 1 x 2, scale 1.25, minimum 50)\n");
  std::printf("  recall at IoU >= 0.5: %d of %d frames (%.1f%%; with %zu distinct faces the 95%% interval is about %.0f-%.0f%%); faces found at least once: %d of %zu\n",
              faces.found, faces.frames, 100 * recall, testFaces.size(), 100 * lo, 100 * hi, facesEverFound, testFaces.size());
  std::printf("  false faces per frame with a face: %.3f\n", static_cast<double>(faces.falses) / faces.frames);
  std::printf("  face-free frames: %d false faces in %d frames (%.3f per frame; %d frames with any)\n",
              freeFalses, freeFrames, static_cast<double>(freeFalses) / freeFrames, framesWithFalse);
  // (c) control: non-face patches pasted the same way.
  const FrameStats control = CompositeFrames(scanner, testPatches, data.testPictures, perCrop, rng, nullptr);
  std::printf("(c) control: held-out non-face patches pasted the same way: found as faces in %d of %d frames (%.1f%%), other false faces per frame %.3f\n",
              control.found, control.frames, 100.0 * control.found / control.frames,
              static_cast<double>(control.falses) / control.frames);
  kvz::FreeHiddenCascade(builtIn);
  return 0;
}

}  // namespace kvz::train
