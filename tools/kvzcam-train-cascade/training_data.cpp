#include "training_data.h"

#include <algorithm>
#include <cmath>

namespace kvz::train {
namespace {

// Face-free pictures of the package, split by file.
const char* const kTrainPictureFiles[] = {
    "brick.png", "grass.png", "coffee.png", "rocket.jpg", "page.png", "coins.png", "moon.png",
    "horse.png", "hubble_deep_field.jpg", "clock_motion.png", "chelsea.png", "ihc.png",
    "logo.png", "color.png"};
const char* const kTestPictureFiles[] = {"gravel.png", "motorcycle_left.png", "motorcycle_right.png",
                                         "retina.jpg", "text.png", "cell.png"};

uint8_t Clamp(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); }

}  // namespace

bool LoadDataSet(const std::string& folder, DataSet* data, std::string* error) {
  std::vector<Grey> crops;
  if (!LoadCropArray(folder + "/lfw_subset.npy", &crops) || crops.size() != 2 * kFaceCount) {
    *error = "cannot read " + folder + "/lfw_subset.npy";
    return false;
  }
  data->faces.assign(crops.begin(), crops.begin() + kFaceCount);
  data->nonFaces.assign(crops.begin() + kFaceCount, crops.end());
  for (const char* name : kTrainPictureFiles) {
    Grey g;
    if (!LoadPicture(folder + "/" + name, &g)) {
      *error = std::string("cannot read ") + name;
      return false;
    }
    data->trainPictures.push_back(std::move(g));
  }
  for (const char* name : kTestPictureFiles) {
    Grey g;
    if (!LoadPicture(folder + "/" + name, &g)) {
      *error = std::string("cannot read ") + name;
      return false;
    }
    data->testPictures.push_back(std::move(g));
  }
  return true;
}

Grey DrawnFace(int size, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1, 1);
  Grey g;
  g.width = g.height = size;
  g.pixels.resize(size * size);
  const double skin = 150 + 40 * u(rng), dark = 40 + 20 * u(rng);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      const double fx = (x + 0.5) / size, fy = (y + 0.5) / size;
      double v = 60 + 10 * u(rng);
      if ((fx - 0.5) * (fx - 0.5) / 0.18 + (fy - 0.52) * (fy - 0.52) / 0.26 < 1) v = skin;
      for (double ex : {0.32, 0.68})
        if (std::hypot(fx - ex, (fy - 0.4) * 1.8) < 0.09) v = dark;
      if (std::fabs(fx - 0.5) < 0.15 && std::fabs(fy - 0.74) < 0.03) v = dark + 30;
      g.pixels[y * size + x] = Clamp(v + 6 * u(rng));
    }
  return g;
}

Grey SyntheticTexture(int width, int height, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0, 1);
  Grey g;
  g.width = width;
  g.height = height;
  g.pixels.assign(static_cast<size_t>(width) * height, 0);
  std::vector<double> f(g.pixels.size(), 128 * u(rng) + 64);
  const int kind = static_cast<int>(u(rng) * 5);
  if (kind == 0) {  // stripes
    const double a = u(rng) * M_PI, p = 4 + 40 * u(rng), amp = 20 + 80 * u(rng);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) f[y * width + x] += amp * std::sin((x * std::cos(a) + y * std::sin(a)) * 2 * M_PI / p);
  } else if (kind == 1) {  // rectangles
    for (int r = 0; r < 40; ++r) {
      const int x0 = u(rng) * width, y0 = u(rng) * height, w = 4 + u(rng) * width / 3, h = 4 + u(rng) * height / 3;
      const double v = 255 * u(rng);
      for (int y = y0; y < std::min(height, y0 + h); ++y)
        for (int x = x0; x < std::min(width, x0 + w); ++x) f[y * width + x] = v;
    }
  } else if (kind == 2) {  // discs
    for (int r = 0; r < 30; ++r) {
      const double cx = u(rng) * width, cy = u(rng) * height, rad = 3 + u(rng) * 30, v = 255 * u(rng);
      for (int y = std::max(0, int(cy - rad)); y < std::min(height, int(cy + rad) + 1); ++y)
        for (int x = std::max(0, int(cx - rad)); x < std::min(width, int(cx + rad) + 1); ++x)
          if (std::hypot(x - cx, y - cy) < rad) f[y * width + x] = v;
    }
  } else if (kind == 3) {  // smooth noise
    const int cell = 4 + static_cast<int>(u(rng) * 24);
    const int cw = width / cell + 2, ch = height / cell + 2;
    std::vector<double> grid(cw * ch);
    for (double& v : grid) v = 255 * u(rng);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const double gx = static_cast<double>(x) / cell, gy = static_cast<double>(y) / cell;
        const int ix = static_cast<int>(gx), iy = static_cast<int>(gy);
        const double fx = gx - ix, fy = gy - iy;
        f[y * width + x] = (grid[iy * cw + ix] * (1 - fx) + grid[iy * cw + ix + 1] * fx) * (1 - fy) +
                           (grid[(iy + 1) * cw + ix] * (1 - fx) + grid[(iy + 1) * cw + ix + 1] * fx) * fy;
      }
  } else {  // gradient with a few lines
    const double gx = u(rng) - 0.5, gy = u(rng) - 0.5;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) f[y * width + x] += 200 * (gx * x / width + gy * y / height);
    for (int l = 0; l < 12; ++l) {
      const bool horizontal = u(rng) < 0.5;
      const int at = static_cast<int>(u(rng) * (horizontal ? height : width)), thick = 1 + u(rng) * 4;
      const double v = 255 * u(rng);
      for (int t = 0; t < thick; ++t)
        for (int k = 0; k < (horizontal ? width : height); ++k) {
          const int x = horizontal ? k : std::min(width - 1, at + t), y = horizontal ? std::min(height - 1, at + t) : k;
          f[y * width + x] = v;
        }
    }
  }
  const double noise = 12 * u(rng);
  std::normal_distribution<double> n(0, 1);
  for (size_t i = 0; i < f.size(); ++i) g.pixels[i] = Clamp(f[i] + noise * n(rng));
  return g;
}

DataSet SyntheticDataSet(uint32_t seed) {
  std::mt19937 rng(seed);
  DataSet d;
  for (int i = 0; i < kFaceCount; ++i) d.faces.push_back(DrawnFace(25, rng));
  for (int i = 0; i < kFaceCount; ++i) d.nonFaces.push_back(Resize(SyntheticTexture(50, 50, rng), 25, 25));
  for (int i = 0; i < 4; ++i) d.trainPictures.push_back(SyntheticTexture(320, 240, rng));
  for (int i = 0; i < 2; ++i) d.testPictures.push_back(SyntheticTexture(320, 240, rng));
  return d;
}

Patch AugmentFace(const Grey& crop, std::mt19937& rng, bool plain, const Jitter& jitter) {
  std::uniform_real_distribution<double> u(-1, 1);
  std::normal_distribution<double> n(0, 1);
  const bool mirror = !plain && u(rng) < 0;
  const double dx = plain ? 0 : jitter.shift * u(rng), dy = plain ? 0 : jitter.shift * u(rng);
  const double scale = plain ? 1 : 1 + jitter.scale * u(rng);
  const double angle = plain ? 0 : jitter.degrees * M_PI / 180 * u(rng);
  const double gamma = plain ? 1 : std::exp(0.3 * u(rng));
  const double noise = plain ? 0 : 2.5 * (u(rng) + 1) / 2;
  const double c = std::cos(angle), s = std::sin(angle);
  const double k = static_cast<double>(crop.width) / kWindow;
  Patch p(kWindow * kWindow);
  for (int y = 0; y < kWindow; ++y)
    for (int x = 0; x < kWindow; ++x) {
      double px = x + 0.5 - kWindow / 2.0 - dx, py = y + 0.5 - kWindow / 2.0 - dy;
      if (mirror) px = -px;
      const double rx = (c * px + s * py) / scale, ry = (-s * px + c * py) / scale;
      const double v = Sample(crop, rx * k + crop.width / 2.0 - 0.5, ry * k + crop.height / 2.0 - 0.5);
      p[y * kWindow + x] = Clamp(255 * std::pow(v / 255, gamma) + noise * n(rng));
    }
  return p;
}

void Paste(Grey* frame, const Grey& crop, int x0, int y0, int size) {
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      const int fx = x0 + x, fy = y0 + y;
      if (fx < 0 || fy < 0 || fx >= frame->width || fy >= frame->height) continue;
      const double sx = (x + 0.5) * crop.width / size - 0.5, sy = (y + 0.5) * crop.height / size - 0.5;
      frame->pixels[static_cast<size_t>(fy) * frame->width + fx] = Clamp(Sample(crop, sx, sy));
    }
}

Grey RandomView(const Grey& picture, int width, int height, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0, 1);
  const double fit = std::min(static_cast<double>(picture.width) / width, static_cast<double>(picture.height) / height);
  const double scale = fit * (0.35 + 0.65 * u(rng));  // source pixels per frame pixel
  const double ox = u(rng) * (picture.width - width * scale), oy = u(rng) * (picture.height - height * scale);
  Grey g;
  g.width = width;
  g.height = height;
  g.pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      g.pixels[static_cast<size_t>(y) * width + x] = Clamp(Sample(picture, ox + (x + 0.5) * scale - 0.5, oy + (y + 0.5) * scale - 0.5));
  return g;
}

}  // namespace kvz::train
